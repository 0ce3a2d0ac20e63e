// The removal monitor: the wait mask it derives from the modem status or
// takes from the registry, what a fired wait leads to (a line that bounced
// back, a mouse unplugged, an unreadable status), its cancellation in every
// power situation, and its end during removal.
#include "tests/device_frame/frame_fixture.h"

namespace {

// ---- arming against modem-status lines a test sets

class ArmingTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        Build("");  // nothing on the line: the test drives the status lines
    }
    // Sets the lines and reads the register once, so its delta bits are clear.
    void SetLines(bool cts, bool dsr, bool dcd) {
        port().SetModemStatusLines(cts, dsr, false, dcd);
        SerialRequestContext request;
        InitializeSerialRequestContext(&request);
        ULONG status = 0;
        SendSerialRequest(FALSE, IOCTL_SERIAL_GET_MODEMSTATUS, state().LowerDevice, &request.Event,
                          &request.IoStatus, nullptr, 0, &status, sizeof(status));
        port().ClearRequests();
    }
};

struct MaskCase {
    const char* name;
    bool cts, dsr, dcd;
    bool maskSet;
    ULONG mask;
    bool waitSent;
    BOOLEAN active;
    ULONG initial;
};

class MaskFromStatusTest : public ArmingTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(MaskFromStatusTest, WatchesTheLinesActiveAtArming) {
    const MaskCase& c = GetParam();
    SetLines(c.cts, c.dsr, c.dcd);
    state().InitialModemStatus = 0x77;  // what an earlier arming left
    ArmRemovalMonitor(&state());
    kernel().Settle();
    EXPECT_EQ(state().InitialModemStatus, c.initial);
    ASSERT_EQ(PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK).size(), c.maskSet ? 1u : 0u);
    if (c.maskSet) {
        EXPECT_EQ(LastWaitMask(), c.mask);
    }
    EXPECT_EQ(PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK).size(), c.waitSent ? 1u : 0u);
    EXPECT_EQ(state().MonitorActive, c.active);
    EXPECT_EQ(port().ReadPending(), false);
}

INSTANTIATE_TEST_SUITE_P(
    Status, MaskFromStatusTest,
    ::testing::Values(MaskCase{"DsrAndCts_0x30", true, true, false, true, 0x0018, true, TRUE, 0x30},
                      MaskCase{"DsrOnly_0x20", false, true, false, true, 0x0010, true, TRUE, 0x20},
                      // Only DCD: the mask is 0, still set and waited on; the
                      // port refuses a wait with no events, so the monitor
                      // stays off.
                      MaskCase{"DcdOnly_0x80", false, false, true, true, 0, true, FALSE, 0x80},
                      MaskCase{"Nothing_0", false, false, false, false, 0, false, FALSE, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ArmingTest, WaitEventMaskAllOnesSendsNothing) {
    SetLines(true, true, false);
    state().WaitEventMask = 0xFFFFFFFF;
    state().MonitorActive = TRUE;
    ArmRemovalMonitor(&state());
    EXPECT_TRUE(port().Requests().empty());
    EXPECT_FALSE(state().MonitorActive);
    EXPECT_EQ(state().WaitMaskRequest, nullptr);
}

TEST_F(ArmingTest, AConfiguredMaskIsUsedAsItIsAndComparedWithTheEarlierStatus) {
    SetLines(true, true, false);
    state().WaitEventMask = SERIAL_EV_CTS;
    ArmRemovalMonitor(&state());
    kernel().Settle();
    EXPECT_TRUE(PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS).empty())
        << "no status read at arming";
    EXPECT_EQ(LastWaitMask(), static_cast<ULONG>(SERIAL_EV_CTS));
    EXPECT_TRUE(state().MonitorActive);
    EXPECT_EQ(state().InitialModemStatus, 0u);
    // CTS changes: the fresh status differs from the 0 left from before.
    port().SetModemStatusLines(false, true, false, false);
    kernel().RunFor(sim::Milliseconds(20));
    EXPECT_TRUE(state().MouseLost);
    EXPECT_EQ(enumerator().RemoveSelfRequests().size(), 1u);
}

TEST_F(ArmingTest, ARefusedWaitMaskLeavesTheMonitorOff) {
    SetLines(true, true, false);
    port().FailRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK, STATUS_INVALID_PARAMETER);
    ArmRemovalMonitor(&state());
    EXPECT_FALSE(state().MonitorActive);
    EXPECT_TRUE(PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK).empty());
}

