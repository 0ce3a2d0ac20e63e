// The I/O manager: driver and device objects, IRPs and their completion,
// cancellation, requests built for drivers and work items.
#include "io_manager.h"

#include <cstdlib>
#include <sstream>

#include "kernel_internal.h"

namespace sim {

namespace {

constexpr size_t kIrpQuarantine = 256;

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct DriverObjectBlock {
    DRIVER_OBJECT driver;
    DRIVER_EXTENSION extension;
    std::wstring name;
};

std::string Hex(const void* p) {
    std::ostringstream out;
    out << p;
    return out.str();
}

}  // namespace

IoManager::~IoManager() {
    for (auto& [irp, record] : irps_) std::free(irp);
    for (PIRP irp : irpQuarantine_) std::free(irp);
    for (PDRIVER_OBJECT d : drivers_) delete reinterpret_cast<DriverObjectBlock*>(d);
    for (PDEVICE_OBJECT d : deletePending_) std::free(d);
    for (PDEVICE_OBJECT d : devices_) std::free(d);
    for (auto& [item, record] : workItems_) std::free(item);
}

std::wstring IoManager::DriverName(PDRIVER_OBJECT driver) const {
    if (driver == nullptr || drivers_.count(driver) == 0) return L"(unloaded driver)";
    return reinterpret_cast<DriverObjectBlock*>(driver)->name;
}

// ---------------------------------------------------------------- drivers

PDRIVER_OBJECT IoManager::CreateDriverObject(const std::wstring& name) {
    auto* block = new DriverObjectBlock{};
    block->name = name;
    PDRIVER_OBJECT d = &block->driver;
    d->Type = 4;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = &block->extension;
    block->extension.DriverObject = d;
    d->DriverName.Buffer = block->name.data();
    d->DriverName.Length = static_cast<USHORT>(block->name.size() * sizeof(WCHAR));
    d->DriverName.MaximumLength = d->DriverName.Length;
    for (auto& slot : d->MajorFunction) slot = InvalidDeviceRequest;
    drivers_.insert(d);
    return d;
}

void IoManager::DeleteDriverObject(PDRIVER_OBJECT driver) {
    driverExtensions_.erase(driver);
    drivers_.erase(driver);
    delete reinterpret_cast<DriverObjectBlock*>(driver);
}

NTSTATUS IoManager::AllocateDriverExtension(PDRIVER_OBJECT driver, PVOID id, ULONG size, PVOID* extension) {
    auto& extensions = driverExtensions_[driver];
    if (extensions.count(id) != 0) {
        *extension = nullptr;
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (kernel_.faults().ShouldFail(FaultSite::Pool)) {
        *extension = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto block = std::make_unique<unsigned char[]>(size == 0 ? 1 : size);
    std::memset(block.get(), 0, size);
    *extension = block.get();
    extensions[id] = std::move(block);
    return STATUS_SUCCESS;
}

PVOID IoManager::GetDriverExtension(PDRIVER_OBJECT driver, PVOID id) {
    auto it = driverExtensions_.find(driver);
    if (it == driverExtensions_.end()) return nullptr;
    auto ext = it->second.find(id);
    return ext == it->second.end() ? nullptr : ext->second.get();
}

// ---------------------------------------------------------------- devices

void IoManager::DeleteDevice(PDEVICE_OBJECT device) {
    if (devices_.count(device) == 0) {
        kernel_.Fail(rule::kObjectMisuse, deletePending_.count(device) != 0
                                              ? "IoDeleteDevice of a device already deleted"
                                              : "IoDeleteDevice of an address that is not a device object");
    }
    WmiDeviceDeleted(device);
    CheckFreedMemory(device, device->Size, "IoDeleteDevice");
    devices_.erase(device);
    PDRIVER_OBJECT driver = device->DriverObject;
    if (driver != nullptr) {
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
            if (*link == device) {
                *link = device->NextDevice;
                break;
            }
        }
    }
    powerStates.erase({device, DevicePowerState});
    powerStates.erase({device, SystemPowerState});
    auto slot = powerSlots_.find(device);
    if (slot != powerSlots_.end() && slot->second->active == nullptr) powerSlots_.erase(slot);
    // Remove locks inside the extension die with it.
    auto* begin = static_cast<unsigned char*>(device->DeviceExtension);
    auto* end = begin + device->Size - sizeof(DEVICE_OBJECT);
    for (auto it = removeLocks_.begin(); it != removeLocks_.end();) {
        auto* p = reinterpret_cast<unsigned char*>(it->first);
        it = (p >= begin && p < end) ? removeLocks_.erase(it) : std::next(it);
    }
    // A device that another is still attached to stays in memory until that
    // one detaches: a driver above detaches from its lower device after
    // passing a removal down, when the lower driver has already deleted it.
    // A referenced device stays until its last dereference.
    deletePending_.insert(device);
    ReleaseDeletedDevice(device);
}

bool IoManager::DeviceHolds(const void* p) const {
    auto* address = static_cast<const unsigned char*>(p);
    for (const auto* set : {&devices_, &deletePending_}) {
        for (PDEVICE_OBJECT d : *set) {
            auto* begin = reinterpret_cast<const unsigned char*>(d);
            if (address >= begin && address < begin + d->Size) return true;
        }
    }
    return false;
}

void IoManager::ReleaseDeletedDevice(PDEVICE_OBJECT device) {
    if (deletePending_.count(device) == 0) return;
    if (device->AttachedDevice != nullptr || device->ReferenceCount > 0) return;
    deletePending_.erase(device);
    std::memset(device, 0xDD, device->Size);
    std::free(device);
}

void IoManager::Detached(PDEVICE_OBJECT device) {
    ReleaseDeletedDevice(device);
}

void IoManager::Dereferenced(PDEVICE_OBJECT device) {
    ReleaseDeletedDevice(device);
}

// ---------------------------------------------------------------- IRPs

PIRP IoManager::AllocateIrp(CCHAR stackSize, bool builtByIoManager) {
    irpAllocations_++;
    USHORT size = IoSizeOfIrp(stackSize);
    auto* irp = static_cast<PIRP>(std::calloc(1, size));
    IoInitializeIrp(irp, size, stackSize);
    freedIrps_.erase(irp);
    IrpRecord& record = irps_[irp];
    record = IrpRecord{};
    record.builtByIoManager = builtByIoManager;
    Renew(irp, record);
    return irp;
}

bool IoManager::HeldBelow(PIRP irp, const IrpRecord& record) {
    return (record.state == IrpRecord::State::InFlight || record.state == IrpRecord::State::Completing) &&
           irp->CurrentLocation <= irp->StackCount;
}

void IoManager::Renew(PIRP irp, IrpRecord& record) {
    record.state = IrpRecord::State::Idle;
    record.generation = nextGeneration_++;
    record.locations.assign(static_cast<size_t>(irp->StackCount) + 2, 0);
    record.startNextPowerCalls.clear();
    record.pnpBottom = nullptr;
    record.reachedBottom = false;
    record.unhandledPnp = false;
    record.pnpRemove = false;
}

void IoManager::WaitPowerIdle(PDEVICE_OBJECT device) {
    auto& slot = powerSlots_[device];
    if (!slot) {
        slot = std::make_unique<PowerSlot>();
        KeInitializeEvent(&slot->idle, NotificationEvent, TRUE);
    }
    while (slot->active != nullptr) KeWaitForSingleObject(&slot->idle, Executive, KernelMode, FALSE, nullptr);
}

void IoManager::PowerIrpSent(PDEVICE_OBJECT device, PIRP irp) {
    WaitPowerIdle(device);
    PowerSlot& slot = *powerSlots_[device];
    slot.active = irp;
    KeClearEvent(&slot.idle);
}

void IoManager::PowerIrpStarted(PDEVICE_OBJECT device) {
    auto it = powerSlots_.find(device);
    if (it == powerSlots_.end() || it->second->active == nullptr) return;
    it->second->active = nullptr;
    KeSetEvent(&it->second->idle, IO_NO_INCREMENT, FALSE);
}

void IoManager::PowerIrpCompleted(PIRP irp) {
    for (auto& [device, slot] : powerSlots_) {
        if (slot->active == irp) {
            slot->active = nullptr;
            KeSetEvent(&slot->idle, IO_NO_INCREMENT, FALSE);
        }
    }
}

size_t IoManager::ThreadIrpsInUse() const {
    size_t n = 0;
    for (auto& [irp, record] : irps_) n += record.builtByIoManager ? 1 : 0;
    return n;
}

void IoManager::PopFrame(DispatchFrame* frame) {
    for (auto it = frames_.begin(); it != frames_.end(); ++it) {
        if (*it == frame) {
            frames_.erase(it);
            return;
        }
    }
}

void IoManager::PassedLocation(PIRP irp, uint64_t generation, int location, bool marked, bool markedBelow) {
    for (DispatchFrame* frame : frames_) {
        if (frame->irp == irp && frame->generation == generation && frame->location == location) {
            frame->passed = true;
            frame->markedWhenPassed = marked;
            frame->markedBelowWhenPassed = markedBelow;
            frame->statusWhenPassed = irp->IoStatus.Status;
        }
    }
}

IrpRecord* IoManager::Find(PIRP irp) {
    auto it = irps_.find(irp);
    return it == irps_.end() ? nullptr : &it->second;
}

void IoManager::FreeIrp(PIRP irp) {
    auto it = irps_.find(irp);
    if (it == irps_.end()) {
        kernel_.Fail(rule::kDoubleFree, freedIrps_.count(irp) != 0 ? "IoFreeIrp of an IRP already freed"
                                                                   : "IoFreeIrp of an address that is not an IRP");
    }
    if (HeldBelow(irp, it->second)) {
        kernel_.Fail(rule::kIrpFreedInUse, "IoFreeIrp of IRP " + Hex(irp) + " while a driver still holds it");
    }
    irps_.erase(it);
    freedIrps_.insert(irp);
    std::memset(irp, 0xDD, irp->Size);
    irpQuarantine_.push_back(irp);
    if (irpQuarantine_.size() > kIrpQuarantine) {
        freedIrps_.erase(irpQuarantine_.front());
        std::free(irpQuarantine_.front());
        irpQuarantine_.pop_front();
    }
}

void IoManager::FinalCompletion(PIRP irp, IrpRecord& record) {
    if (!record.builtByIoManager) {
        kernel_.Fail(rule::kDriverIrpCompletedToTop,
                     "IRP " + Hex(irp) + " was allocated by a driver and its completion reached the I/O manager");
    }
    record.state = IrpRecord::State::Completed;
    if (record.pnpRemove && !record.reachedBottom) {
        kernel_.Fail(rule::kPnpRemoveNotPassedDown,
                     "IRP_MN_REMOVE_DEVICE completed without reaching the bus driver's physical device");
    }
    if (record.unhandledPnp && irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        kernel_.Fail(rule::kPnpUnhandledStatusChanged,
                     "a Plug and Play request with a minor code no driver handles completed with " +
                         FormatStatus(irp->IoStatus.Status) + " instead of the STATUS_NOT_SUPPORTED it came with");
    }
    // Buffered output goes back for every status that is not an error,
    // warnings such as STATUS_BUFFER_OVERFLOW included, Information bytes of
    // it: more than the caller's buffer holds would overrun it.
    if (record.callerOutput != nullptr && record.callerOutputLength != 0 && !NT_ERROR(irp->IoStatus.Status)) {
        size_t n = irp->IoStatus.Information;
        if (n > record.callerOutputLength) {
            kernel_.Fail(rule::kCopyBackOverrun,
                         "a buffered request completed with Information " + std::to_string(n) + " and status " +
                             FormatStatus(irp->IoStatus.Status) + " for an output buffer of " +
                             std::to_string(record.callerOutputLength) + " bytes");
        }
        std::memcpy(record.callerOutput, record.systemBuffer.data(), n);
    }
    PIO_STATUS_BLOCK iosb = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    IO_STATUS_BLOCK status = irp->IoStatus;
    PowerIrpCompleted(irp);
    FreeIrp(irp);
    if (iosb != nullptr) *iosb = status;
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------- work items

void IoManager::QueueWork(std::function<void()> work) {
    Scheduler& sched = kernel_.scheduler();
    if (!workerStarted_) {
        workerStarted_ = true;
        workAvailable_.Type = SIM_OBJECT_EVENT_SYNCHRONIZATION;
        kernel_.CreateThread("system worker", [this, &sched] {
            for (;;) {
                while (workQueue_.empty()) sched.WaitOn(&workAvailable_, -1, "the delayed work queue");
                auto item = std::move(workQueue_.front());
                workQueue_.pop_front();
                KIRQL before = KeGetCurrentIrql();
                item();
                if (KeGetCurrentIrql() != before) {
                    kernel_.Fail(rule::kIrqlChangedByDispatch, "a work item returned at another IRQL");
                }
            }
        });
    }
    workQueue_.push_back(std::move(work));
    workAvailable_.SignalState = 1;
    sched.Signal(&workAvailable_);
}

}  // namespace sim

using sim::IrpRecord;
using sim::Kernel;

namespace {

sim::IoManager& Io() {
    return Kernel::Current().io();
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- objects

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    sim::Point("IoCreateDevice");
    Kernel& kernel = Kernel::Current();
    sim::CheckIrql("IoCreateDevice", PASSIVE_LEVEL);
    *DeviceObject = nullptr;
    if (kernel.faults().ShouldFail(sim::FaultSite::Pool)) return STATUS_INSUFFICIENT_RESOURCES;
    size_t size = sizeof(DEVICE_OBJECT) + ((DeviceExtensionSize + 15) & ~15u);
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, size));
    device->Type = 3;
    device->Size = static_cast<USHORT>(size);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize != 0 ? device + 1 : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    kernel.io().DeviceCreated(device);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    sim::Point("IoDeleteDevice");
    sim::CheckIrql("IoDeleteDevice", PASSIVE_LEVEL);
    Io().DeleteDevice(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    sim::Point("IoAttachDeviceToDeviceStack");
    sim::CheckIrql("IoAttachDeviceToDeviceStack", DISPATCH_LEVEL);
    // The platform refuses an attachment to a stack that is going away; fault
    // injection stands for that.
    if (Kernel::Current().faults().ShouldFail(sim::FaultSite::Attach)) return nullptr;
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    sim::Point("IoDetachDevice");
    sim::CheckIrql("IoDetachDevice", PASSIVE_LEVEL);
    TargetDevice->AttachedDevice = nullptr;
    Io().Detached(TargetDevice);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    sim::Point("IoGetAttachedDeviceReference");
    sim::CheckIrql("IoGetAttachedDeviceReference", DISPATCH_LEVEL);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->ReferenceCount++;
    return top;
}

// The only objects drivers reference in this kernel are device objects.
VOID NTAPI ObReferenceObject(PVOID Object) {
    sim::CheckIrql("ObReferenceObject", DISPATCH_LEVEL);
    static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount++;
}

// A device deleted while referenced is freed at its last dereference.
VOID NTAPI ObDereferenceObject(PVOID Object) {
    sim::CheckIrql("ObDereferenceObject", DISPATCH_LEVEL);
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    if (device->ReferenceCount <= 0) {
        Kernel::Current().Fail(sim::rule::kObjectMisuse, "ObDereferenceObject of an object with no reference");
    }
    device->ReferenceCount--;
    Io().Dereferenced(device);
}

NTSTATUS NTAPI IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                               ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension) {
    sim::Point("IoAllocateDriverObjectExtension");
    return Io().AllocateDriverExtension(DriverObject, ClientIdentificationAddress, DriverObjectExtensionSize,
                                        DriverObjectExtension);
}

PVOID NTAPI IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
    sim::Point("IoGetDriverObjectExtension");
    return Io().GetDriverExtension(DriverObject, ClientIdentificationAddress);
}

