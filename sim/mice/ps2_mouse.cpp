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
    expectingRate_ = false;
    expectingParameter_ = false;
    id_ = 0;
    rates_.clear();
}

void Ps2Mouse::Send(std::vector<UCHAR> bytes) {
    for (UCHAR b : bytes) {
        lineFree_ = std::max(lineFree_, kernel_.Now()) + I8042PortModel::kByteTime;
        I8042PortModel* port = &port_;
        kernel_.ScheduleAt(lineFree_, [port, alive = alive_, b] {
            if (*alive) port->Interrupt(b);
        });
    }
}

void Ps2Mouse::FailCommand(UCHAR byte, int times, UCHAR answer) {
    failures_[byte] = {times, answer};
}

void Ps2Mouse::Receive(UCHAR byte) {
    if (!plugged_) return;
    auto failure = failures_.find(byte);
    if (failure != failures_.end() && failure->second.times > 0) {
        failure->second.times--;
        Send({failure->second.answer});
        return;
    }
    // A reset is obeyed whatever the mouse was waiting for.
    if ((expectingRate_ || expectingParameter_) && byte != 0xFF) {
        if (expectingRate_) {
            rates_.push_back(byte);
            if (rates_.size() > 4) rates_.pop_front();
            bool wheelKnock = EndsWith(rates_, {200, 100, 80});
            if (kind_ == Ps2MouseKind::Extended && EndsWith(rates_, {200, 100, 80, 60})) {
                id_ = 5;
            } else if (wheelKnock && (kind_ == Ps2MouseKind::Wheel || kind_ == Ps2MouseKind::Extended)) {
                id_ = 3;
            } else if ((wheelKnock || EndsWith(rates_, {200, 200, 80})) && kind_ == Ps2MouseKind::FiveButton) {
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
    case 0xF6:
    case 0xE6:
    case 0xE7:
        Send({0xFA});
        return;
    default:
        Send({0xFE});
        return;
    }
}

void Ps2Mouse::Report(int dx, int dy, int dz) {
    if (!plugged_ || !reporting_) return;
    dx = std::clamp(dx, -255, 255);
    int y = std::clamp(-dy, -255, 255);  // PS/2 counts up
    UCHAR first = static_cast<UCHAR>(0x08 | (buttons_ & 0x07));
    if (dx < 0) first |= 0x10;
    if (y < 0) first |= 0x20;
    std::vector<UCHAR> packet = {first, static_cast<UCHAR>(dx & 0xFF), static_cast<UCHAR>(y & 0xFF)};
    int z = -dz;  // turning away from the user counts down
    if (id_ == 3) {
        packet.push_back(static_cast<UCHAR>(std::clamp(z, -128, 127) & 0xFF));
    } else if (id_ == 4) {
        UCHAR fourth = static_cast<UCHAR>(std::clamp(z, -8, 7) & 0x0F);
        if (buttons_ & 0x08) fourth |= 0x10;
        if (buttons_ & 0x10) fourth |= 0x20;
        packet.push_back(fourth);
    } else if (id_ == 5) {
        if (buttons_ & 0x08) packet[0] |= 0x40;
        if (buttons_ & 0x10) packet[0] |= 0x80;
        packet.push_back(static_cast<UCHAR>(std::clamp(z, -8, 7) & 0x0F));
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
