#include "serial_rig.h"

#include "serial_core/reading.h"

namespace mousesim {

namespace {

sim::KernelOptions QuietKernel() {
    sim::KernelOptions options;
    options.reportToStderr = false;
    return options;
}

}  // namespace

SerialMouseRig::SerialMouseRig(PacketDecoder* decoder, USHORT numberOfButtons)
    : kernel_(QuietKernel()),
      port_(std::make_unique<sim::SerialPortModel>()),
      class_(std::make_unique<sim::MouseClassModel>()) {
    driver_ = kernel_.CreateDriverObject(L"\\Driver\\SerialMouse");
    IoCreateDevice(driver_, sizeof(DeviceState), nullptr, FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &self_);
    device_ = static_cast<DeviceState*>(self_->DeviceExtension);
    device_->Self = self_;
    device_->LowerDevice = IoAttachDeviceToDeviceStack(self_, port_->Device());
    device_->PowerState = PowerDeviceD0;
    IoInitializeRemoveLockEx(&device_->RemoveLock, SERIAL_MOUSE_POOL_TAG, 0, 10, sizeof(IO_REMOVE_LOCK));
    device_->ReadRequest = IoAllocateIrp(self_->StackSize, FALSE);
    self_->Flags &= ~DO_DEVICE_INITIALIZING;
    device_->ClassConnection = class_->Connection();
    device_->Decoder = decoder;
    device_->Attributes.NumberOfButtons = numberOfButtons;
    device_->Started = TRUE;
    device_->OpenCount = 1;
    StartReadLoop(device_);
}

SerialMouseRig::~SerialMouseRig() {
    if (!finished_) Finish();
}

void SerialMouseRig::OnRecord(std::function<void(const sim::DeliveredRecord&)> observer) {
    class_->OnRecord([this, observer](const sim::DeliveredRecord& r) {
        ++delivered_;
        observer(r);
    });
}

void SerialMouseRig::Play(const std::vector<UCHAR>& bytes, sim::Ticks interval) {
    if (bytes.empty()) return;
    const sim::Ticks firstDelay = interval;
    port_->ScheduleBytes(bytes, firstDelay, interval);
    kernel_.RunFor(firstDelay + interval * static_cast<sim::Ticks>(bytes.size()));
    kernel_.Settle();
}

size_t SerialMouseRig::RecordsDelivered() const { return delivered_; }

std::string SerialMouseRig::Finish() {
    finished_ = true;
    if (kernel_.Failures().empty()) {
        device_->RemovePending = TRUE;
        IoCancelIrp(device_->ReadRequest);
        int tag = 0;
        IoAcquireRemoveLockEx(&device_->RemoveLock, &tag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
        IoReleaseRemoveLockAndWaitEx(&device_->RemoveLock, &tag, sizeof(IO_REMOVE_LOCK));
        IoFreeIrp(device_->ReadRequest);
        IoDetachDevice(device_->LowerDevice);
        IoDeleteDevice(self_);
        kernel_.UnloadDriver(driver_);
    }
    class_.reset();
    port_.reset();
    return kernel_.Shutdown();
}

}  // namespace mousesim
