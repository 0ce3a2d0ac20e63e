// The driver's port operations against the modeled serial port: exact request
// codes and buffers, result rules, the fallbacks of the settings requests and
// the modem-line sequences in virtual time.
#include <cstring>
#include <string>

#include "tests/serial_port/port_fixture.h"

namespace {

using sim::Milliseconds;

std::vector<UCHAR> Ulongs(std::initializer_list<ULONG> values) {
    std::vector<UCHAR> bytes;
    for (ULONG v : values) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<UCHAR>(v >> (8 * i)));
    }
    return bytes;
}

class PortControlTest : public PortTest {};

TEST_F(PortControlTest, ConfigurationRequestsCarryTheirExactCodesAndBuffers) {
    SERIAL_LINE_CONTROL sevenBits{STOP_BIT_1, NO_PARITY, 7};
    ASSERT_EQ(SetBaudRate(state(), 2400), STATUS_SUCCESS);
    ASSERT_EQ(SetLineControl(state(), &sevenBits), STATUS_SUCCESS);
    ASSERT_EQ(SetReadTimeout(state(), 0), STATUS_SUCCESS);
    ASSERT_EQ(SetReadTimeout(state(), 200), STATUS_SUCCESS);
    ASSERT_EQ(PurgeReceiveBuffer(state()), STATUS_SUCCESS);
    ASSERT_EQ(SetFifoControl(state(), 0), STATUS_SUCCESS);

    struct Expected {
        ULONG code;
        std::vector<UCHAR> input;
    } expected[] = {
        {0x001B0004, Ulongs({2400})},
        {0x001B000C, {0, 0, 7}},
        {0x001B001C, Ulongs({0, 0, 0, 0, 0})},
        {0x001B001C, Ulongs({0xFFFFFFFF, 0xFFFFFFFF, 200, 0, 0})},
        {0x001B004C, Ulongs({0x00000008})},
        {0x001B009C, Ulongs({0})},
    };
    ASSERT_EQ(requests().size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests()[i].majorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(requests()[i].ioControlCode, expected[i].code);
        EXPECT_EQ(requests()[i].input, expected[i].input);
        EXPECT_TRUE(InMillisecond(requests()[i].time, 0));
    }
    EXPECT_EQ(port().Framing().baud, 2400u);
    EXPECT_EQ(port().Framing().wordLength, 7);
    EXPECT_EQ(port().Timeouts().ReadTotalTimeoutConstant, 200u);
}

