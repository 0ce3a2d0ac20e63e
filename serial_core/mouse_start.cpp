// Putting a mouse on an opened serial port into service, and giving the port
// back: forwarding a request and waiting for it, closing the port below,
// initialising the mouse and starting it.
#include "serial_core/device_frame.h"
#include "serial_core/reading.h"
#include "serial_core/serial_port.h"

PAGEABLE_ROUTINE NTSTATUS ForwardAndWait(PDEVICE_OBJECT Target, PIRP Irp, BOOLEAN CopyStack) {
    PAGED_CODE();
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    if (CopyStack) IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Target, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    // The completion routine kept the IRP: it is the caller's again.
    return status;
}

// Fills the IRP's next stack location with nothing but a major function: no
// file object, no parameters.
static PAGEABLE_ROUTINE VOID PrepareBareRequest(PIRP Irp, UCHAR MajorFunction) {
    PAGED_CODE();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    RtlZeroMemory(next, sizeof(IO_STACK_LOCATION));
    next->MajorFunction = MajorFunction;
}

PAGEABLE_ROUTINE NTSTATUS ClosePortBelow(DeviceState* Device, PIRP Irp) {
    PAGED_CODE();
    RestoreSerialSettings(Device);
    // A failed cleanup does not keep the port open: the close goes anyway.
    PrepareBareRequest(Irp, IRP_MJ_CLEANUP);
    ForwardAndWait(Device->LowerDevice, Irp, FALSE);
    PrepareBareRequest(Irp, IRP_MJ_CLOSE);
    return ForwardAndWait(Device->LowerDevice, Irp, FALSE);
}

// One entry of exactly the packet's header and its single dump-data ULONG,
// no strings: the failure status as ErrorCode and FinalStatus.
static PAGEABLE_ROUTINE VOID LogNoMouse(DeviceState* Device, NTSTATUS Status) {
    PAGED_CODE();
    PIO_ERROR_LOG_PACKET packet =
        static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(Device->Self, sizeof(IO_ERROR_LOG_PACKET)));
    if (packet == NULL) return;
    packet->MajorFunctionCode = 0;
    packet->RetryCount = 0;
    packet->DumpDataSize = 0;
    packet->ErrorCode = Status;
    packet->FinalStatus = Status;
    packet->SequenceNumber = 0;
    packet->IoControlCode = 0;
    IoWriteErrorLogEntry(packet);
}

PAGEABLE_ROUTINE NTSTATUS InitializeMouse(DeviceState* Device) {
    PAGED_CODE();
    Device->Started = TRUE;

    // No wait-mask events while identification drives the modem lines.
    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    ULONG noEvents = 0;
    SendSerialRequest(FALSE, IOCTL_SERIAL_SET_WAIT_MASK, Device->LowerDevice, &request.Event, &request.IoStatus,
                      &noEvents, sizeof(noEvents), NULL, 0);

    NTSTATUS status = SelectProtocol(Device);
    if (NT_SUCCESS(status)) {
        if (Device->Attributes.MouseIdentifier == 0) Device->Attributes.MouseIdentifier = MOUSE_SERIAL_HARDWARE;
        ArmRemovalMonitor(Device);
    }
    if (status != STATUS_SUCCESS) {
        Device->Started = FALSE;
        LogNoMouse(Device, status);
    }
    return status;
}

PAGEABLE_ROUTINE NTSTATUS StartMouse(DeviceState* Device, PIRP Irp, BOOLEAN CloseOnFailure) {
    PAGED_CODE();
    NTSTATUS status = InitializeMouse(Device);
    if (NT_SUCCESS(status)) {
        status = StartReadLoop(Device);
        if (NT_SUCCESS(status)) return status;
    }
    if (CloseOnFailure) {
        // Undo the first open that led here.
        ClosePortBelow(Device, Irp);
        InterlockedDecrement(&Device->OpenCount);
    }
    return status;
}
