// Control of the simulated Windows 2000 kernel, for the models, the tests and
// mousesim. Drivers never include this header: they see the kernel only
// through platform/kernel.h.
//
// One Kernel exists at a time. The thread that constructs it becomes the
// simulated thread "main" at PASSIVE_LEVEL. Every simulated thread runs on a
// host thread of its own, but exactly one runs at a time: the running thread
// holds a baton and hands it over only at scheduling points (every kernel
// call, the interlocked operations and the return from IoCallDriver), where a
// seeded scheduler may switch. Each scheduling point costs a little virtual
// time; when no thread can run the clock jumps to the next event, so a
// one-second wait costs no real second. Waits and timers expire on clock
// ticks. A seed replays the same run every time.
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
// A dispatch routine returned a status other than STATUS_PENDING that is not
// the IRP's IoStatus.Status (or returned one without completing the IRP).
inline constexpr const char* kReturnedStatusMismatch = "DISPATCH_RETURNED_STATUS_NOT_IOSTATUS";
// IRPs built by IoBuildDeviceIoControlRequest / IoBuildSynchronousFsdRequest
// belong to the thread: the I/O manager frees them, never a driver.
inline constexpr const char* kThreadIrpFreed = "THREAD_IRP_FREED_BY_DRIVER";
inline constexpr const char* kThreadIrpLeak = "THREAD_IRP_NOT_COMPLETED_AT_TEARDOWN";
// Releasing a spin lock anywhere but at DISPATCH_LEVEL, or to a higher IRQL.
inline constexpr const char* kSpinLockReleaseIrql = "SPIN_LOCK_RELEASED_AT_WRONG_IRQL";
// Memory freed (pool, a device object) while it holds a live kernel object.
inline constexpr const char* kFreedLiveTimer = "FREED_MEMORY_HOLDS_SET_TIMER";
inline constexpr const char* kFreedQueuedDpc = "FREED_MEMORY_HOLDS_QUEUED_DPC";
inline constexpr const char* kFreedQueuedWorkItem = "FREED_QUEUED_WORK_ITEM";
inline constexpr const char* kUnloadWithPendingWork = "DRIVER_UNLOADED_WITH_PENDING_WORK_ITEM";
inline constexpr const char* kUnloadWithSetTimer = "DRIVER_UNLOADED_WITH_SET_TIMER";
// A write past the end of a pool block, found by its guard bytes.
inline constexpr const char* kPoolOverrun = "POOL_BLOCK_OVERRUN";
inline constexpr const char* kDeviceLeak = "DEVICE_OBJECT_LEAKED_AT_TEARDOWN";
inline constexpr const char* kWorkItemLeak = "WORK_ITEM_LEAKED_AT_TEARDOWN";
inline constexpr const char* kErrorLogEntryLeak = "ERROR_LOG_ENTRY_LEAKED_AT_TEARDOWN";
// Buffered I/O: Information larger than the caller's output buffer.
inline constexpr const char* kCopyBackOverrun = "BUFFERED_INFORMATION_EXCEEDS_OUTPUT_BUFFER";
// Power IRPs.
inline constexpr const char* kPowerIrpWithIoCallDriver = "POWER_IRP_PASSED_WITH_IOCALLDRIVER";
inline constexpr const char* kPowerIrpToPagableAbovePassive = "POWER_IRP_TO_PAGABLE_DEVICE_ABOVE_PASSIVE_LEVEL";
// Plug and Play IRPs.
inline constexpr const char* kPnpUnhandledStatusChanged = "PNP_UNHANDLED_MINOR_STATUS_CHANGED";
inline constexpr const char* kPnpRemoveNotPassedDown = "PNP_REMOVE_NOT_PASSED_DOWN";
inline constexpr const char* kPnpDeviceNotDeletedAfterRemove = "PNP_DEVICE_NOT_DETACHED_AND_DELETED_AFTER_REMOVE";
inline constexpr const char* kDeviceStillInitializing = "DEVICE_STILL_INITIALIZING_AFTER_ADDDEVICE";
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

// The seed the suites and tools run under unless they choose one: the
// environment variable SIM_SEED (a decimal number), else 1.
uint64_t SeedFromEnvironment();

// System time (100 ns since 1 January 1601) when the simulated machine
// starts: 1 January 2001, 00:00 UTC.
constexpr LONGLONG kSystemTimeAtBoot = 126227808000000000LL;

// The clock tick of a Windows 2000 uniprocessor HAL: 10.0144 ms.
constexpr Ticks kUniprocessorClockTick = 100144;

struct KernelOptions {
    // Seed of the scheduler. With a preemption probability above 0 the
    // scheduler switches threads at random scheduling points and picks the
    // next thread at random; a seed always replays the same run.
    uint64_t seed = SeedFromEnvironment();
    // Chance of a switch at each scheduling point. A test that pins its
    // interleaving may set 0, and says why.
    double preemption = 0.25;
    // Each scheduling point costs between 0 and this much virtual time
    // (seeded), so timers and hardware events land between any two kernel
    // calls of running code.
    Ticks pointCost = 20;
    // Waits and timers expire on clock interrupts this far apart; the query
    // routines of interrupt time, system time and tick count move by it.
    Ticks clockTick = kUniprocessorClockTick;
    // Processors that run DPCs, next to the threads and each other.
    int dpcProcessors = 2;
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
class Registry;
class ErrorLog;

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
    // A device's interrupt: runs `isr` on the interrupt context of a
    // processor at the device's IRQL, ahead of what that processor was doing.
    // Models call it from their hardware events.
    void RequestInterrupt(KIRQL deviceIrql, std::function<void()> isr);
    // Runs `fn` as a DPC when the virtual clock reaches `when` (absolute).
    // Models use this for hardware events. Returns a handle for CancelEvent.
    uint64_t ScheduleAt(Ticks when, std::function<void()> fn);
    uint64_t ScheduleAfter(Ticks delay, std::function<void()> fn) { return ScheduleAt(Now() + delay, fn); }
    // A model's timer, as a driver sets it with KeSetTimer: `fn` runs as a
    // DPC at the first clock tick at or after `delay` from now.
    uint64_t ScheduleOnClockTick(Ticks delay, std::function<void()> fn);
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
    // The executive's registry, and the error log with the entries drivers
    // wrote, oldest first.
    Registry& registry() { return *registry_; }
    ErrorLog& errorLog() { return *errorLog_; }

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
    const KernelOptions& options() const { return options_; }
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
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<ErrorLog> errorLog_;
    std::string shutdownReport_;
    bool shutDown_ = false;
};

// Formats an NTSTATUS the way the platform writes it: 0xC0000001.
std::string FormatStatus(NTSTATUS status);

}  // namespace sim
