#include "ps2_mouse.h"

#include <algorithm>

namespace sim {

namespace {

bool EndsWith(const std::deque<UCHAR>& rates, std::initializer_list<UCHAR> tail) {
    if (rates.size() < tail.size()) return false;
    return std::equal(tail.begin(), tail.end(), rates.end() - tail.size());
}

}  // namespace

bool ParsePs2MouseKind(const std::string& name, Ps2MouseKind* kind) {
    static const std::pair<const char*, Ps2MouseKind> kNames[] = {{"standard", Ps2MouseKind::Standard},
                                                                  {"wheel", Ps2MouseKind::Wheel},
                                                                  {"five-button", Ps2MouseKind::FiveButton},
                                                                  {"extended", Ps2MouseKind::Extended}};
    for (const auto& [n, k] : kNames) {
        if (name == n) {
            *kind = k;
            return true;
        }
    }
    return false;
}

Ps2Mouse::Ps2Mouse(Ps2MouseKind kind, I8042PortModel& port) : kernel_(Kernel::Current()), kind_(kind), port_(port) {
    port_.Attach(this);
}

Ps2Mouse::~Ps2Mouse() {
    *alive_ = false;
    port_.Attach(nullptr);
}

void Ps2Mouse::ResetState() {
    reporting_ = false;
    scaling2to1_ = false;
    resolution_ = 2;
    sampleRate_ = 100;
    expectingRate_ = false;
    expectingParameter_ = false;
    id_ = 0;
    rates_.clear();
}

void Ps2Mouse::Send(std::vector<UCHAR> bytes) {
    if (loseNext_ && !bytes.empty()) {
        loseNext_ = false;
        bytes.erase(bytes.begin());
    }
    for (UCHAR b : bytes) {
        lineFree_ = std::max(lineFree_, kernel_.Now()) + I8042PortModel::kByteTime;
        // The wire keeps the bytes' order whichever processor runs each
        // arrival: an arrival delivers the oldest byte on it.
        wire_.push_back(b);
        kernel_.ScheduleAt(lineFree_, [this, alive = alive_] {
            if (!*alive || wire_.empty()) return;
            UCHAR next = wire_.front();
            wire_.pop_front();
            port_.Interrupt(next);
        });
    }
}

void Ps2Mouse::FailCommand(UCHAR byte, int times, UCHAR answer) {
    failures_[byte] = {times, answer};
}

void Ps2Mouse::LoseAnswer(UCHAR byte, int times) {
    losses_[byte] = times;
}

void Ps2Mouse::SilenceAfter(UCHAR byte, Ticks duration) {
    silences_[byte] = duration;
}

void Ps2Mouse::Receive(UCHAR byte) {
    if (!plugged_ || kernel_.Now() < silentUntil_) return;
    auto silence = silences_.find(byte);
    if (silence != silences_.end()) {
        silentUntil_ = kernel_.Now() + silence->second;
        silences_.erase(silence);
        return;
    }
    auto failure = failures_.find(byte);
    if (failure != failures_.end() && failure->second.times != 0) {
        if (failure->second.times > 0) failure->second.times--;
        expectingRate_ = expectingParameter_ = false;
        Send({failure->second.answer});
        return;
    }
    auto loss = losses_.find(byte);
    if (loss != losses_.end() && loss->second > 0) {
        loss->second--;
        loseNext_ = true;
    }
    // A reset is obeyed whatever the mouse was waiting for.
    if ((expectingRate_ || expectingParameter_) && byte != 0xFF) {
        if (expectingParameter_) resolution_ = byte;
        if (expectingRate_) {
            sampleRate_ = byte;
            rates_.push_back(byte);
            if (rates_.size() > 4) rates_.pop_front();
            // Knocks a mouse does not know leave its mode as it is.
            if (kind_ == Ps2MouseKind::Extended && EndsWith(rates_, {200, 100, 80, 60})) {
                id_ = 5;
            } else if (EndsWith(rates_, {200, 100, 80}) && kind_ != Ps2MouseKind::Standard) {
                id_ = 3;
            } else if (EndsWith(rates_, {200, 200, 80}) && kind_ == Ps2MouseKind::FiveButton && id_ == 3) {
                // Only a mouse already in its wheel mode takes the second knock.
                id_ = 4;
            }
        }
        expectingRate_ = expectingParameter_ = false;
        Send({0xFA});
        return;
    }
    switch (byte) {
    case 0xFF:
        ResetState();
        Send({0xFA, 0xAA, 0x00});
        return;
    case 0xF2:
        Send({0xFA, id_});
        return;
    case 0xF3:
        expectingRate_ = true;
        Send({0xFA});
        return;
    case 0xE8:
        expectingParameter_ = true;
        Send({0xFA});
        return;
    case 0xF4:
        reporting_ = true;
        Send({0xFA});
        return;
    case 0xF5:
        reporting_ = false;
        Send({0xFA});
        return;
    case 0xE9:
        // Status: reporting and scaling flags with the buttons, then the
        // resolution and the sample rate.
        Send({0xFA,
              static_cast<UCHAR>((reporting_ ? 0x20 : 0) | (scaling2to1_ ? 0x10 : 0) | (buttons_ & 0x07)),
              resolution_, sampleRate_});
        return;
    case 0xE6:
    case 0xE7:
        scaling2to1_ = byte == 0xE7;
        Send({0xFA});
        return;
    case 0xF6:
        Send({0xFA});
        return;
    default:
        Send({0xFE});
        return;
    }
}

void Ps2Mouse::Report(int dx, int dy, int dz) {
    if (!plugged_ || !reporting_) return;
    int y = -dy;  // PS/2 counts up
    UCHAR first = static_cast<UCHAR>(0x08 | (buttons_ & 0x07));
    if (dx < 0) first |= 0x10;
    if (y < 0) first |= 0x20;
    if (id_ == 5) {
        // The extended mode carries buttons 4 and 5 where the overflow bits
        // were: movements beyond a packet's range are cut at its edge.
        dx = std::clamp(dx, -256, 255);
        y = std::clamp(y, -256, 255);
        if (buttons_ & 0x08) first |= 0x40;
        if (buttons_ & 0x10) first |= 0x80;
    } else {
        // Beyond the nine bits of a movement the overflow bit is set.
        if (dx < -256 || dx > 255) first |= 0x40;
        if (y < -256 || y > 255) first |= 0x80;
    }
    std::vector<UCHAR> packet = {first, static_cast<UCHAR>(dx & 0xFF), static_cast<UCHAR>(y & 0xFF)};
    int z = -dz;  // turning away from the user counts down
    if (id_ == 3) {
        packet.push_back(static_cast<UCHAR>(std::clamp(z, -128, 127) & 0xFF));
    } else if (id_ == 4) {
        // Bits 0 to 3 the wheel, 4 and 5 the extra buttons, 6 and 7 clear.
        UCHAR fourth = static_cast<UCHAR>(std::clamp(z, -8, 7) & 0x0F);
        if (buttons_ & 0x08) fourth |= 0x10;
        if (buttons_ & 0x10) fourth |= 0x20;
        packet.push_back(fourth);
    } else if (id_ == 5) {
        // The wheel's four bits, sign-extended over the whole byte.
        packet.push_back(static_cast<UCHAR>(std::clamp(z, -8, 7) & 0xFF));
    }
    Send(packet);
}

void Ps2Mouse::Move(int dx, int dy) { Report(dx, dy, 0); }

void Ps2Mouse::Press(int button) {
    buttons_ |= 1u << button;
    Report(0, 0, 0);
}

void Ps2Mouse::Release(int button) {
    buttons_ &= ~(1u << button);
    Report(0, 0, 0);
}

void Ps2Mouse::Wheel(int steps) { Report(0, 0, steps); }

void Ps2Mouse::Unplug() {
    plugged_ = false;
    ResetState();
}

void Ps2Mouse::Plug() {
    plugged_ = true;
    SelfReset();
}

void Ps2Mouse::SelfReset() {
    ResetState();
    Send({0xAA, 0x00});
}

}  // namespace sim
