// The serial port model and the mice where the driver depends on them: the
// serial interface's read-timeout rules, buffer checks, wait on mask, the
// line's framing and the mice's power-up answers in virtual time.
#include <string>

#include "sim/mice/line.h"
#include "tests/serial_port/port_fixture.h"

namespace {

using sim::Milliseconds;

// A read of `length` bytes from the driver's side, waited for.
struct ReadResult {
    NTSTATUS status;
    ULONG_PTR information;
    sim::Ticks completedAt;
};

class PortModelTest : public PortTest {
  protected:
    ReadResult Read(ULONG length) {
        std::vector<UCHAR> buffer(length);
        KEVENT event;
        IO_STATUS_BLOCK ioStatus{};
        LARGE_INTEGER offset{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, state()->LowerDevice, buffer.data(), length, &offset,
                                                &event, &ioStatus);
        NTSTATUS status = IoCallDriver(state()->LowerDevice, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
        return {status, ioStatus.Information, kernel().Now()};
    }
    void SetTimeouts(SERIAL_TIMEOUTS timeouts) {
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr, 0), STATUS_SUCCESS);
    }
};

struct TimeoutCase {
    const char* name;
    SERIAL_TIMEOUTS timeouts;
    ULONG length;
    std::vector<UCHAR> buffered;
    std::vector<LONGLONG> arrivalsMs;
    NTSTATUS status;
    ULONG_PTR information;
    LONGLONG completedMs;
};

class ReadTimeoutTest : public PortModelTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeoutTest, ReadsFollowTheSerialTimeoutRules) {
    const TimeoutCase& c = GetParam();
    SetTimeouts(c.timeouts);
    port().Receive(c.buffered);
    for (LONGLONG at : c.arrivalsMs) port().ScheduleBytes({0x55}, Milliseconds(at), 0);
    ReadResult r = Read(c.length);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    EXPECT_TRUE(InMillisecond(r.completedAt, c.completedMs));
}

constexpr ULONG kMax = MAXULONG;

