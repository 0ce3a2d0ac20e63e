// The power manager's routines that drivers call, and the Plug and Play
// manager's device-state invalidation.
#include "kernel_internal.h"

extern "C" {

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    sim::Point("PoStartNextPowerIrp");
    sim::IrpRecord* record = sim::Kernel::Current().io().Find(Irp);
    if (record != nullptr) record->startNextPowerCalls++;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    sim::Point("PoCallDriver");
    return IofCallDriver(DeviceObject, Irp);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    sim::Point("PoSetPowerState");
    return State;
}

VOID NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
    sim::Point("IoInvalidateDeviceState");
}

VOID NTAPI SimCheckPageableCode(PCSTR Routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        sim::Kernel::Current().Fail(sim::rule::kPageableAboveApcLevel,
                                    std::string("pageable routine ") + Routine + " entered at IRQL " +
                                        std::to_string(irql));
    }
}

}  // extern "C"
