// The reading engine: the one-byte read loop on the reused request, the
// hand-over between loop and completion, and packet delivery to the class
// driver.
#include <memory>
#include <string>
#include <vector>

#include "serial_core/reading.h"
#include "tests/support/serial_device.h"
#include "tests/support/sim_test.h"

namespace {

// A protocol of one-byte packets: the low five bits are the buttons, the byte
// itself the horizontal movement. Records the host stack depth of each call.
std::vector<const char*> g_decodeStack;

BOOLEAN DecodeOneByte(DeviceState*, PMOUSE_INPUT_DATA report, DecoderState*, UCHAR byte) {
    g_decodeStack.push_back(static_cast<const char*>(__builtin_frame_address(0)));
    report->RawButtons = byte & 0x1F;
    report->LastX = byte;
    report->LastY = -static_cast<LONG>(byte);
    return TRUE;
}

// A protocol that takes whole reports from a script, one per byte.
std::vector<MOUSE_INPUT_DATA> g_scriptedReports;
size_t g_nextReport = 0;

BOOLEAN DecodeScripted(DeviceState*, PMOUSE_INPUT_DATA report, DecoderState*, UCHAR) {
    const MOUSE_INPUT_DATA& next = g_scriptedReports.at(g_nextReport++);
    report->RawButtons = next.RawButtons;
    report->LastX = next.LastX;
    report->LastY = next.LastY;
    if (next.ButtonFlags & MOUSE_WHEEL) {
        report->ButtonFlags |= MOUSE_WHEEL;
        report->ButtonData = next.ButtonData;
    }
    return TRUE;
}

class ReadLoopTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        g_decodeStack.clear();
        g_scriptedReports.clear();
        g_nextReport = 0;
    }
    void EndObjects() override { mouse.reset(); }

    // For a test that pins its schedule: preemption off, so that a pinned
    // action runs whole on the other processor before the loop goes on.
    void PinnedSchedule() {
        sim::KernelOptions options;
        options.preemption = 0;
        StartKernel(options);
    }

    void MakeDevice(PacketDecoder* decoder = DecodeOneByte, USHORT buttons = 5) {
        mouse = std::make_unique<SerialMouseDevice>(decoder, buttons);
    }
    DeviceState& state() { return mouse->state(); }
    const std::vector<sim::DeliveredRecord>& records() { return mouse->mouseClass().Records(); }

    std::unique_ptr<SerialMouseDevice> mouse;
};

TEST_F(ReadLoopTest, BufferedBytesAreDrainedByOneLoopCallWithoutNesting) {
    MakeDevice();
    mouse->port().Receive({1, 2, 3, 4, 5});
    EXPECT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    // Five reads completed inside IoCallDriver, the sixth waits for a byte.
    EXPECT_EQ(mouse->port().ReadsServed(), 6u);
    EXPECT_TRUE(mouse->port().ReadPending());
    EXPECT_EQ(state().ReadCallState, ReadCallReturned);
    ASSERT_EQ(records().size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(records()[i].data.LastX, static_cast<LONG>(i + 1));
    // Every byte was decoded at the same depth: the loop iterated, nothing nested.
    for (const char* frame : g_decodeStack) EXPECT_EQ(frame, g_decodeStack.front());
}

TEST_F(ReadLoopTest, EveryRecordIsRelativeWithNoUnitOrExtraInformationAndArrivesAtDispatchLevel) {
    MakeDevice();
    ASSERT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    mouse->port().ScheduleBytes({0x01, 0x03, 0x00}, sim::Milliseconds(10), sim::Milliseconds(8));
    kernel().RunFor(sim::Milliseconds(100));
    ASSERT_EQ(records().size(), 3u);
    for (const sim::DeliveredRecord& r : records()) {
        EXPECT_EQ(r.data.UnitId, 0);
        EXPECT_EQ(r.data.Flags, MOUSE_MOVE_RELATIVE);
        EXPECT_EQ(r.data.ExtraInformation, 0u);
        EXPECT_EQ(r.irql, DISPATCH_LEVEL);
        // Completions after the loop returned run on the port's DPC.
        EXPECT_EQ(r.thread.rfind("dpc", 0), 0u) << r.thread;
    }
    EXPECT_TRUE(InMillisecond(records()[0].time, 10));
    EXPECT_TRUE(InMillisecond(records()[2].time, 26));
    EXPECT_EQ(records()[0].data.ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_EQ(records()[1].data.ButtonFlags, MOUSE_RIGHT_BUTTON_DOWN);
    EXPECT_EQ(records()[2].data.ButtonFlags, MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_UP);
}

TEST_F(ReadLoopTest, ReadCompletingOnAnotherProcessorBeforeTheExchangeLeavesTheNextReadToTheLoop) {
    PinnedSchedule();
    MakeDevice();
    // The first read goes out pending; the byte arrives on the other processor
    // after IoCallDriver returned and before the loop's exchange.
    LONG stateSeenByCompletion = 0;
    kernel().PinSwitch({"IofCallDriver:return", "main", 1, [&] {
                            stateSeenByCompletion = state().ReadCallState;
                            mouse->port().Receive(0x07);
                        }});
    EXPECT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    EXPECT_EQ(stateSeenByCompletion, ReadCallInProgress);
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].thread.rfind("dpc", 0), 0u) << records()[0].thread;
    // The loop saw ReadCompletedInCall and issued the second read itself.
    EXPECT_EQ(mouse->port().ReadsServed(), 2u);
    EXPECT_TRUE(mouse->port().ReadPending());
    EXPECT_EQ(state().ReadCallState, ReadCallReturned);
}

