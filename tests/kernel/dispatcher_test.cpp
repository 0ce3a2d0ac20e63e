// The dispatcher: virtual time, events, timers, DPCs, simulated threads, the
// seeded scheduler and pinned interleavings.
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/sim_test.h"

namespace {

using DispatcherTest = SimTest;

constexpr sim::Ticks kTick = sim::kUniprocessorClockTick;

// The first clock tick at or after `t`.
sim::Ticks Tick(sim::Ticks t) {
    return (t + kTick - 1) / kTick * kTick;
}

TEST_F(DispatcherTest, AWaitOfAnHourEndsOnAClockTickAndCostsNoRealTime) {
    auto realStart = std::chrono::steady_clock::now();
    LARGE_INTEGER oneHour;
    oneHour.QuadPart = -3600LL * sim::kTicksPerSecond;
    sim::Ticks start = kernel().Now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &oneHour), STATUS_SUCCESS);
    // Only the scheduling point of the call itself costs time before the wait.
    EXPECT_EQ(kernel().Now() % kTick, 0);
    EXPECT_GE(kernel().Now(), start + 3600LL * sim::kTicksPerSecond);
    EXPECT_LT(kernel().Now(), start + 3600LL * sim::kTicksPerSecond + kTick + sim::Milliseconds(1));
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(5));
}

TEST_F(DispatcherTest, WaitsEndBySignalOrByTimeoutOnTheClockTick) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -sim::Milliseconds(30);
    sim::Ticks start = kernel().Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    // Three ticks of 10.0144 ms: the timeout ends at the tick after 30 ms.
    EXPECT_EQ(kernel().Now(), Tick(start + sim::Milliseconds(30)));

    // A signal from hardware is not bound to the tick.
    sim::Ticks signalAt = kernel().Now() + sim::Milliseconds(5);
    kernel().ScheduleAt(signalAt, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(kernel().Now(), signalAt);
    EXPECT_LT(kernel().Now(), signalAt + sim::Milliseconds(1));
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // a synchronization event resets when it satisfies a wait

    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

// A 2 ms delay lasts until the next clock tick, whatever the tick length.
struct TickCase {
    const char* name;
    sim::Ticks tick;
};

class ClockTickTest : public SimTest, public ::testing::WithParamInterface<TickCase> {};

TEST_P(ClockTickTest, ShortDelaysAndTimersLastUntilTheNextTickAndTheQueryRoutinesMoveByTicks) {
    sim::KernelOptions options;
    options.clockTick = GetParam().tick;
    StartKernel(options);
    EXPECT_EQ(KeQueryTimeIncrement(), static_cast<ULONG>(GetParam().tick));
    LARGE_INTEGER twoMs;
    twoMs.QuadPart = -sim::Milliseconds(2);
    KeDelayExecutionThread(KernelMode, FALSE, &twoMs);
    EXPECT_EQ(kernel().Now(), GetParam().tick);

    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, twoMs, nullptr);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(kernel().Now(), 2 * GetParam().tick);

    // The clock interrupt keeps interrupt time, system time and the tick
    // count: between two ticks they stand still, and running code moves them
    // only across a tick.
    LARGE_INTEGER count, system;
    KeQueryTickCount(&count);
    KeQuerySystemTime(&system);
    EXPECT_EQ(count.QuadPart, 2);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(2 * GetParam().tick));
    EXPECT_EQ(system.QuadPart, sim::kSystemTimeAtBoot + 2 * GetParam().tick);
    while (kernel().Now() < 3 * GetParam().tick) KeReadStateTimer(&timer);
    KeQueryTickCount(&count);
    EXPECT_EQ(count.QuadPart, 3);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(3 * GetParam().tick));
}

INSTANTIATE_TEST_SUITE_P(Hals, ClockTickTest,
                         ::testing::Values(TickCase{"Uniprocessor", sim::kUniprocessorClockTick},
                                           TickCase{"Multiprocessor", 156250}),
                         [](const ::testing::TestParamInfo<TickCase>& info) { return std::string(info.param.name); });

