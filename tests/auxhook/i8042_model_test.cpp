// The i8042 port model on its own, without a filter: the order of its reset
// steps, its bound on restarting a stalled reset, and a plugged mouse.
#include <memory>
#include <utility>
#include <vector>

#include "sim/machine/ps2_machine.h"
#include "tests/support/sim_test.h"

namespace {

using Step = std::pair<UCHAR, MOUSE_RESET_SUBSTATE>;

class I8042Model : public SimTest, public ::testing::WithParamInterface<double> {
  protected:
    void SetUp() override {
        sim::KernelOptions options;
        options.seed = 11;
        options.preemption = GetParam();
        StartKernel(options);
    }
    void EndObjects() override { machine.reset(); }

    void Boot(sim::Ps2MouseKind kind) {
        sim::Ps2MachineOptions options;
        options.mouse = kind;
        machine = std::make_unique<sim::Ps2Machine>(options);
    }

    // What the port driver wrote, each with the step that waits for its answer.
    std::vector<Step> PortWrites() {
        std::vector<Step> out;
        for (const sim::PortEvent& e : machine->port().Events()) {
            if (e.kind == sim::PortEvent::Kind::Write) out.push_back({e.byte, e.substate});
        }
        return out;
    }

    std::unique_ptr<sim::Ps2Machine> machine;
};

TEST_P(I8042Model, ResetRunsItsStepsInOrder) {
    Boot(sim::Ps2MouseKind::FiveButton);
    ASSERT_EQ(machine->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(machine->WaitForNewReset(0));
    auto rates = [](std::vector<UCHAR> values) {
        std::vector<Step> out;
        for (UCHAR v : values) {
            out.push_back({0xF3, ExpectingLoopSetSamplingRateACK});
            out.push_back({v, ExpectingLoopSetSamplingRateValueACK});
        }
        return out;
    };
    std::vector<Step> expected = {{0xFF, ExpectingReset},
                                  {0xF2, ExpectingGetDeviceIdACK},
                                  {0xE8, ExpectingSetResolutionDefaultACK},
                                  {0x00, ExpectingSetResolutionDefaultValueACK},
                                  {0xE8, ExpectingSetResolutionACK},
                                  {0x03, ExpectingSetResolutionValueACK},
                                  {0xE6, ExpectingSetScaling1to1ACK},
                                  {0xE6, ExpectingSetScaling1to1ACK2},
                                  {0xE6, ExpectingSetScaling1to1ACK3},
                                  {0xE9, ExpectingReadMouseStatusACK}};
    for (auto part : {rates({20, 40, 80}), rates({200, 100, 80}), std::vector<Step>{{0xF2, ExpectingGetDeviceId2ACK}},
                      rates({200, 200, 80}),
                      std::vector<Step>{{0xF2, ExpectingGetDeviceId2ACK},
                                        {0xF3, ExpectingSetSamplingRateACK},
                                        {100, ExpectingSetSamplingRateValueACK},
                                        {0xF4, ExpectingEnableACK},
                                        {0xE8, ExpectingFinalResolutionACK},
                                        {0x03, ExpectingFinalResolutionValueACK}}}) {
        expected.insert(expected.end(), part.begin(), part.end());
    }
    EXPECT_EQ(PortWrites(), expected);
    EXPECT_EQ(machine->port().DeviceId(), 4);
    EXPECT_EQ(machine->port().State(), MouseIdle);
}

// A mouse that stays silent: the reset is started over a few times, then the
// port driver gives up until it is asked to reset the mouse again.
TEST_P(I8042Model, StalledResetIsStartedOverABoundedNumberOfTimes) {
    Boot(sim::Ps2MouseKind::Wheel);
    machine->mouse().SilenceAfter(0xFF, sim::Milliseconds(10000));
    ASSERT_EQ(machine->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(machine->WaitForNewReset(0, sim::Milliseconds(5000)));
    kernel().RunFor(sim::Milliseconds(8000));
    EXPECT_EQ(machine->port().Restarts(), sim::I8042PortModel::kRestartLimit);
    EXPECT_EQ(PortWrites().size(), size_t{sim::I8042PortModel::kRestartLimit} + 1) << "only resets were written";
    EXPECT_EQ(machine->port().DeviceId(), -1);

    kernel().RunFor(sim::Milliseconds(3000));  // the mouse talks again
    int resets = machine->port().Resets();
    machine->port().StartReset();
    ASSERT_TRUE(machine->WaitForNewReset(resets));
    EXPECT_EQ(machine->port().DeviceId(), 3);
}

TEST_P(I8042Model, PluggedMouseIsResetAgain) {
    Boot(sim::Ps2MouseKind::Wheel);
    ASSERT_EQ(machine->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(machine->WaitForNewReset(0));
    machine->mouse().Unplug();
    kernel().RunFor(sim::Milliseconds(100));
    machine->mouse().Plug();
    ASSERT_TRUE(machine->WaitForNewReset(1));
    EXPECT_EQ(machine->port().DeviceId(), 3);
    EXPECT_EQ(machine->mouse().Id(), 3);
    EXPECT_TRUE(machine->mouse().Reporting());
}

INSTANTIATE_TEST_SUITE_P(Preemption, I8042Model, ::testing::Values(0.0, 0.4));

}  // namespace