struct TerminalCase {
    NTSTATUS status;
    bool insideCall;
};

class TerminalStatusTest : public ReadLoopTest, public ::testing::WithParamInterface<TerminalCase> {};

TEST_P(TerminalStatusTest, TerminalStatusEndsReadingAndReleasesTheRemoveLockOnce) {
    MakeDevice();
    const TerminalCase c = GetParam();
    if (c.insideCall) {
        mouse->port().FailReads(1, c.status);
        EXPECT_EQ(StartReadLoop(&state()), STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(state().Started);
    } else {
        ASSERT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
        if (c.status == STATUS_CANCELLED) {
            IoCancelIrp(state().ReadRequest);
        } else {
            // The port fails the pending read, as a port being removed does.
            mouse->port().FailReads(1, c.status);
            mouse->port().Receive(0x01);  // completes the pending read with data
            ASSERT_EQ(records().size(), 1u);
        }
    }
    kernel().Settle();
    size_t reads = mouse->port().ReadsServed();
    mouse->port().Receive({1, 2, 3});
    kernel().RunFor(sim::Milliseconds(50));
    EXPECT_EQ(mouse->port().ReadsServed(), reads) << "a read followed the end of reading";
    EXPECT_FALSE(mouse->port().ReadPending());
    // Exactly one acquisition is left: the lock's own. Draining now must not
    // wait and must not find a stray tag (the fixture's removal does it).
    EXPECT_EQ(state().RemoveLock.IoCount, 1);
}

INSTANTIATE_TEST_SUITE_P(Statuses, TerminalStatusTest,
                         ::testing::Values(TerminalCase{STATUS_DELETE_PENDING, true},
                                           TerminalCase{STATUS_DELETE_PENDING, false},
                                           TerminalCase{STATUS_DEVICE_NOT_CONNECTED, true},
                                           TerminalCase{STATUS_DEVICE_NOT_CONNECTED, false},
                                           TerminalCase{STATUS_CANCELLED, true},
                                           TerminalCase{STATUS_CANCELLED, false}));

TEST_F(ReadLoopTest, TerminalStatusOnAnotherProcessorDuringTheCallIsSettledByTheLoop) {
    PinnedSchedule();
    MakeDevice();
    kernel().PinSwitch({"IofCallDriver:return", "main", 1, [&] { IoCancelIrp(state().ReadRequest); }});
    EXPECT_EQ(StartReadLoop(&state()), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(state().Started);
    EXPECT_EQ(mouse->port().ReadsServed(), 1u);
    EXPECT_EQ(state().RemoveLock.IoCount, 1);
}

TEST_F(ReadLoopTest, OtherFailuresAndEmptyReadsAreFollowedAtOnceByTheNextRead) {
    MakeDevice();
    mouse->port().FailReads(3, STATUS_IO_DEVICE_ERROR);
    mouse->port().Receive(0x02);
    EXPECT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    // Three failed reads, the buffered byte, then one pending.
    EXPECT_EQ(mouse->port().ReadsServed(), 5u);
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].data.LastX, 2);
}

