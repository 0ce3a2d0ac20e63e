// A serial mouse's whole device stack on the simulated machine, built the
// way driver entry and AddMouseDevice will build it: the COM port model, the
// serial enumerator's physical device for the mouse, the serial driver's
// device above it with its dispatch table and the service key path kept in
// the driver object extension, and the mouse class model on top. Every test
// runs under seeded preemption.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "serial_core/device_frame.h"
#include "serial_core/serial_port.h"
#include "sim/devices/mouse_class.h"
#include "sim/devices/serial_enumerator.h"
#include "sim/devices/serial_port.h"
#include "sim/error_log.h"
#include "sim/mice/serial_mouse.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "tests/support/sim_test.h"
#include "windows/messages/serial_mouse_messages.h"

inline const wchar_t kServiceName[] = L"serwheel";

// What driver entry does before any device exists: keeps the service key
// path (Length + 2 bytes, NUL-terminated) in the driver object extension
// and sets the frame's dispatch routines.
inline NTSTATUS NTAPI FrameDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    PVOID extension = nullptr;
    IoAllocateDriverObjectExtension(driver, SERVICE_KEY_PATH_CLIENT_ID, sizeof(UNICODE_STRING), &extension);
    if (extension != nullptr) {
        auto* path = static_cast<PUNICODE_STRING>(extension);
        path->MaximumLength = static_cast<USHORT>(registryPath->Length + sizeof(WCHAR));
        path->Length = registryPath->Length;
        path->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, path->MaximumLength,
                                                                SERIAL_MOUSE_POOL_TAG));
        if (path->Buffer != nullptr) {
            RtlZeroMemory(path->Buffer, path->MaximumLength);
            RtlCopyMemory(path->Buffer, registryPath->Buffer, path->Length);
        } else {
            path->Length = path->MaximumLength = 0;
        }
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalIoctl;
    driver->DriverUnload = [](PDRIVER_OBJECT d) {
        auto* path = static_cast<PUNICODE_STRING>(IoGetDriverObjectExtension(d, SERVICE_KEY_PATH_CLIENT_ID));
        if (path != nullptr && path->Buffer != nullptr) ExFreePool(path->Buffer);
    };
    return STATUS_SUCCESS;
}

class FrameTest : public SimTest {
  protected:
    // Preemption with the given seed; the stack is built by Build().
    void StartWithSeed(uint64_t seed) {
        sim::KernelOptions options;
        options.seed = seed;
        options.preemption = 0.3;
        StartKernel(options);
    }

    void SetUp() override { StartWithSeed(1); }

    // The stack, with a modeled mouse by name ("" for no line end at all).
    void Build(const std::string& model = "three-button") {
        port_ = std::make_unique<sim::SerialPortModel>();
        enumerator_ = std::make_unique<sim::SerialEnumeratorModel>(*port_);
        if (!model.empty()) mouse_ = sim::SerialMouse::Create(model, *port_);
        driver_ = kernel().LoadDriver(L"\\Driver\\serwheel", FrameDriverEntry,
                                      sim::Registry::ServiceKeyPath(kServiceName));
        kernel().errorLog().RegisterMessageTable(L"\\Driver\\serwheel", SerialMouseMessages,
                                                 SerialMouseMessageCount);
        PDEVICE_OBJECT self = nullptr;
        IoCreateDevice(driver_, sizeof(DeviceState), nullptr, FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &self);
        state_ = static_cast<DeviceState*>(self->DeviceExtension);
        RtlZeroMemory(state_, sizeof(DeviceState));
        state_->LowerDevice = IoAttachDeviceToDeviceStack(self, enumerator_->PhysicalDevice());
        state_->PhysicalDevice = enumerator_->PhysicalDevice();
        state_->Self = self;
        state_->PowerState = PowerDeviceD0;
        IoInitializeRemoveLockEx(&state_->RemoveLock, SERIAL_MOUSE_POOL_TAG, 0, 10, sizeof(IO_REMOVE_LOCK));
        state_->ReadRequest = IoAllocateIrp(self->StackSize, FALSE);
        KeInitializeTimer(&state_->DelayTimer);
        self->Flags &= ~DO_DEVICE_INITIALIZING;
        self->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
        class_ = std::make_unique<sim::MouseClassModel>();
        class_->AttachTo(enumerator_->PhysicalDevice());
    }

