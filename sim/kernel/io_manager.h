// The I/O manager's books: driver and device objects, the life of every IRP
// (who owns it, where it is, what the verifier must check of it), remove-lock
// tags and work items.
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
    // Power requests: each driver it reached, with how often that driver
    // called PoStartNextPowerIrp for it (once is right).
    std::map<PDRIVER_OBJECT, int> startNextPowerCalls;
    // Plug and Play requests: the physical device at the bottom of the
    // stack, and whether the request reached it.
    PDEVICE_OBJECT pnpBottom = nullptr;
    bool reachedBottom = false;
    // Plug and Play requests sent with a minor code no driver handles: the
    // status they must keep on their way down and back.
    bool unhandledPnp = false;
    // An IRP_MN_REMOVE_DEVICE from the PnP manager: it must reach the bus
    // driver at the bottom of the stack.
    bool pnpRemove = false;
};

// One dispatch routine running for an IRP: what the pending and returned-
// status rules must know of the IRP when the routine returns, kept here
// because the IRP may be completed and freed by then.
struct DispatchFrame {
    PIRP irp = nullptr;
    uint64_t generation = 0;
    int location = 0;
    bool passed = false;            // the completion walk has passed the location
    bool markedWhenPassed = false;  // and it was marked pending then
    bool markedBelowWhenPassed = false;
    NTSTATUS statusWhenPassed = 0;
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
    // Frees a deleted device once nothing keeps it.
    void ReleaseDeletedDevice(PDEVICE_OBJECT device);

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
    size_t ThreadIrpsInUse() const;

    // Dispatch routines running now, for the completion walk to update.
    void PushFrame(DispatchFrame* frame) { frames_.push_back(frame); }
    void PopFrame(DispatchFrame* frame);
    void PassedLocation(PIRP irp, uint64_t generation, int location, bool marked, bool markedBelow);

    // Device objects alive, and those deleted but kept for a reference or an
    // attached device.
    void DeviceCreated(PDEVICE_OBJECT device) { devices_.insert(device); }
    bool DeviceAlive(PDEVICE_OBJECT device) const { return devices_.count(device) != 0; }
    void Dereferenced(PDEVICE_OBJECT device);
    const std::set<PDEVICE_OBJECT>& Devices() const { return devices_; }
    // The address lies in a device object (or its extension) not yet freed.
    bool DeviceHolds(const void* p) const;
    const std::set<PDEVICE_OBJECT>& DeletePending() const { return deletePending_; }
    std::wstring DriverName(PDRIVER_OBJECT driver) const;

    // Work items: each allocated one, with the driver of its device and
    // whether it is queued.
    struct WorkItemRecord {
        PDRIVER_OBJECT driver = nullptr;
        bool queued = false;
    };
    std::map<void*, WorkItemRecord>& WorkItems() { return workItems_; }

    // The power manager sends one power IRP at a time to a device: the next
    // waits until PoStartNextPowerIrp for the current one there, or its
    // completion.
    void WaitPowerIdle(PDEVICE_OBJECT device);
    void PowerIrpSent(PDEVICE_OBJECT device, PIRP irp);
    void PowerIrpStarted(PDEVICE_OBJECT device);
    void PowerIrpCompleted(PIRP irp);

    // Remove locks.
    RemoveLockRecord& Lock(PIO_REMOVE_LOCK lock) { return removeLocks_[lock]; }

    // Work items, run by the system worker thread at PASSIVE_LEVEL.
    void QueueWork(std::function<void()> work);

    KSPIN_LOCK cancelSpinLock = 0;
    // The power states PoSetPowerState last recorded, by device and type.
    std::map<std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>, POWER_STATE> powerStates;
    // Physical devices whose state IoInvalidateDeviceState invalidated, in
    // call order, for the Plug and Play manager to query.
    std::vector<PDEVICE_OBJECT> invalidatedDeviceStates;
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
    std::set<PDEVICE_OBJECT> devices_;
    std::vector<DispatchFrame*> frames_;
    std::map<void*, WorkItemRecord> workItems_;
    struct PowerSlot {
        PIRP active = nullptr;
        KEVENT idle{};
    };
    std::map<PDEVICE_OBJECT, std::unique_ptr<PowerSlot>> powerSlots_;
    std::map<PIO_REMOVE_LOCK, RemoveLockRecord> removeLocks_;
    std::deque<std::function<void()>> workQueue_;
    bool workerStarted_ = false;
    DISPATCHER_HEADER workAvailable_{};
};

}  // namespace sim
