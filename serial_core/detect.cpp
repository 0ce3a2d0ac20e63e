// The removal monitor: while the mouse runs, a wait-on-mask request watches
// the modem-status lines that were active when it was armed; when one
// changes, a work item reads the status again and, if it is no longer what
// it was, asks the serial enumerator to remove the mouse's device.
#include "serial_core/device_frame.h"
#include "serial_core/serial_port.h"

// A modem-status line and the wait event that watches it.
struct ModemLineEvent {
    ULONG ModemStatusBit;
    ULONG WaitEventBit;
};

static const ModemLineEvent ModemLineEvents[2] = {
    {SERIAL_MSR_DSR, SERIAL_EV_DSR},
    {SERIAL_MSR_CTS, SERIAL_EV_CTS},
};

// WaitEventMask value that switches the monitor off.
#define NO_REMOVAL_MONITORING 0xFFFFFFFF

// The modem-status bits that are the lines' present states (CTS, DSR, RI,
// DCD). The low four bits only latch that a line changed since the register
// was last read, and every read clears them: they tell how the register was
// read, not whether the mouse is there.
#define MODEM_LINE_STATES 0xF0

PAGEABLE_ROUTINE VOID ArmRemovalMonitor(DeviceState* Device) {
    PAGED_CODE();
    if (Device->WaitEventMask == NO_REMOVAL_MONITORING) {
        Device->MonitorActive = FALSE;
        return;
    }

    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    ULONG mask = Device->WaitEventMask;
    if (mask == 0) {
        // Watch the lines the mouse holds up now.
        ULONG modemStatus = 0;
        NTSTATUS status = SendSerialRequest(FALSE, IOCTL_SERIAL_GET_MODEMSTATUS, Device->LowerDevice, &request.Event,
                                            &request.IoStatus, NULL, 0, &modemStatus, sizeof(modemStatus));
        if (!NT_SUCCESS(status) || modemStatus == 0) {
            Device->InitialModemStatus = 0;
            Device->MonitorActive = FALSE;
            return;
        }
        Device->InitialModemStatus = modemStatus;
        for (ULONG i = 0; i < sizeof(ModemLineEvents) / sizeof(ModemLineEvents[0]); i++) {
            if (modemStatus & ModemLineEvents[i].ModemStatusBit) mask |= ModemLineEvents[i].WaitEventBit;
        }
    }

    NTSTATUS status = SendSerialRequest(FALSE, IOCTL_SERIAL_SET_WAIT_MASK, Device->LowerDevice, &request.Event,
                                        &request.IoStatus, &mask, sizeof(mask), NULL, 0);
    if (!NT_SUCCESS(status)) {
        Device->MonitorActive = FALSE;
        return;
    }

    if (Device->WaitMaskRequest == NULL) {
        Device->WaitMaskRequest = IoAllocateIrp(Device->Self->StackSize, FALSE);
        if (Device->WaitMaskRequest == NULL) {
            Device->MonitorActive = FALSE;
            return;
        }
    }

    status = IssueWaitOnMask(Device);
    if (!NT_SUCCESS(status)) {
        IoCancelIrp(Device->WaitMaskRequest);
        Device->MonitorActive = FALSE;
        return;
    }
    Device->MonitorActive = TRUE;
}

PAGEABLE_ROUTINE VOID CancelRemovalMonitor(DeviceState* Device) {
    PAGED_CODE();
    // Once the mouse is lost the monitor has ended: nothing to cancel.
    if (Device->MonitorActive && !Device->MouseLost) IoCancelIrp(Device->WaitMaskRequest);
}

PAGEABLE_ROUTINE NTSTATUS IssueWaitOnMask(DeviceState* Device) {
    PAGED_CODE();
    Device->WaitMaskResult = 0;
    // Held until the wait's completion: removal waits for the monitor.
    NTSTATUS status = IoAcquireRemoveLock(&Device->RemoveLock, Device->WaitMaskRequest);
    if (!NT_SUCCESS(status)) return status;

    PIRP irp = Device->WaitMaskRequest;
    IoReuseIrp(irp, STATUS_SUCCESS);
    irp->AssociatedIrp.SystemBuffer = &Device->WaitMaskResult;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    IoSetCompletionRoutine(irp, WaitOnMaskCompletion, Device, TRUE, TRUE, TRUE);
    return IofCallDriver(Device->LowerDevice, irp);
}

extern "C" RESIDENT_ROUTINE NTSTATUS NTAPI WaitOnMaskCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                                PVOID Context) {
    DeviceState* device = static_cast<DeviceState*>(Context);
    if (!device->RemovePending && !device->Halted) {
        // Every port request of the check goes from a work item at
        // PASSIVE_LEVEL; this routine may run at DISPATCH_LEVEL.
        PIO_WORKITEM item = IoAllocateWorkItem(device->Self);
        NTSTATUS locked = STATUS_INSUFFICIENT_RESOURCES;
        if (item != NULL) locked = IoAcquireRemoveLock(&device->RemoveLock, item);
        if (item != NULL && NT_SUCCESS(locked)) {
            IoQueueWorkItem(item, RemovalCheckWorkItem, DelayedWorkQueue, item);
        } else {
            // Without a check the mouse cannot be watched: count it lost and
            // let Plug and Play ask for the device's state.
            if (item != NULL) IoFreeWorkItem(item);
            device->MouseLost = TRUE;
            IoInvalidateDeviceState(device->PhysicalDevice);
        }
    }
    IoReleaseRemoveLock(&device->RemoveLock, Irp);
    // WaitMaskRequest stays with the driver for the next wait.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

extern "C" PAGEABLE_ROUTINE VOID NTAPI RemovalCheckWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    PAGED_CODE();
    DeviceState* device = static_cast<DeviceState*>(DeviceObject->DeviceExtension);
    PIO_WORKITEM item = static_cast<PIO_WORKITEM>(Context);
    NTSTATUS waitStatus = device->WaitMaskRequest->IoStatus.Status;

    if (waitStatus == STATUS_SUCCESS) {
        // A watched line changed: the decision rests on a fresh read.
        SerialRequestContext request;
        InitializeSerialRequestContext(&request);
        ULONG modemStatus = 0;
        NTSTATUS status = SendSerialRequest(FALSE, IOCTL_SERIAL_GET_MODEMSTATUS, device->LowerDevice,
                                            &request.Event, &request.IoStatus, NULL, 0, &modemStatus,
                                            sizeof(modemStatus));
        if (!NT_SUCCESS(status) ||
            (modemStatus & MODEM_LINE_STATES) == (device->InitialModemStatus & MODEM_LINE_STATES)) {
            // The lines are as they were (a line bounced back), or the status
            // could not be read, which says nothing about the mouse: watch on.
            IssueWaitOnMask(device);
        } else {
            SendSerialCommand(TRUE, IOCTL_INTERNAL_SERENUM_REMOVE_SELF, device->LowerDevice, &request.Event,
                              &request.IoStatus);
            device->MouseLost = TRUE;
        }
    } else if (waitStatus == STATUS_CANCELLED) {
        // A cancel outside D0 that no power-down explains: the port went
        // away under the mouse.
        if (device->PowerState != PowerDeviceD0 && !device->PoweringDown) device->MouseLost = TRUE;
    }
    // Any other status ends the monitor until the next start.

    IoReleaseRemoveLock(&device->RemoveLock, item);
    IoFreeWorkItem(item);
}
