// FilterIsrHook as a unit: fed bytes with the port driver's state and
// sub-state, it is judged by what it writes to the mouse, what it leaves in
// the byte, in *ContinueProcessing and in the sub-state.
#include <gtest/gtest.h>

#include <vector>

#include "auxhook/auxhook.h"

namespace {

struct Outcome {
    UCHAR byte;                     // what the port driver is handed
    BOOLEAN proceed;                // *ContinueProcessing
    BOOLEAN result;                 // the hook's return value
    MOUSE_RESET_SUBSTATE substate;  // as the hook left it
    std::vector<UCHAR> written;     // bytes written to the mouse in this call
};

// A filter device with its state, and the port driver's write routine.
class HookBench {
  public:
    HookBench() {
        device_.DeviceExtension = &state_;
        state_.Self = &device_;
        state_.IsrWritePort = Write;
        state_.CallContext = this;
    }

    FilterState& state() { return state_; }
    const std::vector<UCHAR>& written() const { return written_; }

    Outcome Feed(UCHAR byte, MOUSE_STATE mouseState, MOUSE_RESET_SUBSTATE substate = ExpectingReset) {
        size_t before = written_.size();
        Outcome out{byte, 0xCC, 0, substate, {}};
        MOUSE_INPUT_DATA input{};
        OUTPUT_PACKET output{};
        out.result = FilterIsrHook(&device_, &input, &output, 0, &out.byte, &out.proceed, &mouseState, &out.substate);
        out.written.assign(written_.begin() + before, written_.end());
        return out;
    }
    Outcome Reset(UCHAR byte, MOUSE_RESET_SUBSTATE substate) { return Feed(byte, MouseResetting, substate); }

    // Arms the hook as a reset does and answers the port driver's ID request.
    Outcome ArmAndAnswerId(UCHAR id) {
        Reset(PS2_ACK, ExpectingReset);
        return Reset(id, ExpectingGetDeviceId2Value);
    }

    // Runs the whole activation: first ID, eight ACKs to the rates, the ACK
    // of get device ID; returns the outcome of the final ID byte.
    Outcome Activate(UCHAR firstId, UCHAR finalId) {
        ArmAndAnswerId(firstId);
        for (int i = 0; i < 9; ++i) Reset(PS2_ACK, ExpectingGetDeviceId2Value);
        return Reset(finalId, ExpectingGetDeviceId2Value);
    }

  private:
    static VOID NTAPI Write(PVOID context, UCHAR value) { static_cast<HookBench*>(context)->written_.push_back(value); }

