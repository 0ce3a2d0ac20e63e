// The I/O manager: driver and device objects, IRPs and their completion,
// cancellation, requests built for drivers, work items and the error log.
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
    WmiDeviceDeleted(device);
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
    if (device->AttachedDevice != nullptr) {
        deletePending_.insert(device);
        return;
    }
    std::memset(device, 0xDD, device->Size);
    std::free(device);
}

void IoManager::Detached(PDEVICE_OBJECT device) {
    if (deletePending_.erase(device) == 0) return;
    std::memset(device, 0xDD, device->Size);
    std::free(device);
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
    record.startNextPowerCalls = 0;
    record.powerDispatches = 0;
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
    if (record.callerOutput != nullptr && NT_SUCCESS(irp->IoStatus.Status)) {
        size_t n = irp->IoStatus.Information;
        if (n > record.callerOutputLength) n = record.callerOutputLength;
        if (n > record.systemBuffer.size()) n = record.systemBuffer.size();
        std::memcpy(record.callerOutput, record.systemBuffer.data(), n);
    }
    PIO_STATUS_BLOCK iosb = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    IO_STATUS_BLOCK status = irp->IoStatus;
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
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        kernel.Fail(sim::rule::kIrqlNotLess, "IoCreateDevice above PASSIVE_LEVEL");
    }
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
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    sim::Point("IoDeleteDevice");
    Io().DeleteDevice(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    sim::Point("IoAttachDeviceToDeviceStack");
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
    TargetDevice->AttachedDevice = nullptr;
    Io().Detached(TargetDevice);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    sim::Point("IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->ReferenceCount++;
    return top;
}

// The only objects drivers reference in this kernel are device objects.
VOID NTAPI ObReferenceObject(PVOID Object) {
    static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount++;
}

VOID NTAPI ObDereferenceObject(PVOID Object) {
    static_cast<PDEVICE_OBJECT>(Object)->ReferenceCount--;
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
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) kernel.Fail(sim::rule::kIrqlNotLess, "IoAllocateIrp above DISPATCH_LEVEL");
    if (kernel.faults().ShouldFail(sim::FaultSite::Irp)) return nullptr;
    return Io().AllocateIrp(StackSize, false);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    sim::Point("IoFreeIrp");
    Io().FreeIrp(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    sim::Point("IoReuseIrp");
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

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    sim::Point("IofCallDriver");
    Kernel& kernel = Kernel::Current();
    sim::IoManager& io = kernel.io();
    IrpRecord* record = io.Find(Irp);
    if (record == nullptr) kernel.Fail(sim::rule::kObjectMisuse, "IoCallDriver with a freed IRP");
    if (Irp->CurrentLocation <= 1) {
        kernel.Fail(sim::rule::kNoStackLocation,
                    "IoCallDriver with no stack location left for the device below (StackCount " +
                        std::to_string(Irp->StackCount) + ")");
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    record->state = IrpRecord::State::InFlight;
    uint64_t generation = record->generation;
    int location = Irp->CurrentLocation;
    UCHAR major = stack->MajorFunction;
    if (major == IRP_MJ_POWER) record->powerDispatches++;
    KIRQL irql = KeGetCurrentIrql();

    NTSTATUS status = DeviceObject->DriverObject->MajorFunction[major](DeviceObject, Irp);

    if (KeGetCurrentIrql() != irql) {
        kernel.Fail(sim::rule::kIrqlChangedByDispatch,
                    "dispatch routine for major function " + std::to_string(major) + " entered at IRQL " +
                        std::to_string(irql) + " and returned at " + std::to_string(KeGetCurrentIrql()));
    }
    // The request may be gone (completed and freed, or reused) by now.
    record = io.Find(Irp);
    if (record != nullptr && record->generation == generation) {
        uint8_t flags = record->locations[location];
        bool passed = (flags & IrpRecord::kPassed) != 0;
        if (status == STATUS_PENDING) {
            if (passed && !(flags & IrpRecord::kMarkedWhenPassed)) {
                kernel.Fail(sim::rule::kPendingNotMarked,
                            "dispatch routine for major function " + std::to_string(major) +
                                " returned STATUS_PENDING for an IRP it never marked pending");
            }
            if (!passed) record->locations[location] |= IrpRecord::kAwaitingMark;
        } else {
            PIO_STACK_LOCATION own = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + (location - 1);
            bool marked = passed ? (flags & IrpRecord::kMarkedWhenPassed) != 0
                                 : (own->Control & SL_PENDING_RETURNED) != 0;
            if (marked) {
                kernel.Fail(sim::rule::kMarkedNotPending,
                            "dispatch routine for major function " + std::to_string(major) +
                                " marked the IRP pending and returned " + sim::FormatStatus(status));
            }
        }
    }
    sim::Point("IofCallDriver:return");
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    sim::Point("IofCompleteRequest");
    Kernel& kernel = Kernel::Current();
    sim::IoManager& io = kernel.io();
    IrpRecord* record = io.Find(Irp);
    if (record == nullptr) {
        kernel.Fail(sim::rule::kIrpCompletedTwice, "IoCompleteRequest of an IRP already completed and freed");
    }
    if (record->state == IrpRecord::State::Completing || record->state == IrpRecord::State::Completed) {
        kernel.Fail(sim::rule::kIrpCompletedTwice, "IoCompleteRequest of an IRP whose completion is running or ran");
    }
    if (Irp->CurrentLocation > Irp->StackCount && record->state != IrpRecord::State::Idle) {
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
        if (awaiting && !marked) {
            kernel.Fail(sim::rule::kPendingNotMarked,
                        "a dispatch routine returned STATUS_PENDING for an IRP it never marked pending");
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
    if (record->powerDispatches > record->startNextPowerCalls) {
        kernel.Fail(sim::rule::kPowerIrpNotStarted,
                    "a power IRP completed after " + std::to_string(record->powerDispatches) +
                        " driver(s) handled it but only " + std::to_string(record->startNextPowerCalls) +
                        " PoStartNextPowerIrp call(s)");
    }
    io.FinalCompletion(Irp, *record);
    sim::Point("IofCompleteRequest:return");
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&Io().cancelSpinLock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&Io().cancelSpinLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    sim::Point("IoCancelIrp");
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
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        kernel.Fail(sim::rule::kIrqlNotLess, "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    }
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
        record.callerOutputLength = OutputBufferLength;
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
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        kernel.Fail(sim::rule::kIrqlNotLess, "IoBuildSynchronousFsdRequest above PASSIVE_LEVEL");
    }
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
};

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    sim::Point("IoAllocateWorkItem");
    Kernel& kernel = Kernel::Current();
    if (kernel.faults().ShouldFail(sim::FaultSite::WorkItem)) return nullptr;
    auto* item = static_cast<PIO_WORKITEM>(
        kernel.pool().Allocate(NonPagedPool, sizeof(IO_WORKITEM), 0x6B726F57 /* "Work" */));
    item->DeviceObject = DeviceObject;
    item->queued = false;
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    sim::Point("IoFreeWorkItem");
    Kernel& kernel = Kernel::Current();
    if (IoWorkItem->queued) kernel.Fail(sim::rule::kObjectMisuse, "IoFreeWorkItem of a queued work item");
    kernel.pool().Free(IoWorkItem, 0x6B726F57);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    sim::Point("IoQueueWorkItem");
    if (IoWorkItem->queued) Kernel::Current().Fail(sim::rule::kObjectMisuse, "IoQueueWorkItem of a queued work item");
    IoWorkItem->queued = true;
    Io().QueueWork([IoWorkItem, WorkerRoutine, Context] {
        IoWorkItem->queued = false;
        WorkerRoutine(IoWorkItem->DeviceObject, Context);
    });
}

// ---------------------------------------------------------------- error log

PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    sim::Point("IoAllocateErrorLogEntry");
    Kernel& kernel = Kernel::Current();
    if (kernel.faults().ShouldFail(sim::FaultSite::ErrorLogEntry)) return nullptr;
    void* entry = std::calloc(1, EntrySize);
    Io().PendingErrorLogEntries()[entry] = EntrySize;
    return entry;
}

VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
    sim::Point("IoWriteErrorLogEntry");
    auto& pending = Io().PendingErrorLogEntries();
    auto it = pending.find(ElEntry);
    if (it == pending.end()) {
        Kernel::Current().Fail(sim::rule::kObjectMisuse, "IoWriteErrorLogEntry of an entry not allocated");
    }
    auto* bytes = static_cast<UCHAR*>(ElEntry);
    Io().ErrorLog().emplace_back(bytes, bytes + it->second);
    pending.erase(it);
    std::free(ElEntry);
}

}  // extern "C"
