#include "ps2_machine.h"

#include "sim/pnp.h"

namespace sim {

Ps2Machine::Ps2Machine(Ps2MachineOptions options) : kernel_(Kernel::Current()), options_(options) {
    port_ = std::make_unique<I8042PortModel>(options.port);
    mouse_ = std::make_unique<Ps2Mouse>(options.mouse, *port_);
    class_ = std::make_unique<MouseClassModel>();
}

Ps2Machine::~Ps2Machine() {
    Stop();
    class_.reset();
    mouse_.reset();
    port_.reset();
}

NTSTATUS Ps2Machine::Start() {
    PDEVICE_OBJECT pdo = port_->Device();
    if (options_.filterEntry != nullptr) {
        NTSTATUS status = STATUS_SUCCESS;
        filterDriver_ = kernel_.LoadDriver(options_.filterName, options_.filterEntry,
                                           L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\filter",
                                           &status);
        if (filterDriver_ == nullptr) return status;
        status = AddDevice(filterDriver_, pdo);
        if (!NT_SUCCESS(status)) return status;
        filterDevice_ = pdo->AttachedDevice;
    }
    NTSTATUS status = class_->AttachTo(pdo);
    if (NT_SUCCESS(status)) status = class_->Connect();
    if (NT_SUCCESS(status)) status = StartDevice(pdo);
    if (NT_SUCCESS(status)) status = class_->Open();
    opened_ = NT_SUCCESS(status);
    return status;
}

bool Ps2Machine::WaitForReset(Ticks limit) {
    Ticks end = kernel_.Now() + limit;
    while (!port_->ResetDone() && kernel_.Now() < end) kernel_.RunFor(Milliseconds(1));
    kernel_.RunFor(Milliseconds(1));
    return port_->ResetDone();
}

bool Ps2Machine::WaitForNewReset(int resetsBefore, Ticks limit) {
    Ticks end = kernel_.Now() + limit;
    auto done = [&] { return port_->Resets() > resetsBefore && port_->ResetDone(); };
    while (!done() && kernel_.Now() < end) kernel_.RunFor(Milliseconds(1));
    kernel_.RunFor(Milliseconds(1));
    return done();
}

void Ps2Machine::Stop() {
    if (stopped_) return;
    stopped_ = true;
    if (opened_) class_->Close();
    if (port_->Device()->AttachedDevice != nullptr) RemoveDevice(port_->Device());
    if (filterDriver_ != nullptr) kernel_.UnloadDriver(filterDriver_);
    filterDriver_ = nullptr;
    filterDevice_ = nullptr;
}

}  // namespace sim
