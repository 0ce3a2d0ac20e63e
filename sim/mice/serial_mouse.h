// Serial mice on a modeled COM port: powered by DTR and RTS, reset by taking
// RTS low and raising it again, answering their power-up as real mice of
// their kind do, and turning a user's actions into packets of their protocol
// at their report rate. Bytes cross the line at its real pace in the mouse's
// own framing; a port set otherwise receives them garbled.
//
// Models by name: "two-button" (M), "three-button" (M3), "ballpoint" (B),
// "wheel" (MZ and a Plug and Play identification string), "wheel5" (MZD),
// "five-byte" (H), "c-series" (silent at power-up, answers commands),
// "c-series@BAUD" (a c-series mouse that starts at BAUD: 1200, 2400, 4800 or
// 9600), "none"
// (nothing on the port) and "noise" (a device sending bytes no mouse sends).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/devices/serial_port.h"

namespace sim {

enum class MouseButton { Left, Right, Middle, Button4, Button5 };

class SerialMouse : public SerialLineEnd {
  public:
    // The model by name, attached to `port`; null for an unknown name.
    static std::unique_ptr<SerialMouse> Create(const std::string& model, SerialPortModel& port);
    ~SerialMouse() override;
    SerialMouse(const SerialMouse&) = delete;
    SerialMouse& operator=(const SerialMouse&) = delete;

    // ---- the user
    void Move(int dx, int dy);  // dy grows downward, as in the class driver's records
    void Press(MouseButton button);
    void Release(MouseButton button);
    void Wheel(int steps);  // positive: away from the user
    // Unplugging drops DSR and CTS (the mouse loops its supply back on
    // them) and takes the mouse's power.
    void Unplug();
    void Plug();
    // A contact glitch: DSR and CTS drop and come back after `outage`, too
    // short for the mouse to lose power.
    void Bounce(Ticks outage = 0);
    // Scripted actions, one a line: move DX DY, press/release BUTTON (left,
    // right, middle, 4, 5), wheel N, wait MS, unplug, plug, bounce [MS],
    // reset, # comment.
    // Actions run from now on in virtual time. False (nothing scheduled) on a
    // line it does not understand.
    bool Play(const std::string& script);

    // ---- what the mouse did
    bool Powered() const { return powered_; }
    bool Plugged() const { return plugged_; }
    const SerialFraming& Framing() const { return framing_; }
    // Bytes the mouse put on the line, and bytes it received (as it saw them).
    const std::vector<UCHAR>& Transmitted() const { return transmitted_; }
    const std::vector<UCHAR>& Received() const { return received_; }

    // ---- the line
    void ModemControlChanged(bool dtr, bool rts) override;
    void ByteFromPort(UCHAR byte, const SerialFraming& framing) override;

  protected:
    SerialMouse(SerialPortModel& port, SerialFraming framing, Ticks reportInterval);

    // The device's own behaviour.
    virtual void PowerUp() {}
    virtual void Command(UCHAR byte) {}
    // One packet for the movement given (already within the protocol's
    // range) and the current buttons and wheel.
    virtual std::vector<UCHAR> Packet(int dx, int dy, int wheel) = 0;
    // Largest movement one packet carries, and the wheel range.
    virtual int MaxMove() const { return 127; }
    virtual int MaxWheel() const { return 0; }
    virtual bool Reports() const { return true; }

    // Sends bytes at the mouse's framing, after any still on the line; the
    // first starts `delay` from now (or when the line is free).
    void Send(const std::vector<UCHAR>& bytes, Ticks delay = 0);
    // Schedules a hardware event owned by this mouse (cancelled on power-off
    // and destruction).
    void After(Ticks delay, std::function<void()> fn);
    void StopEverything();
    bool Down(MouseButton b) const { return (buttons_ >> static_cast<int>(b)) & 1; }

    SerialPortModel& port_;
    Kernel& kernel_;
    SerialFraming framing_;
    Ticks reportInterval_;
    unsigned buttons_ = 0;
    unsigned reportedButtons_ = 0;

  private:
    void UpdateStatusLines();
    void SendNext();
    void Report();
    void ScheduleReport();
    void PowerOff();

    bool plugged_ = true;
    bool powered_ = false;
    bool dtr_ = false;
    bool rts_ = false;
    std::vector<UCHAR> txQueue_;
    bool txBusy_ = false;
    Ticks lineFreeAt_ = 0;
    int pendingX_ = 0, pendingY_ = 0, pendingWheel_ = 0;
    bool reportScheduled_ = false;
    std::vector<uint64_t> events_;
    std::vector<uint64_t> scriptEvents_;
    std::vector<UCHAR> transmitted_;
    std::vector<UCHAR> received_;
};

}  // namespace sim
