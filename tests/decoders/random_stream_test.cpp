// The decoders on long random streams (well-formed packets mixed with
// garbage), through the real ReadCompletion: no record that the protocol
// cannot produce reaches the class driver, the class driver's view of every
// button stays what the mouse reports, ByteIndex stays in its range, and a
// decoder changes nothing of the device but its own state and the report's
// fields it owns.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "serial_core/reading.h"
#include "tests/support/decoder_properties.h"
#include "tests/support/serial_device.h"
#include "tests/support/sim_test.h"

namespace {

// The decoder under test, called through a guard that checks what it touched.
const ProtocolLimits* g_protocol = nullptr;
std::string g_violation;

void Violation(const std::string& what) {
    if (g_violation.empty()) g_violation = what;
}

BOOLEAN GuardedDecoder(DeviceState* device, PMOUSE_INPUT_DATA report, DecoderState* state, UCHAR byte) {
    std::vector<unsigned char> before(sizeof(DeviceState));
    std::memcpy(before.data(), device, sizeof(DeviceState));
    DeviceState old;
    std::memcpy(&old, device, sizeof(DeviceState));

    BOOLEAN complete = g_protocol->decoder(device, report, state, byte);

    if (state->ByteIndex > g_protocol->lastByteIndex) Violation("ByteIndex " + std::to_string(state->ByteIndex));
    if (state->PreviousButtons != old.DecoderState.PreviousButtons) Violation("PreviousButtons written");
    USHORT addedFlags = report->ButtonFlags & ~old.Report.ButtonFlags;
    if (report->ButtonFlags != (old.Report.ButtonFlags | addedFlags) || (addedFlags & ~MOUSE_WHEEL) ||
        (addedFlags && !g_protocol->wheel)) {
        Violation("ButtonFlags changed beyond MOUSE_WHEEL");
    }
    if (!g_protocol->wheel && report->ButtonData != old.Report.ButtonData) Violation("ButtonData written");
    if (!complete && (report->ButtonFlags != old.Report.ButtonFlags || report->ButtonData != old.Report.ButtonData)) {
        Violation("wheel data written without a packet");
    }

    // Everything outside the decoder state and the report's button word,
    // RawButtons, LastX and LastY must be as it was, byte for byte.
    auto owned = [&](size_t offset) {
        size_t state0 = offsetof(DeviceState, DecoderState);
        size_t report0 = offsetof(DeviceState, Report);
        if (offset >= state0 && offset < state0 + sizeof(DecoderState)) return true;
        size_t inReport = offset - report0;
        return offset >= report0 && inReport >= offsetof(MOUSE_INPUT_DATA, Buttons) &&
               inReport < offsetof(MOUSE_INPUT_DATA, ExtraInformation);
    };
    const auto* after = reinterpret_cast<const unsigned char*>(device);
    for (size_t i = 0; i < sizeof(DeviceState); ++i) {
        if (!owned(i) && after[i] != before[i]) {
            Violation("byte " + std::to_string(i) + " of the device record written");
            break;
        }
    }
    return complete;
}

struct Variant {
    size_t protocol;
    USHORT buttons;
};

class RandomStreamTest : public SimTest, public ::testing::WithParamInterface<Variant> {
  protected:
    void EndObjects() override { mouse.reset(); }
    std::unique_ptr<SerialMouseDevice> mouse;
};

TEST_P(RandomStreamTest, EveryRecordIsPossibleAndDecodersStayInTheirState) {
    const ProtocolLimits& protocol = AllProtocols()[GetParam().protocol];
    const USHORT buttons = GetParam().buttons;
    g_protocol = &protocol;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        g_violation.clear();
        mouse = std::make_unique<SerialMouseDevice>(GuardedDecoder, buttons);
        // Start where another protocol's decoder may have left off.
        mouse->state().DecoderState.ByteIndex = seed % 5;
        RecordChecker checker(protocol, buttons);
        std::string bad;
        mouse->mouseClass().OnRecord([&](const sim::DeliveredRecord& r) {
            if (bad.empty()) bad = checker.Check(r.data);
        });
        ASSERT_EQ(StartReadLoop(&mouse->state()), STATUS_SUCCESS);
        // Half the seeds mostly packets, half mostly garbage.
        std::vector<UCHAR> bytes = RandomStream(protocol, buttons, 20000, seed, seed % 2 ? 16 : 2);
        mouse->port().Receive(bytes);
        kernel().Settle();

        EXPECT_EQ(bad, "");
        EXPECT_EQ(g_violation, "");
        EXPECT_GT(mouse->mouseClass().Records().size(), 500u);  // the streams do exercise the decoder
        mouse.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, RandomStreamTest,
                         ::testing::Values(Variant{0, 2}, Variant{0, 3}, Variant{1, 2}, Variant{2, 3}, Variant{2, 5},
                                           Variant{3, 2}, Variant{3, 3}, Variant{4, 3}),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                             return std::string(AllProtocols()[info.param.protocol].name) +
                                    std::to_string(info.param.buttons) + "Buttons";
                         });

}  // namespace