INSTANTIATE_TEST_SUITE_P(
    Rules, ReadTimeoutTest,
    ::testing::Values(
        TimeoutCase{"NoTimeoutsWaitForEveryByte", {0, 0, 0, 0, 0}, 2, {}, {30, 900}, STATUS_SUCCESS, 2, 900},
        TimeoutCase{"ImmediateReturnsNothing", {kMax, 0, 0, 0, 0}, 1, {}, {30}, STATUS_SUCCESS, 0, 0},
        TimeoutCase{"ImmediateReturnsWhatIsBuffered", {kMax, 0, 0, 0, 0}, 4, {1, 2}, {}, STATUS_SUCCESS, 2, 0},
        TimeoutCase{"FirstByteBufferedAtOnce", {kMax, kMax, 200, 0, 0}, 3, {1}, {}, STATUS_SUCCESS, 1, 0},
        TimeoutCase{"FirstByteAsSoonAsItArrives", {kMax, kMax, 200, 0, 0}, 3, {}, {30, 35}, STATUS_SUCCESS, 1, 30},
        TimeoutCase{"FirstByteTimesOut", {kMax, kMax, 200, 0, 0}, 1, {}, {}, STATUS_TIMEOUT, 0, 200},
        TimeoutCase{"TotalTimeoutKeepsWhatCame", {0, 10, 20, 0, 0}, 3, {}, {5}, STATUS_TIMEOUT, 1, 50},
        // Timeouts end on clock ticks (10.0144 ms): 20 ms after the byte at
        // 15 ms is the tick at 40.06 ms.
        TimeoutCase{"IntervalRunsFromTheLastByte", {20, 0, 0, 0, 0}, 3, {}, {10, 15}, STATUS_TIMEOUT, 2, 40},
        TimeoutCase{"IntervalNotBeforeTheFirstByte", {20, 0, 0, 0, 0}, 1, {}, {100}, STATUS_SUCCESS, 1, 100}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortModelTest, BufferSizesAndUnknownCodesAreCheckedAsASerialDriverChecksThem) {
    UCHAR buffer[64] = {};
    struct Case {
        bool internal;
        ULONG code;
        ULONG in;
        ULONG out;
        NTSTATUS status;
    } cases[] = {
        {false, IOCTL_SERIAL_SET_BAUD_RATE, 3, 0, STATUS_BUFFER_TOO_SMALL},
        {false, IOCTL_SERIAL_SET_LINE_CONTROL, 2, 0, STATUS_BUFFER_TOO_SMALL},
        {false, IOCTL_SERIAL_SET_TIMEOUTS, 19, 0, STATUS_BUFFER_TOO_SMALL},
        {false, IOCTL_SERIAL_GET_TIMEOUTS, 0, 19, STATUS_BUFFER_TOO_SMALL},
        {false, IOCTL_SERIAL_SET_HANDFLOW, 15, 0, STATUS_BUFFER_TOO_SMALL},
        {false, IOCTL_SERIAL_GET_MODEMSTATUS, 0, 3, STATUS_BUFFER_TOO_SMALL},
        {false, IOCTL_SERIAL_WAIT_ON_MASK, 0, 3, STATUS_BUFFER_TOO_SMALL},
        {false, IOCTL_SERIAL_PURGE, 3, 0, STATUS_BUFFER_TOO_SMALL},
        {false, IOCTL_SERIAL_SET_FIFO_CONTROL, 3, 0, STATUS_BUFFER_TOO_SMALL},
        {true, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0, 43, STATUS_BUFFER_TOO_SMALL},
        {true, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, 43, 0, STATUS_BUFFER_TOO_SMALL},
        {false, SIM_SERIAL_CTL(99), 0, 0, STATUS_INVALID_PARAMETER},
        {true, SIM_SERIAL_CTL(99), 0, 0, STATUS_INVALID_PARAMETER},
        // The same code means another request internally: no timeouts there.
        {true, IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, STATUS_INVALID_PARAMETER},
        {false, IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, STATUS_INVALID_PARAMETER},  // no wait mask set
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        KEVENT event;
        IO_STATUS_BLOCK ioStatus{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        EXPECT_EQ(SendSerialRequest(c.internal, c.code, state()->LowerDevice, &event, &ioStatus,
                                    c.in ? buffer : nullptr, c.in, c.out ? buffer : nullptr, c.out),
                  c.status);
    }
}

TEST_F(PortModelTest, WaitOnMaskCompletesOnAWatchedLineChangeAndWithNothingWhenTheMaskChanges) {
    Attach("two-button");
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    ULONG mask = SERIAL_EV_CTS | SERIAL_EV_DSR;
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0), STATUS_SUCCESS);

    // The mouse's answer bytes are no watched event; its unplugging is.
    ULONG events = 0xFFFF;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, state()->LowerDevice, nullptr, 0, &events,
                                             sizeof(events), FALSE, &event, &ioStatus);
    ASSERT_EQ(IoCallDriver(state()->LowerDevice, irp), STATUS_PENDING);
    kernel().RunFor(Milliseconds(300));
    EXPECT_EQ(port().Buffered(), 1u);  // the 'M'
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    kernel().ScheduleAfter(Milliseconds(10), [&] { mouse->Unplug(); });
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(InMillisecond(kernel().Now(), 310));
    EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(events, SERIAL_EV_CTS | SERIAL_EV_DSR);
    ULONG status = 0;
    ASSERT_EQ(Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG{SERIAL_MSR_DCTS | SERIAL_MSR_DDSR});
    ASSERT_EQ(Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)), STATUS_SUCCESS);
    EXPECT_EQ(status, 0u) << "reading the register clears its delta bits";

    // A second wait stays pending until the mask changes.
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    events = 0xFFFF;
    irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, state()->LowerDevice, nullptr, 0, &events,
                                        sizeof(events), FALSE, &event, &ioStatus);
    ASSERT_EQ(IoCallDriver(state()->LowerDevice, irp), STATUS_PENDING);
    EXPECT_EQ(Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &status, sizeof(status)), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0), STATUS_SUCCESS);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(events, 0u);
}