TEST_F(ArmingTest, NoRequestForTheWaitLeavesTheMonitorOff) {
    SetLines(true, true, false);
    kernel().FailNth(sim::FaultSite::Irp, 3);  // status, mask, then the wait's own request
    ArmRemovalMonitor(&state());
    EXPECT_FALSE(state().MonitorActive);
    EXPECT_EQ(state().WaitMaskRequest, nullptr);
}

// ---- a running mouse: what a fired or cancelled wait leads to

class MonitorTest : public FrameTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    void SetUp() override {
        StartWithSeed(GetParam());
        Build("three-button");
        ASSERT_EQ(ConnectAndOpen(), STATUS_SUCCESS);
        ASSERT_TRUE(state().MonitorActive);
        waitsBefore_ = Waits().size();
    }
    std::vector<const sim::SerialRequestRecord*> Waits() const {
        return PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK);
    }
    // The monitor waited again (as often as events came) and is waiting now.
    bool NewWaitPending() const {
        auto waits = Waits();
        return waits.size() > waitsBefore_ && waits.back()->status == STATUS_PENDING;
    }
    // Holds the system worker with a work item of the test's own, so that a
    // check the monitor queues runs only once the test releases it: a line
    // bounce is over before anyone looks.
    static VOID NTAPI HoldWorkerRoutine(PDEVICE_OBJECT, PVOID context) {
        KeWaitForSingleObject(static_cast<PKEVENT>(context), Executive, KernelMode, FALSE, nullptr);
    }
    void HoldWorker() {
        KeInitializeEvent(&release_, NotificationEvent, FALSE);
        hold_ = IoAllocateWorkItem(state().Self);
        IoQueueWorkItem(hold_, HoldWorkerRoutine, DelayedWorkQueue, &release_);
        kernel().Settle();
    }
    void ReleaseWorker() {
        KeSetEvent(&release_, IO_NO_INCREMENT, FALSE);
        kernel().RunFor(sim::Milliseconds(50));
        IoFreeWorkItem(hold_);
    }
    size_t waitsBefore_ = 0;
    KEVENT release_;
    PIO_WORKITEM hold_ = nullptr;
};

TEST_P(MonitorTest, ALineThatBouncesBackGetsANewWaitAndNoRemoval) {
    // The status at arming still had the change bits of the power-up set; a
    // later read has them as the bounce left them. Only the lines count.
    EXPECT_EQ(state().InitialModemStatus & 0xF0, 0x30u);
    HoldWorker();
    mouse()->Bounce();
    ReleaseWorker();
    EXPECT_FALSE(state().MouseLost);
    EXPECT_TRUE(enumerator().RemoveSelfRequests().empty());
    EXPECT_TRUE(NewWaitPending());
}

TEST_P(MonitorTest, AScriptedBounceWithAnOutageIsNoRemovalEither) {
    HoldWorker();
    ASSERT_TRUE(mouse()->Play("bounce 5\n"));
    kernel().RunFor(sim::Milliseconds(20));
    ReleaseWorker();
    EXPECT_FALSE(state().MouseLost);
    EXPECT_TRUE(enumerator().RemoveSelfRequests().empty());
    EXPECT_TRUE(NewWaitPending());
    EXPECT_FALSE(mouse()->Play("bounce soon\n"));
}

TEST_P(MonitorTest, UnpluggingAsksTheEnumeratorToRemoveTheDevice) {
    mouse()->Unplug();
    kernel().RunFor(sim::Milliseconds(50));
    EXPECT_TRUE(state().MouseLost);
    EXPECT_EQ(enumerator().RemoveSelfRequests().size(), 1u);
    EXPECT_EQ(Waits().size(), waitsBefore_) << "the monitor has ended";
    // The enumerator's request went down internal, to the physical device.
    auto reads = PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS);
    EXPECT_FALSE(reads.empty());
}

TEST_P(MonitorTest, DsrAloneDroppingIsAnUnplug) {
    port().SetModemStatusLines(port().Rts(), false, false, false);
    kernel().RunFor(sim::Milliseconds(50));
    EXPECT_TRUE(state().MouseLost);
    EXPECT_EQ(enumerator().RemoveSelfRequests().size(), 1u);
}

TEST_P(MonitorTest, AnUnreadableStatusKeepsWatching) {
    // The work item's read fails: that says nothing about the mouse.
    port().FailRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS, STATUS_IO_DEVICE_ERROR);
    HoldWorker();
    mouse()->Bounce();
    ReleaseWorker();
    EXPECT_EQ(port().Requests().end()[-1].ioControlCode, IOCTL_SERIAL_WAIT_ON_MASK);
    EXPECT_FALSE(state().MouseLost);
    EXPECT_TRUE(enumerator().RemoveSelfRequests().empty());
    EXPECT_TRUE(NewWaitPending());
    // And a real unplug afterwards is still caught.
    mouse()->Unplug();
    kernel().RunFor(sim::Milliseconds(50));
    EXPECT_TRUE(state().MouseLost);
    EXPECT_EQ(enumerator().RemoveSelfRequests().size(), 1u);
}

