// Identification of Microsoft-family mice from their power-up answer and the
// protocol SelectProtocol installs for every modeled mouse, against the
// modeled port, in virtual time.
#include <string>

#include "tests/identify/identify_fixture.h"

namespace {

using sim::Milliseconds;

// RTS rises 600 ms into identification (200 ms prepare, 200 + 200 ms power
// cycle) and reading begins 175 ms later.
// Three delays of 200 ms, each to its tick, bring RTS up at 600.86 ms; the
// 175 ms after it end at 781.12 ms.
const sim::Ticks kRtsRises = OnTick(OnTick(OnTick(Milliseconds(200)) + Milliseconds(200)) + Milliseconds(200));
const sim::Ticks kReadingBegins = OnTick(kRtsRises + Milliseconds(175));
const sim::Ticks kSevenBitByte = Milliseconds(15) / 2;

struct AnswerCase {
    const char* name;
    std::string answer;
    MouseKind kind;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

class AnswerTest : public IdentifyTest, public ::testing::WithParamInterface<AnswerCase> {};

// The kind, when IdentifyMouse returns and the read timeout it leaves: the
// answer ends 100 ms after its last byte (or at once when 255 bytes have
// come), silence after 200 ms, and unrecognised bytes cost 500 ms more; each
// of these timeouts and waits ends on the clock tick.
TEST_P(AnswerTest, TheAnswerDecidesTheKindAndTheTimeItTakes) {
    const AnswerCase& c = GetParam();
    AttachAnswer(c.answer);
    sim::Ticks start = kernel().Now();
    EXPECT_EQ(IdentifyMouse(state()), c.kind);
    sim::Ticks took = kernel().Now() - start;

    size_t n = c.answer.size();
    sim::Ticks expected;
    ULONG timeoutLeft;
    if (n == 0) {
        expected = OnTick(kReadingBegins + Milliseconds(200));
        timeoutLeft = 200;
    } else {
        size_t read = std::min<size_t>(n, MOUSE_ANSWER_LENGTH);
        sim::Ticks last = kRtsRises + Milliseconds(14) + static_cast<sim::Ticks>(read - 1) * kSevenBitByte;
        expected = std::max(last, kReadingBegins);
        if (read < MOUSE_ANSWER_LENGTH) expected = OnTick(expected + Milliseconds(100));
        if (c.kind == NoMouse) expected = OnTick(expected + Milliseconds(500));
        timeoutLeft = c.kind == NoMouse ? 100 : 0;
    }
    // Clock ticks count from the machine's start, as the setup's few
    // microseconds do.
    EXPECT_TRUE(InMillisecond(start + took, expected / 10000.0));
    EXPECT_EQ(port().Timeouts().ReadTotalTimeoutConstant, timeoutLeft);
    EXPECT_EQ(port().Framing().baud, 1200u);
    EXPECT_EQ(port().Framing().wordLength, 7);
    EXPECT_TRUE(port().Dtr() && port().Rts());
    size_t readsExpected = n == 0 ? 1 : std::min<size_t>(n + 1, MOUSE_ANSWER_LENGTH);
    EXPECT_EQ(port().ReadsServed(), readsExpected);
}

const std::string kPnpTail = "(\x01$2MSH0080\\\\MOUSE\\PNP0F08\\Wheel Mouse)";

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTest,
    ::testing::Values(
        AnswerCase{"M", "M", TwoButtonMouse}, AnswerCase{"M3", "M3", ThreeButtonMouse},
        AnswerCase{"B", "B", BallPointMouse}, AnswerCase{"MZPnp", "MZ" + kPnpTail, WheelMouse},
        AnswerCase{"MZD", "MZD", ExtendedWheelMouse},
        // Bit 7 is cleared before the scan.
        AnswerCase{"HighM3", "\xCD" "3", ThreeButtonMouse}, AnswerCase{"HighMZD", "M\xDA\xC4", ExtendedWheelMouse},
        AnswerCase{"HighB", "\xC2", BallPointMouse},
        // Leading junk is skipped; the first candidate decides.
        AnswerCase{"XB", "XB", BallPointMouse}, AnswerCase{"JunkM3", "\x01\x7F?M3", ThreeButtonMouse},
        AnswerCase{"BM3", "BM3", BallPointMouse}, AnswerCase{"MB", "MB", TwoButtonMouse},
        AnswerCase{"M0", std::string("M\0", 2), TwoButtonMouse},
        // The 0 behind the answer.
        AnswerCase{"EndsMZ", "xxMZ", WheelMouse}, AnswerCase{"EndsM", "xxxM", TwoButtonMouse},
        // An answer that never stops: 255 bytes are read, the rest never
        // looked at, whatever comes after.
        AnswerCase{"EndlessMZAtTheLimit", Repeat('x', 253) + "MZD" + Repeat('x', 200), WheelMouse},
        AnswerCase{"EndlessMAtTheLimit", Repeat('x', 254) + "MZD" + Repeat('x', 200), TwoButtonMouse},
        AnswerCase{"EndlessMBeyondTheLimit", Repeat('x', 255) + "M3" + Repeat('x', 200), NoMouse},
        AnswerCase{"ExactlyTheLimit", Repeat('x', 254) + "M", TwoButtonMouse},
        // Nothing recognised, and nothing at all.
        AnswerCase{"Unrecognised", "xyz", NoMouse}, AnswerCase{"Silence", "", NoMouse}),
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
    UCHAR wordLength;
    ULONG readTimeout;
};

class SelectProtocolTest : public IdentifyTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(SelectProtocolTest, InstallsTheDecoderIdentifierAndButtonsAndLeavesThePortSo) {
    const ModelCase& c = GetParam();
    Attach(c.model);
    ASSERT_NE(mouse, nullptr);
    state()->Attributes.MouseIdentifier = kEarlierIdentifier;
    state()->Attributes.NumberOfButtons = kRegistryButtons;
    sim::Ticks start = kernel().Now();

