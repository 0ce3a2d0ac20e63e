// The dispatcher: virtual time, events, timers, DPCs, simulated threads, the
// seeded scheduler and pinned interleavings.
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/sim_test.h"

namespace {

using DispatcherTest = SimTest;

TEST_F(DispatcherTest, VirtualTimeAdvancesOnlyWhenNothingCanRunAndCostsNoRealTime) {
    auto realStart = std::chrono::steady_clock::now();
    LARGE_INTEGER oneHour;
    oneHour.QuadPart = -3600LL * sim::kTicksPerSecond;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &oneHour), STATUS_SUCCESS);
    EXPECT_EQ(kernel().Now(), 3600LL * sim::kTicksPerSecond);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(5));
}

TEST_F(DispatcherTest, WaitsEndBySignalOrByTimeout) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -sim::Milliseconds(30);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(kernel().Now(), sim::Milliseconds(30));

    kernel().ScheduleAfter(sim::Milliseconds(5), [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kernel().Now(), sim::Milliseconds(35));
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // a synchronization event resets when it satisfies a wait

    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
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
    EXPECT_EQ(kernel().Now(), sim::Milliseconds(200));

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
    EXPECT_EQ(thread, "dpc");
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
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