TEST_F(PortModelTest, CleanupCancelsEveryPendingRequest) {
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0), STATUS_SUCCESS);
    ULONG events = 0;
    KEVENT waitDone, readDone;
    IO_STATUS_BLOCK waitStatus{}, readStatus{};
    UCHAR byte = 0;
    LARGE_INTEGER offset{};
    KeInitializeEvent(&waitDone, NotificationEvent, FALSE);
    KeInitializeEvent(&readDone, NotificationEvent, FALSE);
    PIRP wait = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, state()->LowerDevice, nullptr, 0, &events,
                                              sizeof(events), FALSE, &waitDone, &waitStatus);
    PIRP read = IoBuildSynchronousFsdRequest(IRP_MJ_READ, state()->LowerDevice, &byte, 1, &offset, &readDone,
                                             &readStatus);
    ASSERT_EQ(IoCallDriver(state()->LowerDevice, wait), STATUS_PENDING);
    ASSERT_EQ(IoCallDriver(state()->LowerDevice, read), STATUS_PENDING);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP cleanup = IoBuildSynchronousFsdRequest(IRP_MJ_CLEANUP, state()->LowerDevice, nullptr, 0, nullptr, &event,
                                                &ioStatus);
    EXPECT_EQ(IoCallDriver(state()->LowerDevice, cleanup), STATUS_SUCCESS);
    EXPECT_EQ(waitStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(readStatus.Status, STATUS_CANCELLED);
    EXPECT_FALSE(port().ReadPending());
}

// ---- the line

TEST(SerialLine, AByteAtOtherSettingsArrivesGarbledTheSameWayEveryTime) {
    sim::SerialFraming ms{1200, 7, NO_PARITY, STOP_BIT_1};
    sim::SerialFraming eightBits{1200, 8, NO_PARITY, STOP_BIT_1};
    sim::SerialFraming fast{9600, 8, NO_PARITY, STOP_BIT_1};
    EXPECT_EQ(sim::ReceivedByte('M', ms, ms), 'M');
    // The stop bit is taken for bit 7.
    EXPECT_EQ(sim::ReceivedByte('M', ms, eightBits), 0xCD);
    // An 8-bit byte read as 7 bits loses bit 7.
    EXPECT_EQ(sim::ReceivedByte(0x83, eightBits, ms), 0x03);
    // A receiver eight times faster spends its whole byte inside the start
    // bit and catches the first data bit as its bit 7.
    EXPECT_EQ(sim::ReceivedByte('M', ms, fast), 0x80);
    // A receiver eight times slower samples its start bit in the sender's
    // fourth data bit: 's' (bit 3 clear) passes as a start bit and the idle
    // line follows; 'O' (bit 3 set) shows no start bit at all.
    EXPECT_EQ(sim::ReceivedByte('s', fast, ms), 0x7F);
    EXPECT_EQ(sim::ReceivedByte('O', fast, ms), std::nullopt);
    EXPECT_EQ(sim::ByteTime(ms), Milliseconds(15) / 2);
}

// ---- the mice