    EXPECT_EQ(SelectProtocol(state()), c.status);
    RecordProperty("identification_ms", std::to_string((kernel().Now() - start) / sim::kTicksPerMillisecond));
    EXPECT_EQ(state()->Decoder, c.decoder);
    EXPECT_EQ(state()->Attributes.MouseIdentifier, c.identifier);
    EXPECT_EQ(state()->Attributes.NumberOfButtons, c.buttons);

    EXPECT_EQ(port().Framing().baud, 1200u);
    EXPECT_EQ(port().Framing().wordLength, c.wordLength);
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
    bool fifoSent = false;
    for (const auto& request : r) {
        fifoSent |= request.majorFunction == IRP_MJ_DEVICE_CONTROL &&
                    request.ioControlCode == IOCTL_SERIAL_SET_FIFO_CONTROL;
    }
    if (c.status == STATUS_SUCCESS) {
        // The read loop starts with the FIFO off and the receive buffer empty.
        EXPECT_EQ(r[r.size() - 2].ioControlCode, IOCTL_SERIAL_SET_FIFO_CONTROL);
        EXPECT_EQ(r[r.size() - 2].input, (std::vector<UCHAR>{0, 0, 0, 0}));
        EXPECT_EQ(r.back().ioControlCode, IOCTL_SERIAL_PURGE);
        EXPECT_EQ(port().Buffered(), 0u);
    } else {
        EXPECT_FALSE(fifoSent);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, SelectProtocolTest,
    ::testing::Values(
        ModelCase{"two-button", STATUS_SUCCESS, DecodeThreeByte, MOUSE_SERIAL_HARDWARE, 2, 7, 0},
        ModelCase{"three-button", STATUS_SUCCESS, DecodeThreeByte, MOUSE_SERIAL_HARDWARE, 3, 7, 0},
        ModelCase{"ballpoint", STATUS_SUCCESS, DecodeBallPoint, BALLPOINT_SERIAL_HARDWARE, 2, 7, 0},
        ModelCase{"wheel", STATUS_SUCCESS, DecodeWheel, WHEELMOUSE_SERIAL_HARDWARE, 3, 7, 0},
        ModelCase{"wheel5", STATUS_SUCCESS, DecodeWheel, WHEELMOUSE_SERIAL_HARDWARE, 5, 7, 0},
        ModelCase{"c-series", STATUS_SUCCESS, DecodeCSeries, kEarlierIdentifier, 3, 8, 0},
        ModelCase{"c-series@9600", STATUS_SUCCESS, DecodeCSeries, kEarlierIdentifier, 3, 8, 0},
        ModelCase{"none", STATUS_UNSUCCESSFUL, nullptr, kEarlierIdentifier, 2, 8, 50},
        ModelCase{"noise", STATUS_UNSUCCESSFUL, nullptr, kEarlierIdentifier, 2, 8, 50},
        ModelCase{"five-byte", STATUS_UNSUCCESSFUL, nullptr, kEarlierIdentifier, 2, 8, 50}),
    [](const auto& info) {
        std::string name = info.param.model;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

TEST_F(IdentifyTest, APortWhoseReadsFailFindsNoMouseAndDoesNotWaitForOne) {
    port().FailReads(-1, STATUS_DEVICE_NOT_CONNECTED);
    Attach("three-button");
    state()->Attributes.NumberOfButtons = kRegistryButtons;
    EXPECT_EQ(SelectProtocol(state()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(state()->Decoder, nullptr);
    EXPECT_EQ(state()->Attributes.NumberOfButtons, 2);
    // 775 ms of power-up (781.12 ms on clock ticks), the C-series
    // power-up's 500 ms (to the tick at 1281.84 ms), the commands on the
    // line, the 2 ms after the baud command (to the tick at 1341.93 ms) and
    // the last command's byte: neither the 500 ms after unrecognised bytes
    // nor any read timeout.
    EXPECT_TRUE(InMillisecond(kernel().Now(), 1350));
}

// ---- what the user then gets: the mouse's actions on the same line, read
// by the installed decoder

struct Expected {
    LONG x, y;
    USHORT flags;
    USHORT data;
};

struct SessionCase {
    const char* model;
    std::string script;
    std::vector<Expected> records;
};

class SessionTest : public IdentifyTest, public ::testing::WithParamInterface<SessionCase> {};

TEST_P(SessionTest, TheMouseIsReadAsTheUserMovedIt) {
    const SessionCase& c = GetParam();
    Attach(c.model);
    ASSERT_EQ(SelectProtocol(state()), STATUS_SUCCESS);
    ASSERT_EQ(StartReadLoop(state()), STATUS_SUCCESS);
    ASSERT_TRUE(mouse->Play(c.script));
    kernel().RunFor(Milliseconds(1000));

    const auto& got = device->mouseClass().Records();
    ASSERT_EQ(got.size(), c.records.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].data.LastX, c.records[i].x);
        EXPECT_EQ(got[i].data.LastY, c.records[i].y);
        EXPECT_EQ(got[i].data.ButtonFlags, c.records[i].flags);
        EXPECT_EQ(got[i].data.ButtonData, c.records[i].data);
    }
}

const char* kClickAndMove = "press left\nmove 10 -5\nwait 100\nrelease left\nwait 100\nmove -3 4\nwait 100\n";

INSTANTIATE_TEST_SUITE_P(
    Models, SessionTest,
    ::testing::Values(
        SessionCase{"two-button",
                    std::string(kClickAndMove) + "press right\nwait 100\nrelease right\n",
                    {{10, -5, MOUSE_LEFT_BUTTON_DOWN, 0},
                     {0, 0, MOUSE_LEFT_BUTTON_UP, 0},
                     {-3, 4, 0, 0},
                     {0, 0, MOUSE_RIGHT_BUTTON_DOWN, 0},
                     {0, 0, MOUSE_RIGHT_BUTTON_UP, 0}}},
        SessionCase{"three-button",
                    std::string(kClickAndMove) + "press middle\nwait 100\nrelease middle\n",
                    {{10, -5, MOUSE_LEFT_BUTTON_DOWN, 0},
                     {0, 0, MOUSE_LEFT_BUTTON_UP, 0},
                     {-3, 4, 0, 0},
                     // The middle button travels in a byte after a packet
                     // that moved nothing.
                     {0, 0, 0, 0},
                     {0, 0, MOUSE_MIDDLE_BUTTON_DOWN, 0},
                     {0, 0, 0, 0},
                     {0, 0, MOUSE_MIDDLE_BUTTON_UP, 0}}},
        SessionCase{"ballpoint",
                    std::string(kClickAndMove) + "move 200 -150\n",
                    {{10, -5, MOUSE_LEFT_BUTTON_DOWN, 0},
                     {0, 0, MOUSE_LEFT_BUTTON_UP, 0},
                     {-3, 4, 0, 0},
                     {200, -150, 0, 0}}},
        SessionCase{"wheel",
                    std::string(kClickAndMove) + "wheel 1\nwait 100\nwheel -1\n",
                    {{10, -5, MOUSE_LEFT_BUTTON_DOWN, 0},
                     {0, 0, MOUSE_LEFT_BUTTON_UP, 0},
                     {-3, 4, 0, 0},
                     {0, 0, MOUSE_WHEEL, 120},
                     {0, 0, MOUSE_WHEEL, static_cast<USHORT>(-120)}}},
        SessionCase{"wheel5",
                    std::string(kClickAndMove) + "press 4\nwait 100\nrelease 4\nwait 100\nwheel 1\n",
                    {{10, -5, MOUSE_LEFT_BUTTON_DOWN, 0},
                     {0, 0, MOUSE_LEFT_BUTTON_UP, 0},
                     {-3, 4, 0, 0},
                     {0, 0, MOUSE_BUTTON_4_DOWN, 0},
                     {0, 0, MOUSE_BUTTON_4_UP, 0},
                     {0, 0, MOUSE_WHEEL, 120}}},
        SessionCase{"c-series@4800",
                    std::string(kClickAndMove) + "press middle\nwait 100\nrelease middle\n",
                    {{10, -5, MOUSE_LEFT_BUTTON_DOWN, 0},
                     {0, 0, MOUSE_LEFT_BUTTON_UP, 0},
                     {-3, 4, 0, 0},
                     {0, 0, MOUSE_MIDDLE_BUTTON_DOWN, 0},
                     {0, 0, MOUSE_MIDDLE_BUTTON_UP, 0}}}),
    [](const auto& info) {
        std::string name = info.param.model;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

}  // namespace