TEST_F(PortControlTest, AFailedRequestIsReportedWithItsOwnStatus) {
    port().FailRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(SetBaudRate(state(), 1200), STATUS_DEVICE_NOT_CONNECTED);
    // A value the port refuses.
    EXPECT_EQ(SetBaudRate(state(), 0), STATUS_INVALID_PARAMETER);
    kernel().FailNth(sim::FaultSite::Irp, 1);
    EXPECT_EQ(PurgeReceiveBuffer(state()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(requests().size(), 2u);  // the unbuilt request never reached the port
    // A request that pends and then fails reports its final status.
    port().FailRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE, STATUS_DEVICE_NOT_CONNECTED, 1,
                        Milliseconds(5));
    SerialRequestContext request;
    InitializeSerialRequestContext(&request);
    SERIAL_BAUD_RATE rate{1200};
    sim::Ticks before = kernel().Now();
    EXPECT_EQ(SendSerialRequest(FALSE, IOCTL_SERIAL_SET_BAUD_RATE, state()->LowerDevice, &request.Event,
                                &request.IoStatus, &rate, sizeof(rate), nullptr, 0),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_GE(kernel().Now() - before, Milliseconds(5));
    EXPECT_EQ(requests().back().status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(PortControlTest, SettingsAreSavedAndGivenBackThroughTheInternalRequests) {
    SERIAL_TIMEOUTS own{10, 20, 30, 40, 50};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &own, sizeof(own), nullptr, 0), STATUS_SUCCESS);
    port().ClearRequests();

    EXPECT_EQ(SaveSerialSettings(state()), STATUS_SUCCESS);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_TRUE(requests()[0].internal);
    EXPECT_EQ(requests()[0].ioControlCode, 0x001B000Cu);
    EXPECT_EQ(requests()[0].output.size(), 44u);
    EXPECT_EQ(BytesOf(state()->SavedSerialSettings.Timeouts), BytesOf(own));
    EXPECT_EQ(port().Timeouts().ReadTotalTimeoutConstant, 0u);  // basic settings

    EXPECT_EQ(RestoreSerialSettings(state()), STATUS_SUCCESS);
    ASSERT_EQ(requests().size(), 2u);
    EXPECT_TRUE(requests()[1].internal);
    EXPECT_EQ(requests()[1].ioControlCode, 0x001B0010u);
    EXPECT_EQ(requests()[1].input, BytesOf(state()->SavedSerialSettings));
    EXPECT_EQ(BytesOf(port().Timeouts()), BytesOf(own));
}

TEST_F(PortControlTest, APortRefusingTheInternalRequestsGetsTimeoutsAndFlowControlOneByOne) {
    SERIAL_TIMEOUTS own{10, 20, 30, 40, 50};
    SERIAL_HANDFLOW flow{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 100, 200};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &own, sizeof(own), nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0), STATUS_SUCCESS);
    port().RefuseInternalSettings(true);
    state()->SavedSerialSettings.RxFifo = 0x11;
    state()->SavedSerialSettings.TxFifo = 0x22;
    port().ClearRequests();

    SaveSerialSettings(state());
    struct Expected {
        bool internal;
        ULONG code;
        std::vector<UCHAR> input;
    } save[] = {
        {true, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}},
        {false, IOCTL_SERIAL_GET_TIMEOUTS, {}},
        {false, IOCTL_SERIAL_SET_TIMEOUTS, Ulongs({0, 0, 0, 0, 0})},
        {false, IOCTL_SERIAL_GET_HANDFLOW, {}},
        {false, IOCTL_SERIAL_SET_HANDFLOW, Ulongs({0x01, 0x40, 0, 0})},
    };
    ASSERT_EQ(requests().size(), std::size(save));
    for (size_t i = 0; i < std::size(save); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests()[i].internal, save[i].internal);
        EXPECT_EQ(requests()[i].ioControlCode, save[i].code);
        EXPECT_EQ(requests()[i].input, save[i].input);
    }
    EXPECT_EQ(requests()[0].status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(BytesOf(state()->SavedSerialSettings.Timeouts), BytesOf(own));
    EXPECT_EQ(BytesOf(state()->SavedSerialSettings.HandFlow), BytesOf(flow));
    EXPECT_EQ(state()->SavedSerialSettings.RxFifo, 0x11u);
    EXPECT_EQ(state()->SavedSerialSettings.TxFifo, 0x22u);

    port().ClearRequests();
    RestoreSerialSettings(state());
    ASSERT_EQ(requests().size(), 3u);
    EXPECT_EQ(requests()[1].ioControlCode, IOCTL_SERIAL_SET_TIMEOUTS);
    EXPECT_EQ(requests()[1].input, BytesOf(own));
    EXPECT_EQ(requests()[2].ioControlCode, IOCTL_SERIAL_SET_HANDFLOW);
    EXPECT_EQ(requests()[2].input, BytesOf(flow));
    EXPECT_EQ(BytesOf(port().HandFlow()), BytesOf(flow));
}

// ---- modem-line sequences

struct Step {
    ULONG code;
    LONGLONG atMs;
};

struct SequenceCase {
    const char* name;
    NTSTATUS (*run)(DeviceState*);
    ULONG failing;  // 0: nothing fails
    std::vector<Step> steps;
    // Delays end on clock ticks (10.0144 ms): 200 ms on the 20th at 200.29
    // ms, 200 more on the 40th at 400.58 ms, and 175 more on the 58th at
    // 580.84 ms.
    LONGLONG endMs;
};