TEST_F(DispatcherTest, TimeRunsWhileCodeRunsSoAHardwareEventLandsBetweenTwoKernelCalls) {
    bool fired = false;
    kernel().ScheduleAfter(sim::Milliseconds(1), [&] { fired = true; });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int calls = 0;
    // The main thread never waits: only the time its own calls cost moves the
    // clock, and the other processors run the event meanwhile.
    while (!fired && calls < 1000000) {
        KeReadStateEvent(&event);
        ++calls;
    }
    EXPECT_TRUE(fired);
    EXPECT_GE(kernel().Now(), sim::Milliseconds(1));
}

TEST_F(DispatcherTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::string> woke;
    for (const char* name : {"client A", "client B"}) {
        kernel().CreateThread(name, [&, name] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            woke.push_back(name);
        });
    }
    kernel().Settle();
    EXPECT_TRUE(woke.empty());
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    kernel().Settle();
    // Which of the two goes first is the scheduler's choice.
    std::sort(woke.begin(), woke.end());
    EXPECT_EQ(woke, (std::vector<std::string>{"client A", "client B"}));
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(DispatcherTest, TimerSignalsAtItsDueTimeAndCanBeCancelled) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -2000000;  // 200 ms
    EXPECT_FALSE(KeSetTimer(&timer, due, nullptr));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kernel().Now(), 20 * kTick);  // the tick at or after 200 ms

    KeSetTimer(&timer, due, nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer));  // setting resets it
    EXPECT_TRUE(KeCancelTimer(&timer));
    kernel().RunFor(sim::Milliseconds(500));
    EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(DispatcherTest, DpcRunsOnAnotherProcessorAtDispatchLevel) {
    KIRQL seen = PASSIVE_LEVEL;
    std::string thread;
    kernel().QueueDpc([&] {
        seen = KeGetCurrentIrql();
        thread = kernel().CurrentThreadName();
    });
    kernel().Settle();
    EXPECT_EQ(seen, DISPATCH_LEVEL);
    EXPECT_EQ(thread.rfind("dpc", 0), 0u) << thread;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// A DPC queued by a thread runs on the thread's own processor as soon as its
// IRQL drops below DISPATCH_LEVEL, whichever way it drops.
struct LoweringCase {
    const char* name;
    std::function<void(KSPIN_LOCK*, KIRQL*)> raise;
    std::function<void(KSPIN_LOCK*, KIRQL)> lower;
};

class DpcDeliveryTest : public SimTest, public ::testing::WithParamInterface<LoweringCase> {};

TEST_P(DpcDeliveryTest, ADpcQueuedAtDispatchLevelRunsWhenTheIrqlDrops) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::vector<std::string> order;
    struct Seen {
        std::vector<std::string>* order;
        KIRQL irql;
        std::string thread;
    } seen{&order, PASSIVE_LEVEL, ""};
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* s = static_cast<Seen*>(context);
        s->irql = KeGetCurrentIrql();
        s->thread = sim::Kernel::Current().CurrentThreadName();
        s->order->push_back("dpc");
    }, &seen);
    KIRQL old = PASSIVE_LEVEL;
    GetParam().raise(&lock, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // already queued
    order.push_back("raised");
    GetParam().lower(&lock, old);
    order.push_back("lowered");
    EXPECT_EQ(order, (std::vector<std::string>{"raised", "dpc", "lowered"}));
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_EQ(seen.thread, "main");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // At PASSIVE_LEVEL the DPC runs at once.
    order.clear();
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(order, (std::vector<std::string>{"dpc"}));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, DpcDeliveryTest,
    ::testing::Values(LoweringCase{"KfLowerIrql", [](KSPIN_LOCK*, KIRQL* old) { *old = KfRaiseIrql(DISPATCH_LEVEL); },
                                   [](KSPIN_LOCK*, KIRQL old) { KfLowerIrql(old); }},
                      LoweringCase{"SpinLockRelease", [](KSPIN_LOCK* lock, KIRQL* old) { KeAcquireSpinLock(lock, old); },
                                   [](KSPIN_LOCK* lock, KIRQL old) { KeReleaseSpinLock(lock, old); }}),
    [](const ::testing::TestParamInfo<LoweringCase>& info) { return std::string(info.param.name); });

