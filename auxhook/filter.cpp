// The filter device: created above the port driver's mouse device, it passes
// every request down and steps into four kinds on their way: the class
// driver's connection, the port driver's hook request, Plug and Play start
// and removal, and create, close and power, which it only records.
#include "auxhook/auxhook.h"

namespace {

inline FilterState* StateOf(PDEVICE_OBJECT DeviceObject) {
    return (FilterState*)DeviceObject->DeviceExtension;
}

RESIDENT_ROUTINE NTSTATUS CompleteHere(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

}  // namespace

extern "C" {

DISCARDABLE_ROUTINE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    for (ULONG i = 0; i < IRP_MJ_MAXIMUM_FUNCTION; i++) Driver->MajorFunction[i] = FilterPassThrough;
    Driver->MajorFunction[IRP_MJ_CREATE] = FilterCreateClose;
    Driver->MajorFunction[IRP_MJ_CLOSE] = FilterCreateClose;
    Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FilterInternalIoctl;
    Driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    Driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    Driver->DriverUnload = FilterUnload;
    Driver->DriverExtension->AddDevice = FilterAddDevice;
    return STATUS_SUCCESS;
}

PAGEABLE_ROUTINE NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT PhysicalDevice) {
    PAGED_CODE();
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(FilterState), NULL, FILE_DEVICE_MOUSE, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;

    FilterState* filter = StateOf(device);
    RtlZeroMemory(filter, sizeof(FilterState));
    filter->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDevice);
    if (filter->LowerDevice == NULL) {
        // Without a stack to sit on the device could pass nothing down.
        IoDeleteDevice(device);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    filter->Self = device;
    filter->PhysicalDevice = PhysicalDevice;
    filter->PowerState = PowerDeviceD0;
    filter->SurpriseRemoved = FALSE;
    filter->RemovePending = FALSE;
    filter->Started = FALSE;

    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

RESIDENT_ROUTINE NTSTATUS NTAPI FilterPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(StateOf(DeviceObject)->LowerDevice, Irp);
}

PAGEABLE_ROUTINE NTSTATUS NTAPI FilterCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    FilterState* filter = StateOf(DeviceObject);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        if (filter->ClassConnection.ClassService == NULL) {
            status = STATUS_INVALID_DEVICE_STATE;
        } else {
            InterlockedIncrement(&filter->OpenCount);
        }
        break;
    case IRP_MJ_CLOSE:
        InterlockedDecrement(&filter->OpenCount);
        break;
    }
    Irp->IoStatus.Status = status;
    return FilterPassThrough(DeviceObject, Irp);
}

PAGEABLE_ROUTINE NTSTATUS NTAPI FilterInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    FilterState* filter = StateOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
    PVOID buffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    Irp->IoStatus.Information = 0;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_MOUSE_CONNECT: {
        if (filter->ClassConnection.ClassService != NULL) return CompleteHere(Irp, STATUS_SHARING_VIOLATION);
        if (length < sizeof(CONNECT_DATA) || buffer == NULL) return CompleteHere(Irp, STATUS_INVALID_PARAMETER);
        // Step in between: the port driver delivers to this filter, which
        // forwards to the class driver.
        PCONNECT_DATA connect = (PCONNECT_DATA)buffer;
        filter->ClassConnection = *connect;
        connect->ClassDeviceObject = filter->Self;
        connect->ClassService = (PVOID)FilterServiceCallback;
        break;
    }
    case IOCTL_INTERNAL_MOUSE_DISCONNECT:
        return CompleteHere(Irp, STATUS_NOT_IMPLEMENTED);
    case IOCTL_INTERNAL_I8042_HOOK_MOUSE: {
        if (length < sizeof(INTERNAL_I8042_HOOK_MOUSE) || buffer == NULL) {
            return CompleteHere(Irp, STATUS_INVALID_PARAMETER);
        }
        // Chain behind any hook a filter above installed, and keep the port
        // driver's routines for the hook.
        PINTERNAL_I8042_HOOK_MOUSE hook = (PINTERNAL_I8042_HOOK_MOUSE)buffer;
        filter->UpperIsrContext = hook->Context;
        hook->Context = DeviceObject;
        if (hook->IsrRoutine != NULL) filter->UpperIsrRoutine = hook->IsrRoutine;
        hook->IsrRoutine = FilterIsrHook;
        filter->IsrWritePort = hook->IsrWritePort;
        filter->CallContext = hook->CallContext;
        filter->QueueMousePacket = hook->QueueMousePacket;
        break;
    }
    default:
        break;
    }
    return FilterPassThrough(DeviceObject, Irp);
}

RESIDENT_ROUTINE VOID NTAPI FilterServiceCallback(PDEVICE_OBJECT DeviceObject, PMOUSE_INPUT_DATA InputDataStart,
                                                  PMOUSE_INPUT_DATA InputDataEnd, PULONG InputDataConsumed) {
    FilterState* filter = StateOf(DeviceObject);
    PMOUSE_CLASS_SERVICE_CALLBACK service = (PMOUSE_CLASS_SERVICE_CALLBACK)filter->ClassConnection.ClassService;
    service(filter->ClassConnection.ClassDeviceObject, InputDataStart, InputDataEnd, InputDataConsumed);
}

RESIDENT_ROUTINE NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PAGEABLE_ROUTINE NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    FilterState* filter = StateOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        // The devices below start first; the request comes back here.
        KEVENT event;
        IoCopyCurrentIrpStackLocationToNext(Irp);
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoSetCompletionRoutine(Irp, StartCompletion, &event, TRUE, TRUE, TRUE);
        NTSTATUS result = IoCallDriver(filter->LowerDevice, Irp);
        NTSTATUS status = result;
        if (result == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = Irp->IoStatus.Status;
        }
        if (NT_SUCCESS(result) && NT_SUCCESS(Irp->IoStatus.Status)) {
            filter->RemovePending = FALSE;
            filter->SurpriseRemoved = FALSE;
            filter->Started = TRUE;
        }
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        filter->SurpriseRemoved = TRUE;
        return FilterPassThrough(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        // The removal goes down to the bus driver first; what it returned is
        // the request's status as the PnP manager sees it.
        filter->RemovePending = TRUE;
        PDEVICE_OBJECT lower = filter->LowerDevice;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(lower, Irp);
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    default:
        return FilterPassThrough(DeviceObject, Irp);
    }
}

PAGEABLE_ROUTINE NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    FilterState* filter = StateOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        filter->PowerState = stack->Parameters.Power.State.DeviceState;
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(filter->LowerDevice, Irp);
}

PAGEABLE_ROUTINE VOID NTAPI FilterUnload(PDRIVER_OBJECT Driver) {
    PAGED_CODE();
    // No global state: nothing to free.
}

}  // extern "C"