    // Removal as Plug and Play will do it: halted, reading and monitoring
    // cancelled, the remove lock drained, both requests freed, the device
    // detached and deleted.
    void EndObjects() override {
        if (state_ != nullptr && kernel().Failures().empty()) {
            class_.reset();
            state_->RemovePending = TRUE;
            state_->Halted = TRUE;
            IoCancelIrp(state_->ReadRequest);
            if (state_->WaitMaskRequest != nullptr) IoCancelIrp(state_->WaitMaskRequest);
            if (holding_) ReleaseHeldRemoveLock();
            if (!drained_) {
                int tag = 0;
                IoAcquireRemoveLockEx(&state_->RemoveLock, &tag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
                IoReleaseRemoveLockAndWaitEx(&state_->RemoveLock, &tag, sizeof(IO_REMOVE_LOCK));
            }
            IoFreeIrp(state_->ReadRequest);
            if (state_->WaitMaskRequest != nullptr) IoFreeIrp(state_->WaitMaskRequest);
            PDEVICE_OBJECT self = state_->Self;
            IoDetachDevice(state_->LowerDevice);
            IoDeleteDevice(self);
            kernel().Settle();
        }
        state_ = nullptr;
        class_.reset();
        mouse_.reset();
        enumerator_.reset();
        port_.reset();
        if (driver_ != nullptr && kernel().Failures().empty()) kernel().UnloadDriver(driver_);
        driver_ = nullptr;
    }

    // The remove lock as removal leaves it while a request is still in the
    // driver: a Plug and Play thread has begun to drain it and waits for the
    // acquisition held here. Every acquisition now fails.
    void BeginRemovalWhileHeld() {
        IoAcquireRemoveLockEx(&state_->RemoveLock, &heldTag_, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
        holding_ = true;
        kernel().CreateThread("removal", [this] {
            IoAcquireRemoveLockEx(&state_->RemoveLock, &drainTag_, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
            IoReleaseRemoveLockAndWaitEx(&state_->RemoveLock, &drainTag_, sizeof(IO_REMOVE_LOCK));
            drained_ = true;
        });
        kernel().Settle();
    }
    void ReleaseHeldRemoveLock() {
        holding_ = false;
        IoReleaseRemoveLockEx(&state_->RemoveLock, &heldTag_, sizeof(IO_REMOVE_LOCK));
        kernel().Settle();
    }

    // Connects the class model and opens the device.
    NTSTATUS ConnectAndOpen() {
        NTSTATUS status = class_->Connect();
        if (!NT_SUCCESS(status)) return status;
        return class_->Open();
    }

    // Requests the port saw, by major function (and code for device control).
    std::vector<const sim::SerialRequestRecord*> PortRequests(UCHAR major, ULONG code = 0) const {
        std::vector<const sim::SerialRequestRecord*> found;
        for (const auto& r : port_->Requests()) {
            bool control = major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
            if (r.majorFunction == major && (!control || code == 0 || r.ioControlCode == code)) found.push_back(&r);
        }
        return found;
    }
    ULONG LastWaitMask() const {
        auto sets = PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK);
        if (sets.empty() || sets.back()->input.size() < 4) return 0xDEADBEEF;
        ULONG mask;
        std::memcpy(&mask, sets.back()->input.data(), 4);
        return mask;
    }

    DeviceState& state() { return *state_; }
    sim::SerialPortModel& port() { return *port_; }
    sim::SerialEnumeratorModel& enumerator() { return *enumerator_; }
    sim::MouseClassModel& mouseClass() { return *class_; }
    sim::SerialMouse* mouse() { return mouse_.get(); }
    sim::Registry& registry() { return kernel().registry(); }
    std::wstring ParametersKey() const { return sim::Registry::ServiceKeyPath(kServiceName) + L"\\Parameters"; }
    std::wstring DeviceKey() { return registry().DeviceKeyPath(enumerator_->PhysicalDevice()); }

  private:
    std::unique_ptr<sim::SerialPortModel> port_;
    std::unique_ptr<sim::SerialEnumeratorModel> enumerator_;
    std::unique_ptr<sim::SerialMouse> mouse_;
    std::unique_ptr<sim::MouseClassModel> class_;
    PDRIVER_OBJECT driver_ = nullptr;
    DeviceState* state_ = nullptr;
    int heldTag_ = 0;
    int drainTag_ = 0;
    bool holding_ = false;
    bool drained_ = false;
};
