// A model of the serial enumerator's side of a serial mouse: the mouse's
// physical device object, which the enumerator creates for a mouse found on
// a COM port. The mouse driver's requests to the port pass through it to the
// port's stack; Plug and Play and power requests it completes as the bus
// driver; IOCTL_INTERNAL_SERENUM_REMOVE_SELF it handles itself by recording
// that the device reported itself gone (acted on by the Plug and Play
// manager).
#pragma once

#include <vector>

#include "sim/devices/serial_port.h"

namespace sim {

class SerialEnumeratorModel {
  public:
    explicit SerialEnumeratorModel(SerialPortModel& port);
    ~SerialEnumeratorModel();
    SerialEnumeratorModel(const SerialEnumeratorModel&) = delete;
    SerialEnumeratorModel& operator=(const SerialEnumeratorModel&) = delete;

    // The mouse's physical device object: the bottom of the mouse's stack.
    PDEVICE_OBJECT PhysicalDevice() const { return pdo_; }

    // Times (virtual) at which a driver asked for the device's removal.
    const std::vector<Ticks>& RemoveSelfRequests() const { return removeSelf_; }
    // The device has reported itself gone: Plug and Play will see it missing.
    bool ReportedMissing() const { return !removeSelf_.empty(); }
    // Plug and Play and power requests the physical device completed.
    const std::vector<std::pair<UCHAR, UCHAR>>& BusRequests() const { return busRequests_; }

  private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS Complete(PIRP irp, NTSTATUS status);

    Kernel& kernel_;
    SerialPortModel& port_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<Ticks> removeSelf_;
    std::vector<std::pair<UCHAR, UCHAR>> busRequests_;
};

}  // namespace sim
