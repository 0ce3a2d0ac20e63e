// The real platform's side of platform/kernel.h: mingw-w64's DDK headers,
// plus the few declarations the drivers need that those headers lack.
#pragma once

#include <ntddk.h>
#include <ntddser.h>
#include <ntddmou.h>
#include <kbdmou.h>
#include <ntdd8042.h>
#include <wmilib.h>

// The class service as the mouse class driver implements it; kbdmou.h only
// declares the generic four-pointer callback.
typedef VOID NTAPI MOUSE_CLASS_SERVICE_CALLBACK(PDEVICE_OBJECT DeviceObject, PMOUSE_INPUT_DATA InputDataStart,
                                                PMOUSE_INPUT_DATA InputDataEnd, PULONG InputDataConsumed);
typedef MOUSE_CLASS_SERVICE_CALLBACK* PMOUSE_CLASS_SERVICE_CALLBACK;
