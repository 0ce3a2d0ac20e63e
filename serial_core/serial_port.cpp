// Serial port control shared by both serial drivers: requests to the port
// below, the delay timer, the port's own settings and the modem-line
// sequences that power a mouse.
#include "serial_core/serial_port.h"

namespace {

// The result rule of the configuration requests: a failed request wins over
// the call's status.
NTSTATUS RequestResult(NTSTATUS Status, const IO_STATUS_BLOCK* IoStatus) {
    if (!NT_SUCCESS(IoStatus->Status)) return IoStatus->Status;
    return Status;
}

// One public configuration request with an input buffer and no output.
NTSTATUS SendConfiguration(DeviceState* Device, ULONG IoControlCode, PVOID Input, ULONG InputLength) {
    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    NTSTATUS status = SendSerialRequest(FALSE, IoControlCode, Device->LowerDevice, &request.Event, &request.IoStatus,
                                        Input, InputLength, nullptr, 0);
    return RequestResult(status, &request.IoStatus);
}

}  // namespace

RESIDENT_ROUTINE void InitializeSerialRequestContext(SerialRequestContext* Context) {
    KeInitializeEvent(&Context->Event, NotificationEvent, FALSE);
    Context->IoStatus.Status = STATUS_SUCCESS;
    Context->IoStatus.Information = 0;
}

RESIDENT_ROUTINE NTSTATUS SendSerialRequest(BOOLEAN Internal, ULONG IoControlCode, PDEVICE_OBJECT Device, PKEVENT Event,
                                            PIO_STATUS_BLOCK IoStatus, PVOID InputBuffer, ULONG InputBufferLength,
                                            PVOID OutputBuffer, ULONG OutputBufferLength) {
    KeClearEvent(Event);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Device, InputBuffer, InputBufferLength, OutputBuffer,
                                             OutputBufferLength, Internal, Event, IoStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(Device, irp);
    if (status == STATUS_PENDING) status = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
    if (!NT_SUCCESS(status)) return status;
    return IoStatus->Status;
}

RESIDENT_ROUTINE NTSTATUS SendSerialCommand(BOOLEAN Internal, ULONG IoControlCode, PDEVICE_OBJECT Device, PKEVENT Event,
                                            PIO_STATUS_BLOCK IoStatus) {
    return SendSerialRequest(Internal, IoControlCode, Device, Event, IoStatus, nullptr, 0, nullptr, 0);
}

extern "C" RESIDENT_ROUTINE NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PAGEABLE_ROUTINE NTSTATUS SetBaudRate(DeviceState* Device, ULONG BaudRate) {
    PAGED_CODE();
    SERIAL_BAUD_RATE rate;
    rate.BaudRate = BaudRate;
    return SendConfiguration(Device, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate));
}

PAGEABLE_ROUTINE NTSTATUS SetLineControl(DeviceState* Device, const SERIAL_LINE_CONTROL* LineControl) {
    PAGED_CODE();
    SERIAL_LINE_CONTROL lineControl = *LineControl;
    return SendConfiguration(Device, IOCTL_SERIAL_SET_LINE_CONTROL, &lineControl, sizeof(lineControl));
}

PAGEABLE_ROUTINE NTSTATUS SetReadTimeout(DeviceState* Device, ULONG Milliseconds) {
    PAGED_CODE();
    SERIAL_TIMEOUTS timeouts;
    RtlZeroMemory(&timeouts, sizeof(timeouts));
    if (Milliseconds != 0) {
        timeouts.ReadIntervalTimeout = MAXULONG;
        timeouts.ReadTotalTimeoutMultiplier = MAXULONG;
        timeouts.ReadTotalTimeoutConstant = Milliseconds;
    }
    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    return SendSerialRequest(FALSE, IOCTL_SERIAL_SET_TIMEOUTS, Device->LowerDevice, &request.Event, &request.IoStatus,
                             &timeouts, sizeof(timeouts), nullptr, 0);
}

