// Identification on a modeled port: devices that answer whatever a test
// needs, and a view of the bytes written to the mouse with the baud each
// went out at.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "serial_core/reading.h"
#include "serwheel/decoders.h"
#include "serwheel/identify.h"
#include "tests/serial_port/port_fixture.h"

// Answers its power-up with fixed bytes, 14 ms after RTS rises with DTR up
// and then one every 7.5 ms (seven data bits at 1200 baud); falls silent
// when either line drops, as a mouse losing its power does. The bytes go
// straight into the port, whatever its settings: a way to put any answer,
// bit 7 included, in front of identification.
class AnsweringDevice : public sim::SerialLineEnd {
  public:
    AnsweringDevice(sim::SerialPortModel& port, std::string answer) : port_(port), answer_(std::move(answer)) {
        port_.Attach(this);
    }
    ~AnsweringDevice() override {
        Silence();
        port_.Attach(nullptr);
    }

    void ModemControlChanged(bool dtr, bool rts) override {
        bool rose = dtr && rts && !(dtr_ && rts_);
        dtr_ = dtr;
        rts_ = rts;
        if (!dtr || !rts) Silence();
        if (!rose) return;
        sim::Ticks at = sim::Milliseconds(14);
        for (char c : answer_) {
            UCHAR byte = static_cast<UCHAR>(c);
            pending_.push_back(kernel_.ScheduleAfter(at, [this, byte] { port_.Receive(byte); }));
            at += sim::ByteTime(sim::SerialFraming{1200, 7, NO_PARITY, STOP_BIT_1});
        }
    }
    void ByteFromPort(UCHAR, const sim::SerialFraming&) override {}

  private:
    void Silence() {
        for (uint64_t e : pending_) kernel_.CancelEvent(e);
        pending_.clear();
    }
    sim::Kernel& kernel_ = sim::Kernel::Current();
    sim::SerialPortModel& port_;
    std::string answer_;
    bool dtr_ = false;
    bool rts_ = false;
    std::vector<uint64_t> pending_;
};

// A C-series mouse at 1200 baud whose button-count answer a test chooses
// (or that gives none).
class ButtonAnswerDevice : public sim::SerialLineEnd {
  public:
    ButtonAnswerDevice(sim::SerialPortModel& port, std::optional<UCHAR> buttons) : port_(port), buttons_(buttons) {
        port_.Attach(this);
    }
    ~ButtonAnswerDevice() override { port_.Attach(nullptr); }

    void ModemControlChanged(bool, bool) override {}
    void ByteFromPort(UCHAR byte, const sim::SerialFraming& framing) override {
        if (framing.baud != 1200 || framing.wordLength != 8) return;
        if (byte == 's') Answer('O');
        if (byte == 'k' && buttons_) Answer(*buttons_);
    }

  private:
    void Answer(UCHAR byte) {
        port_.ScheduleBytes({byte}, sim::Milliseconds(1) + sim::ByteTime(sim::SerialFraming{1200, 8, 0, 0}), 0);
    }
    sim::SerialPortModel& port_;
    std::optional<UCHAR> buttons_;
};

struct WrittenByte {
    char byte;
    ULONG baud;
    bool operator==(const WrittenByte& o) const { return byte == o.byte && baud == o.baud; }
};

inline std::ostream& operator<<(std::ostream& out, const WrittenByte& w) {
    return out << "'" << w.byte << "'@" << w.baud;
}

class IdentifyTest : public PortTest {
  protected:
    void EndObjects() override {
        device_end.reset();
        PortTest::EndObjects();
    }

    void AttachAnswer(const std::string& answer) { device_end = std::make_unique<AnsweringDevice>(port(), answer); }

    // Every byte written to the mouse, with the baud the port was set to when
    // it went out.
    std::vector<WrittenByte> Written() {
        std::vector<WrittenByte> written;
        ULONG baud = 0;
        for (const sim::SerialRequestRecord& r : requests()) {
            if (r.majorFunction == IRP_MJ_DEVICE_CONTROL && r.ioControlCode == IOCTL_SERIAL_SET_BAUD_RATE &&
                r.status == STATUS_SUCCESS) {
                baud = r.input[0] | (r.input[1] << 8) | (r.input[2] << 16) | (ULONG(r.input[3]) << 24);
            }
            if (r.majorFunction == IRP_MJ_WRITE) {
                for (UCHAR b : r.input) written.push_back({static_cast<char>(b), baud});
            }
        }
        return written;
    }

    std::unique_ptr<sim::SerialLineEnd> device_end;
};

// Time on the line of a C-series search nobody answers: "DSs" at each of
// the four bauds, "D*n" at 9600 and 'N' at 1200.
// Waits and read timeouts end on clock ticks of 10.0144 ms: the first tick
// at or after `t`.
inline sim::Ticks OnTick(sim::Ticks t) {
    return (t + sim::kUniprocessorClockTick - 1) / sim::kUniprocessorClockTick * sim::kUniprocessorClockTick;
}

inline sim::Ticks UnansweredScanLineTime() {
    sim::Ticks total = 0;
    for (ULONG baud : {1200u, 2400u, 4800u, 9600u}) total += 3 * sim::ByteTime(sim::SerialFraming{baud, 8, 0, 0});
    return total + 3 * sim::ByteTime(sim::SerialFraming{9600, 8, 0, 0}) + sim::ByteTime(sim::SerialFraming{1200, 8, 0, 0});
}

inline std::vector<WrittenByte> At(const std::string& bytes, ULONG baud) {
    std::vector<WrittenByte> out;
    for (char c : bytes) out.push_back({c, baud});
    return out;
}

inline std::vector<WrittenByte> operator+(std::vector<WrittenByte> a, const std::vector<WrittenByte>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
