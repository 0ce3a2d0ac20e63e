// Control of the simulated Windows 2000 kernel, for the models, the tests and
// mousesim. Drivers never include this header: they see the kernel only
// through platform/kernel.h.
//
// One Kernel exists at a time. The thread that constructs it becomes the
// simulated thread "main" at PASSIVE_LEVEL. Every simulated thread runs on a
// host thread of its own, but exactly one runs at a time: the running thread
// holds a baton and hands it over only at scheduling points (every kernel
// call, the interlocked operations and the return from IoCallDriver). Virtual
// time advances only when no thread can run, so a one-second wait costs no
// real second, and a seed replays the same interleaving every time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "simnt/ntddk.h"

namespace sim {

// Virtual time in the kernel's unit of 100 ns.
using Ticks = LONGLONG;
constexpr Ticks kTicksPerMicrosecond = 10;
constexpr Ticks kTicksPerMillisecond = 10000;
constexpr Ticks kTicksPerSecond = 10000000;
constexpr Ticks Milliseconds(LONGLONG ms) { return ms * kTicksPerMillisecond; }

// Thrown in the main thread when the verifier stops the machine, the way a
// bugcheck stops a real one. what() names the rule first.
class BugCheck : public std::runtime_error {
  public:
    BugCheck(std::string rule, const std::string& detail)
        : std::runtime_error(rule + ": " + detail), rule_(std::move(rule)) {}
    const std::string& rule() const { return rule_; }

  private:
    std::string rule_;
};

// The verifier's rules, by the names they fail with.
namespace rule {
inline constexpr const char* kIrpCompletedTwice = "IRP_COMPLETED_TWICE";
inline constexpr const char* kIrpFreedInUse = "IRP_FREED_WHILE_IN_USE";
inline constexpr const char* kIrpReusedInUse = "IRP_REUSED_WHILE_IN_USE";
inline constexpr const char* kNoStackLocation = "NO_MORE_IRP_STACK_LOCATIONS";
inline constexpr const char* kCompletedWithCancelRoutine = "IRP_COMPLETED_WITH_CANCEL_ROUTINE";
inline constexpr const char* kPendingNotMarked = "STATUS_PENDING_WITHOUT_IOMARKIRPPENDING";
inline constexpr const char* kMarkedNotPending = "IOMARKIRPPENDING_WITHOUT_STATUS_PENDING";
inline constexpr const char* kIrqlChangedByDispatch = "IRQL_CHANGED_ACROSS_DISPATCH";
inline constexpr const char* kIrqlChangedByCompletion = "IRQL_CHANGED_ACROSS_COMPLETION_ROUTINE";
inline constexpr const char* kWaitAboveApcLevel = "WAIT_WITH_TIMEOUT_ABOVE_APC_LEVEL";
inline constexpr const char* kPageableAboveApcLevel = "PAGEABLE_CODE_ABOVE_APC_LEVEL";
inline constexpr const char* kIrqlNotLess = "IRQL_NOT_LESS_OR_EQUAL";
inline constexpr const char* kRemoveLockBadTag = "REMOVE_LOCK_RELEASED_WITH_UNKNOWN_TAG";
inline constexpr const char* kRemoveLockAfterDrain = "REMOVE_LOCK_ACQUIRED_AFTER_DRAIN";
inline constexpr const char* kRemoveLockReinitialized = "REMOVE_LOCK_REINITIALIZED_AFTER_DRAIN";
inline constexpr const char* kPoolLeak = "POOL_LEAKED_AT_TEARDOWN";
inline constexpr const char* kIrpLeak = "IRP_LEAKED_AT_TEARDOWN";
inline constexpr const char* kDoubleFree = "MEMORY_FREED_TWICE";
inline constexpr const char* kBadPoolTag = "POOL_FREED_WITH_WRONG_TAG";
inline constexpr const char* kDriverIrpCompletedToTop = "DRIVER_ALLOCATED_IRP_COMPLETED_PAST_ITS_TOP";
inline constexpr const char* kDeadlock = "DEADLOCK";
inline constexpr const char* kSpinLockNotHeld = "SPIN_LOCK_RELEASED_WHEN_NOT_HELD";
inline constexpr const char* kObjectMisuse = "KERNEL_OBJECT_MISUSE";
inline constexpr const char* kPowerIrpNotStarted = "POSTARTNEXTPOWERIRP_MISSING";
inline constexpr const char* kPowerIrpStartedTwice = "POSTARTNEXTPOWERIRP_CALLED_TWICE";
inline constexpr const char* kWmiRegisteredTwice = "WMI_PROVIDER_REGISTERED_TWICE";
inline constexpr const char* kWmiNotRegistered = "WMI_PROVIDER_DEREGISTERED_WHEN_NOT_REGISTERED";
inline constexpr const char* kWmiRegisteredAtDeletion = "WMI_PROVIDER_STILL_REGISTERED_AT_DEVICE_DELETION";
}  // namespace rule

// Allocations (and the attachment of a device to a stack) that fault
// injection can make fail.
enum class FaultSite { Pool, Irp, WorkItem, ErrorLogEntry, Attach };

// One pinned interleaving: when thread `thread` reaches scheduling point
// `point` for the `occurrence`-th time (1-based), `action` runs on another
// processor (at DISPATCH_LEVEL) before that thread goes on.
struct PinnedSwitch {
    std::string point;
    std::string thread = "main";
    int occurrence = 1;
    std::function<void()> action;
};

struct KernelOptions {
    // Seed of the scheduler. With a preemption probability above 0 the
    // scheduler switches threads at random scheduling points and picks the
    // next thread at random; a seed always replays the same run.
    uint64_t seed = 0;
    double preemption = 0.0;
    // Print verifier failures to standard error as they happen.
    bool reportToStderr = true;
};

struct PoolTagUsage {
    ULONG tag = 0;
    size_t blocks = 0;
    size_t bytes = 0;
};

class Scheduler;
class IoManager;
class Verifier;
class Pool;
class FaultInjector;

class Kernel {
  public:
    explicit Kernel(KernelOptions options = {});
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The kernel that drivers are running on now.
    static Kernel& Current();
    static bool Exists();