    DEVICE_OBJECT device_{};
    FilterState state_{};
    std::vector<UCHAR> written_;
};

using Bytes = std::vector<UCHAR>;

TEST(FilterIsrHook, ExtendedMouseIsSwitchedOverAndItsAnswersHidden) {
    HookBench bench;
    Outcome id = bench.ArmAndAnswerId(3);
    EXPECT_FALSE(id.proceed);
    EXPECT_EQ(id.written, Bytes({0xF3}));
    for (int i = 0; i < 9; ++i) {
        Outcome ack = bench.Reset(PS2_ACK, ExpectingGetDeviceId2Value);
        EXPECT_FALSE(ack.proceed) << "ACK " << i;
        EXPECT_EQ(ack.substate, ExpectingGetDeviceId2Value);
    }
    EXPECT_EQ(bench.written(), Bytes({0xF3, 0xC8, 0xF3, 0x64, 0xF3, 0x50, 0xF3, 0x3C, 0xF2}));

    Outcome final = bench.Reset(5, ExpectingGetDeviceId2Value);
    EXPECT_TRUE(final.proceed);
    EXPECT_EQ(final.byte, 4);
    EXPECT_EQ(final.substate, ExpectingGetDeviceId2Value);
    EXPECT_TRUE(final.written.empty());
    EXPECT_EQ(bench.state().DeviceId, EXTENDED_MODE_ID);
}

TEST(FilterIsrHook, RewritesPacketsInExtendedMode) {
    struct Case {
        UCHAR first, fourth, firstSeen, fourthSeen;
    };
    const Case cases[] = {{0xC9, 0xFF, 0x09, 0x3F}, {0x48, 0x01, 0x08, 0x11}, {0x88, 0x0E, 0x08, 0x2E},
                          {0x08, 0x0F, 0x08, 0x0F}};
    HookBench bench;
    bench.Activate(3, 5);
    for (const Case& c : cases) {
        Outcome first = bench.Feed(c.first, MouseIdle);
        Outcome x = bench.Feed(0xC7, XMovement);
        Outcome y = bench.Feed(0x81, YMovement);
        Outcome fourth = bench.Feed(c.fourth, ZMovement);
        EXPECT_EQ(first.byte, c.firstSeen) << std::hex << int(c.first);
        EXPECT_EQ(fourth.byte, c.fourthSeen) << std::hex << int(c.fourth);
        EXPECT_EQ(x.byte, 0xC7);
        EXPECT_EQ(y.byte, 0x81);
        EXPECT_TRUE(first.proceed && x.proceed && y.proceed && fourth.proceed);
    }
    EXPECT_EQ(bench.written().size(), 9u) << "packets wrote to the mouse";

    // 0xAA passes as it came, so that the port driver sees a mouse that
    // announces itself (0xAA 0x00) after it was plugged in again; the
    // packet's buttons still move to the fourth byte.
    EXPECT_EQ(bench.Feed(0xAA, MouseIdle).byte, 0xAA);
    EXPECT_EQ(bench.Feed(0x10, XMovement).byte, 0x10);
    EXPECT_EQ(bench.Feed(0x01, YMovement).byte, 0x01);
    EXPECT_EQ(bench.Feed(0xFF, ZMovement).byte, 0x2F);

    // A new reset ends the extended mode.
    bench.Reset(PS2_ACK, ExpectingReset);
    EXPECT_EQ(bench.Feed(0xC9, MouseIdle).byte, 0xC9);
    EXPECT_EQ(bench.Feed(0xFF, ZMovement).byte, 0xFF);
}

// Mice without the extended mode: what the port driver ends up seeing.
TEST(FilterIsrHook, MiceWithoutExtendedModeAreLeftAsTheyAre) {
    {
        SCOPED_TRACE("ID 4 at once");
        HookBench bench;
        Outcome id = bench.ArmAndAnswerId(4);
        EXPECT_TRUE(id.proceed);
        EXPECT_EQ(id.byte, 4);
        EXPECT_TRUE(bench.written().empty());
        EXPECT_EQ(bench.Feed(0xC9, MouseIdle).byte, 0xC9);
        EXPECT_EQ(bench.Feed(0xFF, ZMovement).byte, 0xFF);
    }
    for (UCHAR firstId : {UCHAR(0), UCHAR(3), UCHAR(5)}) {
        SCOPED_TRACE("first ID " + std::to_string(firstId) + ", then 3");
        HookBench bench;
        Outcome again = bench.Activate(firstId, 3);
        EXPECT_TRUE(again.proceed);
        EXPECT_EQ(again.byte, 3);
        EXPECT_EQ(again.substate, EnableWheel);
        // The port driver's second wheel sequence and ID pass untouched.
        size_t written = bench.written().size();
        for (UCHAR b : Bytes{PS2_ACK, 0x64, PS2_ACK}) {
            Outcome o = bench.Reset(b, ExpectingLoopSetSamplingRateACK);
            EXPECT_TRUE(o.proceed);
            EXPECT_EQ(o.byte, b);
        }
        Outcome second = bench.Reset(3, ExpectingGetDeviceId2Value);
        EXPECT_TRUE(second.proceed);
        EXPECT_EQ(second.byte, 3);
        EXPECT_EQ(bench.written().size(), written);
        EXPECT_EQ(bench.Feed(0xC9, MouseIdle).byte, 0xC9);
        EXPECT_EQ(bench.Feed(0xFF, ZMovement).byte, 0xFF);
    }
}

// An answer of 0xFF must never read as "no ID yet": the port driver's next
// ID byte would be taken for the first, and an ID 5 would turn rewriting on.
TEST(FilterIsrHook, AnIdAnswerOfFFNeverRearmsTheFilter) {
    {
        SCOPED_TRACE("0xFF after the sequence");
        HookBench bench;
        Outcome last = bench.Activate(3, 0xFF);
        EXPECT_EQ(last.substate, EnableWheel);
        EXPECT_NE(bench.state().DeviceId, NO_DEVICE_ID);
        size_t written = bench.written().size();
        Outcome second = bench.Reset(5, ExpectingGetDeviceId2Value);
        EXPECT_TRUE(second.proceed);
        EXPECT_EQ(second.byte, 5);
        EXPECT_EQ(bench.written().size(), written);
        EXPECT_EQ(bench.Feed(0xC9, MouseIdle).byte, 0xC9) << "rewriting turned on";
        EXPECT_EQ(bench.Feed(0xFF, ZMovement).byte, 0xFF);
    }
    {
        SCOPED_TRACE("0xFF as the first answer");
        HookBench bench;
        EXPECT_EQ(bench.ArmAndAnswerId(0xFF).written, Bytes({0xF3}));
        // The ACK of 0xF3 is answered with the first rate, not another 0xF3.
        EXPECT_EQ(bench.Reset(PS2_ACK, ExpectingGetDeviceId2Value).written, Bytes({0xC8}));
    }
}

// A mouse that fails the sequence each time is reset by the filter only a
// few times; a reset the port driver begins after that gets a few tries again.
TEST(FilterIsrHook, FailedActivationsAreBounded) {
    HookBench bench;
    auto failOnce = [&bench] {
        Outcome id = bench.ArmAndAnswerId(3);
        EXPECT_EQ(id.written, Bytes({0xF3}));
        Outcome error = bench.Reset(0xFC, ExpectingGetDeviceId2Value);
        EXPECT_EQ(error.written, Bytes({PS2_RESET}));
        EXPECT_EQ(error.substate, ExpectingReset);
    };
    for (int i = 0; i < FILTER_ACTIVATION_LIMIT; ++i) {
        SCOPED_TRACE("failure " + std::to_string(i + 1));
        failOnce();
    }
    // The next reset: the port driver reads the ID itself.
    Outcome id = bench.ArmAndAnswerId(3);
    EXPECT_TRUE(id.proceed);
    EXPECT_EQ(id.byte, 3);
    EXPECT_TRUE(id.written.empty());
    EXPECT_EQ(bench.Reset(3, ExpectingGetDeviceId2Value).written, Bytes{}) << "after Enable5Buttons";

    // A reset of the port driver's own: the filter tries again.
    failOnce();
    // A resend limit counts as a failure as well; a finished activation
    // starts the count over.
    bench.ArmAndAnswerId(3);
    for (int i = 0; i < 5; ++i) bench.Reset(PS2_RESEND, ExpectingGetDeviceId2Value);
    EXPECT_EQ(bench.state().FailedActivations, 1);
    EXPECT_EQ(bench.Activate(3, 5).byte, 4);
    EXPECT_EQ(bench.state().FailedActivations, 2);
    bench.Reset(PS2_ACK, ExpectingReset);
    EXPECT_EQ(bench.state().FailedActivations, 0);
}

TEST(FilterIsrHook, WithoutAResetSinceCreationThePortDriverReadsTheIdItself) {
    HookBench bench;
    Outcome id = bench.Reset(3, ExpectingGetDeviceId2Value);
    EXPECT_TRUE(id.proceed);
    EXPECT_EQ(id.byte, 3);
    EXPECT_EQ(id.substate, ExpectingGetDeviceId2Value);
    EXPECT_TRUE(bench.written().empty());
}

// Every row of the activation's transition table, entered with the step set.
struct Row {
    const char* name;
    ULONG step;
    UCHAR rateIndex;
    UCHAR byte;
    Bytes written;
    ULONG nextStep;
    BOOLEAN proceed;
    MOUSE_RESET_SUBSTATE substate;
    UCHAR byteSeen;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class TransitionTable : public ::testing::TestWithParam<Row> {};

TEST_P(TransitionTable, Row) {
    const Row& row = GetParam();
    HookBench bench;
    FilterState& s = bench.state();
    s.DeviceId = 0;  // an ID was read since the reset
    s.ActivationStep = row.step;
    s.RateTable = ExtendedModeRates;
    s.RateIndex = row.rateIndex;
    s.StepAfterRates = RatesDone;
    Outcome out = bench.Reset(row.byte, ExpectingGetDeviceId2Value);
    EXPECT_EQ(out.written, row.written);
    EXPECT_EQ(s.ActivationStep, row.nextStep);
    EXPECT_EQ(out.proceed, row.proceed);
    EXPECT_EQ(out.substate, row.substate);
    EXPECT_EQ(out.byte, row.byteSeen);
    EXPECT_TRUE(out.result);
}

const MOUSE_RESET_SUBSTATE k28 = ExpectingGetDeviceId2Value;
INSTANTIATE_TEST_SUITE_P(
    FilterIsrHook, TransitionTable,
    ::testing::Values(Row{"start", ActivationStart, 0, 0x03, {0xF3}, AwaitRateCommandAck, FALSE, k28, 0x03},
                      Row{"rate_command_ack", AwaitRateCommandAck, 1, 0xFA, {0x64}, AwaitRateValueAck, FALSE, k28, 0xFA},
                      Row{"rate_command_resend", AwaitRateCommandAck, 1, 0xFE, {0xF3}, AwaitRateCommandAck, FALSE, k28, 0xFE},
                      Row{"rate_command_error", AwaitRateCommandAck, 1, 0xAA, {0xFF}, AwaitRateCommandAck, FALSE, ExpectingReset, 0xAA},
                      Row{"rate_value_ack_more", AwaitRateValueAck, 0, 0xFA, {0xF3}, AwaitRateCommandAck, FALSE, k28, 0xFA},
                      Row{"rate_value_ack_last", AwaitRateValueAck, 3, 0xFA, {0xF2}, AwaitGetIdAck, FALSE, k28, 0xFA},
                      Row{"rate_value_resend", AwaitRateValueAck, 2, 0xFE, {0x50}, AwaitRateValueAck, FALSE, k28, 0xFE},
                      Row{"rate_value_error", AwaitRateValueAck, 2, 0x00, {0xFF}, AwaitRateValueAck, FALSE, ExpectingReset, 0x00},
                      Row{"get_id_ack", AwaitGetIdAck, 4, 0xFA, {}, AwaitExtendedId, FALSE, k28, 0xFA},
                      Row{"get_id_resend", AwaitGetIdAck, 4, 0xFE, {0xF2}, AwaitGetIdAck, FALSE, k28, 0xFE},
                      Row{"get_id_error", AwaitGetIdAck, 4, 0xFC, {0xFF}, AwaitGetIdAck, FALSE, ExpectingReset, 0xFC},
                      Row{"extended_id", AwaitExtendedId, 4, 0x05, {}, AwaitExtendedId, TRUE, k28, 0x04},
                      Row{"other_id", AwaitExtendedId, 4, 0x03, {}, AwaitExtendedId, TRUE, EnableWheel, 0x03},
                      Row{"unknown_step", 0, 0, 0xFA, {}, 0, TRUE, k28, 0xFA}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST(FilterIsrHook, FifthResendInARowResetsTheMouse) {
    HookBench bench;
    bench.ArmAndAnswerId(3);  // waits for the ACK of 0xF3
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bench.Reset(PS2_RESEND, k28).written, Bytes({0xF3})) << i;
    Outcome fifth = bench.Reset(PS2_RESEND, k28);
    EXPECT_EQ(fifth.written, Bytes({0xFF}));
    EXPECT_EQ(fifth.substate, ExpectingReset);
    EXPECT_FALSE(fifth.proceed);
    EXPECT_EQ(bench.state().ResendCount, 0);
}

TEST(FilterIsrHook, AnAckBetweenResendsStartsTheCountAgain) {
    HookBench bench;
    bench.ArmAndAnswerId(3);
    for (int i = 0; i < 4; ++i) bench.Reset(PS2_RESEND, k28);
    EXPECT_EQ(bench.Reset(PS2_ACK, k28).written, Bytes({0xC8}));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bench.Reset(PS2_RESEND, k28).written, Bytes({0xC8})) << i;
    EXPECT_EQ(bench.Reset(PS2_RESEND, k28).written, Bytes({0xFF}));
}

TEST(FilterIsrHook, BytesOfOtherResetStepsPassAndClearTheResendCount) {
    HookBench bench;
    bench.state().ResendCount = 3;
    Outcome resend = bench.Reset(PS2_RESEND, ExpectingGetDeviceIdACK);
    EXPECT_TRUE(resend.proceed);
    EXPECT_EQ(resend.byte, PS2_RESEND);
    EXPECT_EQ(bench.state().ResendCount, 3);
    Outcome ack = bench.Reset(PS2_ACK, ExpectingGetDeviceIdACK);
    EXPECT_TRUE(ack.proceed);
    EXPECT_EQ(bench.state().ResendCount, 0);
    EXPECT_TRUE(bench.written().empty());
}

TEST(FilterIsrHook, OtherMouseStatesPassUnchanged) {
    HookBench bench;
    bench.Activate(3, 5);
    for (MOUSE_STATE state : {XMovement, YMovement, MouseExpectingACK}) {
        Outcome out = bench.Feed(0xC9, state);
        EXPECT_TRUE(out.proceed);
        EXPECT_EQ(out.byte, 0xC9);
    }
}

// An upper filter's hook runs first and can end the processing of a byte.
class ChainedHook : public ::testing::Test {
  protected:
    static BOOLEAN NTAPI Upper(PVOID context, PMOUSE_INPUT_DATA, POUTPUT_PACKET, UCHAR, PUCHAR byte,
                               PBOOLEAN proceed, PMOUSE_STATE, PMOUSE_RESET_SUBSTATE) {
        auto* self = static_cast<ChainedHook*>(context);
        self->calls++;
        *proceed = self->upperProceed;
        return self->upperResult;
    }
    void SetUp() override {
        bench.state().UpperIsrRoutine = Upper;
        bench.state().UpperIsrContext = this;
        bench.Activate(3, 5);  // with the upper hook letting everything through
    }

