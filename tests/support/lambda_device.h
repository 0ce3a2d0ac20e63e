// A device whose dispatch routine is a lambda: the smallest driver that can
// stand in a device stack, for tests of the I/O manager's rules.
#pragma once

#include <functional>
#include <memory>

#include "sim/kernel.h"
#include "tests/support/sim_test.h"

class LambdaDevice {
  public:
    using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

    explicit LambdaDevice(Handler handler, LambdaDevice* below = nullptr) : handler_(std::move(handler)) {
        driver_ = sim::Kernel::Current().CreateDriverObject(L"\\Driver\\Lambda");
        for (auto& slot : driver_->MajorFunction) slot = Dispatch;
        IoCreateDevice(driver_, sizeof(LambdaDevice*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
        *static_cast<LambdaDevice**>(device_->DeviceExtension) = this;
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        if (below != nullptr) lower_ = IoAttachDeviceToDeviceStack(device_, below->device());
    }
    ~LambdaDevice() {
        if (lower_ != nullptr) IoDetachDevice(lower_);
        IoDeleteDevice(device_);
        sim::Kernel::Current().UnloadDriver(driver_);
    }

    PDEVICE_OBJECT device() const { return device_; }
    PDEVICE_OBJECT lower() const { return lower_; }
    void set(Handler handler) { handler_ = std::move(handler); }

  private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        return (*static_cast<LambdaDevice**>(device->DeviceExtension))->handler_(device, irp);
    }

    Handler handler_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
};

// Completes an IRP the way a driver does, returning the status.
inline NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A test with a two-device stack of lambda devices, deleted before the
// verifier's leak check.
class LambdaStackTest : public SimTest {
  protected:
    void EndObjects() override {
        upper.reset();
        lower.reset();
    }
    std::unique_ptr<LambdaDevice> lower;
    std::unique_ptr<LambdaDevice> upper;
};