TEST_F(DispatcherTest, TwoDpcsRunAtTheSameTimeOnTwoProcessors) {
    // Each DPC waits for the other to have started: only two processors
    // running DPCs side by side let both finish.
    LONG started = 0;
    int finished = 0;
    for (int i = 0; i < 2; ++i) {
        kernel().QueueDpc([&] {
            InterlockedIncrement(&started);
            for (int spin = 0; spin < 100000 && InterlockedCompareExchange(&started, 0, 0) < 2; ++spin) {
            }
            if (InterlockedCompareExchange(&started, 0, 0) == 2) ++finished;
        });
    }
    kernel().Settle();
    EXPECT_EQ(finished, 2);
}

TEST_F(DispatcherTest, AnInterruptRunsAtDeviceIrqlOnItsOwnContextBeforeTheInterruptedCodeGoesOn) {
    std::vector<std::string> order;
    KIRQL isrIrql = PASSIVE_LEVEL;
    std::string isrThread;
    kernel().QueueDpc([&] {
        order.push_back("device event");
        kernel().RequestInterrupt(15, [&] {
            isrIrql = KeGetCurrentIrql();
            isrThread = kernel().CurrentThreadName();
            order.push_back("isr");
        });
        order.push_back("after the request");
    });
    kernel().Settle();
    EXPECT_EQ(order, (std::vector<std::string>{"device event", "isr", "after the request"}));
    EXPECT_EQ(isrIrql, 15);
    EXPECT_EQ(isrThread, "interrupt");
}

TEST_F(DispatcherTest, PinnedSwitchRunsItsActionBetweenTwoKernelCalls) {
    LONG value = 0;
    std::vector<std::string> order;
    kernel().PinSwitch({"InterlockedExchange", "main", 2, [&] { order.push_back("other processor"); }});
    InterlockedExchange(&value, 1);
    order.push_back("first exchange done");
    InterlockedExchange(&value, 2);
    order.push_back("second exchange done");
    EXPECT_EQ(order, (std::vector<std::string>{"first exchange done", "other processor", "second exchange done"}));
}

// Two threads increment a shared counter with a read-modify-write that is not
// atomic; the seed decides where the scheduler switches. The same seed must
// always give the same interleaving.
std::vector<std::string> RunRacyCounter(uint64_t seed, LONG* finalValue) {
    sim::KernelOptions options;
    options.seed = seed;
    options.preemption = 0.5;
    options.reportToStderr = false;
    sim::Kernel kernel(options);
    std::vector<std::string> trace;
    LONG counter = 0;
    for (const char* name : {"A", "B"}) {
        kernel.CreateThread(name, [&, name] {
            for (int i = 0; i < 5; ++i) {
                LONG seen = InterlockedCompareExchange(&counter, 0, 0);  // read
                InterlockedExchange(&counter, seen + 1);                 // write back
                trace.push_back(name);
            }
        });
    }
    kernel.Settle();
    *finalValue = counter;
    EXPECT_EQ(kernel.Shutdown(), "");
    return trace;
}

TEST(SchedulerSeedTest, SameSeedReplaysTheSameInterleavingAndSeedsExploreOthers) {
    LONG first = 0, again = 0;
    std::vector<std::string> a = RunRacyCounter(7, &first);
    std::vector<std::string> b = RunRacyCounter(7, &again);
    EXPECT_EQ(a, b);
    EXPECT_EQ(first, again);
    bool lostUpdateSeen = false;
    for (uint64_t seed = 1; seed <= 40 && !lostUpdateSeen; ++seed) {
        LONG value = 0;
        RunRacyCounter(seed, &value);
        lostUpdateSeen = value < 10;
    }
    EXPECT_TRUE(lostUpdateSeen) << "random seeds never interleaved the two threads";
}

}  // namespace