PAGEABLE_ROUTINE NTSTATUS PurgeReceiveBuffer(DeviceState* Device) {
    PAGED_CODE();
    ULONG mask = SERIAL_PURGE_RXCLEAR;
    return SendConfiguration(Device, IOCTL_SERIAL_PURGE, &mask, sizeof(mask));
}

PAGEABLE_ROUTINE NTSTATUS SetFifoControl(DeviceState* Device, UCHAR Value) {
    PAGED_CODE();
    ULONG control = Value;
    return SendConfiguration(Device, IOCTL_SERIAL_SET_FIFO_CONTROL, &control, sizeof(control));
}

PAGEABLE_ROUTINE NTSTATUS ReadSerialBytes(DeviceState* Device, PUCHAR Buffer, USHORT Count, PUSHORT Got) {
    PAGED_CODE();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    *Got = 0;
    if (Count == 0) return STATUS_SUCCESS;

    PIRP irp = Device->ReadRequest;
    NTSTATUS status = STATUS_SUCCESS;
    while (*Got < Count) {
        KeClearEvent(&event);
        IoReuseIrp(irp, STATUS_SUCCESS);
        irp->AssociatedIrp.SystemBuffer = Buffer + *Got;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = 1;
        next->Parameters.Read.ByteOffset.QuadPart = 0;
        IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
        status = IoCallDriver(Device->LowerDevice, irp);
        if (status == STATUS_PENDING) {
            status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            if (status == STATUS_SUCCESS) status = irp->IoStatus.Status;
        }
        if (!NT_SUCCESS(status) || status == STATUS_TIMEOUT) return status;
        ULONG_PTR delivered = irp->IoStatus.Information;
        // A read that succeeds without a byte (a port set to return at once)
        // would otherwise be sent again and again without end.
        if (delivered == 0) return status;
        if (delivered > static_cast<ULONG_PTR>(Count - *Got)) delivered = Count - *Got;
        *Got = static_cast<USHORT>(*Got + delivered);
    }
    return status;
}

PAGEABLE_ROUTINE NTSTATUS ReadSerialByte(DeviceState* Device, PUCHAR Byte) {
    PAGED_CODE();
    USHORT got = 0;
    NTSTATUS status = ReadSerialBytes(Device, Byte, 1, &got);
    if (!NT_SUCCESS(status)) return status;
    if (got != 1) return STATUS_UNSUCCESSFUL;
    return status;
}

PAGEABLE_ROUTINE NTSTATUS TimerDelay(DeviceState* Device, LONG Interval) {
    PAGED_CODE();
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = Interval;
    KeSetTimer(&Device->DelayTimer, dueTime, nullptr);
    return KeWaitForSingleObject(&Device->DelayTimer, Executive, KernelMode, FALSE, nullptr);
}

PAGEABLE_ROUTINE NTSTATUS SaveSerialSettings(DeviceState* Device) {
    PAGED_CODE();
    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    PDEVICE_OBJECT port = Device->LowerDevice;
    SERIAL_BASIC_SETTINGS* saved = &Device->SavedSerialSettings;

    NTSTATUS status = SendSerialRequest(TRUE, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, port, &request.Event,
                                        &request.IoStatus, nullptr, 0, saved, sizeof(*saved));
    if (NT_SUCCESS(status)) return status;

    // A port without the internal request: timeouts and flow control one by
    // one; the FIFO values stay as they were.
    SERIAL_TIMEOUTS noTimeouts;
    RtlZeroMemory(&noTimeouts, sizeof(noTimeouts));
    SERIAL_HANDFLOW lineControlled;
    lineControlled.ControlHandShake = SERIAL_DTR_CONTROL;
    lineControlled.FlowReplace = SERIAL_RTS_CONTROL;
    lineControlled.XonLimit = 0;
    lineControlled.XoffLimit = 0;
    SendSerialRequest(FALSE, IOCTL_SERIAL_GET_TIMEOUTS, port, &request.Event, &request.IoStatus, nullptr, 0,
                      &saved->Timeouts, sizeof(saved->Timeouts));
    SendSerialRequest(FALSE, IOCTL_SERIAL_SET_TIMEOUTS, port, &request.Event, &request.IoStatus, &noTimeouts,
                      sizeof(noTimeouts), nullptr, 0);
    SendSerialRequest(FALSE, IOCTL_SERIAL_GET_HANDFLOW, port, &request.Event, &request.IoStatus, nullptr, 0,
                      &saved->HandFlow, sizeof(saved->HandFlow));
    return SendSerialRequest(FALSE, IOCTL_SERIAL_SET_HANDFLOW, port, &request.Event, &request.IoStatus, &lineControlled,
                             sizeof(lineControlled), nullptr, 0);
}

