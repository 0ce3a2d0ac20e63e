// The power manager's routines that drivers call, and the Plug and Play
// manager's device-state invalidation.
#include "kernel_internal.h"

extern "C" {

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    sim::Point("PoStartNextPowerIrp");
    sim::CheckIrql("PoStartNextPowerIrp", DISPATCH_LEVEL);
    sim::Kernel& kernel = sim::Kernel::Current();
    sim::IrpRecord* record = kernel.io().Find(Irp);
    if (record == nullptr) kernel.Fail(sim::rule::kObjectMisuse, "PoStartNextPowerIrp of a freed IRP");
    // Each driver the request reached calls it once, while the IRP's current
    // stack location is its own (in its dispatch or completion routine).
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    auto calls = device != nullptr ? record->startNextPowerCalls.find(device->DriverObject)
                                   : record->startNextPowerCalls.end();
    if (calls == record->startNextPowerCalls.end()) {
        kernel.Fail(sim::rule::kObjectMisuse, "PoStartNextPowerIrp by a driver that has not received the power IRP");
    }
    if (++calls->second > 1) {
        kernel.Fail(sim::rule::kPowerIrpStartedTwice,
                    sim::DriverOfDevice(device) + " called PoStartNextPowerIrp twice for one power IRP");
    }
    // The power manager may send this device its next power IRP.
    kernel.io().PowerIrpStarted(device);
}

// Passes a power IRP on. A device without DO_POWER_PAGABLE receives it at
// DISPATCH_LEVEL; one with it only at PASSIVE_LEVEL.
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    sim::Point("PoCallDriver");
    sim::CheckIrql("PoCallDriver", DISPATCH_LEVEL);
    sim::Kernel& kernel = sim::Kernel::Current();
    KIRQL irql = KeGetCurrentIrql();
    if ((DeviceObject->Flags & DO_POWER_PAGABLE) != 0 && irql > PASSIVE_LEVEL) {
        kernel.Fail(sim::rule::kPowerIrpToPagableAbovePassive,
                    "PoCallDriver at IRQL " + std::to_string(irql) + " to a device of " +
                        sim::DriverOfDevice(DeviceObject) + " marked DO_POWER_PAGABLE");
    }
    NTSTATUS status;
    if ((DeviceObject->Flags & DO_POWER_PAGABLE) == 0 && irql < DISPATCH_LEVEL) {
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        status = sim::CallDriver(DeviceObject, Irp, true);
        KfLowerIrql(old);
    } else {
        status = sim::CallDriver(DeviceObject, Irp, true);
    }
    sim::Point("PoCallDriver:return");
    return status;
}

// Records the device's new state and returns the one it replaces; a device
// starts in D0 and the system in the working state.
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    sim::Point("PoSetPowerState");
    sim::CheckIrql("PoSetPowerState", DISPATCH_LEVEL);
    auto& states = sim::Kernel::Current().io().powerStates;
    POWER_STATE previous;
    if (Type == DevicePowerState) {
        previous.DeviceState = PowerDeviceD0;
    } else {
        previous.SystemState = PowerSystemWorking;
    }
    auto it = states.find({DeviceObject, Type});
    if (it != states.end()) previous = it->second;
    states[{DeviceObject, Type}] = State;
    return previous;
}

VOID NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
    sim::Point("IoInvalidateDeviceState");
    sim::CheckIrql("IoInvalidateDeviceState", DISPATCH_LEVEL);
}

}  // extern "C"