    // ---- time and threads
    Ticks Now() const;
    // Starts a simulated thread; it runs when the scheduler picks it.
    void CreateThread(const std::string& name, std::function<void()> body);
    // Runs `fn` on another processor at DISPATCH_LEVEL, as a DPC.
    void QueueDpc(std::function<void()> fn);
    // Runs `fn` as a DPC when the virtual clock reaches `when` (absolute).
    // Models use this for hardware events. Returns a handle for CancelEvent.
    uint64_t ScheduleAt(Ticks when, std::function<void()> fn);
    uint64_t ScheduleAfter(Ticks delay, std::function<void()> fn) { return ScheduleAt(Now() + delay, fn); }
    void CancelEvent(uint64_t handle);
    // The calling thread waits `duration` of virtual time while everything
    // else runs.
    void RunFor(Ticks duration);
    // The calling thread waits until no other thread can run at the current
    // virtual time; the clock does not advance.
    void Settle();
    // Pins an interleaving; see PinnedSwitch.
    void PinSwitch(PinnedSwitch pinned);
    // Name of the running simulated thread.
    std::string CurrentThreadName() const;
    // Deepest host stack (bytes) any simulated thread has reached at a
    // scheduling point since the last reset; the reset measures the calling
    // thread from where it stands.
    size_t DeepestStack() const;
    void ResetDeepestStack();

    // ---- drivers and devices
    // Creates a driver object and runs its entry routine with the service key
    // path. Returns the driver object, or null when the entry routine failed
    // (its status in *status).
    PDRIVER_OBJECT LoadDriver(const std::wstring& name, PDRIVER_INITIALIZE entry,
                              const std::wstring& serviceKeyPath, NTSTATUS* status = nullptr);
    // Creates a driver object for a model (no entry routine).
    PDRIVER_OBJECT CreateDriverObject(const std::wstring& name);
    // Calls the driver's unload routine and frees the driver object.
    void UnloadDriver(PDRIVER_OBJECT driver);
    // The error-log entries drivers wrote, oldest first (the packets' bytes).
    const std::vector<std::vector<UCHAR>>& ErrorLog() const;

    // ---- verifier and fault injection
    // Fails the `nth` (1-based) allocation at `site` from now on.
    void FailNth(FaultSite site, int nth);
    // Fails each allocation at `site` with the given probability, by seed.
    void FailRandomly(FaultSite site, double probability, uint64_t seed);
    void ClearFaults();
    // Stops the machine with the rule's name: the running thread never goes
    // on and the main thread throws BugCheck.
    [[noreturn]] void Fail(const std::string& rule, const std::string& detail);
    // Every failure so far, "RULE: detail".
    const std::vector<std::string>& Failures() const;
    // Pool and IRPs still allocated.
    std::vector<PoolTagUsage> PoolInUse() const;
    size_t IrpsInUse() const;
    // Pool blocks and IRPs allocated since the kernel started (I/O manager
    // requests included).
    uint64_t PoolAllocations() const;
    uint64_t IrpAllocations() const;
    // Ends every simulated thread but main, then checks for leaked pool and
    // IRPs. Returns the failures of the whole run ("" when there were none).
    std::string Shutdown();

    // Internal rooms, for the kernel's own implementation.
    Scheduler& scheduler() { return *scheduler_; }
    IoManager& io() { return *io_; }
    Verifier& verifier() { return *verifier_; }
    Pool& pool() { return *pool_; }
    FaultInjector& faults() { return *faults_; }

  private:
    KernelOptions options_;
    std::unique_ptr<Verifier> verifier_;
    std::unique_ptr<FaultInjector> faults_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<Scheduler> scheduler_;
    std::string shutdownReport_;
    bool shutDown_ = false;
};

// Formats an NTSTATUS the way the platform writes it: 0xC0000001.
std::string FormatStatus(NTSTATUS status);

}  // namespace sim
