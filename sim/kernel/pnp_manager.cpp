// The Plug and Play manager's and the power manager's requests to device
// stacks.
#include "sim/pnp.h"

#include "kernel_internal.h"

namespace sim {

namespace {

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT physicalDevice) {
    PDEVICE_OBJECT top = physicalDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    return top;
}

// Builds a request owned by the I/O manager for the top of the stack; its
// completion signals `event` and fills `status`.
PIRP BuildStackRequest(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, PKEVENT event, PIO_STATUS_BLOCK status) {
    Kernel& kernel = Kernel::Current();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        kernel.Fail(rule::kIrqlNotLess, "a Plug and Play or power request sent above PASSIVE_LEVEL");
    }
    PIRP irp = kernel.io().AllocateIrp(top->StackSize, true);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KeInitializeEvent(event, NotificationEvent, FALSE);
    irp->UserEvent = event;
    irp->UserIosb = status;
    return irp;
}

NTSTATUS Finish(NTSTATUS result, PKEVENT event, const IO_STATUS_BLOCK& status, ULONG_PTR* information) {
    // The request is complete once the event is set, whatever the call
    // returned.
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    if (information != nullptr) *information = status.Information;
    return status.Status;
}

}  // namespace

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    return addDevice(driver, physicalDevice);
}

NTSTATUS SendPnpRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, ULONG_PTR* information) {
    PDEVICE_OBJECT top = TopOfStack(physicalDevice);
    KEVENT event;
    IO_STATUS_BLOCK status{};
    PIRP irp = BuildStackRequest(top, IRP_MJ_PNP, minorFunction, &event, &status);
    NTSTATUS result = IoCallDriver(top, irp);
    return Finish(result, &event, status, information);
}

NTSTATUS SendPowerRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, POWER_STATE_TYPE type,
                          POWER_STATE state) {
    PDEVICE_OBJECT top = TopOfStack(physicalDevice);
    KEVENT event;
    IO_STATUS_BLOCK status{};
    PIRP irp = BuildStackRequest(top, IRP_MJ_POWER, minorFunction, &event, &status);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = PowerActionNone;
    NTSTATUS result = PoCallDriver(top, irp);
    return Finish(result, &event, status, nullptr);
}

size_t DeviceStateInvalidations(PDEVICE_OBJECT physicalDevice) {
    size_t count = 0;
    for (PDEVICE_OBJECT pdo : Kernel::Current().io().invalidatedDeviceStates) count += pdo == physicalDevice;
    return count;
}

}  // namespace sim
