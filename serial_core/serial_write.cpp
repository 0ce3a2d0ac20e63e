// Writing to the mouse and the C-series power-up: only serwheel sends
// commands to its mouse, so only serwheel is built with this unit.
#include "serial_core/serial_port.h"

namespace {

// The write operations' result rule: a failed write wins over the call's
// status.
NTSTATUS WriteResult(NTSTATUS Status, const IO_STATUS_BLOCK* IoStatus) {
    if (!NT_SUCCESS(IoStatus->Status)) return IoStatus->Status;
    return Status;
}

}  // namespace

PAGEABLE_ROUTINE NTSTATUS WriteSerial(DeviceState* Device, PVOID Buffer, ULONG Length, PIO_STATUS_BLOCK IoStatus) {
    PAGED_CODE();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER startingOffset;
    startingOffset.QuadPart = 0;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, Device->LowerDevice, Buffer, Length, &startingOffset, &event,
                                            IoStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(Device->LowerDevice, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return IoStatus->Status;
}

PAGEABLE_ROUTINE NTSTATUS WriteSerialChar(DeviceState* Device, CHAR Character) {
    PAGED_CODE();
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    CHAR buffer = Character;
    NTSTATUS status = WriteSerial(Device, &buffer, sizeof(buffer), &ioStatus);
    return WriteResult(status, &ioStatus);
}

PAGEABLE_ROUTINE NTSTATUS WriteSerialString(DeviceState* Device, const CHAR* String) {
    PAGED_CODE();
    ULONG length = 0;
    while (String[length] != '\0') length++;
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    NTSTATUS status = WriteSerial(Device, const_cast<CHAR*>(String), length, &ioStatus);
    return WriteResult(status, &ioStatus);
}

PAGEABLE_ROUTINE NTSTATUS PowerUpCSeriesMouse(DeviceState* Device) {
    PAGED_CODE();
    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    PDEVICE_OBJECT port = Device->LowerDevice;

    SendSerialCommand(FALSE, IOCTL_SERIAL_SET_DTR, port, &request.Event, &request.IoStatus);
    SendSerialCommand(FALSE, IOCTL_SERIAL_SET_RTS, port, &request.Event, &request.IoStatus);
    ULONG modemStatus = 0;
    NTSTATUS status = SendSerialRequest(FALSE, IOCTL_SERIAL_GET_MODEMSTATUS, port, &request.Event, &request.IoStatus,
                                        nullptr, 0, &modemStatus, sizeof(modemStatus));
    // Both CTS and DSR changed: the lines just powered a mouse; give it time.
    if (NT_SUCCESS(status) &&
        (modemStatus & (SERIAL_MSR_DCTS | SERIAL_MSR_DDSR)) == (SERIAL_MSR_DCTS | SERIAL_MSR_DDSR)) {
        TimerDelay(Device, SERIAL_DELAY_500_MS);
    }
    return status;
}