class ModemLineSequenceTest : public PortTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(ModemLineSequenceTest, StopsAtTheFirstFailureAndWaitsItsDelays) {
    const SequenceCase& c = GetParam();
    if (c.failing != 0) port().FailRequests(IRP_MJ_DEVICE_CONTROL, c.failing, STATUS_INVALID_PARAMETER);
    c.run(state());
    EXPECT_TRUE(InMillisecond(kernel().Now(), c.endMs));
    ASSERT_EQ(requests().size(), c.steps.size());
    for (size_t i = 0; i < c.steps.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests()[i].ioControlCode, c.steps[i].code);
        EXPECT_TRUE(InMillisecond(requests()[i].time, c.steps[i].atMs));
        EXPECT_TRUE(requests()[i].input.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, ModemLineSequenceTest,
    ::testing::Values(
        SequenceCase{"Prepare", PrepareMouseLines, 0, {{0x001B0024, 0}, {0x001B0034, 0}}, 200},
        SequenceCase{"PrepareSetDtrFails", PrepareMouseLines, IOCTL_SERIAL_SET_DTR, {{0x001B0024, 0}}, 0},
        SequenceCase{"PrepareClrRtsFails",
                     PrepareMouseLines,
                     IOCTL_SERIAL_CLR_RTS,
                     {{0x001B0024, 0}, {0x001B0034, 0}},
                     0},
        SequenceCase{"PowerCycle",
                     PowerCycleMouse,
                     0,
                     {{0x001B0028, 0}, {0x001B0034, 0}, {0x001B0024, 200}, {0x001B0030, 400}},
                     580},
        SequenceCase{"PowerCycleClrDtrFails", PowerCycleMouse, IOCTL_SERIAL_CLR_DTR, {{0x001B0028, 0}}, 0},
        SequenceCase{"PowerCycleSetDtrFails",
                     PowerCycleMouse,
                     IOCTL_SERIAL_SET_DTR,
                     {{0x001B0028, 0}, {0x001B0034, 0}, {0x001B0024, 200}},
                     200},
        SequenceCase{"PowerCycleSetRtsFails",
                     PowerCycleMouse,
                     IOCTL_SERIAL_SET_RTS,
                     {{0x001B0028, 0}, {0x001B0034, 0}, {0x001B0024, 200}, {0x001B0030, 400}},
                     580}),
    [](const auto& info) { return std::string(info.param.name); });

struct CSeriesPowerCase {
    const char* name;
    const char* model;
    bool failStatus;
    NTSTATUS result;
    LONGLONG endMs;
};

class PowerUpCSeriesTest : public PortTest, public ::testing::WithParamInterface<CSeriesPowerCase> {};

TEST_P(PowerUpCSeriesTest, WaitsOnlyWhenBothCtsAndDsrChanged) {
    const CSeriesPowerCase& c = GetParam();
    Attach(c.model);
    if (c.failStatus) {
        port().FailRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS, STATUS_DEVICE_NOT_CONNECTED);
    }
    EXPECT_EQ(PowerUpCSeriesMouse(state()), c.result);
    EXPECT_TRUE(InMillisecond(kernel().Now(), c.endMs));
    ASSERT_EQ(requests().size(), 3u);
    EXPECT_EQ(requests()[0].ioControlCode, IOCTL_SERIAL_SET_DTR);
    EXPECT_EQ(requests()[1].ioControlCode, IOCTL_SERIAL_SET_RTS);
    EXPECT_EQ(requests()[2].ioControlCode, 0x001B0068u);
}

