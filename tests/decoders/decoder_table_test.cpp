// The packet decoders, exact to the bit: byte streams go through the real
// read loop and ReadCompletion, and the records that reach the class driver
// are compared field by field, with the button transitions that delivery
// derives from the decoders' raw buttons.
#include <memory>
#include <string>
#include <vector>

#include "serfive/decoders.h"
#include "serial_core/reading.h"
#include "serwheel/decoders.h"
#include "tests/support/serial_device.h"
#include "tests/support/sim_test.h"

namespace {

struct Record {
    USHORT flags;
    USHORT data;
    ULONG raw;
    LONG x;
    LONG y;
};

struct StreamCase {
    const char* name;
    PacketDecoder* decoder;
    USHORT buttons;
    std::vector<UCHAR> bytes;
    std::vector<Record> records;
    ULONG byteIndexAfter;
};

const USHORT kLeftDown = MOUSE_LEFT_BUTTON_DOWN, kLeftUp = MOUSE_LEFT_BUTTON_UP;
const USHORT kRightDown = MOUSE_RIGHT_BUTTON_DOWN, kRightUp = MOUSE_RIGHT_BUTTON_UP;
const USHORT kMiddleDown = MOUSE_MIDDLE_BUTTON_DOWN, kMiddleUp = MOUSE_MIDDLE_BUTTON_UP;
const USHORT kB4Down = MOUSE_BUTTON_4_DOWN, kB4Up = MOUSE_BUTTON_4_UP;
const USHORT kB5Down = MOUSE_BUTTON_5_DOWN, kB5Up = MOUSE_BUTTON_5_UP;
const USHORT kWheel = MOUSE_WHEEL;
const USHORT kForward = 0x0078, kBackward = 0xFF88;

// clang-format off
const StreamCase kCases[] = {
    // ---- three-byte packets and the middle-button byte
    {"ThreeByte_EmptyPacket", DecodeThreeByte, 3, {0x40, 0x00, 0x00}, {{0, 0, 0, 0, 0}}, 3},
    {"ThreeByte_LeftPressedAndOneRight", DecodeThreeByte, 3, {0x60, 0x01, 0x00}, {{kLeftDown, 0, 1, 1, 0}}, 3},
    {"ThreeByte_HighBitsInByteZero", DecodeThreeByte, 3, {0x43, 0x3F, 0x00, 0x48, 0x00, 0x00, 0x47, 0x00, 0x3F},
     {{0, 0, 0, -1, 0}, {0, 0, 0, 0, -128}, {0, 0, 0, -64, 127}}, 3},
    {"ThreeByte_LeftDownRightUpTogether", DecodeThreeByte, 3, {0x50, 0x00, 0x00, 0x60, 0x00, 0x00},
     {{kRightDown, 0, 2, 0, 0}, {kLeftDown | kRightUp, 0, 1, 0, 0}}, 3},
    {"ThreeByte_BitSevenIsIgnored", DecodeThreeByte, 3, {0xE3, 0xBF, 0x80}, {{kLeftDown, 0, 1, -1, 0}}, 3},
    {"ThreeByte_MiddleByteGivesButtonOnlyRecords", DecodeThreeByte, 3,
     {0x41, 0x02, 0x03, 0x20, 0x40, 0x05, 0x00, 0x20, 0x40, 0x00, 0x00, 0x00},
     {{0, 0, 0, 0x42, 3}, {kMiddleDown, 0, 4, 0, 0}, {0, 0, 4, 5, 0}, {0, 0, 4, 0, 0}, {kMiddleUp, 0, 0, 0, 0}}, 0},
    {"ThreeByte_MiddleByteOnlyBitFiveCounts", DecodeThreeByte, 3, {0x40, 0x00, 0x00, 0x1F, 0x40, 0x00, 0x00, 0x3F},
     {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {kMiddleDown, 0, 4, 0, 0}}, 0},
    // The middle-button byte stops coming: the button is up, and the class
    // driver is told so with the next packet.
    {"ThreeByte_PacketWithoutMiddleByteReleasesTheMiddle", DecodeThreeByte, 3,
     {0x40, 0x00, 0x00, 0x20, 0x40, 0x01, 0x00, 0x40, 0x02, 0x00, 0x40, 0x03, 0x00},
     {{0, 0, 0, 0, 0}, {kMiddleDown, 0, 4, 0, 0}, {0, 0, 4, 1, 0}, {kMiddleUp, 0, 0, 2, 0}, {0, 0, 0, 3, 0}}, 3},
    {"ThreeByte_TwoButtonMouseReportsNoMiddle", DecodeThreeByte, 2,
     {0x40, 0x00, 0x00, 0x20, 0x40, 0x00, 0x00, 0x40, 0x00, 0x00},
     {{0, 0, 0, 0, 0}, {0, 0, 4, 0, 0}, {0, 0, 4, 0, 0}, {0, 0, 0, 0, 0}}, 3},
    {"ThreeByte_ResyncAfterGarbage", DecodeThreeByte, 3, {0x00, 0x3F, 0x40, 0x01, 0x40, 0x05, 0x06},
     {{0, 0, 0, 5, 6}}, 3},
    {"ThreeByte_PartialPacket", DecodeThreeByte, 3, {0x60, 0x01}, {}, 2},

    // ---- ballpoint: 9-bit movement, sign bits in byte 3
    {"BallPoint_NegativeX", DecodeBallPoint, 2, {0x40, 0x3F, 0x00, 0x01}, {{0, 0, 0, -193, 0}}, 0},
    {"BallPoint_LargestY", DecodeBallPoint, 2, {0x4C, 0x00, 0x3F, 0x00}, {{0, 0, 0, 0, 255}}, 0},
    {"BallPoint_OnlyTheLowTwoBitsOfByteThreeCount", DecodeBallPoint, 2,
     {0x60, 0x01, 0x02, 0x3C, 0x40, 0x01, 0x02, 0x00, 0x4F, 0x00, 0x00, 0x03},
     {{kLeftDown, 0, 1, 1, 2}, {kLeftUp, 0, 0, 1, 2}, {0, 0, 0, -64, -64}}, 0},
    {"BallPoint_BothButtons", DecodeBallPoint, 2, {0x70, 0x00, 0x00, 0x00}, {{kLeftDown | kRightDown, 0, 3, 0, 0}}, 0},
    {"BallPoint_SyncInByteThreeRestarts", DecodeBallPoint, 2, {0x2A, 0x40, 0x01, 0x02, 0x40, 0x05, 0x06, 0x03},
     {{0, 0, 0, -251, -250}}, 0},

    // ---- wheel: 4-bit and 8-bit counts, one step per packet
    {"Wheel_PositiveCountIsOneStepBackward", DecodeWheel, 3, {0x40, 0x00, 0x00, 0x01, 0x40, 0x00, 0x00, 0x07},
     {{kWheel, kBackward, 0, 0, 0}, {kWheel, kBackward, 0, 0, 0}}, 0},
    {"Wheel_NegativeCountIsOneStepForward", DecodeWheel, 3, {0x40, 0x00, 0x00, 0x0F, 0x40, 0x00, 0x00, 0x08},
     {{kWheel, kForward, 0, 0, 0}, {kWheel, kForward, 0, 0, 0}}, 0},
    {"Wheel_MiddleWithoutWheel", DecodeWheel, 3, {0x40, 0x00, 0x00, 0x10}, {{kMiddleDown, 0, 4, 0, 0}}, 0},
    {"Wheel_MiddleDownWithAWheelStep", DecodeWheel, 3, {0x63, 0x3F, 0x01, 0x11},
     {{kLeftDown | kMiddleDown | kWheel, kBackward, 5, -1, 1}}, 0},
    {"Wheel_FifthByteCarriesTheHighBits", DecodeWheel, 3,
     {0x40, 0x00, 0x00, 0x21, 0x0F, 0x40, 0x00, 0x00, 0x20, 0x31, 0x40, 0x00, 0x00, 0x20, 0x00},
     {{kWheel, kForward, 0, 0, 0}, {kWheel, kBackward, 0, 0, 0}, {0, 0, 0, 0, 0}}, 0},
    {"Wheel_FourthByteAnnouncingAFifthWaits", DecodeWheel, 3, {0x40, 0x00, 0x00, 0x21}, {}, 4},
    {"Wheel_SyncWhereTheFifthByteWasDue", DecodeWheel, 3, {0x40, 0x00, 0x00, 0x20, 0x40, 0x00, 0x00, 0x00},
     {{0, 0, 0, 0, 0}}, 0},
    {"Wheel_ResyncAfterGarbage", DecodeWheel, 3, {0x01, 0x02, 0x41, 0x40, 0x02, 0x03, 0x00},
     {{0, 0, 0, 2, 3}}, 0},

    // ---- extended wheel mouse: buttons 4 and 5 coded in byte 3
    {"Wheel5_ButtonCodes", DecodeWheel, 5,
     {0x40, 0x00, 0x00, 0x20, 0x40, 0x00, 0x00, 0x21, 0x40, 0x00, 0x00, 0x2F, 0x40, 0x00, 0x00, 0x22},
     {{kB4Down | kB5Down, 0, 0x18, 0, 0}, {kB5Up, 0, 0x08, 0, 0}, {kB4Up | kB5Down, 0, 0x10, 0, 0},
      {kB5Up, 0, 0x00, 0, 0}}, 0},
    {"Wheel5_WheelPacketReleasesButtonsFourAndFive", DecodeWheel, 5,
     {0x40, 0x00, 0x00, 0x30, 0x40, 0x00, 0x00, 0x0F},
     {{kMiddleDown | kB4Down | kB5Down, 0, 0x1C, 0, 0}, {kMiddleUp | kB4Up | kB5Up | kWheel, kForward, 0, 0, 0}}, 0},
    {"Wheel5_NoFifthByte", DecodeWheel, 5, {0x41, 0x01, 0x00, 0x2F, 0x05}, {{kB5Down, 0, 0x10, 0x41, 0}}, 0},

    // ---- C-series: sign bits that run opposite ways
    {"CSeries_LeftAndPositiveMovement", DecodeCSeries, 3, {0x94, 0x05, 0x03}, {{kLeftDown, 0, 1, 5, 3}}, 0},
    {"CSeries_RightMiddleAndNegativeMovement", DecodeCSeries, 3, {0x8B, 0x05, 0x03},
     {{kRightDown | kMiddleDown, 0, 6, -5, -3}}, 0},
    {"CSeries_ClearXSignIsNegative", DecodeCSeries, 3, {0x80, 0x05, 0x00, 0x80, 0x00, 0x00, 0x90, 0x7F, 0x7F},
     {{0, 0, 0, -5, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 127, 127}}, 0},
    {"CSeries_ResyncAfterGarbage", DecodeCSeries, 3, {0x05, 0x94, 0x05, 0x90, 0x7F, 0x94, 0x01, 0x02},
     {{kLeftDown, 0, 1, 1, 2}}, 0},
    {"CSeries_SyncAsThirdByteDeliversNothing", DecodeCSeries, 3, {0x05, 0x94, 0x05, 0x90}, {}, 1},
    {"CSeries_TwoButtonMouse", DecodeCSeries, 2, {0x82, 0x00, 0x00, 0x85, 0x00, 0x00},
     {{0, 0, 4, 0, 0}, {kLeftDown | kRightDown, 0, 3, 0, 0}}, 0},

    // ---- five-byte: two reports per packet
    {"FiveByte_TwoEmptyReports", DecodeFiveByte, 3, {0x87, 0x00, 0x00, 0x00, 0x00},
     {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}, 0},
    {"FiveByte_InvertedButtonsAndShortPackets", DecodeFiveByte, 3,
     {0x83, 0x00, 0x00, 0x85, 0x00, 0x00, 0x86, 0x00, 0x00, 0x80, 0x00, 0x00},
     {{kLeftDown, 0, 1, 0, 0}, {kLeftUp | kRightDown, 0, 2, 0, 0}, {kRightUp | kMiddleDown, 0, 4, 0, 0},
      {kLeftDown | kRightDown, 0, 7, 0, 0}}, 3},
    {"FiveByte_YIsNegated", DecodeFiveByte, 3, {0x87, 0x05, 0x05, 0xFB, 0xFB}, {{0, 0, 0, 5, -5}, {0, 0, 0, -5, 5}}, 0},
    {"FiveByte_SecondReportKeepsTheButtons", DecodeFiveByte, 3, {0x83, 0x01, 0x02, 0x03, 0x04},
     {{kLeftDown, 0, 1, 1, -2}, {0, 0, 1, 3, -4}}, 0},
    {"FiveByte_Extremes", DecodeFiveByte, 3, {0x87, 0x7F, 0x88, 0x88, 0x7F},
     {{0, 0, 0, 127, 120}, {0, 0, 0, -120, -127}}, 0},
    {"FiveByte_SyncInsideAPacketRestarts", DecodeFiveByte, 3,
     {0x10, 0x20, 0x87, 0x83, 0x01, 0x85, 0x00, 0x00, 0x00, 0x86, 0x00, 0x00},
     {{kRightDown, 0, 2, 0, 0}, {kRightUp | kMiddleDown, 0, 4, 0, 0}}, 3},
};
// clang-format on

class DecoderStreamTest : public SimTest, public ::testing::WithParamInterface<StreamCase> {
  protected:
    void EndObjects() override { mouse.reset(); }
    std::unique_ptr<SerialMouseDevice> mouse;
};

TEST_P(DecoderStreamTest, DeliversExactlyTheseRecords) {
    const StreamCase& c = GetParam();
    mouse = std::make_unique<SerialMouseDevice>(c.decoder, c.buttons);
    ASSERT_EQ(StartReadLoop(&mouse->state()), STATUS_SUCCESS);
    mouse->port().Receive(c.bytes);
    kernel().Settle();

    const std::vector<sim::DeliveredRecord>& got = mouse->mouseClass().Records();
    ASSERT_EQ(got.size(), c.records.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const MOUSE_INPUT_DATA& r = got[i].data;
        const Record& want = c.records[i];
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(r.ButtonFlags, want.flags);
        EXPECT_EQ(r.ButtonData, want.data);
        EXPECT_EQ(r.RawButtons, want.raw);
        EXPECT_EQ(r.LastX, want.x);
        EXPECT_EQ(r.LastY, want.y);
        EXPECT_EQ(r.UnitId, 0);
        EXPECT_EQ(r.Flags, MOUSE_MOVE_RELATIVE);
        EXPECT_EQ(r.ExtraInformation, 0u);
    }
    EXPECT_EQ(mouse->state().DecoderState.ByteIndex, c.byteIndexAfter);
    EXPECT_EQ(mouse->state().Report.ButtonFlags, 0);
    EXPECT_EQ(mouse->state().Report.ButtonData, 0);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecoderStreamTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

// A decoder chosen at a later identification takes over whatever position
// the previous one left, and falls into step at the first sync byte.
TEST_F(DecoderStreamTest, DecoderTakesOverAnyPositionAndFallsIntoStep) {
    struct Takeover {
        PacketDecoder* decoder;
        std::vector<UCHAR> packet;
    };
    const Takeover takeovers[] = {
        {DecodeThreeByte, {0x40, 0x01, 0x00}},
        {DecodeBallPoint, {0x40, 0x01, 0x00, 0x00}},
        {DecodeWheel, {0x40, 0x01, 0x00, 0x00}},
        {DecodeCSeries, {0x90, 0x01, 0x00}},
        {DecodeFiveByte, {0x87, 0x01, 0x00}},
    };
    for (const Takeover& t : takeovers) {
        for (ULONG index = 0; index <= 4; ++index) {
            SCOPED_TRACE("ByteIndex " + std::to_string(index));
            mouse = std::make_unique<SerialMouseDevice>(t.decoder, 3);
            mouse->state().DecoderState.ByteIndex = index;
            ASSERT_EQ(StartReadLoop(&mouse->state()), STATUS_SUCCESS);
            mouse->port().Receive({0x00, 0x01});  // not a packet start in any protocol
            mouse->port().Receive(t.packet);
            kernel().Settle();
            ASSERT_FALSE(mouse->mouseClass().Records().empty());
            EXPECT_EQ(mouse->mouseClass().Records().back().data.LastX, 1);
            EXPECT_LE(mouse->state().DecoderState.ByteIndex, 4u);
            mouse.reset();
        }
    }
}

}  // namespace
