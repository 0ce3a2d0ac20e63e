// The device's own requests: the class driver's internal requests (connect,
// attributes), flush, and open and close.
#include "serial_core/device_frame.h"
#include "serial_core/serial_port.h"

static DeviceState* StateOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<DeviceState*>(DeviceObject->DeviceExtension);
}

extern "C" RESIDENT_ROUTINE NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceState* device = StateOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = IoAcquireRemoveLock(&device->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_MOUSE_QUERY_ATTRIBUTES:
            if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(MOUSE_ATTRIBUTES)) {
                status = STATUS_BUFFER_TOO_SMALL;
            } else {
                RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &device->Attributes, sizeof(MOUSE_ATTRIBUTES));
                Irp->IoStatus.Information = sizeof(MOUSE_ATTRIBUTES);
                status = STATUS_SUCCESS;
            }
            break;
        case IOCTL_INTERNAL_MOUSE_CONNECT: {
            // One connection for the life of the device: a second connect is
            // refused before its buffer is looked at.
            if (device->ClassConnection.ClassService != NULL) {
                status = STATUS_SHARING_VIOLATION;
                break;
            }
            if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(CONNECT_DATA)) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            PCONNECT_DATA connect = static_cast<PCONNECT_DATA>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
            // The device object first: an open, and so delivery, needs the
            // service, which comes last.
            device->ClassConnection.ClassDeviceObject = connect->ClassDeviceObject;
            device->ClassConnection.ClassService = connect->ClassService;
            status = STATUS_SUCCESS;
            break;
        }
        case IOCTL_INTERNAL_MOUSE_DISCONNECT:
            status = STATUS_NOT_IMPLEMENTED;
            break;
        case IOCTL_INTERNAL_MOUSE_ENABLE:
        case IOCTL_INTERNAL_MOUSE_DISABLE:
            status = STATUS_NOT_SUPPORTED;
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&device->RemoveLock, Irp);
    return status;
}

extern "C" RESIDENT_ROUTINE NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceState* device = StateOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&device->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(device->LowerDevice, Irp);
    // The port may still hold the flush; the lock guarded only the handing on.
    IoReleaseRemoveLock(&device->RemoveLock, Irp);
    return status;
}

extern "C" PAGEABLE_ROUTINE NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    DeviceState* device = StateOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    if (stack->FileObject != NULL && stack->FileObject->FileName.Length != 0) {
        // Only the device itself opens, nothing below it.
        status = STATUS_ACCESS_DENIED;
    } else {
        status = IoAcquireRemoveLock(&device->RemoveLock, Irp);
        if (NT_SUCCESS(status)) {
            if (device->ClassConnection.ClassService == NULL) {
                status = STATUS_UNSUCCESSFUL;
            } else if (InterlockedIncrement(&device->OpenCount) == 1) {
                // The first open opens the port below, then starts the mouse.
                status = ForwardAndWait(device->LowerDevice, Irp, TRUE);
                if (NT_SUCCESS(status) && !NT_SUCCESS(Irp->IoStatus.Status)) status = Irp->IoStatus.Status;
                if (!NT_SUCCESS(status)) {
                    InterlockedDecrement(&device->OpenCount);
                } else {
                    status = StartMouse(device, Irp, TRUE);
                }
            } else {
                status = STATUS_SUCCESS;
            }
            IoReleaseRemoveLock(&device->RemoveLock, Irp);
        }
    }

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

extern "C" PAGEABLE_ROUTINE NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    DeviceState* device = StateOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&device->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    if (InterlockedDecrement(&device->OpenCount) == 0) {
        // The last close: reading ends with the cancelled read (OpenCount is
        // 0, so it is not issued again), the monitor with its cancelled wait.
        IoCancelIrp(device->ReadRequest);
        CancelRemovalMonitor(device);
        RestoreSerialSettings(device);
        IoReleaseRemoveLock(&device->RemoveLock, Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(device->LowerDevice, Irp);
    }

    IoReleaseRemoveLock(&device->RemoveLock, Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