// ---------------------------------------------------------------- IRPs

USHORT NTAPI IoSizeOfIrp(CCHAR StackSize) {
    return static_cast<USHORT>(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = 6;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    Irp->ThreadListEntry.Flink = Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    sim::Point("IoAllocateIrp");
    Kernel& kernel = Kernel::Current();
    sim::CheckIrql("IoAllocateIrp", DISPATCH_LEVEL);
    if (kernel.faults().ShouldFail(sim::FaultSite::Irp)) return nullptr;
    return Io().AllocateIrp(StackSize, false);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    sim::Point("IoFreeIrp");
    sim::CheckIrql("IoFreeIrp", DISPATCH_LEVEL);
    IrpRecord* record = Io().Find(Irp);
    if (record != nullptr && record->builtByIoManager) {
        Kernel::Current().Fail(sim::rule::kThreadIrpFreed,
                               "IoFreeIrp of an IRP built by IoBuildDeviceIoControlRequest or "
                               "IoBuildSynchronousFsdRequest: the I/O manager frees it when it completes");
    }
    Io().FreeIrp(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    sim::Point("IoReuseIrp");
    sim::CheckIrql("IoReuseIrp", DISPATCH_LEVEL);
    Kernel& kernel = Kernel::Current();
    IrpRecord* record = Io().Find(Irp);
    if (record == nullptr) kernel.Fail(sim::rule::kObjectMisuse, "IoReuseIrp of a freed IRP");
    // The owner may reuse its IRP once the drivers below have finished with
    // it, also from its own completion routine.
    if (sim::IoManager::HeldBelow(Irp, *record)) {
        kernel.Fail(sim::rule::kIrpReusedInUse, "IoReuseIrp while a driver below still holds the IRP");
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    Io().Renew(Irp, *record);
}

PIO_STACK_LOCATION NTAPI IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}

PIO_STACK_LOCATION NTAPI IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

VOID NTAPI IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

VOID NTAPI IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

VOID NTAPI IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    std::memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}

VOID NTAPI IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

VOID NTAPI IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                  BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return reinterpret_cast<PDRIVER_CANCEL>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                   reinterpret_cast<PVOID>(CancelRoutine)));
}

}  // extern "C"