TEST_P(MonitorTest, NoWorkItemCountsTheMouseLostAndInvalidatesTheState) {
    kernel().FailNth(sim::FaultSite::WorkItem, 1);
    mouse()->Bounce();
    kernel().RunFor(sim::Milliseconds(50));
    EXPECT_TRUE(state().MouseLost);
    EXPECT_EQ(sim::DeviceStateInvalidations(state().PhysicalDevice), 1u);
    EXPECT_TRUE(enumerator().RemoveSelfRequests().empty());
}

TEST_P(MonitorTest, ACompletionDuringRemovalQueuesNoCheck) {
    state().RemovePending = TRUE;
    size_t requests = port().Requests().size();
    mouse()->Unplug();
    kernel().RunFor(sim::Milliseconds(50));
    EXPECT_FALSE(state().MouseLost);
    EXPECT_TRUE(enumerator().RemoveSelfRequests().empty());
    // Nothing more reached the port: no status read, no new wait.
    for (size_t i = requests; i < port().Requests().size(); ++i) {
        EXPECT_NE(port().Requests()[i].majorFunction, IRP_MJ_DEVICE_CONTROL);
    }
    EXPECT_EQ(Waits().back()->status, STATUS_SUCCESS) << "the wait completed and was left for removal";
}

struct CancelCase {
    const char* name;
    DEVICE_POWER_STATE powerState;
    BOOLEAN poweringDown;
    BOOLEAN lost;
};

class CancelTest : public FrameTest, public ::testing::WithParamInterface<std::tuple<CancelCase, uint64_t>> {
  protected:
    void SetUp() override {
        StartWithSeed(std::get<1>(GetParam()));
        Build("three-button");
        ASSERT_EQ(ConnectAndOpen(), STATUS_SUCCESS);
    }
};

TEST_P(CancelTest, ACancelledWaitCountsTheMouseLostOnlyOutsideD0WithoutAPowerDown) {
    const CancelCase& c = std::get<0>(GetParam());
    state().PowerState = c.powerState;
    state().PoweringDown = c.poweringDown;
    CancelRemovalMonitor(&state());
    kernel().RunFor(sim::Milliseconds(20));
    EXPECT_EQ(state().MouseLost, c.lost);
    EXPECT_TRUE(enumerator().RemoveSelfRequests().empty());
    auto waits = PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK);
    EXPECT_EQ(waits.back()->status, STATUS_CANCELLED);
    EXPECT_EQ(waits.size(), 1u) << "a cancelled monitor is not re-armed";
}

INSTANTIATE_TEST_SUITE_P(
    PowerStates, CancelTest,
    ::testing::Combine(::testing::Values(CancelCase{"D0", PowerDeviceD0, FALSE, FALSE},
                                         CancelCase{"D0PoweringDown", PowerDeviceD0, TRUE, FALSE},
                                         CancelCase{"D3PoweringDown", PowerDeviceD3, TRUE, FALSE},
                                         CancelCase{"D1PoweringDown", PowerDeviceD1, TRUE, FALSE},
                                         CancelCase{"D3", PowerDeviceD3, FALSE, TRUE},
                                         CancelCase{"D2", PowerDeviceD2, FALSE, TRUE}),
                       ::testing::Values(1u, 2u)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_seed" + std::to_string(std::get<1>(info.param));
    });

TEST_P(MonitorTest, CloseInD0CancelsTheWaitAndSetsNothing) {
    EXPECT_EQ(mouseClass().Close(), STATUS_SUCCESS);
    kernel().RunFor(sim::Milliseconds(20));
    EXPECT_FALSE(state().MouseLost);
    EXPECT_EQ(Waits().back()->status, STATUS_CANCELLED);
    EXPECT_EQ(Waits().size(), waitsBefore_);
}

TEST_P(MonitorTest, OnceTheMouseIsLostCancellingDoesNothing) {
    mouse()->Unplug();
    kernel().RunFor(sim::Milliseconds(50));
    ASSERT_TRUE(state().MouseLost);
    size_t requests = port().Requests().size();
    CancelRemovalMonitor(&state());
    kernel().Settle();
    EXPECT_EQ(port().Requests().size(), requests);
}

INSTANTIATE_TEST_SUITE_P(Seeds, MonitorTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
