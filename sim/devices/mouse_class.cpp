#include "mouse_class.h"

namespace sim {

namespace {

struct ClassExtension {
    MouseClassModel* model;
};

}  // namespace

MouseClassModel::MouseClassModel() : kernel_(Kernel::Current()) {
    driver_ = kernel_.CreateDriverObject(L"\\Driver\\Mouclass");
    for (auto& slot : driver_->MajorFunction) slot = Dispatch;
    IoCreateDevice(driver_, sizeof(ClassExtension), nullptr, FILE_DEVICE_MOUSE, 0, FALSE, &device_);
    static_cast<ClassExtension*>(device_->DeviceExtension)->model = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

MouseClassModel::~MouseClassModel() {
    if (lower_ != nullptr) IoDetachDevice(lower_);
    if (device_ != nullptr) IoDeleteDevice(device_);
    kernel_.UnloadDriver(driver_);
}

CONNECT_DATA MouseClassModel::Connection() const {
    CONNECT_DATA data;
    data.ClassDeviceObject = device_;
    data.ClassService = reinterpret_cast<PVOID>(&MouseClassModel::ServiceCallback);
    return data;
}

NTSTATUS NTAPI MouseClassModel::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    MouseClassModel* model = static_cast<ClassExtension*>(DeviceObject->DeviceExtension)->model;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lower = model->lower_;
    if (lower == nullptr) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(lower, Irp);
    }
    bool removal = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (removal) {
        // As the class driver does: after passing the removal down it leaves
        // the stack and deletes its device.
        IoDetachDevice(lower);
        model->lower_ = nullptr;
        IoDeleteDevice(model->device_);
        model->device_ = nullptr;
    }
    return status;
}

NTSTATUS MouseClassModel::AttachTo(PDEVICE_OBJECT physicalDevice) {
    lower_ = IoAttachDeviceToDeviceStack(device_, physicalDevice);
    return lower_ != nullptr ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS MouseClassModel::SendDown(UCHAR major, ULONG code, PVOID buffer, ULONG length) {
    if (lower_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = major == IRP_MJ_INTERNAL_DEVICE_CONTROL
                   ? IoBuildDeviceIoControlRequest(code, lower_, buffer, length, nullptr, 0, TRUE, &event, &iosb)
                   : IoBuildSynchronousFsdRequest(major, lower_, nullptr, 0, nullptr, &event, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // The returned status is the request's, unless it pended.
    NTSTATUS status = IoCallDriver(lower_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS MouseClassModel::Connect() {
    CONNECT_DATA data = Connection();
    return SendDown(IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_MOUSE_CONNECT, &data, sizeof(data));
}

NTSTATUS MouseClassModel::Open() { return SendDown(IRP_MJ_CREATE, 0, nullptr, 0); }

NTSTATUS MouseClassModel::Close() { return SendDown(IRP_MJ_CLOSE, 0, nullptr, 0); }

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