TEST_F(PortModelTest, AThreeButtonMouseAnswersFourteenMillisecondsAfterRtsRisesAndThreeSixtyThreeLater) {
    Attach("three-button");
    SERIAL_LINE_CONTROL sevenBits{STOP_BIT_1, NO_PARITY, 7};
    ASSERT_EQ(SetLineControl(state(), &sevenBits), STATUS_SUCCESS);
    PowerCycleMouse(state());  // RTS rises at 400 ms
    EXPECT_EQ(port().Buffered(), 2u);
    EXPECT_EQ(mouse->Transmitted(), (std::vector<UCHAR>{'M', '3'}));

    // Again by hand, to see each byte arrive.
    ASSERT_EQ(Control(IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(PurgeReceiveBuffer(state()), STATUS_SUCCESS);
    sim::Ticks risen = kernel().Now();
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    UCHAR byte = 0;
    ASSERT_EQ(ReadSerialByte(state(), &byte), STATUS_SUCCESS);
    EXPECT_EQ(byte, 'M');
    EXPECT_TRUE(InMillisecond(kernel().Now() - risen, 14));
    ASSERT_EQ(ReadSerialByte(state(), &byte), STATUS_SUCCESS);
    EXPECT_EQ(byte, '3');
    EXPECT_TRUE(InMillisecond(kernel().Now() - risen, 14 + 63));
}

struct AnswerCase {
    const char* model;
    UCHAR wordLength;
    std::string answer;  // the first bytes the port receives after power-up
};

class PowerUpAnswerTest : public PortModelTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(PowerUpAnswerTest, EachMouseAnswersItsPowerUpInItsFraming) {
    const AnswerCase& c = GetParam();
    Attach(c.model);
    SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, c.wordLength};
    ASSERT_EQ(SetLineControl(state(), &lc), STATUS_SUCCESS);
    PowerCycleMouse(state());
    kernel().RunFor(Milliseconds(1000));
    std::string got;
    UCHAR byte;
    ASSERT_EQ(SetReadTimeout(state(), 1), STATUS_SUCCESS);
    while (got.size() < c.answer.size() && ReadSerialByte(state(), &byte) == STATUS_SUCCESS) got.push_back(byte);
    EXPECT_EQ(got, c.answer);
}

INSTANTIATE_TEST_SUITE_P(Models, PowerUpAnswerTest,
                         ::testing::Values(AnswerCase{"two-button", 7, "M"}, AnswerCase{"three-button", 7, "M3"},
                                           AnswerCase{"ballpoint", 7, "B"}, AnswerCase{"wheel", 7, "MZ(\x01$2MSH"},
                                           AnswerCase{"wheel5", 7, "MZD"}, AnswerCase{"five-byte", 8, "H"},
                                           AnswerCase{"c-series", 8, ""}, AnswerCase{"none", 7, ""}),
                         [](const auto& info) {
                             std::string name = info.param.model;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

TEST_F(PortModelTest, ACSeriesMouseAnswersOnlyAtItsCurrentBaudAndFollowsTheBaudCommands) {
    Attach("c-series@4800");
    SERIAL_LINE_CONTROL eightBits{STOP_BIT_1, NO_PARITY, 8};
    ASSERT_EQ(SetLineControl(state(), &eightBits), STATUS_SUCCESS);
    ASSERT_EQ(PowerUpCSeriesMouse(state()), STATUS_SUCCESS);
    ASSERT_EQ(SetReadTimeout(state(), 50), STATUS_SUCCESS);
    auto query = [&](ULONG baud) {
        EXPECT_EQ(SetBaudRate(state(), baud), STATUS_SUCCESS);
        EXPECT_EQ(WriteSerialChar(state(), 's'), STATUS_SUCCESS);
        PurgeReceiveBuffer(state());
        UCHAR byte = 0;
        return ReadSerialByte(state(), &byte) == STATUS_SUCCESS ? byte : 0;
    };
    EXPECT_NE(query(1200), 'O');
    EXPECT_NE(query(2400), 'O');
    EXPECT_EQ(query(4800), 'O');
    EXPECT_EQ(WriteSerialChar(state(), 'k'), STATUS_SUCCESS);
    UCHAR count = 0;
    ASSERT_EQ(ReadSerialByte(state(), &count), STATUS_SUCCESS);
    EXPECT_EQ(count & 0x0F, 3);
    // "*n" at 4800 takes it to 1200.
    EXPECT_EQ(WriteSerialString(state(), "*n"), STATUS_SUCCESS);
    EXPECT_EQ(mouse->Framing().baud, 1200u);
    EXPECT_EQ(query(1200), 'O');
}

TEST_F(PortModelTest, AScriptedMoveArrivesAsPacketsOfTheMouseProtocol) {
    Attach("two-button");
    SERIAL_LINE_CONTROL sevenBits{STOP_BIT_1, NO_PARITY, 7};
    ASSERT_EQ(SetLineControl(state(), &sevenBits), STATUS_SUCCESS);
    PowerCycleMouse(state());
    ASSERT_EQ(PurgeReceiveBuffer(state()), STATUS_SUCCESS);
    ASSERT_TRUE(mouse->Play("# one step right and up, with the left button\npress left\nmove 5 -3\nwait 100\n"));
    ASSERT_FALSE(mouse->Play("jump 3"));
    kernel().RunFor(Milliseconds(200));
    std::vector<UCHAR> bytes;
    UCHAR byte;
    ASSERT_EQ(SetReadTimeout(state(), 1), STATUS_SUCCESS);
    while (ReadSerialByte(state(), &byte) == STATUS_SUCCESS) bytes.push_back(byte);
    // Y -3 is 0xFD: bits 7-6 into byte 0, bits 5-0 into byte 2.
    EXPECT_EQ(bytes, (std::vector<UCHAR>{0x40 | 0x20 | 0x0C, 0x05, 0x3D}));
}

}  // namespace