namespace sim {

std::string DriverText(PDRIVER_OBJECT driver) {
    std::wstring name = Kernel::Current().io().DriverName(driver);
    std::string text;
    for (wchar_t c : name) text += c >= 32 && c < 127 ? static_cast<char>(c) : '?';
    return "driver '" + text + "'";
}

std::string DriverOfDevice(PDEVICE_OBJECT device) {
    if (device == nullptr) return "the I/O manager";
    return DriverText(device->DriverObject);
}

namespace {

std::string DriverOf(PDEVICE_OBJECT device) {
    return DriverOfDevice(device);
}

std::string Dispatched(UCHAR major, PDRIVER_OBJECT driver) {
    return "the dispatch routine for major function " + std::to_string(major) + " of " + DriverText(driver);
}

// Keeps a running dispatch routine's frame registered, whatever way it ends.
class FrameScope {
  public:
    FrameScope(IoManager& io, DispatchFrame& frame) : io_(io), frame_(frame) { io_.PushFrame(&frame_); }
    ~FrameScope() { io_.PopFrame(&frame_); }

  private:
    IoManager& io_;
    DispatchFrame& frame_;
};

}  // namespace

// IoCallDriver and PoCallDriver: hands the IRP to the next driver's dispatch
// routine and checks what it returns against the IRP.
NTSTATUS CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool power) {
    Kernel& kernel = Kernel::Current();
    IoManager& io = kernel.io();
    IrpRecord* record = io.Find(Irp);
    if (record == nullptr) kernel.Fail(rule::kObjectMisuse, "IoCallDriver with a freed IRP");
    if (Irp->CurrentLocation <= 1) {
        kernel.Fail(rule::kNoStackLocation, "IoCallDriver with no stack location left for the device below (StackCount " +
                                                std::to_string(Irp->StackCount) + ")");
    }
    if (!io.DeviceAlive(DeviceObject)) {
        kernel.Fail(rule::kObjectMisuse, "IoCallDriver to a device object that was deleted or never created");
    }
    PDEVICE_OBJECT caller = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    UCHAR major = stack->MajorFunction;
    if (major == IRP_MJ_POWER && !power) {
        kernel.Fail(rule::kPowerIrpWithIoCallDriver,
                    DriverOf(caller) + " passed a power IRP on with IoCallDriver instead of PoCallDriver");
    }
    if (record->unhandledPnp && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        kernel.Fail(rule::kPnpUnhandledStatusChanged,
                    DriverOf(caller) + " passed down a Plug and Play request with a minor code it does not handle "
                                       "after changing its status to " + FormatStatus(Irp->IoStatus.Status));
    }
    record->state = IrpRecord::State::InFlight;
    int location = Irp->CurrentLocation;
    if (major == IRP_MJ_POWER) record->startNextPowerCalls.emplace(DeviceObject->DriverObject, 0);
    if (DeviceObject == record->pnpBottom) record->reachedBottom = true;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    DispatchFrame frame;
    frame.irp = Irp;
    frame.generation = record->generation;
    frame.location = location;
    KIRQL irql = KeGetCurrentIrql();

    NTSTATUS status;
    {
        FrameScope scope(io, frame);
        status = driver->MajorFunction[major](DeviceObject, Irp);
    }

    if (KeGetCurrentIrql() != irql) {
        kernel.Fail(rule::kIrqlChangedByDispatch, Dispatched(major, driver) + " entered at IRQL " +
                                                      std::to_string(irql) + " and returned at " +
                                                      std::to_string(KeGetCurrentIrql()));
    }
    // The request may be completed and freed, or reused, by now: what the
    // completion walk saw of this location is in the frame.
    if (frame.passed) {
        if (status == STATUS_PENDING && !frame.markedWhenPassed) {
            kernel.Fail(rule::kPendingNotMarked,
                        Dispatched(major, driver) +
                            (frame.markedBelowWhenPassed
                                 ? " returned STATUS_PENDING through a completion routine that did not propagate "
                                   "the pending mark of the driver below"
                                 : " returned STATUS_PENDING for an IRP it never marked pending"));
        }
        if (status != STATUS_PENDING && frame.markedWhenPassed) {
            kernel.Fail(rule::kMarkedNotPending, Dispatched(major, driver) +
                                                     " marked the IRP pending and returned " + FormatStatus(status));
        }
        if (status != STATUS_PENDING && status != frame.statusWhenPassed) {
            kernel.Fail(rule::kReturnedStatusMismatch, Dispatched(major, driver) + " returned " +
                                                           FormatStatus(status) + " for an IRP it completed with " +
                                                           FormatStatus(frame.statusWhenPassed));
        }
    } else {
        // Not completed past this location: the IRP is still held here or
        // below, so it must have been pended.
        record = io.Find(Irp);
        bool same = record != nullptr && record->generation == frame.generation;
        if (status == STATUS_PENDING) {
            if (same) record->locations[location] |= IrpRecord::kAwaitingMark;
        } else if (same) {
            PIO_STACK_LOCATION own = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + (location - 1);
            if (own->Control & SL_PENDING_RETURNED) {
                kernel.Fail(rule::kMarkedNotPending, Dispatched(major, driver) +
                                                         " marked the IRP pending and returned " + FormatStatus(status));
            }
            kernel.Fail(rule::kReturnedStatusMismatch, Dispatched(major, driver) + " returned " +
                                                           FormatStatus(status) +
                                                           " for an IRP it neither completed nor pended");
        }
    }
    return status;
}

}  // namespace sim

