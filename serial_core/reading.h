// The one-byte read loop and packet delivery.
#pragma once

#include "serial_core/device_state.h"

// Starts reading after a successful initialisation. STATUS_SUCCESS when
// reading runs (also when the first read is pending); otherwise reading did
// not start and Started is FALSE. PASSIVE_LEVEL.
NTSTATUS StartReadLoop(DeviceState* Device);

// Issues one-byte reads on ReadRequest until one stays pending or reading
// must stop. Returns IoCallDriver's status for the read left outstanding, or
// STATUS_UNSUCCESSFUL when reading ended. Up to DISPATCH_LEVEL.
NTSTATUS ReadLoop(DeviceState* Device);

// Completion routine of ReadRequest: decodes the byte, delivers a complete
// packet to the class driver and keeps reading going.
extern "C" NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
