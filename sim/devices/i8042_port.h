// A model of the i8042 port driver's mouse side: the bottom of the PS/2 mouse
// stack. At start it sends IOCTL_INTERNAL_I8042_HOOK_MOUSE to the top of its
// own stack and keeps the hook it gets back; then it resets the mouse, with
// its own wheel-enabling sequence, calling the hook for every byte from the
// mouse in its interrupt service routine (at the mouse interrupt's IRQL) before
// it looks at the byte; it builds MOUSE_INPUT_DATA records from packets and
// delivers them through the connection the class driver made.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "sim/kernel.h"

namespace sim {

// The wire to the device on the mouse port.
class Ps2Device {
  public:
    virtual ~Ps2Device() = default;
    // A byte from the host arrives.
    virtual void Receive(UCHAR byte) = 0;
};

// What crossed the port, in order.
struct PortEvent {
    enum class Kind { Write, Read, DeviceId };
    Kind kind;
    UCHAR byte;
    bool byFilter = false;          // Write: written through IsrWritePort
    std::optional<UCHAR> passed;    // Read: what the port driver was handed
    Ticks time = 0;
};

struct I8042Options {
    // Complete IRP_MN_START_DEVICE only once the reset sequence has ended.
    bool pendStart = false;
};

class I8042PortModel {
  public:
    // The IRQL of the mouse interrupt.
    static constexpr KIRQL kMouseIrql = 15;
    // A byte takes about a millisecond on the PS/2 wire.
    static constexpr Ticks kByteTime = kTicksPerMillisecond;

    explicit I8042PortModel(I8042Options options = {});
    ~I8042PortModel();
    I8042PortModel(const I8042PortModel&) = delete;
    I8042PortModel& operator=(const I8042PortModel&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    void Attach(Ps2Device* device) { mouse_ = device; }
    // The mouse sends a byte; the interrupt service routine runs on the
    // interrupt context at the mouse's IRQL.
    void Interrupt(UCHAR byte);

    // Where the reset sequence stands and what it settled on.
    MOUSE_STATE State() const { return state_; }
    MOUSE_RESET_SUBSTATE SubState() const { return substate_; }
    bool ResetDone() const { return resetDone_; }
    // The device ID read after the wheel-enabling sequence; -1 before.
    int DeviceId() const { return deviceId_; }
    bool Connected() const { return connect_.ClassService != nullptr; }
    bool Hooked() const { return hookRoutine_ != nullptr; }
    int Resets() const { return resets_; }

    const std::vector<PortEvent>& Events() const { return events_; }
    void OnEvent(std::function<void(const PortEvent&)> observer) { observer_ = std::move(observer); }

    // Starts a new reset sequence of the mouse (as after a hot plug).
    void StartReset();

  private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI IsrWritePort(PVOID context, UCHAR value);
    void ServiceInterrupt(UCHAR byte);
    static VOID NTAPI QueueMousePacket(PVOID context);
    NTSTATUS HandlePnp(PIRP irp);
    NTSTATUS HandleInternal(PIRP irp);
    void SendHookRequest();
    void Write(UCHAR byte, bool byFilter);
    void Process(UCHAR byte);
    void ProcessReset(UCHAR byte);
    void BeginWheelSequence();
    void RestartReset();
    void FinishReset();
    void ArmWatchdog();
    void DeliverPacket();
    void Record(PortEvent event);
    bool inHook_ = false;
    std::vector<PortEvent> writtenByHook_;

    Kernel& kernel_;
    I8042Options options_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    Ps2Device* mouse_ = nullptr;

    CONNECT_DATA connect_{};
    INTERNAL_I8042_HOOK_MOUSE hookRequest_{};
    PI8042_MOUSE_ISR hookRoutine_ = nullptr;
    PVOID hookContext_ = nullptr;
    PIRP pendingStart_ = nullptr;

    MOUSE_STATE state_ = MouseIdle;
    MOUSE_RESET_SUBSTATE substate_ = ExpectingReset;
    UCHAR lastCommand_ = 0;
    bool awaitingResetId_ = false;
    int rateIndex_ = 0;
    int deviceId_ = -1;
    int packetSize_ = 3;
    int restarts_ = 0;
    int resets_ = 0;
    bool resetDone_ = false;
    uint64_t bytesSeen_ = 0;
    UCHAR packet_[4] = {};
    ULONG buttons_ = 0;
    MOUSE_INPUT_DATA input_{};
    OUTPUT_PACKET output_{};

    // Cleared at destruction: events still scheduled then do nothing.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::vector<PortEvent> events_;
    std::function<void(const PortEvent&)> observer_;
};

}  // namespace sim
