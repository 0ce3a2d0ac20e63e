// The kernel object: constructs the rooms, loads drivers, and ends a run with
// its leak checks.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "kernel_internal.h"
#include "sim/error_log.h"
#include "sim/registry.h"

namespace sim {

namespace {
Kernel* g_current = nullptr;
}  // namespace

Kernel::Kernel(KernelOptions options) : options_(options) {
    if (g_current != nullptr) throw std::logic_error("only one simulated kernel may exist at a time");
    g_current = this;
    ResetDispatcherState();
    verifier_ = std::make_unique<Verifier>(options.reportToStderr);
    faults_ = std::make_unique<FaultInjector>();
    pool_ = std::make_unique<Pool>();
    io_ = std::make_unique<IoManager>(*this);
    scheduler_ = std::make_unique<Scheduler>(*this, options);
    registry_ = std::make_unique<Registry>();
    errorLog_ = std::make_unique<ErrorLog>();
}

Kernel::~Kernel() {
    Shutdown();
    scheduler_.reset();
    io_.reset();
    pool_.reset();
    ResetDispatcherState();
    g_current = nullptr;
}

Kernel& Kernel::Current() {
    if (g_current == nullptr) {
        std::fprintf(stderr, "a kernel routine was called with no simulated kernel running\n");
        std::abort();
    }
    return *g_current;
}

bool Kernel::Exists() {
    return g_current != nullptr;
}

Ticks Kernel::Now() const {
    return scheduler_->Now();
}

void Kernel::CreateThread(const std::string& name, std::function<void()> body) {
    scheduler_->CreateThread(name, std::move(body));
}

void Kernel::QueueDpc(std::function<void()> fn) {
    scheduler_->QueueDpc(std::move(fn));
}

void Kernel::RequestInterrupt(KIRQL deviceIrql, std::function<void()> isr) {
    scheduler_->RequestInterrupt(deviceIrql, std::move(isr));
}

uint64_t Kernel::ScheduleAt(Ticks when, std::function<void()> fn) {
    return scheduler_->AddTimedEvent(when, std::move(fn), true);
}

uint64_t Kernel::ScheduleOnClockTick(Ticks delay, std::function<void()> fn) {
    return scheduler_->AddTimedEvent(scheduler_->TickAtOrAfter(Now() + delay), std::move(fn), true);
}

void Kernel::CancelEvent(uint64_t handle) {
    scheduler_->CancelTimedEvent(handle);
}

void Kernel::RunFor(Ticks duration) {
    LARGE_INTEGER interval;
    interval.QuadPart = -duration;
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) Fail(rule::kWaitAboveApcLevel, "RunFor above APC_LEVEL");
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Kernel::Settle() {
    scheduler_->WaitUntilSettled();
}

void Kernel::PinSwitch(PinnedSwitch pinned) {
    scheduler_->PinSwitch(std::move(pinned));
}

std::string Kernel::CurrentThreadName() const {
    return scheduler_->CurrentThreadName();
}

size_t Kernel::DeepestStack() const {
    return scheduler_->DeepestStack();
}

void Kernel::ResetDeepestStack() {
    scheduler_->ResetDeepestStack();
}

PDRIVER_OBJECT Kernel::CreateDriverObject(const std::wstring& name) {
    return io_->CreateDriverObject(name);
}

PDRIVER_OBJECT Kernel::LoadDriver(const std::wstring& name, PDRIVER_INITIALIZE entry,
                                  const std::wstring& serviceKeyPath, NTSTATUS* status) {
    PDRIVER_OBJECT driver = io_->CreateDriverObject(name);
    std::wstring path = serviceKeyPath;
    UNICODE_STRING registryPath;
    registryPath.Buffer = path.data();
    registryPath.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;
    driver->DriverInit = entry;
    NTSTATUS result = entry(driver, &registryPath);
    if (status != nullptr) *status = result;
    if (!NT_SUCCESS(result)) {
        io_->DeleteDriverObject(driver);
        return nullptr;
    }
    return driver;
}

void Kernel::UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
    if (scheduler_->Stopped()) {
        io_->DeleteDriverObject(driver);
        return;
    }
    for (auto& [item, record] : io_->WorkItems()) {
        if (record.driver == driver && record.queued) {
            Fail(rule::kUnloadWithPendingWork, "a driver was unloaded with a work item of its device still queued");
        }
    }
    // A timer set in memory that is neither pool nor a device object lives in
    // the driver's own image, which is going away.
    for (const KTIMER* timer : SetTimers()) {
        if (!pool_->Holds(timer) && !io_->DeviceHolds(timer)) {
            Fail(rule::kUnloadWithSetTimer, "a driver was unloaded with a timer in its image still set");
        }
    }
    io_->DeleteDriverObject(driver);
}