extern "C" {

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    sim::Point("IofCallDriver");
    sim::CheckIrql("IoCallDriver", DISPATCH_LEVEL);
    NTSTATUS status = sim::CallDriver(DeviceObject, Irp, false);
    sim::Point("IofCallDriver:return");
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    sim::Point("IofCompleteRequest");
    sim::CheckIrql("IoCompleteRequest", DISPATCH_LEVEL);
    Kernel& kernel = Kernel::Current();
    sim::IoManager& io = kernel.io();
    IrpRecord* record = io.Find(Irp);
    if (record == nullptr) {
        kernel.Fail(sim::rule::kIrpCompletedTwice, "IoCompleteRequest of an IRP already completed and freed");
    }
    if (record->state == IrpRecord::State::Completing || record->state == IrpRecord::State::Completed) {
        kernel.Fail(sim::rule::kIrpCompletedTwice, "IoCompleteRequest of an IRP whose completion is running or ran");
    }
    // A thread IRP whose completion stopped at the top with
    // STATUS_MORE_PROCESSING_REQUIRED is finished with another
    // IoCompleteRequest; any other IRP held by no driver has completed.
    bool finishingThreadIrp = record->builtByIoManager && record->state == IrpRecord::State::InFlight;
    if (Irp->CurrentLocation > Irp->StackCount && record->state != IrpRecord::State::Idle && !finishingThreadIrp) {
        kernel.Fail(sim::rule::kIrpCompletedTwice,
                    "IoCompleteRequest of an IRP that no driver holds: its completion already ran");
    }
    if (Irp->CancelRoutine != nullptr) {
        kernel.Fail(sim::rule::kCompletedWithCancelRoutine, "IoCompleteRequest of an IRP with a cancel routine set");
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        kernel.Fail(sim::rule::kObjectMisuse, "IoCompleteRequest with status STATUS_PENDING");
    }
    record->state = IrpRecord::State::Completing;
    uint64_t generation = record->generation;

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        int location = Irp->CurrentLocation;
        bool marked = (stack->Control & SL_PENDING_RETURNED) != 0;
        uint8_t& flags = record->locations[location];
        bool awaiting = (flags & IrpRecord::kAwaitingMark) != 0;
        flags |= IrpRecord::kPassed | (marked ? IrpRecord::kMarkedWhenPassed : 0);
        bool markedBelow = location > 1 && (record->locations[location - 1] & IrpRecord::kMarkedWhenPassed) != 0;
        io.PassedLocation(Irp, generation, location, marked, markedBelow);
        if (awaiting && !marked) {
            kernel.Fail(sim::rule::kPendingNotMarked,
                        std::string("the dispatch routine at stack location ") + std::to_string(location) +
                            (markedBelow ? " returned STATUS_PENDING through a completion routine that did not "
                                           "propagate the pending mark of the driver below"
                                         : " returned STATUS_PENDING for an IRP it never marked pending"));
        }

        Irp->PendingReturned = marked;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        UCHAR majorFunction = stack->MajorFunction;
        std::memset(stack, 0, sizeof(*stack));
        stack->MajorFunction = majorFunction;
        IoSkipCurrentIrpStackLocation(Irp);  // up to the location of the routine's owner

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine != nullptr &&
                      ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT owner =
                Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            KIRQL irql = KeGetCurrentIrql();
            NTSTATUS result = routine(owner, Irp, context);
            if (KeGetCurrentIrql() != irql) {
                kernel.Fail(sim::rule::kIrqlChangedByCompletion, "a completion routine returned at another IRQL");
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                // The IRP is back in the hands of the routine's owner, unless
                // the routine already freed or reused it.
                record = io.Find(Irp);
                if (record != nullptr && record->generation == generation &&
                    record->state == IrpRecord::State::Completing) {
                    record->state = IrpRecord::State::InFlight;
                }
                sim::Point("IofCompleteRequest:return");
                return;
            }
            record = io.Find(Irp);
            if (record == nullptr || record->generation != generation) {
                kernel.Fail(sim::rule::kIrpFreedInUse,
                            "a completion routine freed or reused the IRP and let its completion continue");
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    for (auto& [driver, calls] : record->startNextPowerCalls) {
        if (calls == 0) {
            std::wstring name = io.DriverName(driver);
            kernel.Fail(sim::rule::kPowerIrpNotStarted,
                        "a power IRP completed that driver '" + std::string(name.begin(), name.end()) +
                            "' received and never called PoStartNextPowerIrp for");
        }
    }
    io.FinalCompletion(Irp, *record);
    sim::Point("IofCompleteRequest:return");
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    sim::CheckIrql("IoAcquireCancelSpinLock", DISPATCH_LEVEL);
    KeAcquireSpinLock(&Io().cancelSpinLock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&Io().cancelSpinLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    sim::Point("IoCancelIrp");
    sim::CheckIrql("IoCancelIrp", DISPATCH_LEVEL);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    sim::Point("IoBuildDeviceIoControlRequest");
    Kernel& kernel = Kernel::Current();
    sim::CheckIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
    if (kernel.faults().ShouldFail(sim::FaultSite::Irp)) return nullptr;
    PIRP irp = kernel.io().AllocateIrp(DeviceObject->StackSize, true);
    IrpRecord& record = *kernel.io().Find(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    } else {
        size_t size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size != 0) {
            record.systemBuffer.assign(size, 0);
            if (InputBuffer != nullptr) std::memcpy(record.systemBuffer.data(), InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = record.systemBuffer.data();
        }
        record.callerOutput = OutputBuffer;
        record.callerOutputLength = OutputBuffer != nullptr ? OutputBufferLength : 0;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                        ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock) {
    sim::Point("IoBuildSynchronousFsdRequest");
    Kernel& kernel = Kernel::Current();
    sim::CheckIrql("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL);
    if (kernel.faults().ShouldFail(sim::FaultSite::Irp)) return nullptr;
    PIRP irp = kernel.io().AllocateIrp(DeviceObject->StackSize, true);
    IrpRecord& record = *kernel.io().Find(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        next->Parameters.Read.ByteOffset.QuadPart = StartingOffset != nullptr ? StartingOffset->QuadPart : 0;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            record.systemBuffer.assign(Length == 0 ? 1 : Length, 0);
            if (MajorFunction == IRP_MJ_WRITE && Length != 0) std::memcpy(record.systemBuffer.data(), Buffer, Length);
            irp->AssociatedIrp.SystemBuffer = record.systemBuffer.data();
            if (MajorFunction == IRP_MJ_READ) {
                record.callerOutput = Buffer;
                record.callerOutputLength = Length;
            }
        } else {
            irp->UserBuffer = Buffer;
        }
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

// ---------------------------------------------------------------- work items

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    bool queued;
    WORK_QUEUE_TYPE queueType;
};

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    sim::Point("IoAllocateWorkItem");
    sim::CheckIrql("IoAllocateWorkItem", DISPATCH_LEVEL);
    Kernel& kernel = Kernel::Current();
    if (kernel.faults().ShouldFail(sim::FaultSite::WorkItem)) return nullptr;
    auto* item = static_cast<PIO_WORKITEM>(std::calloc(1, sizeof(IO_WORKITEM)));
    item->DeviceObject = DeviceObject;
    item->queued = false;
    Io().WorkItems()[item] = {DeviceObject->DriverObject, false};
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    sim::Point("IoFreeWorkItem");
    sim::CheckIrql("IoFreeWorkItem", DISPATCH_LEVEL);
    Kernel& kernel = Kernel::Current();
    auto& items = Io().WorkItems();
    auto it = items.find(IoWorkItem);
    if (it == items.end()) kernel.Fail(sim::rule::kDoubleFree, "IoFreeWorkItem of an address that is not a work item");
    if (it->second.queued) kernel.Fail(sim::rule::kFreedQueuedWorkItem, "IoFreeWorkItem of a queued work item");
    items.erase(it);
    std::free(IoWorkItem);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    sim::Point("IoQueueWorkItem");
    sim::CheckIrql("IoQueueWorkItem", DISPATCH_LEVEL);
    auto& items = Io().WorkItems();
    auto it = items.find(IoWorkItem);
    if (it == items.end()) Kernel::Current().Fail(sim::rule::kObjectMisuse, "IoQueueWorkItem of a freed work item");
    if (it->second.queued) Kernel::Current().Fail(sim::rule::kObjectMisuse, "IoQueueWorkItem of a queued work item");
    it->second.queued = true;
    IoWorkItem->queued = true;
    IoWorkItem->queueType = QueueType;
    // A queued work item keeps its device object until its routine has run.
    PDEVICE_OBJECT device = IoWorkItem->DeviceObject;
    device->ReferenceCount++;
    Io().QueueWork([IoWorkItem, WorkerRoutine, Context, device] {
        auto& items = Io().WorkItems();
        auto it = items.find(IoWorkItem);
        if (it != items.end()) it->second.queued = false;
        IoWorkItem->queued = false;
        WorkerRoutine(device, Context);
        device->ReferenceCount--;
        Io().Dereferenced(device);
    });
}

}  // extern "C"
