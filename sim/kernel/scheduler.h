// The dispatcher's core: simulated threads passing one baton, the virtual
// clock with its timed events and clock tick, waits on dispatcher objects,
// the processors' DPC queues and the interrupt context.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel.h"

namespace sim {

// Thrown inside a simulated thread that the kernel ends at shutdown; the
// thread's trampoline catches it.
struct ThreadExit {};

struct SimThread {
    enum class State { Ready, Running, Waiting, Parked, Done };

    int id = 0;
    std::string name;
    State state = State::Ready;
    KIRQL irql = PASSIVE_LEVEL;
    // A processor's DPC context, or the interrupt context; both run the
    // items of their own queue.
    bool isDpcProcessor = false;
    bool isInterrupt = false;
    std::deque<std::function<void()>> queue;
    DISPATCHER_HEADER queueObject{};
    // DPCs this thread's processor queued while its IRQL was at or above
    // DISPATCH_LEVEL; they run as soon as the IRQL drops below it.
    std::deque<std::function<void()>> pendingDpcs;

    // The baton.
    std::condition_variable cv;
    bool hasBaton = false;
    bool kill = false;

    // What the thread waits on while Waiting.
    DISPATCHER_HEADER* waitObject = nullptr;
    std::string waitDescription;
    bool settling = false;       // waits for the machine to settle
    uint64_t waitGeneration = 0; // stale timeout events carry an older one
    NTSTATUS waitResult = STATUS_SUCCESS;
    Ticks waitingSince = 0;

    std::function<void()> body;
    std::thread host;
    const char* stackBase = nullptr;
};

class Scheduler {
  public:
    Scheduler(Kernel& kernel, const KernelOptions& options);
    ~Scheduler();

    Ticks Now() const { return now_; }
    SimThread* Current() const { return current_; }
    SimThread* Main() const { return main_; }

    // A scheduling point: the running thread may be switched out here.
    void Point(const char* name);

    // Threads.
    void CreateThread(const std::string& name, std::function<void()> body);
    void PinSwitch(PinnedSwitch pinned);

    // Blocks the running thread on a dispatcher object until Signal() wakes
    // it or the timeout (absolute time, or -1 for none) passes. Returns the
    // wait's status.
    NTSTATUS WaitOn(DISPATCHER_HEADER* object, Ticks deadline, const std::string& description);
    // Blocks the running thread until the machine settles.
    void WaitUntilSettled();
    // Wakes the threads waiting on the object, as its signal state allows.
    void Signal(DISPATCHER_HEADER* object);
    void SignalLocked(DISPATCHER_HEADER* object);

    // Timers on the virtual clock.
    uint64_t AddTimedEvent(Ticks due, std::function<void()> fn, bool runAsDpc);
    void CancelTimedEvent(uint64_t handle);
    uint64_t AddTimedEventLocked(Ticks due, std::function<void()> fn, bool runAsDpc);
    void CancelTimedEventLocked(uint64_t handle);
    // For kernel code that must act atomically with the scheduler's state.
    std::mutex& Mutex() { return mutex_; }

    // A DPC for one of the DPC processors (the one least busy), run there at
    // DISPATCH_LEVEL after what it already holds.
    void QueueDpc(std::function<void()> fn);
    void QueueDpcLocked(std::function<void()> fn);
    // A DPC queued by the running code (KeInsertQueueDpc): on a DPC
    // processor it follows the running DPC; from the interrupt context it
    // goes to a DPC processor; from a thread it runs on the thread's own
    // processor as soon as its IRQL is below DISPATCH_LEVEL, at once if it
    // already is.
    void InsertDpc(std::function<void()> fn);
    // Runs the DPCs the running thread's processor holds, if its IRQL is
    // below DISPATCH_LEVEL.
    void DeliverPendingDpcs();
    // Runs `isr` on the interrupt context at `irql`, before the running code
    // goes on.
    void RequestInterrupt(KIRQL irql, std::function<void()> isr);

    // The clock: the first clock interrupt at or after `t`, and the time of
    // the last one.
    Ticks TickAtOrAfter(Ticks t) const;
    Ticks LastTick() const;
    Ticks ClockTick() const { return options_.clockTick; }
    // A processor spinning on a held lock lets the others run.
    void Spin(const char* name);

    // Stops the machine: the running thread never continues; main throws.
    [[noreturn]] void Stop(const std::string& rule, const std::string& detail);
    bool Stopped() const { return stopped_; }

    // Ends every simulated thread but main.
    void Shutdown();

    // Deepest host stack (bytes below the thread's base) seen at a
    // scheduling point since the last reset; the reset makes the running
    // thread's current stack its base.
    size_t DeepestStack() const;
    void ResetDeepestStack();
    std::string CurrentThreadName() const;

  private:
    struct TimedEvent {
        uint64_t handle;
        std::function<void()> fn;
        bool runAsDpc;
    };

    void MakeReady(SimThread* thread);
    SimThread* PickNext();
    void SwitchTo(SimThread* next, std::unique_lock<std::mutex>& lock);
    void BlockCurrent(std::unique_lock<std::mutex>& lock);
    void AfterResume(SimThread* self);
    void FireDueEvents();
    std::string DescribeWaiters() const;
    bool TrySatisfy(SimThread* waiter);
    void Trampoline(SimThread* thread);
    void ContextLoop(SimThread* self);
    SimThread* CreateContext(const std::string& name, bool interrupt);
    void WakeContext(SimThread* context);
    bool AnyQueuedWork() const;
    // Switches to `context`, which has work queued, before the running
    // thread goes on.
    void RunOnContextNow(SimThread* context, std::unique_lock<std::mutex>& lock);

    Kernel& kernel_;
    KernelOptions options_;
    std::mt19937_64 rng_;
    std::mt19937_64 costRng_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<SimThread>> threads_;
    std::deque<SimThread*> ready_;
    SimThread* current_ = nullptr;
    SimThread* main_ = nullptr;
    std::vector<SimThread*> dpcProcessors_;
    SimThread* interrupt_ = nullptr;
    std::multimap<std::pair<Ticks, uint64_t>, TimedEvent> timedEvents_;
    std::map<uint64_t, std::pair<Ticks, uint64_t>> timedEventKeys_;
    uint64_t nextEventHandle_ = 1;
    std::vector<PinnedSwitch> pinned_;
    std::map<std::pair<std::string, std::string>, int> pointCounts_;
    Ticks now_ = 0;
    bool stopped_ = false;
    bool stopReported_ = false;
    uint64_t waitSequence_ = 0;
    std::string stopMessage_;
    std::string stopRule_;
    bool shuttingDown_ = false;
    size_t deepestStack_ = 0;
};

}  // namespace sim