PAGEABLE_ROUTINE NTSTATUS RestoreSerialSettings(DeviceState* Device) {
    PAGED_CODE();
    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    PDEVICE_OBJECT port = Device->LowerDevice;
    SERIAL_BASIC_SETTINGS* saved = &Device->SavedSerialSettings;

    NTSTATUS status = SendSerialRequest(TRUE, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, port, &request.Event,
                                        &request.IoStatus, saved, sizeof(*saved), nullptr, 0);
    if (NT_SUCCESS(status)) return status;

    SendSerialRequest(FALSE, IOCTL_SERIAL_SET_TIMEOUTS, port, &request.Event, &request.IoStatus, &saved->Timeouts,
                      sizeof(saved->Timeouts), nullptr, 0);
    return SendSerialRequest(FALSE, IOCTL_SERIAL_SET_HANDFLOW, port, &request.Event, &request.IoStatus,
                             &saved->HandFlow, sizeof(saved->HandFlow), nullptr, 0);
}

PAGEABLE_ROUTINE NTSTATUS PrepareMouseLines(DeviceState* Device) {
    PAGED_CODE();
    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    PDEVICE_OBJECT port = Device->LowerDevice;

    NTSTATUS status = SendSerialCommand(FALSE, IOCTL_SERIAL_SET_DTR, port, &request.Event, &request.IoStatus);
    if (!NT_SUCCESS(status)) return status;
    status = SendSerialCommand(FALSE, IOCTL_SERIAL_CLR_RTS, port, &request.Event, &request.IoStatus);
    if (!NT_SUCCESS(status)) return status;
    return TimerDelay(Device, SERIAL_DELAY_200_MS);
}

PAGEABLE_ROUTINE NTSTATUS PowerCycleMouse(DeviceState* Device) {
    PAGED_CODE();
    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    PDEVICE_OBJECT port = Device->LowerDevice;

    NTSTATUS status = SendSerialCommand(FALSE, IOCTL_SERIAL_CLR_DTR, port, &request.Event, &request.IoStatus);
    if (!NT_SUCCESS(status)) return status;
    status = SendSerialCommand(FALSE, IOCTL_SERIAL_CLR_RTS, port, &request.Event, &request.IoStatus);
    if (!NT_SUCCESS(status)) return status;
    status = TimerDelay(Device, SERIAL_DELAY_200_MS);
    if (!NT_SUCCESS(status)) return status;
    status = SendSerialCommand(FALSE, IOCTL_SERIAL_SET_DTR, port, &request.Event, &request.IoStatus);
    if (!NT_SUCCESS(status)) return status;
    status = TimerDelay(Device, SERIAL_DELAY_200_MS);
    if (!NT_SUCCESS(status)) return status;
    // The mouse wakes as RTS rises; it gets its time whatever the port said.
    SendSerialCommand(FALSE, IOCTL_SERIAL_SET_RTS, port, &request.Event, &request.IoStatus);
    return TimerDelay(Device, SERIAL_DELAY_175_MS);
}
