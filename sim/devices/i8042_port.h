// A model of the i8042 port driver's mouse side: the bottom of the PS/2 mouse
// stack. At start it sends IOCTL_INTERNAL_I8042_HOOK_MOUSE to the top of its
// own stack and keeps the hook it gets back; then it resets the mouse through
// the steps its MOUSE_RESET_SUBSTATE values name, in their order. Its
// interrupt service routine calls the hook for every byte from the mouse
// before it looks at the byte, with ContinueProcessing FALSE, and takes a
// substate the hook wrote as its own. It builds MOUSE_INPUT_DATA records from
// packets and delivers them through the connection the class driver made.
#pragma once

#include <deque>
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
    // Read: the port driver's state and substate when the byte arrived (what
    // the hook was called with). Write: where the port driver stands once
    // the byte is written. DeviceId: where it settled.
    MOUSE_STATE state = MouseIdle;
    MOUSE_RESET_SUBSTATE substate = ExpectingReset;
};

// "ExpectingGetDeviceId2Value" for 28; "substate N" for a value without a name.
std::string SubStateName(MOUSE_RESET_SUBSTATE substate);
// "MouseIdle", "XMovement", ...
std::string MouseStateName(MOUSE_STATE state);

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
    // A reset sequence that hears nothing from the mouse for this long is
    // started over.
    static constexpr Ticks kResetTimeout = Milliseconds(300);
    // Restarts of one reset sequence before the port driver gives the mouse
    // up until its next reset.
    static constexpr int kRestartLimit = 6;
    // The sample rate and resolution the port driver leaves the mouse at.
    static constexpr UCHAR kSampleRate = 100;
    static constexpr UCHAR kResolution = 3;

    explicit I8042PortModel(I8042Options options = {});
    ~I8042PortModel();
    I8042PortModel(const I8042PortModel&) = delete;
    I8042PortModel& operator=(const I8042PortModel&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    void Attach(Ps2Device* device) { mouse_ = device; }

    // The mouse interrupt: a byte from the mouse arrives and the interrupt
    // service routine runs at the mouse interrupt's IRQL, serialised with
    // everything else that touches the routine's state. This is the one way
    // in for a byte from the mouse.
    void Interrupt(UCHAR byte);

    // Starts a new reset sequence of the mouse, as the port driver does at
    // start, on the way back to D0 after a sleep, or when asked to reset the
    // port.
    void StartReset();

    // Where the reset sequence stands and what it settled on.
    MOUSE_STATE State() const { return state_; }
    MOUSE_RESET_SUBSTATE SubState() const { return substate_; }
    bool ResetDone() const { return resetDone_; }
    // The device ID the last reset sequence settled on; -1 before, and when
    // the port driver gave the mouse up.
    int DeviceId() const { return deviceId_; }
    bool Connected() const { return connect_.ClassService != nullptr; }
    bool Hooked() const { return hookRoutine_ != nullptr; }
    // Reset sequences the port driver began (start, hot plug, a reset asked
    // for) and restarts it made after a stall or a bad answer.
    int Resets() const { return resets_; }
    int Restarts() const { return totalRestarts_; }
    // Interrupts for which the hook stopped processing and returned FALSE.
    uint64_t Unclaimed() const { return unclaimed_; }

    const std::vector<PortEvent>& Events() const { return events_; }
    void OnEvent(std::function<void(const PortEvent&)> observer) { observer_ = std::move(observer); }

  private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI IsrWritePort(PVOID context, UCHAR value);
    static VOID NTAPI QueueMousePacket(PVOID context);
    NTSTATUS HandlePnp(PIRP irp);
    NTSTATUS HandleInternal(PIRP irp);
    void SendHookRequest();

    // Runs `fn` at the mouse interrupt's IRQL, serialised with the interrupt
    // service routine, as KeSynchronizeExecution does.
    void Synchronize(const std::function<void()>& fn);
    // The interrupt service routine's body; runs under Synchronize.
    void ServiceInterrupt(UCHAR byte);

    void Write(UCHAR byte, bool byFilter);
    // Writes a command of the reset sequence and moves to the step that
    // expects its answer.
    void Command(UCHAR byte, MOUSE_RESET_SUBSTATE next);
    void Process(UCHAR byte);
    void ProcessReset(UCHAR byte);
    void ProcessPacketByte(UCHAR byte);
    void BeginReset();
    void RestartReset();
    void GiveUp();
    void SendRates(const UCHAR* rates, MOUSE_RESET_SUBSTATE after);
    void EnterStep(MOUSE_RESET_SUBSTATE step);
    void SettleDeviceId(UCHAR id);
    void FinishReset();
    void ArmWatchdog();
    void CheckStall(uint64_t activity);
    void DeliverPacket();
    void Record(PortEvent event);

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
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0;


    // The interrupt service routine's state.
    MOUSE_STATE state_ = MouseIdle;
    MOUSE_RESET_SUBSTATE substate_ = ExpectingReset;
    UCHAR lastCommand_ = 0;
    int resendCount_ = 0;
    const UCHAR* rates_ = nullptr;
    int rateIndex_ = 0;
    MOUSE_RESET_SUBSTATE afterRates_ = ExpectingReset;
    int statusBytes_ = 0;
    bool fiveButtonsTried_ = false;
    int deviceId_ = -1;
    int packetSize_ = 3;
    int restarts_ = 0;
    int resets_ = 0;
    int totalRestarts_ = 0;
    bool resetDone_ = false;
    uint64_t activity_ = 0;  // bytes read and written during a reset
    uint64_t unclaimed_ = 0; // interrupts the hook declared not handled
    bool inHook_ = false;
    std::vector<PortEvent> writtenByHook_;
    std::deque<UCHAR> toMouse_;  // bytes on their way to the mouse
    UCHAR packet_[4] = {};
    ULONG buttons_ = 0;
    MOUSE_INPUT_DATA input_{};
    OUTPUT_PACKET output_{};

    // The interrupt as connected: whether the model is still there. Interrupts and scheduled events hold a reference of their own,
    // so one that comes (or goes on) after the model is gone finds it
    // disconnected and does nothing.
    struct InterruptConnection {
        bool connected = true;
    };
    std::shared_ptr<InterruptConnection> connection_ = std::make_shared<InterruptConnection>();
    static void RunSynchronized(const std::shared_ptr<InterruptConnection>& connection,
                                const std::function<void()>& fn);
    std::vector<PortEvent> events_;
    std::function<void(const PortEvent&)> observer_;
};

}  // namespace sim
