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
    : kernel_(QuietKernel()), mouse_(std::make_unique<SerialMouseDevice>(decoder, numberOfButtons)) {
    StartReadLoop(&mouse_->state());
}

SerialMouseRig::~SerialMouseRig() {
    if (!finished_) Finish();
}

void SerialMouseRig::OnRecord(std::function<void(const sim::DeliveredRecord&)> observer) {
    mouse_->mouseClass().OnRecord([this, observer](const sim::DeliveredRecord& r) {
        ++delivered_;
        observer(r);
    });
}

void SerialMouseRig::Play(const std::vector<UCHAR>& bytes, sim::Ticks interval) {
    if (bytes.empty()) return;
    const sim::Ticks firstDelay = interval;
    mouse_->port().ScheduleBytes(bytes, firstDelay, interval);
    kernel_.RunFor(firstDelay + interval * static_cast<sim::Ticks>(bytes.size()));
    kernel_.Settle();
}

size_t SerialMouseRig::RecordsDelivered() const { return delivered_; }

std::string SerialMouseRig::Finish() {
    finished_ = true;
    mouse_.reset();  // removes the device the way removal does
    return kernel_.Shutdown();
}

}  // namespace mousesim