TEST_F(ReadLoopTest, LastCloseWithAReadPendingEndsReadingThroughTheCancelledRead) {
    MakeDevice();
    ASSERT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    InterlockedDecrement(&state().OpenCount);
    IoCancelIrp(state().ReadRequest);
    kernel().Settle();
    EXPECT_FALSE(mouse->port().ReadPending());
    EXPECT_EQ(mouse->port().ReadsServed(), 1u);
    EXPECT_EQ(state().RemoveLock.IoCount, 1);
}

TEST_F(ReadLoopTest, PacketCompletedAfterLastCloseIsDecodedButNotDelivered) {
    MakeDevice();
    ASSERT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    state().OpenCount = 0;
    // The outstanding read completes with data before it could be cancelled.
    mouse->port().Receive(0x01);
    kernel().Settle();
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(state().DecoderState.PreviousButtons, 0x01u);
    EXPECT_EQ(state().Report.ButtonFlags, 0);  // cleared although nothing was delivered
    EXPECT_FALSE(mouse->port().ReadPending());  // the loop found OpenCount 0 and ended reading
    EXPECT_EQ(state().RemoveLock.IoCount, 1);
}

TEST_F(ReadLoopTest, ReadingDoesNotStartWhenAConditionIsFalse) {
    MakeDevice();
    struct Condition {
        const char* name;
        void (*set)(DeviceState&);
        void (*reset)(DeviceState&);
    };
    const Condition conditions[] = {
        {"closed", [](DeviceState& s) { s.OpenCount = 0; }, [](DeviceState& s) { s.OpenCount = 1; }},
        {"not started", [](DeviceState& s) { s.Started = FALSE; }, [](DeviceState&) {}},
        {"removal pending", [](DeviceState& s) { s.RemovePending = TRUE; },
         [](DeviceState& s) { s.RemovePending = FALSE; }},
        {"powering down", [](DeviceState& s) { s.PoweringDown = TRUE; },
         [](DeviceState& s) { s.PoweringDown = FALSE; }},
    };
    for (const Condition& c : conditions) {
        state().Started = TRUE;
        c.set(state());
        EXPECT_EQ(StartReadLoop(&state()), STATUS_UNSUCCESSFUL) << c.name;
        EXPECT_FALSE(state().Started) << c.name;
        EXPECT_EQ(mouse->port().ReadsServed(), 0u) << c.name;
        EXPECT_EQ(state().RemoveLock.IoCount, 1) << c.name;
        c.reset(state());
    }
    state().Started = TRUE;
}

TEST_F(ReadLoopTest, ARefusedRemoveLockAcquisitionStartsNoReading) {
    MakeDevice();
    // Removal has begun: it flags the device and waits for a request still
    // holding the lock.
    int outstanding = 0;
    ASSERT_EQ(IoAcquireRemoveLockEx(&state().RemoveLock, &outstanding, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK)),
              STATUS_SUCCESS);
    state().RemovePending = TRUE;
    kernel().CreateThread("removal", [&] {
        int tag = 0;
        IoAcquireRemoveLockEx(&state().RemoveLock, &tag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
        IoReleaseRemoveLockAndWaitEx(&state().RemoveLock, &tag, sizeof(IO_REMOVE_LOCK));
    });
    kernel().Settle();
    ASSERT_TRUE(state().RemoveLock.Removed);
    // The acquisition is refused: no loop runs, so no stop path gives back
    // an acquisition that was never taken.
    EXPECT_EQ(StartReadLoop(&state()), STATUS_DELETE_PENDING);
    EXPECT_FALSE(state().Started);
    EXPECT_EQ(mouse->port().ReadsServed(), 0u);
    IoReleaseRemoveLockEx(&state().RemoveLock, &outstanding, sizeof(IO_REMOVE_LOCK));
    kernel().Settle();
    EXPECT_EQ(state().RemoveLock.IoCount, 0);
}

TEST_F(ReadLoopTest, ASuccessfulReadThatBroughtNoByteIsNotDecoded) {
    MakeDevice();
    mouse->port().FailReads(1, STATUS_SUCCESS);  // success, Information 0
    mouse->port().Receive(0x05);
    ASSERT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    EXPECT_EQ(mouse->port().ReadsServed(), 3u);
    EXPECT_EQ(g_decodeStack.size(), 1u);  // the byte, not the empty read
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].data.LastX, 5);
}

