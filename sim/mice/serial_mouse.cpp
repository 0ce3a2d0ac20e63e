#include "sim/mice/serial_mouse.h"

#include <algorithm>
#include <sstream>

#include "sim/mice/line.h"

namespace sim {

namespace {

// A Microsoft-compatible mouse finishes its 'M' about 14 ms after RTS rises;
// a second answer byte follows some 63 ms later.
constexpr Ticks kAnswerDelay = Milliseconds(14);
constexpr Ticks kSecondAnswerGap = Milliseconds(63);
// A C-series mouse answers a query after this long.
constexpr Ticks kCommandLatency = Milliseconds(1);

constexpr SerialFraming kMicrosoftFraming{1200, 7, NO_PARITY, STOP_BIT_1};
constexpr SerialFraming kEightBitFraming{1200, 8, NO_PARITY, STOP_BIT_1};

int Clamp(int v, int limit) { return std::max(-limit - 1, std::min(limit, v)); }

// ---- Microsoft family: byte 0 sync with buttons and the top movement bits,
// bytes 1 and 2 the low six bits of X and Y.
std::vector<UCHAR> MicrosoftBytes(unsigned buttons, int dx, int dy) {
    UCHAR b0 = static_cast<UCHAR>(0x40 | ((buttons & 1) << 5) | ((buttons & 2) << 3) | (((dy >> 6) & 3) << 2) |
                                  ((dx >> 6) & 3));
    return {b0, static_cast<UCHAR>(dx & 0x3F), static_cast<UCHAR>(dy & 0x3F)};
}

class MicrosoftMouse : public SerialMouse {
  public:
    MicrosoftMouse(SerialPortModel& port, std::vector<UCHAR> answer, std::vector<UCHAR> tail, int kind)
        : SerialMouse(port, kMicrosoftFraming, Milliseconds(25)), answer_(std::move(answer)),
          tail_(std::move(tail)), kind_(kind) {}

  protected:
    enum { TwoButton, ThreeButton, BallPoint, Wheel, Wheel5 };

    void PowerUp() override {
        Ticks first = kAnswerDelay - ByteTime(framing_);
        Send({answer_[0]}, first);
        if (answer_.size() > 1) {
            std::vector<UCHAR> rest(answer_.begin() + 1, answer_.end());
            rest.insert(rest.end(), tail_.begin(), tail_.end());
            Send(rest, kAnswerDelay + kSecondAnswerGap - ByteTime(framing_));
        }
    }

    int MaxMove() const override { return kind_ == BallPoint ? 255 : 127; }
    int MaxWheel() const override { return kind_ == Wheel || kind_ == Wheel5 ? 7 : 0; }

    std::vector<UCHAR> Packet(int dx, int dy, int wheel) override {
        std::vector<UCHAR> bytes = MicrosoftBytes(buttons_, dx, dy);
        bool middle = Down(MouseButton::Middle);
        switch (kind_) {
            case ThreeButton:
                // The fourth byte comes while the middle button is down and
                // once more when it goes up.
                if (middle || (reportedButtons_ & 4)) bytes.push_back(middle ? 0x20 : 0x00);
                break;
            case BallPoint:
                bytes[0] = static_cast<UCHAR>((bytes[0] & 0x70) | 0x40 | (((dy >> 6) & 3) << 2) | ((dx >> 6) & 3));
                bytes.push_back(static_cast<UCHAR>(((dx >> 8) & 1) | (((dy >> 8) & 1) << 1)));
                break;
            case Wheel5:
                if (wheel == 0 && (Down(MouseButton::Button4) || Down(MouseButton::Button5) ||
                                   (reportedButtons_ & 0x18))) {
                    bool b4 = Down(MouseButton::Button4), b5 = Down(MouseButton::Button5);
                    UCHAR code = b4 && b5 ? 0x0 : b4 ? 0x1 : b5 ? 0xF : 0x8;
                    bytes.push_back(static_cast<UCHAR>(0x20 | (middle ? 0x10 : 0) | code));
                    break;
                }
                [[fallthrough]];
            case Wheel:
                // Wheel away from the user counts negative on the line.
                bytes.push_back(static_cast<UCHAR>((middle ? 0x10 : 0) | (-wheel & 0x0F)));
                break;
            default:
                break;
        }
        return bytes;
    }

