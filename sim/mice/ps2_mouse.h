// PS/2 mice: they answer the PS/2 command set with acknowledgements, switch
// into their wheel, five-button or extended modes on the sample-rate
// sequences that real mice of their kind know, and send packets of the
// current mode for a user's movements, buttons and wheel.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/devices/i8042_port.h"

namespace sim {

enum class Ps2MouseKind {
    Standard,    // ID 0, three-byte packets
    Wheel,       // ID 3 after rates 200, 100, 80
    FiveButton,  // ID 3 after 200, 100, 80; ID 4 after a further 200, 200, 80
    Extended,    // ID 3 after 200, 100, 80; ID 5 after 200, 100, 80, 60
};

// "standard", "wheel", "five-button", "extended"; false for anything else.
bool ParsePs2MouseKind(const std::string& name, Ps2MouseKind* kind);

class Ps2Mouse : public Ps2Device {
  public:
    Ps2Mouse(Ps2MouseKind kind, I8042PortModel& port);
    ~Ps2Mouse() override;

    void Receive(UCHAR byte) override;

    // The next `times` receptions of `byte` (every one for kAlways) are
    // answered with `answer` (0xFE RESEND, 0xFC ERROR, or any unexpected
    // byte) and otherwise ignored: a command byte is not obeyed, a rate not
    // taken.
    static constexpr int kAlways = -1;
    void FailCommand(UCHAR byte, int times, UCHAR answer);
    // The next `times` receptions of `byte` are obeyed, but the first byte of
    // the mouse's answer is lost on the wire.
    void LoseAnswer(UCHAR byte, int times);
    // At the next reception of `byte` the mouse goes silent for `duration`:
    // it neither obeys nor answers anything it receives meanwhile.
    void SilenceAfter(UCHAR byte, Ticks duration);

    // A user's actions. Buttons: 0 left, 1 right, 2 middle, 3 button 4,
    // 4 button 5. dy grows downward, as on the screen; wheel steps > 0 turn
    // the wheel away from the user.
    void Move(int dx, int dy);
    void Press(int button);
    void Release(int button);
    void Wheel(int steps);
    void Unplug();
    void Plug();
    // The mouse resets itself and announces it (0xAA, 0x00).
    void SelfReset();

    UCHAR Id() const { return id_; }
    bool Reporting() const { return reporting_; }

  private:
    void Send(std::vector<UCHAR> bytes);
    void Report(int dx, int dy, int dz);
    void ResetState();

    Kernel& kernel_;
    Ps2MouseKind kind_;
    I8042PortModel& port_;
    bool plugged_ = true;
    bool reporting_ = false;
    bool expectingRate_ = false;
    bool expectingParameter_ = false;
    bool scaling2to1_ = false;
    UCHAR resolution_ = 2;
    UCHAR sampleRate_ = 100;
    UCHAR id_ = 0;
    std::deque<UCHAR> rates_;
    unsigned buttons_ = 0;
    Ticks lineFree_ = 0;
    std::deque<UCHAR> wire_;  // bytes on their way to the port
    struct FailPlan {
        int times;
        UCHAR answer;
    };
    std::map<UCHAR, FailPlan> failures_;
    std::map<UCHAR, int> losses_;
    std::map<UCHAR, Ticks> silences_;
    Ticks silentUntil_ = 0;
    bool loseNext_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sim
