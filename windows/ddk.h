// The real platform's side of platform/kernel.h: mingw-w64's DDK headers,
// plus the few declarations the drivers need that those headers lack.
#pragma once

#include <ntddk.h>
#include <ntddser.h>
#include <ntddmou.h>
#include <kbdmou.h>
#include <ntdd8042.h>
#include <wmilib.h>
#include <wmistr.h>

// The class service as the mouse class driver implements it; kbdmou.h only
// declares the generic four-pointer callback.
typedef VOID NTAPI MOUSE_CLASS_SERVICE_CALLBACK(PDEVICE_OBJECT DeviceObject, PMOUSE_INPUT_DATA InputDataStart,
                                                PMOUSE_INPUT_DATA InputDataEnd, PULONG InputDataConsumed);
typedef MOUSE_CLASS_SERVICE_CALLBACK* PMOUSE_CLASS_SERVICE_CALLBACK;

// Modem-status register bits (IOCTL_SERIAL_GET_MODEMSTATUS), which ntddser.h
// does not define.
#ifndef SERIAL_MSR_DCTS
#define SERIAL_MSR_DCTS 0x01
#define SERIAL_MSR_DDSR 0x02
#define SERIAL_MSR_TERI 0x04
#define SERIAL_MSR_DDCD 0x08
#define SERIAL_MSR_CTS 0x10
#define SERIAL_MSR_DSR 0x20
#define SERIAL_MSR_RI 0x40
#define SERIAL_MSR_DCD 0x80
#endif

// The serial enumerator's request by which a device asks to be removed, which
// the toolchain's headers do not define.
#ifndef IOCTL_INTERNAL_SERENUM_REMOVE_SELF
#define IOCTL_INTERNAL_SERENUM_REMOVE_SELF CTL_CODE(FILE_DEVICE_SERENUM, 129, METHOD_NEITHER, FILE_ANY_ACCESS)
#endif
