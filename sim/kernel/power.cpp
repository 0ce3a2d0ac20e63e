// The power manager's routines that drivers call, and the Plug and Play
// manager's device-state invalidation.
#include "kernel_internal.h"

extern "C" {

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    sim::Point("PoStartNextPowerIrp");
    sim::Kernel& kernel = sim::Kernel::Current();
    sim::IrpRecord* record = kernel.io().Find(Irp);
    if (record == nullptr) kernel.Fail(sim::rule::kObjectMisuse, "PoStartNextPowerIrp of a freed IRP");
    // Every driver that the request reached calls it once.
    if (++record->startNextPowerCalls > record->powerDispatches) {
        kernel.Fail(sim::rule::kPowerIrpStartedTwice,
                    "PoStartNextPowerIrp called " + std::to_string(record->startNextPowerCalls) +
                        " time(s) for a power IRP that " + std::to_string(record->powerDispatches) +
                        " driver(s) handled");
    }
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    sim::Point("PoCallDriver");
    return IofCallDriver(DeviceObject, Irp);
}

// Records the device's new state and returns the one it replaces; a device
// starts in D0 and the system in the working state.
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    sim::Point("PoSetPowerState");
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
    sim::Kernel& kernel = sim::Kernel::Current();
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        kernel.Fail(sim::rule::kIrqlNotLess, "IoInvalidateDeviceState above DISPATCH_LEVEL");
    }
    kernel.io().invalidatedDeviceStates.push_back(PhysicalDeviceObject);
}

}  // extern "C"
