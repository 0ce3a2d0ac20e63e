// The Plug and Play manager's and the power manager's requests to device
// stacks.
#include "sim/pnp.h"

#include <vector>

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

// The managers use the value the dispatch routine returned, as Windows does;
// only for STATUS_PENDING do they wait and read the status block.
NTSTATUS Finish(NTSTATUS result, PKEVENT event, const IO_STATUS_BLOCK& status, ULONG_PTR* information) {
    if (result == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        result = status.Status;
    }
    if (information != nullptr) *information = status.Information;
    return result;
}

// Minor codes past the last one Windows 2000 defines: no driver handles them.
constexpr UCHAR kLastKnownPnpMinor = 0x18;

}  // namespace

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = addDevice(driver, physicalDevice);
    if (NT_SUCCESS(status)) {
        // Requests may arrive as soon as AddDevice returns: the device it
        // created must be ready for them.
        for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
            if (device->Flags & DO_DEVICE_INITIALIZING) {
                Kernel::Current().Fail(rule::kDeviceStillInitializing,
                                       DriverOfDevice(device) +
                                           "'s AddDevice returned with its device still DO_DEVICE_INITIALIZING");
            }
        }
    }
    return status;
}

NTSTATUS SendPnpRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, ULONG_PTR* information) {
    Kernel& kernel = Kernel::Current();
    PDEVICE_OBJECT top = TopOfStack(physicalDevice);
    std::vector<PDEVICE_OBJECT> above;
    for (PDEVICE_OBJECT d = physicalDevice->AttachedDevice; d != nullptr; d = d->AttachedDevice) above.push_back(d);
    KEVENT event;
    IO_STATUS_BLOCK status{};
    PIRP irp = BuildStackRequest(top, IRP_MJ_PNP, minorFunction, &event, &status);
    IrpRecord& record = *kernel.io().Find(irp);
    record.unhandledPnp = minorFunction > kLastKnownPnpMinor;
    record.pnpRemove = minorFunction == IRP_MN_REMOVE_DEVICE;
    record.pnpBottom = physicalDevice;
    NTSTATUS result = IoCallDriver(top, irp);
    result = Finish(result, &event, status, information);
    if (minorFunction == IRP_MN_REMOVE_DEVICE) {
        // Every driver above the bus driver has detached and deleted its
        // device once the removal is done.
        for (PDEVICE_OBJECT d : above) {
            if (kernel.io().DeviceAlive(d)) {
                kernel.Fail(rule::kPnpDeviceNotDeletedAfterRemove,
                            DriverOfDevice(d) + " did not delete its device after IRP_MN_REMOVE_DEVICE");
            }
        }
        if (physicalDevice->AttachedDevice != nullptr) {
            kernel.Fail(rule::kPnpDeviceNotDeletedAfterRemove,
                        "a device is still attached to the physical device after IRP_MN_REMOVE_DEVICE");
        }
    }
    return result;
}

NTSTATUS SendPowerRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, POWER_STATE_TYPE type,
                          POWER_STATE state) {
    Kernel& kernel = Kernel::Current();
    PDEVICE_OBJECT top = TopOfStack(physicalDevice);
    // One power request at a time per device.
    kernel.io().WaitPowerIdle(top);
    top = TopOfStack(physicalDevice);
    KEVENT event;
    IO_STATUS_BLOCK status{};
    PIRP irp = BuildStackRequest(top, IRP_MJ_POWER, minorFunction, &event, &status);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = PowerActionNone;
    kernel.io().PowerIrpSent(top, irp);
    // PoCallDriver delivers it at DISPATCH_LEVEL to a device without
    // DO_POWER_PAGABLE.
    NTSTATUS result = PoCallDriver(top, irp);
    return Finish(result, &event, status, nullptr);
}

}  // namespace sim
