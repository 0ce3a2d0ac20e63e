// C-series detection: the search over four bauds with the exact bytes each
// step writes and the baud they go out at, the button-count answers, and
// the rate and baud commands.
#include <string>

#include "tests/identify/identify_fixture.h"

namespace {

using sim::Milliseconds;

const ULONG kBauds[] = {1200, 2400, 4800, 9600};

// The scan's bytes at each baud up to and including `last`.
std::vector<WrittenByte> ScanUpTo(size_t last) {
    std::vector<WrittenByte> bytes;
    for (size_t i = 0; i <= last; ++i) bytes = bytes + At("DSs", kBauds[i]);
    return bytes;
}

class CSeriesScanTest : public IdentifyTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(CSeriesScanTest, AMouseAtEachBaudIsFoundThereAndBroughtTo1200) {
    size_t at = GetParam();
    ULONG baud = kBauds[at];
    Attach(("c-series@" + std::to_string(baud)).c_str());
    ASSERT_EQ(SelectProtocol(state()), STATUS_SUCCESS);
    EXPECT_EQ(state()->Decoder, DecodeCSeries);
    EXPECT_EQ(state()->Attributes.NumberOfButtons, 3);
    EXPECT_EQ(Written(), ScanUpTo(at) + At("kD*n", baud) + At("NS", 1200));
    // The mouse heard its commands and follows the port: 1200 baud, eight
    // data bits, 150 reports a second in the three-byte format.
    EXPECT_EQ(mouse->Framing().baud, 1200u);
    EXPECT_EQ(port().Framing().baud, 1200u);
    EXPECT_EQ(port().Framing().wordLength, 8);
    std::vector<UCHAR> heard = mouse->Received();
    ASSERT_GE(heard.size(), 7u);
    EXPECT_EQ(std::string(heard.end() - 7, heard.end()), "sk" "D*n" "NS");
}

INSTANTIATE_TEST_SUITE_P(Bauds, CSeriesScanTest, ::testing::Values(0, 1, 2, 3),
                         [](const auto& info) { return std::to_string(kBauds[info.param]); });

TEST_F(IdentifyTest, WithoutAMouseEveryBaudIsTriedAndTheLastCommandsStillGoOut) {
    Attach("none");
    ASSERT_EQ(PowerCycleMouse(state()), STATUS_SUCCESS);
    port().ClearRequests();
    ULONG buttons = 99;
    sim::Ticks start = kernel().Now();
    EXPECT_FALSE(DetectCSeries(state(), &buttons));
    EXPECT_EQ(buttons, 99u);
    EXPECT_EQ(Written(), ScanUpTo(3) + At("D*n", 9600) + At("N", 1200));
    // At each baud three bytes on the line and a 50 ms read timeout that
    // ends on a clock tick, then the baud command, 2 ms to the next tick and
    // the last command; no power-up wait (the lines were already up).
    sim::Ticks expected = start;
    for (ULONG baud : {1200u, 2400u, 4800u, 9600u}) {
        expected = OnTick(expected + 3 * sim::ByteTime(sim::SerialFraming{baud, 8, 0, 0}) + Milliseconds(50));
    }
    expected = OnTick(expected + 3 * sim::ByteTime(sim::SerialFraming{9600, 8, 0, 0}) + Milliseconds(2));
    expected += sim::ByteTime(sim::SerialFraming{1200, 8, 0, 0});
    EXPECT_TRUE(InMillisecond(kernel().Now(), expected / 10000.0));
    EXPECT_EQ(port().Framing().baud, 1200u);
    EXPECT_EQ(port().Timeouts().ReadTotalTimeoutConstant, 50u);
}

struct ButtonCase {
    std::optional<UCHAR> answer;
    ULONG buttons;
};

class ButtonAnswerTest : public IdentifyTest, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(ButtonAnswerTest, TheLowFourBitsGiveTwoOrThreeButtonsAndAnythingElseTwo) {
    device_end = std::make_unique<ButtonAnswerDevice>(port(), GetParam().answer);
    ULONG buttons = 99;
    EXPECT_TRUE(DetectCSeries(state(), &buttons));
    EXPECT_EQ(buttons, GetParam().buttons);
    EXPECT_EQ(port().Timeouts().ReadTotalTimeoutConstant, 0u);
}

INSTANTIATE_TEST_SUITE_P(Answers, ButtonAnswerTest,
                         ::testing::Values(ButtonCase{0x33, 3}, ButtonCase{0x32, 2}, ButtonCase{0x34, 2},
                                           ButtonCase{0x30, 2}, ButtonCase{0xF3, 3}, ButtonCase{std::nullopt, 2}));

TEST_F(IdentifyTest, ReportRateAndBaudCommandsPickTheHighestRowNotAbove) {
    const struct {
        UCHAR rate;
        char command;
    } rates[] = {{0, 'D'},   {9, 'D'},   {10, 'J'},  {34, 'K'},  {35, 'L'},  {69, 'R'},
                 {70, 'M'},  {99, 'M'},  {100, 'Q'}, {149, 'Q'}, {150, 'N'}, {151, 'O'}, {255, 'O'}};
    for (const auto& r : rates) {
        port().ClearRequests();
        EXPECT_EQ(SetCSeriesReportRate(state(), r.rate), STATUS_SUCCESS);
        EXPECT_EQ(Written(), At(std::string(1, r.command), 0)) << int(r.rate);
    }

    ASSERT_EQ(SetBaudRate(state(), 4800), STATUS_SUCCESS);
    port().ClearRequests();
    EXPECT_EQ(SetCSeriesBaudRate(state(), 2000), STATUS_SUCCESS);
    EXPECT_EQ(port().Framing().baud, 1200u);
    std::vector<WrittenByte> written = Written();
    EXPECT_EQ(written, At("D*n", 0));  // before any baud request: at the port's 4800

    ASSERT_EQ(SetBaudRate(state(), 2400), STATUS_SUCCESS);
    port().ClearRequests();
    EXPECT_EQ(SetCSeriesBaudRate(state(), 800), STATUS_SUCCESS);
    EXPECT_EQ(Written(), At("D", 0));
    EXPECT_EQ(port().Framing().baud, 2400u);
    EXPECT_EQ(requests().size(), 1u);
}

}  // namespace