void Kernel::FailNth(FaultSite site, int nth) {
    faults_->FailNth(site, nth);
}

void Kernel::FailRandomly(FaultSite site, double probability, uint64_t seed) {
    faults_->FailRandomly(site, probability, seed);
}

void Kernel::ClearFaults() {
    faults_->Clear();
}

void Kernel::Fail(const std::string& rule, const std::string& detail) {
    std::string where = detail + " (thread '" + scheduler_->Current()->name + "', t=" +
                        std::to_string(Now() / kTicksPerMillisecond) + "ms)";
    verifier_->Record(rule, where);
    scheduler_->Stop(rule, where);
}

const std::vector<std::string>& Kernel::Failures() const {
    return verifier_->Failures();
}

std::vector<PoolTagUsage> Kernel::PoolInUse() const {
    return pool_->InUse();
}

size_t Kernel::IrpsInUse() const {
    return io_->IrpsInUse();
}

uint64_t Kernel::PoolAllocations() const {
    return pool_->Allocations();
}

uint64_t Kernel::IrpAllocations() const {
    return io_->IrpAllocations();
}

std::string Kernel::Shutdown() {
    if (shutDown_) return shutdownReport_;
    shutDown_ = true;
    scheduler_->Shutdown();
    bool stopped = scheduler_->Stopped();
    // Leaks are only meaningful for a run that ended normally.
    if (!stopped) {
        pool_->CheckGuards();
        for (const PoolTagUsage& u : pool_->InUse()) {
            std::ostringstream detail;
            detail << u.blocks << " block(s), " << u.bytes << " bytes with tag '" << FormatTag(u.tag) << "'";
            verifier_->Record(rule::kPoolLeak, detail.str());
        }
        size_t threadIrps = io_->ThreadIrpsInUse();
        if (io_->IrpsInUse() > threadIrps) {
            verifier_->Record(rule::kIrpLeak, std::to_string(io_->IrpsInUse() - threadIrps) + " IRP(s) never freed");
        }
        if (threadIrps != 0) {
            verifier_->Record(rule::kThreadIrpLeak, std::to_string(threadIrps) +
                                                        " IRP(s) built by IoBuildDeviceIoControlRequest or "
                                                        "IoBuildSynchronousFsdRequest never completed");
        }
        for (PDEVICE_OBJECT device : io_->Devices()) {
            verifier_->Record(rule::kDeviceLeak, "a device object of " + DriverOfDevice(device) + " never deleted");
        }
        for (PDEVICE_OBJECT device : io_->DeletePending()) {
            verifier_->Record(rule::kDeviceLeak, "a deleted device object of " + DriverOfDevice(device) +
                                                     " kept by " + std::to_string(device->ReferenceCount) +
                                                     " reference(s) never released or a device still attached");
        }
        if (!io_->WorkItems().empty()) {
            verifier_->Record(rule::kWorkItemLeak, std::to_string(io_->WorkItems().size()) + " work item(s) never freed");
        }
        // The executive's objects: registry handles and error-log entries.
        if (registry_->OpenHandles() != 0) {
            verifier_->Record(rule::kRegistryHandleLeak,
                              std::to_string(registry_->OpenHandles()) + " registry handle(s) never closed");
        }
        if (errorLog_->Unwritten() != 0) {
            verifier_->Record(rule::kErrorLogEntryLeak, std::to_string(errorLog_->Unwritten()) +
                                                            " error-log entry(ies) allocated and never written");
        }
        if (!io_->wmi.registered.empty()) {
            verifier_->Record(rule::kWmiRegisteredAtDeletion, std::to_string(io_->wmi.registered.size()) +
                                                                  " WMI provider(s) still registered at teardown");
        }
    }
    std::ostringstream report;
    for (const std::string& f : verifier_->Failures()) report << f << "\n";
    shutdownReport_ = report.str();
    return shutdownReport_;
}

uint64_t SeedFromEnvironment() {
    const char* text = std::getenv("SIM_SEED");
    if (text == nullptr || *text == '\0') return 1;
    char* end = nullptr;
    unsigned long long seed = std::strtoull(text, &end, 10);
    if (end == nullptr || *end != '\0') {
        std::fprintf(stderr, "SIM_SEED must be a decimal number, not '%s'\n", text);
        std::exit(2);
    }
    return seed;
}

std::string FormatStatus(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace sim
