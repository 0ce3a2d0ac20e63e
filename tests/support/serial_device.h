// A serial mouse device put together by hand on a modeled COM port, with a
// modeled class driver connected and one open: what the reading engine, the
// decoders and identification need, until driver entry and Plug and Play
// build the device for real. The tests, mousesim and the benchmarks share it.
#pragma once

#include <memory>

#include "serial_core/device_state.h"
#include "sim/devices/mouse_class.h"
#include "sim/devices/serial_port.h"
#include "sim/kernel.h"

class SerialMouseDevice {
  public:
    SerialMouseDevice(PacketDecoder* decoder, USHORT numberOfButtons)
        : port_(std::make_unique<sim::SerialPortModel>()), class_(std::make_unique<sim::MouseClassModel>()) {
        driver_ = sim::Kernel::Current().CreateDriverObject(L"\\Driver\\SerialMouse");
        IoCreateDevice(driver_, sizeof(DeviceState), nullptr, FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &self_);
        state_ = static_cast<DeviceState*>(self_->DeviceExtension);
        state_->Self = self_;
        state_->LowerDevice = IoAttachDeviceToDeviceStack(self_, port_->Device());
        state_->PowerState = PowerDeviceD0;
        IoInitializeRemoveLockEx(&state_->RemoveLock, SERIAL_MOUSE_POOL_TAG, 0, 10, sizeof(IO_REMOVE_LOCK));
        state_->ReadRequest = IoAllocateIrp(self_->StackSize, FALSE);
        KeInitializeTimer(&state_->DelayTimer);
        self_->Flags &= ~DO_DEVICE_INITIALIZING;
        state_->ClassConnection = class_->Connection();
        state_->Decoder = decoder;
        state_->Attributes.NumberOfButtons = numberOfButtons;
        state_->Started = TRUE;
        state_->OpenCount = 1;
    }

    // Ends reading the way removal does: cancels the read, drains the remove
    // lock, frees the request and deletes the device.
    ~SerialMouseDevice() {
        if (!sim::Kernel::Current().Failures().empty()) return;  // the machine stopped
        state_->RemovePending = TRUE;
        IoCancelIrp(state_->ReadRequest);
        if (!state_->RemoveLock.Removed) {  // a test may have drained it already
            int tag = 0;
            IoAcquireRemoveLockEx(&state_->RemoveLock, &tag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
            IoReleaseRemoveLockAndWaitEx(&state_->RemoveLock, &tag, sizeof(IO_REMOVE_LOCK));
        }
        IoFreeIrp(state_->ReadRequest);
        IoDetachDevice(state_->LowerDevice);
        IoDeleteDevice(self_);
        sim::Kernel::Current().UnloadDriver(driver_);
        class_.reset();
        port_.reset();
    }

    DeviceState& state() { return *state_; }
    sim::SerialPortModel& port() { return *port_; }
    sim::MouseClassModel& mouseClass() { return *class_; }

  private:
    std::unique_ptr<sim::SerialPortModel> port_;
    std::unique_ptr<sim::MouseClassModel> class_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT self_ = nullptr;
    DeviceState* state_ = nullptr;
};
