// A PC with a PS/2 mouse: the i8042 port driver's mouse device, an optional
// filter driver loaded by the PnP manager above it, the mouse class driver on
// top, and a modeled mouse on the port.
#pragma once

#include <memory>

#include "sim/devices/i8042_port.h"
#include "sim/devices/mouse_class.h"
#include "sim/mice/ps2_mouse.h"

namespace sim {

struct Ps2MachineOptions {
    Ps2MouseKind mouse = Ps2MouseKind::Standard;
    // The filter driver's entry routine; null for a stack without a filter.
    PDRIVER_INITIALIZE filterEntry = nullptr;
    const wchar_t* filterName = L"\\Driver\\filter";
    I8042Options port;
};

class Ps2Machine {
  public:
    explicit Ps2Machine(Ps2MachineOptions options);
    ~Ps2Machine();

    // Builds the stack (filter AddDevice, class driver on top, connection),
    // starts it, which resets the mouse, and opens it.
    NTSTATUS Start();
    // Runs the clock until the port driver's reset sequence has ended, or
    // `limit` has passed; true when it ended.
    bool WaitForReset(Ticks limit = Milliseconds(2000));
    // Runs the clock until a reset sequence the port driver began after
    // `resetsBefore` of them (see I8042PortModel::Resets) has ended, or
    // `limit` has passed; true when it ended. For a reset that comes from the
    // mouse's side (a hot plug) or from a request still on its way.
    bool WaitForNewReset(int resetsBefore, Ticks limit = Milliseconds(3000));
    // Closes the device, removes the stack and unloads the filter.
    void Stop();

    I8042PortModel& port() { return *port_; }
    Ps2Mouse& mouse() { return *mouse_; }
    MouseClassModel& mouseClass() { return *class_; }
    PDEVICE_OBJECT FilterDevice() const { return filterDevice_; }

  private:
    Kernel& kernel_;
    Ps2MachineOptions options_;
    std::unique_ptr<I8042PortModel> port_;
    std::unique_ptr<Ps2Mouse> mouse_;
    std::unique_ptr<MouseClassModel> class_;
    PDRIVER_OBJECT filterDriver_ = nullptr;
    PDEVICE_OBJECT filterDevice_ = nullptr;
    bool opened_ = false;
    bool stopped_ = false;
};

}  // namespace sim
