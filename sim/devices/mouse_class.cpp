#include "mouse_class.h"

namespace sim {

namespace {

struct ClassExtension {
    MouseClassModel* model;
};

}  // namespace

MouseClassModel::MouseClassModel() : kernel_(Kernel::Current()) {
    driver_ = kernel_.CreateDriverObject(L"\\Driver\\Mouclass");
    IoCreateDevice(driver_, sizeof(ClassExtension), nullptr, FILE_DEVICE_MOUSE, 0, FALSE, &device_);
    static_cast<ClassExtension*>(device_->DeviceExtension)->model = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

MouseClassModel::~MouseClassModel() {
    IoDeleteDevice(device_);
    kernel_.UnloadDriver(driver_);
}

CONNECT_DATA MouseClassModel::Connection() const {
    CONNECT_DATA data;
    data.ClassDeviceObject = device_;
    data.ClassService = reinterpret_cast<PVOID>(&MouseClassModel::ServiceCallback);
    return data;
}

VOID NTAPI MouseClassModel::ServiceCallback(PDEVICE_OBJECT DeviceObject, PMOUSE_INPUT_DATA InputDataStart,
                                            PMOUSE_INPUT_DATA InputDataEnd, PULONG InputDataConsumed) {
    MouseClassModel* model = static_cast<ClassExtension*>(DeviceObject->DeviceExtension)->model;
    Kernel& kernel = model->kernel_;
    KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL) {
        kernel.Fail(rule::kIrqlNotLess, "the mouse class service was called at IRQL " + std::to_string(irql) +
                                            " instead of DISPATCH_LEVEL");
    }
    ULONG consumed = 0;
    for (PMOUSE_INPUT_DATA record = InputDataStart; record < InputDataEnd; ++record) {
        DeliveredRecord delivered{*record, irql, kernel.CurrentThreadName(), kernel.Now()};
        model->records_.push_back(delivered);
        if (model->observer_) model->observer_(model->records_.back());
        ++consumed;
    }
    *InputDataConsumed = consumed;
}

}  // namespace sim