    HookBench bench;
    int calls = 0;
    BOOLEAN upperResult = TRUE;
    BOOLEAN upperProceed = TRUE;
};

TEST_F(ChainedHook, RunsFirstWithItsOwnContext) {
    EXPECT_EQ(calls, 12);
    EXPECT_EQ(bench.state().DeviceId, EXTENDED_MODE_ID);
    EXPECT_EQ(bench.Feed(0xC9, MouseIdle).byte, 0x09);
}

TEST_F(ChainedHook, EndsProcessingWithoutTheFilterTouchingAnything) {
    struct Case {
        BOOLEAN result, proceed;
    };
    for (Case c : {Case{FALSE, TRUE}, Case{FALSE, FALSE}, Case{TRUE, FALSE}}) {
        upperResult = c.result;
        upperProceed = c.proceed;
        Outcome first = bench.Feed(0xC9, MouseIdle);
        EXPECT_EQ(first.result, c.result);
        EXPECT_EQ(first.proceed, c.proceed);
        EXPECT_EQ(first.byte, 0xC9);
        Outcome reset = bench.Reset(PS2_ACK, ExpectingReset);
        EXPECT_EQ(bench.state().DeviceId, EXTENDED_MODE_ID) << "the filter armed itself";
        EXPECT_EQ(reset.substate, ExpectingReset);
    }
}

}  // namespace
