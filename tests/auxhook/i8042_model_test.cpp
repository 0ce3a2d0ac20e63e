// The i8042 port model on its own, without a filter: the order of its reset
// steps, its bound on restarting a stalled reset, and a plugged mouse.
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "sim/machine/ps2_machine.h"
#include "tests/support/sim_test.h"

namespace {

using Step = std::pair<UCHAR, MOUSE_RESET_SUBSTATE>;

// A filter driver whose mouse ISR hook the test scripts: the smallest user of
// the port driver's hook interface.
namespace probe {

struct Call {
    BOOLEAN continueOnEntry;
    MOUSE_STATE state;
    MOUSE_RESET_SUBSTATE substate;
    UCHAR byte;
};
// Decides a byte: sets *proceed, may write *substate, returns the result.
using Decide = BOOLEAN (*)(UCHAR byte, PBOOLEAN proceed, MOUSE_STATE state, PMOUSE_RESET_SUBSTATE substate);

std::vector<Call> calls;
Decide decide = nullptr;
int idAnswers = 0;  // for a Decide that counts

BOOLEAN NTAPI Hook(PVOID, PMOUSE_INPUT_DATA, POUTPUT_PACKET, UCHAR, PUCHAR byte, PBOOLEAN proceed,
                   PMOUSE_STATE state, PMOUSE_RESET_SUBSTATE substate) {
    calls.push_back({*proceed, *state, *substate, *byte});
    return decide(*byte, proceed, *state, substate);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_I8042_HOOK_MOUSE) {
        auto* hook = static_cast<PINTERNAL_I8042_HOOK_MOUSE>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        hook->IsrRoutine = Hook;
        hook->Context = device;
    }
    IoSkipCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        return PoCallDriver(lower, irp);
    }
    bool removal = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (removal) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_MOUSE, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension) = IoAttachDeviceToDeviceStack(device, physicalDevice);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& slot : driver->MajorFunction) slot = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

}  // namespace probe

class I8042Model : public SimTest, public ::testing::WithParamInterface<double> {
  protected:
    void SetUp() override {
        sim::KernelOptions options;
        options.seed = 11;
        options.preemption = GetParam();
        StartKernel(options);
    }
    void EndObjects() override { machine.reset(); }

    void Boot(sim::Ps2MouseKind kind, probe::Decide decide = nullptr) {
        sim::Ps2MachineOptions options;
        options.mouse = kind;
        probe::calls.clear();
        probe::decide = decide;
        probe::idAnswers = 0;
        if (decide != nullptr) {
            options.filterEntry = probe::Entry;
            options.filterName = L"\\Driver\\probe";
        }
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

// The hook sees every byte first, with ContinueProcessing FALSE: a hook that
// does not set it has the byte dropped.
TEST_P(I8042Model, HookSeesEveryByteFirstWithContinueProcessingFalse) {
    Boot(sim::Ps2MouseKind::Wheel, [](UCHAR, PBOOLEAN proceed, MOUSE_STATE, PMOUSE_RESET_SUBSTATE) -> BOOLEAN {
        *proceed = TRUE;
        return TRUE;
    });
    ASSERT_EQ(machine->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(machine->WaitForNewReset(0));
    machine->mouse().Move(4, 4);
    kernel().RunFor(sim::Milliseconds(20));
    size_t reads = 0;
    for (const sim::PortEvent& e : machine->port().Events()) reads += e.kind == sim::PortEvent::Kind::Read;
    ASSERT_EQ(probe::calls.size(), reads);
    for (const probe::Call& call : probe::calls) EXPECT_FALSE(call.continueOnEntry);
    EXPECT_EQ(probe::calls.back().state, ZMovement);
    EXPECT_EQ(machine->mouseClass().Records().size(), 1u);
}

// A byte the hook stops never reaches the port driver, and the hook's result
// is the routine's; a substate the hook writes is where the port driver goes on.
TEST_P(I8042Model, HookDecidesWhatThePortDriverDoes) {
    Boot(sim::Ps2MouseKind::Standard,
         [](UCHAR byte, PBOOLEAN proceed, MOUSE_STATE state, PMOUSE_RESET_SUBSTATE substate) -> BOOLEAN {
             if (state == MouseResetting && *substate == ExpectingGetDeviceId2Value && probe::idAnswers++ == 0) {
                 *substate = EnableWheel;  // have the wheel knock sent again
             }
             if (state == MouseIdle && byte == 0x09) return FALSE;  // a left press: not handled, not processed
             *proceed = TRUE;
             return TRUE;
         });
    ASSERT_EQ(machine->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(machine->WaitForNewReset(0));
    std::vector<UCHAR> written;
    for (const sim::PortEvent& e : machine->port().Events()) {
        if (e.kind == sim::PortEvent::Kind::Write) written.push_back(e.byte);
    }
    const std::vector<UCHAR> knock = {0xF3, 200, 0xF3, 100, 0xF3, 80};
    size_t knocks = 0;
    for (auto it = written.begin(); (it = std::search(it, written.end(), knock.begin(), knock.end())) != written.end();
         ++it) {
        ++knocks;
    }
    EXPECT_EQ(knocks, 2u);
    EXPECT_EQ(machine->port().DeviceId(), 0);

    machine->mouse().Press(0);
    machine->mouse().Release(0);
    machine->mouse().Move(1, 0);
    kernel().RunFor(sim::Milliseconds(40));
    EXPECT_EQ(machine->port().Unclaimed(), 1u);
    // The press was never seen: its packet's other bytes fell out of step.
    const auto& records = machine->mouseClass().Records();
    ASSERT_FALSE(records.empty());
    for (const auto& r : records) EXPECT_EQ(r.data.ButtonFlags & MOUSE_LEFT_BUTTON_DOWN, 0);
}

INSTANTIATE_TEST_SUITE_P(Preemption, I8042Model, ::testing::Values(0.0, 0.4));

}  // namespace