  private:
    std::vector<UCHAR> answer_;
    std::vector<UCHAR> tail_;
    int kind_;
};

// ---- five-byte: sync 0x80-0x87 with inverted buttons, then two X/Y pairs,
// Y growing upward.
class FiveByteMouse : public SerialMouse {
  public:
    explicit FiveByteMouse(SerialPortModel& port) : SerialMouse(port, kEightBitFraming, Milliseconds(40)) {}

  protected:
    void PowerUp() override { Send({'H'}, kAnswerDelay - ByteTime(framing_)); }
    int MaxMove() const override { return 254; }
    std::vector<UCHAR> Packet(int dx, int dy, int) override {
        unsigned pressed = (Down(MouseButton::Left) << 2) | (Down(MouseButton::Right) << 1) | Down(MouseButton::Middle);
        int x1 = dx / 2, y1 = dy / 2;
        return {static_cast<UCHAR>(0x80 | (~pressed & 7)), static_cast<UCHAR>(x1), static_cast<UCHAR>(-y1),
                static_cast<UCHAR>(dx - x1), static_cast<UCHAR>(-(dy - y1))};
    }
};

// ---- C-series: silent at power-up; commands at its current baud.
class CSeriesMouse : public SerialMouse {
  public:
    CSeriesMouse(SerialPortModel& port, ULONG startBaud)
        : SerialMouse(port, SerialFraming{startBaud, 8, NO_PARITY, STOP_BIT_1}, Milliseconds(1000) / 150),
          startBaud_(startBaud) {}

  protected:
    void PowerUp() override {
        framing_.baud = startBaud_;
        star_ = false;
        format_ = 'S';
        streaming_ = true;
        reportInterval_ = Milliseconds(1000) / 150;
    }

    void Command(UCHAR byte) override {
        if (star_) {
            star_ = false;
            static const struct { UCHAR command; ULONG baud; } bauds[] = {
                {'n', 1200}, {'o', 2400}, {'p', 4800}, {'q', 9600}};
            for (const auto& row : bauds) {
                if (row.command == byte) framing_.baud = row.baud;
            }
            return;
        }
        static const struct { UCHAR command; int rate; } rates[] = {
            {'D', 0}, {'J', 10}, {'K', 20}, {'L', 35}, {'R', 50}, {'M', 70}, {'Q', 100}, {'N', 150}, {'O', 200}};
        switch (byte) {
            case '*': star_ = true; return;
            case 's': Send({'O'}, kCommandLatency); return;
            case 'k': Send({static_cast<UCHAR>('0' + 3)}, kCommandLatency); return;
            case 'S': case 'T': case 'U': case 'V': case 'B': case 'A': format_ = byte; return;
            default: break;
        }
        for (const auto& row : rates) {
            if (row.command != byte) continue;
            // 'D' is prompt mode: no reports unasked.
            streaming_ = row.rate != 0;
            if (streaming_) reportInterval_ = Milliseconds(1000) / row.rate;
        }
    }

    bool Reports() const override { return streaming_ && format_ == 'S'; }

    std::vector<UCHAR> Packet(int dx, int dy, int) override {
        UCHAR b0 = static_cast<UCHAR>(0x80 | (dx >= 0 ? 0x10 : 0) | (dy < 0 ? 0x08 : 0) |
                                      (Down(MouseButton::Left) << 2) | (Down(MouseButton::Middle) << 1) |
                                      Down(MouseButton::Right));
        // Y on the line grows upward.
        return {b0, static_cast<UCHAR>(std::abs(dx) & 0x7F), static_cast<UCHAR>(std::abs(dy) & 0x7F)};
    }

