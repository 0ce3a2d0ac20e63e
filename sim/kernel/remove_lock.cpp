// Remove locks, with the tags of every acquisition kept as a checked build
// keeps them.
#include <sstream>

#include "kernel_internal.h"

namespace {

std::string TagText(void* tag) {
    std::ostringstream out;
    out << tag;
    return out.str();
}

}  // namespace

extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    sim::Point("IoInitializeRemoveLockEx");
    sim::CheckIrql("IoInitializeRemoveLock", PASSIVE_LEVEL);
    sim::Kernel& kernel = sim::Kernel::Current();
    sim::RemoveLockRecord& record = kernel.io().Lock(Lock);
    if (record.drained) {
        kernel.Fail(sim::rule::kRemoveLockReinitialized, "IoInitializeRemoveLockEx on a lock that was drained");
    }
    record.tags.clear();
    Lock->Removed = FALSE;
    Lock->IoCount = 1;  // the lock's own reference, given up by the release-and-wait
    Lock->Tag = AllocateTag;
    Lock->HighWatermark = HighWatermark;
    Lock->MaxLockedMinutes = MaxLockedMinutes;
    KeInitializeEvent(&Lock->RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
    sim::Point("IoAcquireRemoveLockEx");
    sim::CheckIrql("IoAcquireRemoveLock", DISPATCH_LEVEL);
    sim::Kernel& kernel = sim::Kernel::Current();
    sim::RemoveLockRecord& record = kernel.io().Lock(RemoveLock);
    // After the drain every acquisition is refused with STATUS_DELETE_PENDING.
    ++RemoveLock->IoCount;
    if (RemoveLock->Removed) {
        if (--RemoveLock->IoCount == 0) KeSetEvent(&RemoveLock->RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    record.tags.insert(Tag);
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    sim::Point("IoReleaseRemoveLockEx");
    sim::CheckIrql("IoReleaseRemoveLock", DISPATCH_LEVEL);
    sim::Kernel& kernel = sim::Kernel::Current();
    sim::RemoveLockRecord& record = kernel.io().Lock(RemoveLock);
    auto it = record.tags.find(Tag);
    if (it == record.tags.end()) {
        kernel.Fail(sim::rule::kRemoveLockBadTag,
                    "IoReleaseRemoveLockEx with tag " + TagText(Tag) + ", which holds no acquisition");
    }
    record.tags.erase(it);
    if (--RemoveLock->IoCount == 0) KeSetEvent(&RemoveLock->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    sim::Point("IoReleaseRemoveLockAndWaitEx");
    sim::Kernel& kernel = sim::Kernel::Current();
    sim::CheckIrql("IoReleaseRemoveLockAndWait", PASSIVE_LEVEL);
    RemoveLock->Removed = TRUE;
    --RemoveLock->IoCount;  // the lock's own reference
    IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
    KeWaitForSingleObject(&RemoveLock->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    kernel.io().Lock(RemoveLock).drained = true;
}

}  // extern "C"