INSTANTIATE_TEST_SUITE_P(Mice, PowerUpCSeriesTest,
                         ::testing::Values(CSeriesPowerCase{"MouseOnTheLines", "c-series", false, STATUS_SUCCESS, 500},
                                           CSeriesPowerCase{"NothingOnThePort", "none", false, STATUS_SUCCESS, 0},
                                           CSeriesPowerCase{"StatusFails", "c-series", true,
                                                            STATUS_DEVICE_NOT_CONNECTED, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Only one of CTS and DSR changed: the mouse was powered already, no wait.
struct OneLineCase {
    const char* name;
    ULONG raisedFirst;  // the line raised before the power-up
    ULONG modemStatus;  // what the power-up reads
};

class OneLineChangedTest : public PortTest, public ::testing::WithParamInterface<OneLineCase> {};

TEST_P(OneLineChangedTest, ModemStatusWithOnlyOneLineChangedCostsNoWait) {
    Attach("c-series");
    ASSERT_EQ(Control(GetParam().raisedFirst, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    ULONG status = 0;
    ASSERT_EQ(Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)), STATUS_SUCCESS);
    sim::Ticks before = kernel().Now();
    EXPECT_EQ(PowerUpCSeriesMouse(state()), STATUS_SUCCESS);
    EXPECT_EQ(requests().back().output, Ulongs({GetParam().modemStatus}));
    EXPECT_TRUE(InMillisecond(kernel().Now() - before, 0));
}

INSTANTIATE_TEST_SUITE_P(Lines, OneLineChangedTest,
                         // CTS follows RTS and DSR follows DTR.
                         ::testing::Values(OneLineCase{"OnlyDsrChanged", IOCTL_SERIAL_SET_RTS, 0x32},
                                           OneLineCase{"OnlyCtsChanged", IOCTL_SERIAL_SET_DTR, 0x31}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- reads and writes

TEST_F(PortControlTest, ReadSerialByteReportsAMissingByteAsUnsuccessfulAndAPortFailureAsItIs) {
    UCHAR byte = 0xEE;
    port().Receive(0x4D);
    EXPECT_EQ(ReadSerialByte(state(), &byte), STATUS_SUCCESS);
    EXPECT_EQ(byte, 0x4D);

    byte = 0xEE;
    ASSERT_EQ(SetReadTimeout(state(), 50), STATUS_SUCCESS);
    EXPECT_EQ(ReadSerialByte(state(), &byte), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(InMillisecond(kernel().Now(), 50));
    EXPECT_EQ(requests().back().status, STATUS_TIMEOUT);
    EXPECT_EQ(byte, 0xEE);

    port().FailReads(1, STATUS_CANCELLED);
    EXPECT_EQ(ReadSerialByte(state(), &byte), STATUS_CANCELLED);

    // A port that returns at once with whatever it has: a read that brings
    // nothing ends the reading instead of being repeated.
    SERIAL_TIMEOUTS immediate{MAXULONG, 0, 0, 0, 0};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &immediate, sizeof(immediate), nullptr, 0), STATUS_SUCCESS);
    size_t reads = port().ReadsServed();
    EXPECT_EQ(ReadSerialByte(state(), &byte), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port().ReadsServed(), reads + 1);
    EXPECT_EQ(byte, 0xEE);
}

TEST_F(PortControlTest, ReadSerialBytesReadsOneByteARequestStraightIntoTheBuffer) {
    UCHAR buffer[4] = {};
    USHORT got = 99;
    EXPECT_EQ(ReadSerialBytes(state(), buffer, 0, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 0);
    EXPECT_TRUE(requests().empty());

    port().ScheduleBytes({'M', 'Z', '@'}, Milliseconds(5), Milliseconds(8));
    ASSERT_EQ(SetReadTimeout(state(), 100), STATUS_SUCCESS);
    EXPECT_EQ(ReadSerialBytes(state(), buffer, 4, &got), STATUS_TIMEOUT);
    EXPECT_EQ(got, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "MZ@");
    EXPECT_EQ(port().ReadsServed(), 4u);
    // The last read's 100 ms timeout runs from about 21 ms and ends on the
    // clock tick after 121 ms: the thirteenth, at 130.19 ms.
    EXPECT_TRUE(InMillisecond(kernel().Now(), 130));
}

TEST_F(PortControlTest, WritesSendExactlyTheirCharactersAtTheLinesPace) {
    EXPECT_EQ(WriteSerialString(state(), "*n"), STATUS_SUCCESS);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].majorFunction, IRP_MJ_WRITE);
    EXPECT_EQ(requests()[0].input, (std::vector<UCHAR>{'*', 'n'}));
    EXPECT_EQ(requests()[0].information, 2u);
    // Two 8N1 bytes at 1200 baud, and the time the calls cost.
    EXPECT_TRUE(InMillisecond(kernel().Now() - 2 * 83333, 0));

    EXPECT_EQ(WriteSerialChar(state(), 's'), STATUS_SUCCESS);
    EXPECT_EQ(requests()[1].input, (std::vector<UCHAR>{'s'}));
    EXPECT_EQ(WriteSerialString(state(), ""), STATUS_SUCCESS);
    EXPECT_EQ(requests()[2].input.size(), 0u);
    EXPECT_EQ(port().Sent(), (std::vector<UCHAR>{'*', 'n', 's'}));

    port().FailRequests(IRP_MJ_WRITE, 0, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(WriteSerialChar(state(), 'D'), STATUS_DEVICE_NOT_CONNECTED);
    kernel().FailNth(sim::FaultSite::Irp, 1);
    EXPECT_EQ(WriteSerialString(state(), "S"), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(PortControlTest, TimerDelayWaitsItsIntervalOnTheDelayTimer) {
    EXPECT_EQ(TimerDelay(state(), SERIAL_DELAY_2_MS), STATUS_SUCCESS);
    // A 2 ms delay lasts until the next clock tick (10.0144 ms); 500 ms more
    // end on the tick after 510 ms (510.73 ms).
    EXPECT_TRUE(InMillisecond(kernel().Now(), 10));
    EXPECT_EQ(TimerDelay(state(), SERIAL_DELAY_500_MS), STATUS_SUCCESS);
    EXPECT_TRUE(InMillisecond(kernel().Now(), 510));
}

}  // namespace
