// serfive's identification against the modeled port and mice, in virtual
// time: the answers it accepts and refuses, what SelectProtocol installs and
// leaves on the port for each modeled mouse, that it never writes to the
// mouse, and the five-byte mouse read after it.
#include <algorithm>
#include <string>

#include "serfive/decoders.h"
#include "serfive/identify.h"
#include "serial_core/reading.h"
#include "tests/identify/identify_fixture.h"

namespace {

using sim::Milliseconds;

// RTS rises 600 ms into identification (200 ms prepare, 200 + 200 ms power
// cycle) and reading begins 175 ms later, each delay ending on its clock
// tick. The test device sends a byte every 7.5 ms.
const sim::Ticks kRtsRises = OnTick(OnTick(OnTick(Milliseconds(200)) + Milliseconds(200)) + Milliseconds(200));
const sim::Ticks kReadingBegins = OnTick(kRtsRises + Milliseconds(175));
const sim::Ticks kByteGap = Milliseconds(15) / 2;
// Time the last steps take after the last read, when nothing is waited for.
const sim::Ticks kNoWait = Milliseconds(1);

std::string Repeat(char c, size_t n) { return std::string(n, c); }

// When the last read of identification completed.
sim::Ticks LastReadDone(const std::vector<sim::SerialRequestRecord>& requests) {
    sim::Ticks last = -1;
    for (const auto& r : requests) {
        if (r.majorFunction == IRP_MJ_READ) last = std::max(last, r.completedAt);
    }
    return last;
}

bool AnyWrite(const std::vector<sim::SerialRequestRecord>& requests) {
    return std::any_of(requests.begin(), requests.end(), [](const auto& r) { return r.majorFunction == IRP_MJ_WRITE; });
}

struct AnswerCase {
    const char* name;
    std::string answer;
    UCHAR result;
};

class FiveByteAnswerTest : public IdentifyTest, public ::testing::WithParamInterface<AnswerCase> {};

// The result, the time taken and the read timeout left: the answer ends
// 100 ms after its last byte (or at once when 255 bytes have come), silence
// after 200 ms, each timeout ending on its clock tick; a refused answer costs
// nothing more.
TEST_P(FiveByteAnswerTest, AnHAnywhereInTheAnswerIsAFiveByteMouse) {
    const AnswerCase& c = GetParam();
    AttachAnswer(c.answer);
    sim::Ticks start = kernel().Now();
    EXPECT_EQ(serfive::IdentifyMouse(state()), c.result);
    sim::Ticks took = kernel().Now() - start;

    size_t n = c.answer.size();
    sim::Ticks expected;
    ULONG timeoutLeft;
    if (n == 0) {
        expected = OnTick(kReadingBegins + Milliseconds(200));
        timeoutLeft = 200;
    } else {
        size_t read = std::min<size_t>(n, FIVE_BYTE_ANSWER_LENGTH);
        sim::Ticks last = kRtsRises + Milliseconds(14) + static_cast<sim::Ticks>(read - 1) * kByteGap;
        expected = std::max(last, kReadingBegins);
        if (read < FIVE_BYTE_ANSWER_LENGTH) expected = OnTick(expected + Milliseconds(100));
        timeoutLeft = c.result ? 0 : 100;
    }
    // Clock ticks count from the machine's start.
    EXPECT_TRUE(InMillisecond(start + took, expected / 10000.0));
    // Accepted or refused, nothing is waited for after the last read.
    EXPECT_LT(kernel().Now() - LastReadDone(requests()), kNoWait);

    EXPECT_EQ(port().Timeouts().ReadTotalTimeoutConstant, timeoutLeft);
    EXPECT_EQ(port().Framing().baud, 1200u);
    EXPECT_EQ(port().Framing().wordLength, 8);
    EXPECT_TRUE(port().Dtr() && port().Rts());
    size_t readsExpected = n == 0 ? 1 : std::min<size_t>(n + 1, FIVE_BYTE_ANSWER_LENGTH);
    EXPECT_EQ(port().ReadsServed(), readsExpected);
    EXPECT_FALSE(AnyWrite(requests()));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FiveByteAnswerTest,
    ::testing::Values(AnswerCase{"H", "H", 1},
                      // Bit 7 is cleared before the scan.
                      AnswerCase{"HighH", "\xC8", 1},
                      // Bytes around the 'H' do not matter.
                      AnswerCase{"MH", "MH", 1}, AnswerCase{"HThenMore", "H\x01\x02x", 1},
                      // A mouse for serwheel, something else, nothing: refused at once.
                      AnswerCase{"MZD", "MZD", 0}, AnswerCase{"M3", "M3", 0}, AnswerCase{"Unrecognised", "xyz", 0},
                      AnswerCase{"Silence", "", 0},
                      // An answer that never stops: 255 bytes are read and scanned, the
                      // rest never looked at.
                      AnswerCase{"EndlessHAtTheLimit", Repeat('x', 254) + "H" + Repeat('x', 200), 1},
                      AnswerCase{"EndlessHBeyondTheLimit", Repeat('x', 255) + "H" + Repeat('x', 200), 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- SelectProtocol with every modeled mouse

const USHORT kEarlierIdentifier = 0x7777;  // what an earlier start left
const USHORT kRegistryButtons = 4;

struct ModelCase {
    const char* model;
    NTSTATUS status;
    PacketDecoder* decoder;
    USHORT identifier;
    USHORT buttons;
    ULONG readTimeout;
};

std::string TestName(const char* model) {
    std::string name = model;
    for (char& ch : name) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
}

class FiveByteSelectTest : public IdentifyTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(FiveByteSelectTest, InstallsTheDecoderIdentifierAndButtonsAndLeavesThePortSo) {
    const ModelCase& c = GetParam();
    Attach(c.model);
    ASSERT_NE(mouse, nullptr);
    state()->Attributes.MouseIdentifier = kEarlierIdentifier;
    state()->Attributes.NumberOfButtons = kRegistryButtons;
    state()->Decoder = DecodeFiveByte;  // what an earlier start left
    sim::Ticks start = kernel().Now();

    EXPECT_EQ(serfive::SelectProtocol(state()), c.status);
    RecordProperty("identification_ms", std::to_string((kernel().Now() - start) / sim::kTicksPerMillisecond));
    EXPECT_EQ(state()->Decoder, c.decoder);
    EXPECT_EQ(state()->Attributes.MouseIdentifier, c.identifier);
    EXPECT_EQ(state()->Attributes.NumberOfButtons, c.buttons);

    EXPECT_EQ(port().Framing().baud, 1200u);
    EXPECT_EQ(port().Framing().wordLength, 8);
    EXPECT_EQ(port().Framing().parity, NO_PARITY);
    EXPECT_EQ(port().Framing().stopBits, STOP_BIT_1);
    EXPECT_EQ(port().Timeouts().ReadTotalTimeoutConstant, c.readTimeout);
    EXPECT_EQ(port().Timeouts().ReadIntervalTimeout, c.readTimeout ? MAXULONG : 0u);
    EXPECT_TRUE(port().Dtr() && port().Rts());

    const auto& r = requests();
    ASSERT_GE(r.size(), 2u);
    // The port's own settings were saved before anything else.
    EXPECT_TRUE(r.front().internal);
    EXPECT_EQ(r.front().ioControlCode, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS);
    // serfive never sends the mouse a byte.
    EXPECT_FALSE(AnyWrite(r));
    EXPECT_TRUE(mouse->Received().empty());
    bool fifoSent = std::any_of(r.begin(), r.end(), [](const auto& request) {
        return request.majorFunction == IRP_MJ_DEVICE_CONTROL && request.ioControlCode == IOCTL_SERIAL_SET_FIFO_CONTROL;
    });
    if (c.status == STATUS_SUCCESS) {
        // The protocol's line control is set once more, then the read loop
        // starts with the FIFO off and the receive buffer empty.
        ASSERT_GE(r.size(), 4u);
        EXPECT_EQ(r[r.size() - 3].ioControlCode, IOCTL_SERIAL_SET_LINE_CONTROL);
        EXPECT_EQ(r[r.size() - 3].input, (std::vector<UCHAR>{STOP_BIT_1, NO_PARITY, 8}));
        EXPECT_EQ(r[r.size() - 2].ioControlCode, IOCTL_SERIAL_SET_FIFO_CONTROL);
        EXPECT_EQ(r[r.size() - 2].input, (std::vector<UCHAR>{0, 0, 0, 0}));
        EXPECT_EQ(r.back().ioControlCode, IOCTL_SERIAL_PURGE);
        EXPECT_EQ(port().Buffered(), 0u);
    } else {
        EXPECT_FALSE(fifoSent);
        // Refused at once: nothing waited for after the answer ended.
        EXPECT_LT(kernel().Now() - LastReadDone(r), kNoWait);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, FiveByteSelectTest,
    ::testing::Values(ModelCase{"five-byte", STATUS_SUCCESS, DecodeFiveByte, MOUSE_SERIAL_HARDWARE, 3, 0},
                      // Microsoft-family answers are refused, whatever they
                      // look like at eight data bits.
                      ModelCase{"two-button", STATUS_UNSUCCESSFUL, nullptr, kEarlierIdentifier, 2, 100},
                      ModelCase{"wheel5", STATUS_UNSUCCESSFUL, nullptr, kEarlierIdentifier, 2, 100},
                      // The wheel mouse's Plug and Play string carries the
                      // vendor ID "MSH"; read at eight data bits its 'H'
                      // differs only in bit 7, so it passes for a five-byte
                      // mouse.
                      ModelCase{"wheel", STATUS_SUCCESS, DecodeFiveByte, MOUSE_SERIAL_HARDWARE, 3, 0},
                      // A C-series mouse is silent at power-up and nobody asks it.
                      ModelCase{"c-series", STATUS_UNSUCCESSFUL, nullptr, kEarlierIdentifier, 2, 200},
                      ModelCase{"none", STATUS_UNSUCCESSFUL, nullptr, kEarlierIdentifier, 2, 200},
                      ModelCase{"noise", STATUS_UNSUCCESSFUL, nullptr, kEarlierIdentifier, 2, 100}),
    [](const auto& info) { return TestName(info.param.model); });

TEST_F(IdentifyTest, FiveByteLookupKnowsOnlyRowZero) {
    EXPECT_EQ(serfive::LookupProtocol(state(), 1), nullptr);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(serfive::LookupProtocol(state(), 0), DecodeFiveByte);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].input, (std::vector<UCHAR>{STOP_BIT_1, NO_PARITY, 8}));
}

TEST_F(IdentifyTest, FiveByteAPortWhoseReadsFailFindsNoMouseAtOnce) {
    port().FailReads(-1, STATUS_DEVICE_NOT_CONNECTED);
    Attach("five-byte");
    state()->Attributes.NumberOfButtons = kRegistryButtons;
    EXPECT_EQ(serfive::SelectProtocol(state()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(state()->Decoder, nullptr);
    EXPECT_EQ(state()->Attributes.NumberOfButtons, 2);
    // The power-up's delays and nothing else: the failed read waits for no
    // timeout.
    EXPECT_TRUE(InMillisecond(kernel().Now(), kReadingBegins / 10000.0));
}

// ---- under seeded preemption, and then read as the user moved it

class FiveByteSessionTest : public IdentifyTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    void SetUp() override {
        IdentifyTest::SetUp();
        device.reset();
        sim::KernelOptions options;
        options.seed = GetParam();
        options.preemption = 0.3;
        StartKernel(options);
        device = std::make_unique<SerialMouseDevice>(nullptr, 2);
    }
};

TEST_P(FiveByteSessionTest, IdentifiedThenReadAsTheUserMovedIt) {
    Attach("five-byte");
    ASSERT_EQ(serfive::SelectProtocol(state()), STATUS_SUCCESS);
    ASSERT_EQ(StartReadLoop(state()), STATUS_SUCCESS);
    ASSERT_TRUE(mouse->Play("press left\nmove 10 -6\nwait 100\nrelease left\nwait 100\nmove -4 8\nwait 100\n"));
    kernel().RunFor(Milliseconds(1000));

    // Two records per packet: the first half with the buttons, the second
    // half of the movement with none changed.
    struct Expected {
        LONG x, y;
        USHORT flags;
    };
    const Expected expected[] = {
        {5, -3, MOUSE_LEFT_BUTTON_DOWN}, {5, -3, 0}, {0, 0, MOUSE_LEFT_BUTTON_UP}, {0, 0, 0}, {-2, 4, 0}, {-2, 4, 0}};
    const auto& got = device->mouseClass().Records();
    ASSERT_EQ(got.size(), std::size(expected));
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].data.LastX, expected[i].x);
        EXPECT_EQ(got[i].data.LastY, expected[i].y);
        EXPECT_EQ(got[i].data.ButtonFlags, expected[i].flags);
    }
    EXPECT_FALSE(AnyWrite(requests()));
}

INSTANTIATE_TEST_SUITE_P(Seeds, FiveByteSessionTest, ::testing::Values(1u, 2u, 3u, 7u, 42u));

}  // namespace