TEST_F(ReadLoopTest, TheConditionsAreCheckedBeforeEveryReadWhileHeldBytesDrainInOneCall) {
    // Pinned schedule: the last handle closes on another processor as the
    // loop prepares its third read.
    PinnedSchedule();
    MakeDevice();
    mouse->port().Receive({1, 2, 3, 4, 5});
    kernel().PinSwitch({"IoReuseIrp", "main", 3, [&] {
                            InterlockedDecrement(&state().OpenCount);
                            IoCancelIrp(state().ReadRequest);
                        }});
    EXPECT_EQ(StartReadLoop(&state()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(mouse->port().ReadsServed(), 2u);
    EXPECT_EQ(records().size(), 2u);
    EXPECT_EQ(mouse->port().Buffered(), 3u);
    EXPECT_EQ(state().RemoveLock.IoCount, 1);
}

// A path that stops reading changes its condition, then cancels ReadRequest.
// Wherever that lands between two reads, reading ends: no read stays
// outstanding and the reading acquisition is given back once.
struct StopCase {
    const char* stop;
    void (*set)(DeviceState&);
    const char* point;
    int occurrence;
};

class StopBetweenReadsTest : public ReadLoopTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopBetweenReadsTest, ACancelAtAnySchedulingPointBetweenTwoReadsEndsReading) {
    const StopCase& c = GetParam();
    // The stop runs on another processor exactly at the chosen scheduling
    // point of the loop.
    PinnedSchedule();
    MakeDevice();
    mouse->port().Receive(0x01);  // the first read completes inside the call; the loop goes round
    kernel().PinSwitch({c.point, "main", c.occurrence, [&] {
                            c.set(state());
                            IoCancelIrp(state().ReadRequest);
                        }});
    StartReadLoop(&state());
    kernel().Settle();
    EXPECT_FALSE(mouse->port().ReadPending()) << "a read outlived the cancel";
    EXPECT_EQ(state().RemoveLock.IoCount, 1);
}

std::vector<StopCase> StopCases() {
    struct Stop {
        const char* name;
        void (*set)(DeviceState&);
    };
    const Stop stops[] = {
        {"Close", [](DeviceState& s) { InterlockedDecrement(&s.OpenCount); }},
        {"Stop", [](DeviceState& s) { s.Started = FALSE; }},
        {"Removal", [](DeviceState& s) { s.RemovePending = TRUE; }},
        {"PowerDown", [](DeviceState& s) { s.PoweringDown = TRUE; }},
    };
    // The loop's scheduling points from the end of one read to the next
    // IoCallDriver, for the first read and for the one after a completion
    // inside the call.
    struct Point {
        const char* name;
        int occurrence;
    };
    const Point points[] = {{"IoReuseIrp", 1}, {"InterlockedExchange", 1}, {"IofCallDriver", 1},
                            {"IoReuseIrp", 2}, {"InterlockedExchange", 3}, {"IofCallDriver", 2}};
    std::vector<StopCase> cases;
    for (const Stop& stop : stops) {
        for (const Point& point : points) cases.push_back({stop.name, stop.set, point.name, point.occurrence});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Window, StopBetweenReadsTest, ::testing::ValuesIn(StopCases()),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                             return std::string(info.param.stop) + "At" + info.param.point +
                                    std::to_string(info.param.occurrence);
                         });

struct TransitionCase {
    const char* name;
    USHORT buttons;
    ULONG before;  // PreviousButtons
    MOUSE_INPUT_DATA report;
    USHORT flags;
    USHORT data;
};

TEST_F(ReadLoopTest, ButtonChangesBecomeTransitionFlagsForTheReportedButtonsOnly) {
    auto wheel = [](ULONG raw, USHORT data) {
        MOUSE_INPUT_DATA r{};
        r.RawButtons = raw;
        r.ButtonFlags = MOUSE_WHEEL;
        r.ButtonData = data;
        return r;
    };
    auto raw = [](ULONG bits) {
        MOUSE_INPUT_DATA r{};
        r.RawButtons = bits;
        r.LastX = 5;
        return r;
    };
    const TransitionCase cases[] = {
        {"no change: movement only", 3, 0x1, raw(0x1), 0, 0},
        {"left down and right up together", 3, 0x2, raw(0x1), 0x0009, 0},
        {"middle down with a wheel step", 3, 0x0, wheel(0x4, 0x0078), 0x0410, 0x0078},
        {"wheel step down only", 3, 0x0, wheel(0x0, 0xFF88), MOUSE_WHEEL, 0xFF88},
        {"two buttons: middle is not reported", 2, 0x0, raw(0x4), 0, 0},
        {"no buttons at all", 0, 0x0, raw(0x3), 0, 0},
        {"buttons 4 and 5", 5, 0x08, raw(0x10), MOUSE_BUTTON_4_UP | MOUSE_BUTTON_5_DOWN, 0},
    };
    MakeDevice(DecodeScripted);
    ASSERT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    for (const TransitionCase& c : cases) {
        state().Attributes.NumberOfButtons = c.buttons;
        state().DecoderState.PreviousButtons = c.before;
        g_scriptedReports.push_back(c.report);
        mouse->port().Receive(0x00);
        kernel().Settle();
        ASSERT_FALSE(records().empty()) << c.name;
        const MOUSE_INPUT_DATA& got = records().back().data;
        EXPECT_EQ(got.ButtonFlags, c.flags) << c.name;
        EXPECT_EQ(got.ButtonData, c.data) << c.name;
        EXPECT_EQ(got.RawButtons, c.report.RawButtons) << c.name;
        // PreviousButtons follows every bit, reported or not; transition
        // data never outlives its record.
        EXPECT_EQ(state().DecoderState.PreviousButtons, c.report.RawButtons) << c.name;
        EXPECT_EQ(state().Report.ButtonFlags, 0) << c.name;
        EXPECT_EQ(state().Report.ButtonData, 0) << c.name;
    }
}

TEST_F(ReadLoopTest, ButtonHeldAcrossARestartIsReleasedByTheFirstPacketAfterIt) {
    MakeDevice();
    ASSERT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    mouse->port().Receive(0x01);  // left pressed
    kernel().Settle();
    // Stop reading, then start again with the button released meanwhile.
    state().Started = FALSE;
    IoCancelIrp(state().ReadRequest);
    kernel().Settle();
    state().Started = TRUE;
    mouse->port().Receive(0x00);
    ASSERT_EQ(StartReadLoop(&state()), STATUS_SUCCESS);
    ASSERT_EQ(records().size(), 2u);
    EXPECT_EQ(records()[1].data.ButtonFlags, MOUSE_LEFT_BUTTON_UP);
}

// Bytes arrive while the scheduler switches at random points; whatever the
// interleaving, every byte is decoded once, in order, and the verifier stays
// quiet (the fixture's teardown checks it).
class ReadLoopInterleavingTest : public ReadLoopTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(ReadLoopInterleavingTest, EveryByteIsDeliveredOnceInOrderUnderAnyInterleaving) {
    sim::KernelOptions options;
    options.seed = GetParam();
    options.preemption = 0.3;
    StartKernel(options);
    MakeDevice();
    std::vector<UCHAR> bytes;
    for (int i = 0; i < 60; ++i) bytes.push_back(static_cast<UCHAR>(i));
    // Some bytes are already there, the rest arrive in bursts.
    mouse->port().Receive({bytes.begin(), bytes.begin() + 10});
    mouse->port().ScheduleBytes({bytes.begin() + 10, bytes.end()}, 0, sim::Milliseconds(1) / 2);
    kernel().CreateThread("client", [&] { StartReadLoop(&state()); });
    kernel().RunFor(sim::Milliseconds(100));
    ASSERT_EQ(records().size(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(records()[i].data.LastX, bytes[i]);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReadLoopInterleavingTest, ::testing::Range<uint64_t>(1, 21));

// Two bytes arrive together while the loop is inside IoCallDriver for a read
// that the first of them completes on another processor. The next read
// completes at once with the second byte; under any interleaving each record
// carries its own byte.
class TwoBytesAtOnceTest : public ReadLoopTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(TwoBytesAtOnceTest, EachByteIsDecodedAndDeliveredBeforeTheNextReadIsHandedOver) {
    sim::KernelOptions options;
    options.seed = GetParam() + 1000 * sim::SeedFromEnvironment();
    options.preemption = 0.5;
    StartKernel(options);
    MakeDevice();
    kernel().PinSwitch({"IofCallDriver:return", "main", 1, [&] { mouse->port().Receive({0x01, 0x02}); }});
    StartReadLoop(&state());
    kernel().Settle();
    ASSERT_EQ(records().size(), 2u);
    EXPECT_EQ(records()[0].data.LastX, 1);
    EXPECT_EQ(records()[0].data.ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_EQ(records()[1].data.LastX, 2);
    EXPECT_EQ(records()[1].data.ButtonFlags, MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_DOWN);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TwoBytesAtOnceTest, ::testing::Range<uint64_t>(1, 201));

}  // namespace
