// The I/O manager's books: driver and device objects, the life of every IRP
// (who owns it, where it is, what the verifier must check of it), remove-lock
// tags, work items and the error log.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/kernel.h"
#include "wmi_books.h"

namespace sim {

struct IrpRecord {
    enum class State { Idle, InFlight, Completing, Completed };
    State state = State::Idle;
    bool builtByIoManager = false;
    uint64_t generation = 0;
    // Buffered I/O done by the I/O manager for requests it built.
    std::vector<unsigned char> systemBuffer;
    void* callerOutput = nullptr;
    ULONG callerOutputLength = 0;
    // Per stack location (index = CurrentLocation value), what the pending
    // rules need: the dispatch routine there returned STATUS_PENDING before
    // completion reached it; the completion walk has passed it; it was marked
    // pending when passed.
    enum : uint8_t { kAwaitingMark = 1, kPassed = 2, kMarkedWhenPassed = 4 };
    std::vector<uint8_t> locations;
    // Power requests: how often PoStartNextPowerIrp was called for it, and
    // how many drivers it has been dispatched to (each owes one call).
    int startNextPowerCalls = 0;
    int powerDispatches = 0;
};

struct RemoveLockRecord {
    std::multiset<void*> tags;
    bool drained = false;
};

class IoManager {
  public:
    explicit IoManager(Kernel& kernel) : kernel_(kernel) {}
    ~IoManager();

    // Drivers.
    PDRIVER_OBJECT CreateDriverObject(const std::wstring& name);
    void DeleteDriverObject(PDRIVER_OBJECT driver);
    NTSTATUS AllocateDriverExtension(PDRIVER_OBJECT driver, PVOID id, ULONG size, PVOID* extension);
    PVOID GetDriverExtension(PDRIVER_OBJECT driver, PVOID id);

    // Devices.
    void DeleteDevice(PDEVICE_OBJECT device);
    // The device above `device` has detached; frees it if it was deleted.
    void Detached(PDEVICE_OBJECT device);

    // IRPs.
    PIRP AllocateIrp(CCHAR stackSize, bool builtByIoManager);
    void FreeIrp(PIRP irp);
    IrpRecord* Find(PIRP irp);
    uint64_t AllocateGeneration() { return nextGeneration_++; }
    // A driver below the IRP's owner still holds it.
    static bool HeldBelow(PIRP irp, const IrpRecord& record);
    // Resets the record for a new use of the IRP.
    void Renew(PIRP irp, IrpRecord& record);
    size_t IrpsInUse() const { return irps_.size(); }
    uint64_t IrpAllocations() const { return irpAllocations_; }
    void FinalCompletion(PIRP irp, IrpRecord& record);

    // Remove locks.
    RemoveLockRecord& Lock(PIO_REMOVE_LOCK lock) { return removeLocks_[lock]; }

    // Work items, run by the system worker thread at PASSIVE_LEVEL.
    void QueueWork(std::function<void()> work);

    // Error log.
    std::vector<std::vector<UCHAR>>& ErrorLog() { return errorLog_; }
    std::map<void*, size_t>& PendingErrorLogEntries() { return errorLogEntries_; }

    KSPIN_LOCK cancelSpinLock = 0;
    // The power states PoSetPowerState last recorded, by device and type.
    std::map<std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>, POWER_STATE> powerStates;
    // WMI providers and the requests the WMI library has handed out.
    WmiBooks wmi;

  private:
    Kernel& kernel_;
    std::unordered_map<PIRP, IrpRecord> irps_;
    std::deque<PIRP> irpQuarantine_;
    std::set<PIRP> freedIrps_;
    uint64_t nextGeneration_ = 1;
    uint64_t irpAllocations_ = 0;
    std::map<PDRIVER_OBJECT, std::map<PVOID, std::unique_ptr<unsigned char[]>>> driverExtensions_;
    std::set<PDRIVER_OBJECT> drivers_;
    std::set<PDEVICE_OBJECT> deletePending_;
    std::map<PIO_REMOVE_LOCK, RemoveLockRecord> removeLocks_;
    std::deque<std::function<void()>> workQueue_;
    bool workerStarted_ = false;
    DISPATCHER_HEADER workAvailable_{};
    std::vector<std::vector<UCHAR>> errorLog_;
    std::map<void*, size_t> errorLogEntries_;
};

}  // namespace sim