  private:
    ULONG startBaud_;
    bool star_ = false;
    UCHAR format_ = 'S';
    bool streaming_ = true;
};

// ---- no mouse at all: no lines, no bytes.
class NoMouse : public SerialMouse {
  public:
    explicit NoMouse(SerialPortModel& port) : SerialMouse(port, kMicrosoftFraming, Milliseconds(25)) {}

  protected:
    bool Reports() const override { return false; }
    std::vector<UCHAR> Packet(int, int, int) override { return {}; }
};

// ---- a device that talks, but not like a mouse: control characters.
class NoiseDevice : public SerialMouse {
  public:
    explicit NoiseDevice(SerialPortModel& port) : SerialMouse(port, kMicrosoftFraming, Milliseconds(25)) {}

  protected:
    void PowerUp() override {
        std::vector<UCHAR> bytes;
        uint32_t seed = 0x2545F491;
        for (int i = 0; i < 24; ++i) {
            seed = seed * 1103515245u + 12345u;
            bytes.push_back(static_cast<UCHAR>(1 + (seed >> 16) % 0x1F));
        }
        Send(bytes, Milliseconds(10));
    }
    bool Reports() const override { return false; }
    std::vector<UCHAR> Packet(int, int, int) override { return {}; }
};

// A Plug and Play identification string as a wheel mouse sends it after its
// answer.
std::vector<UCHAR> WheelPnpString() {
    const char* id = "(\x01$2MSH0080\\\\MOUSE\\PNP0F08\\Wheel Mouse)";
    return std::vector<UCHAR>(id, id + std::char_traits<char>::length(id));
}

}  // namespace

std::unique_ptr<SerialMouse> SerialMouse::Create(const std::string& model, SerialPortModel& port) {
    if (model == "two-button") return std::unique_ptr<SerialMouse>(new MicrosoftMouse(port, {'M'}, {}, 0));
    if (model == "three-button") return std::unique_ptr<SerialMouse>(new MicrosoftMouse(port, {'M', '3'}, {}, 1));
    if (model == "ballpoint") return std::unique_ptr<SerialMouse>(new MicrosoftMouse(port, {'B'}, {}, 2));
    if (model == "wheel")
        return std::unique_ptr<SerialMouse>(new MicrosoftMouse(port, {'M', 'Z'}, WheelPnpString(), 3));
    if (model == "wheel5") return std::unique_ptr<SerialMouse>(new MicrosoftMouse(port, {'M', 'Z', 'D'}, {}, 4));
    if (model == "five-byte") return std::unique_ptr<SerialMouse>(new FiveByteMouse(port));
    if (model == "c-series") return std::unique_ptr<SerialMouse>(new CSeriesMouse(port, 1200));
    // "c-series@BAUD": a C-series mouse left at one of the bauds it can be
    // commanded to.
    for (ULONG baud : {1200u, 2400u, 4800u, 9600u}) {
        if (model == "c-series@" + std::to_string(baud))
            return std::unique_ptr<SerialMouse>(new CSeriesMouse(port, baud));
    }
    if (model == "none") return std::unique_ptr<SerialMouse>(new NoMouse(port));
    if (model == "noise") return std::unique_ptr<SerialMouse>(new NoiseDevice(port));
    return nullptr;
}

SerialMouse::SerialMouse(SerialPortModel& port, SerialFraming framing, Ticks reportInterval)
    : port_(port), kernel_(Kernel::Current()), framing_(framing), reportInterval_(reportInterval) {
    port_.Attach(this);
    dtr_ = port_.Dtr();
    rts_ = port_.Rts();
    powered_ = false;
}

SerialMouse::~SerialMouse() {
    StopEverything();
    for (uint64_t e : scriptEvents_) kernel_.CancelEvent(e);
    port_.Attach(nullptr);
}

void SerialMouse::StopEverything() {
    for (uint64_t e : events_) kernel_.CancelEvent(e);
    events_.clear();
    txQueue_.clear();
    txBusy_ = false;
    reportScheduled_ = false;
}

void SerialMouse::After(Ticks delay, std::function<void()> fn) {
    events_.push_back(kernel_.ScheduleAfter(delay, std::move(fn)));
}

void SerialMouse::UpdateStatusLines() {
    // A mouse present loops its supply back: DSR follows DTR, CTS follows RTS.
    bool present = plugged_ && dynamic_cast<NoMouse*>(this) == nullptr;
    port_.SetModemStatusLines(present && rts_, present && dtr_, false, false);
}

void SerialMouse::ModemControlChanged(bool dtr, bool rts) {
    bool rtsRose = rts && !rts_;
    bool dtrRose = dtr && !dtr_;
    dtr_ = dtr;
    rts_ = rts;
    UpdateStatusLines();
    if (!plugged_) return;
    if (!dtr_ || !rts_) {
        PowerOff();
        return;
    }
    // Power returns, or RTS low and high again resets the mouse.
    if (rtsRose || dtrRose) {
        StopEverything();
        powered_ = true;
        reportedButtons_ = buttons_;
        PowerUp();
    }
}

void SerialMouse::PowerOff() {
    powered_ = false;
    StopEverything();
}

void SerialMouse::Unplug() {
    plugged_ = false;
    PowerOff();
    UpdateStatusLines();
}

void SerialMouse::Bounce(Ticks outage) {
    if (!plugged_) return;
    bool present = dynamic_cast<NoMouse*>(this) == nullptr;
    if (!present) return;
    port_.SetModemStatusLines(false, false, false, false);
    if (outage <= 0) {
        UpdateStatusLines();
        return;
    }
    scriptEvents_.push_back(kernel_.ScheduleAfter(outage, [this] { UpdateStatusLines(); }));
}

void SerialMouse::Plug() {
    plugged_ = true;
    UpdateStatusLines();
    if (dtr_ && rts_) {
        powered_ = true;
        reportedButtons_ = buttons_;
        PowerUp();
    }
}

void SerialMouse::ByteFromPort(UCHAR byte, const SerialFraming& framing) {
    if (!powered_) return;
    std::optional<UCHAR> seen = ReceivedByte(byte, framing, framing_);
    if (!seen) return;
    received_.push_back(*seen);
    Command(*seen);
}

void SerialMouse::Send(const std::vector<UCHAR>& bytes, Ticks delay) {
    if (bytes.empty()) return;
    if (delay > 0 && txQueue_.empty() && !txBusy_) {
        After(delay, [this, bytes] { Send(bytes); });
        return;
    }
    txQueue_.insert(txQueue_.end(), bytes.begin(), bytes.end());
    if (!txBusy_) SendNext();
}

void SerialMouse::SendNext() {
    if (txQueue_.empty() || !powered_) {
        txBusy_ = false;
        return;
    }
    txBusy_ = true;
    UCHAR byte = txQueue_.front();
    txQueue_.erase(txQueue_.begin());
    SerialFraming framing = framing_;
    After(ByteTime(framing), [this, byte, framing] {
        transmitted_.push_back(byte);
        std::optional<UCHAR> seen = ReceivedByte(byte, framing, port_.Framing());
        if (seen) port_.Receive(*seen);
        SendNext();
    });
}

// ---- the user's actions become reports at the report rate

void SerialMouse::Move(int dx, int dy) {
    pendingX_ += dx;
    pendingY_ += dy;
    ScheduleReport();
}

void SerialMouse::Press(MouseButton button) {
    buttons_ |= 1u << static_cast<int>(button);
    ScheduleReport();
}

void SerialMouse::Release(MouseButton button) {
    buttons_ &= ~(1u << static_cast<int>(button));
    ScheduleReport();
}

void SerialMouse::Wheel(int steps) {
    pendingWheel_ += steps;
    ScheduleReport();
}

void SerialMouse::ScheduleReport() {
    if (reportScheduled_ || !powered_ || !Reports()) return;
    reportScheduled_ = true;
    After(reportInterval_, [this] {
        reportScheduled_ = false;
        Report();
    });
}

void SerialMouse::Report() {
    if (!powered_ || !Reports()) return;
    if (pendingX_ == 0 && pendingY_ == 0 && pendingWheel_ == 0 && buttons_ == reportedButtons_) return;
    int limit = MaxMove();
    int dx = Clamp(pendingX_, limit);
    int dy = Clamp(pendingY_, limit);
    int wheelLimit = MaxWheel();
    int wheel = wheelLimit == 0 ? 0 : std::max(-wheelLimit, std::min(wheelLimit, pendingWheel_));
    if (wheelLimit == 0) pendingWheel_ = 0;
    std::vector<UCHAR> packet = Packet(dx, dy, wheel);
    pendingX_ -= dx;
    pendingY_ -= dy;
    pendingWheel_ -= wheel;
    reportedButtons_ = buttons_;
    Send(packet);
    if (pendingX_ != 0 || pendingY_ != 0 || pendingWheel_ != 0) ScheduleReport();
}

// ---- scripts

bool SerialMouse::Play(const std::string& script) {
    std::vector<std::pair<Ticks, std::function<void()>>> actions;
    Ticks at = 0;
    std::istringstream lines(script);
    std::string line;
    auto buttonByName = [](const std::string& name, MouseButton* b) {
        static const std::pair<const char*, MouseButton> names[] = {{"left", MouseButton::Left},
                                                                     {"right", MouseButton::Right},
                                                                     {"middle", MouseButton::Middle},
                                                                     {"4", MouseButton::Button4},
                                                                     {"5", MouseButton::Button5}};
        for (const auto& [n, value] : names) {
            if (name == n) {
                *b = value;
                return true;
            }
        }
        return false;
    };
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string verb;
        if (!(words >> verb) || verb[0] == '#') continue;
        if (verb == "move") {
            int dx, dy;
            if (!(words >> dx >> dy)) return false;
            actions.emplace_back(at, [this, dx, dy] { Move(dx, dy); });
        } else if (verb == "press" || verb == "release") {
            std::string name;
            MouseButton b;
            if (!(words >> name) || !buttonByName(name, &b)) return false;
            bool press = verb == "press";
            actions.emplace_back(at, [this, b, press] { press ? Press(b) : Release(b); });
        } else if (verb == "wheel") {
            int n;
            if (!(words >> n)) return false;
            actions.emplace_back(at, [this, n] { Wheel(n); });
        } else if (verb == "wait") {
            long ms;
            if (!(words >> ms) || ms < 0) return false;
            at += Milliseconds(ms);
        } else if (verb == "unplug") {
            actions.emplace_back(at, [this] { Unplug(); });
        } else if (verb == "plug") {
            actions.emplace_back(at, [this] { Plug(); });
        } else if (verb == "bounce") {
            // The lines drop and come back after MS (default 0).
            long ms = 0;
            if (words >> ms) {
                if (ms < 0) return false;
            } else if (!words.eof()) {
                return false;
            }
            Ticks outage = Milliseconds(ms);
            actions.emplace_back(at, [this, outage] { Bounce(outage); });
        } else if (verb == "reset") {
            // RTS low and high again, as the port would do it.
            actions.emplace_back(at, [this] {
                if (plugged_ && dtr_ && rts_) {
                    StopEverything();
                    powered_ = true;
                    reportedButtons_ = buttons_;
                    PowerUp();
                }
            });
        } else {
            return false;
        }
    }
    for (auto& [when, fn] : actions) scriptEvents_.push_back(kernel_.ScheduleAfter(when, fn));
    return true;
}

}  // namespace sim
