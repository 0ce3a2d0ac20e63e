// The dispatcher's core: simulated threads passing one baton, the virtual
// clock with its timed events, waits on dispatcher objects, and the DPC
// processor.
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
    bool isDpcProcessor = false;

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
    void CreateThread(const std::string& name, std::function<void()> body, bool dpcProcessor = false);
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

    // DPCs run one after another on the DPC processor at DISPATCH_LEVEL.
    void QueueDpc(std::function<void()> fn);
    void QueueDpcLocked(std::function<void()> fn);
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
    void DpcProcessorLoop();

    Kernel& kernel_;
    KernelOptions options_;
    std::mt19937_64 rng_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<SimThread>> threads_;
    std::deque<SimThread*> ready_;
    SimThread* current_ = nullptr;
    SimThread* main_ = nullptr;
    SimThread* dpcProcessor_ = nullptr;
    std::deque<std::function<void()>> dpcQueue_;
    DISPATCHER_HEADER dpcQueueObject_{};
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
