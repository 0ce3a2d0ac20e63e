// The serial device frame: the class connection and internal requests, the
// registry configuration, starting and stopping the mouse on an opened port,
// open and close, and the removal monitor. Shared unchanged by both serial
// mouse drivers; the identification it calls is each driver's own.
#pragma once

#include "serial_core/device_state.h"

// ---- the driver's own identification (each serial driver provides it)

// Identifies the mouse on the port and installs its decoder, MouseIdentifier
// and NumberOfButtons. STATUS_SUCCESS when a mouse was identified,
// STATUS_UNSUCCESSFUL otherwise. PASSIVE_LEVEL.
NTSTATUS SelectProtocol(DeviceState* Device);

// ---- class connection and internal requests (resident: the class driver
// may call at DISPATCH_LEVEL)

// IRP_MJ_INTERNAL_DEVICE_CONTROL: connect, attributes; completes every
// request itself.
extern "C" NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// IRP_MJ_FLUSH_BUFFERS: passed to the port unchanged.
extern "C" NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- open and close (PASSIVE_LEVEL)

// IRP_MJ_CREATE: the first open opens the port below and starts the mouse.
extern "C" NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// IRP_MJ_CLOSE: the last close stops reading and monitoring, gives the port
// its settings back and passes the close down.
extern "C" NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- registry configuration (PASSIVE_LEVEL)

// Client identification address of the driver object extension that holds
// the service key path (a UNICODE_STRING whose Buffer ends with a NUL).
#define SERVICE_KEY_PATH_CLIENT_ID ((PVOID)1)

// Reads NumberOfButtons and SampleRate from the service key's "Parameters"
// subkey and then from the device's hardware key (which overrides), and
// WaitEventMask from the hardware key alone, into Attributes and
// WaitEventMask. DeviceKey may be null (the hardware key is then not read).
// A value that is not a REG_DWORD counts as missing.
VOID ReadConfiguration(DeviceState* Device, HANDLE DeviceKey);

// ---- start and stop of the mouse on an opened port (PASSIVE_LEVEL)

// Sends Irp to Target (copying the current stack location first when
// CopyStack is TRUE), waits until the lower driver has finished with it and
// returns its status. The IRP comes back un-completed.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT Target, PIRP Irp, BOOLEAN CopyStack);
// Gives the port its saved settings back, then sends cleanup and close down
// on Irp. Returns the status of the close.
NTSTATUS ClosePortBelow(DeviceState* Device, PIRP Irp);
// Identifies the mouse, arms the removal monitor; when no mouse answers,
// clears Started and writes one error-log entry.
NTSTATUS InitializeMouse(DeviceState* Device);
// InitializeMouse, then the read loop. On failure with CloseOnFailure, closes
// the port below on Irp and gives back the open count.
NTSTATUS StartMouse(DeviceState* Device, PIRP Irp, BOOLEAN CloseOnFailure);

// ---- removal monitor

// Watches the modem-status lines active at arming with a wait-on-mask
// request; MonitorActive tells whether the wait went out. PASSIVE_LEVEL.
VOID ArmRemovalMonitor(DeviceState* Device);
// Cancels the monitor's wait, unless the mouse is already lost.
VOID CancelRemovalMonitor(DeviceState* Device);
// Sends the wait-on-mask request on WaitMaskRequest, holding the remove lock
// (tag WaitMaskRequest) until its completion. PASSIVE_LEVEL.
NTSTATUS IssueWaitOnMask(DeviceState* Device);
// Completion routine of the wait: hands the check to a work item. Up to
// DISPATCH_LEVEL.
extern "C" NTSTATUS NTAPI WaitOnMaskCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// The work item: reads the modem status again and decides whether the mouse
// is gone. PASSIVE_LEVEL, on the delayed work queue.
extern "C" VOID NTAPI RemovalCheckWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context);
