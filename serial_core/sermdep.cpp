// The start of reading: the one-byte read loop on the reused ReadRequest.
#include "serial_core/reading.h"

PAGEABLE_ROUTINE NTSTATUS StartReadLoop(DeviceState* Device) {
    PAGED_CODE();
    // Reading holds one acquisition tagged with ReadRequest until it ends;
    // whoever ends reading gives it back.
    // A refused acquisition (removal has begun) means no reading: the loop's
    // stop path would give back an acquisition never taken.
    NTSTATUS acquired =
        IoAcquireRemoveLockEx(&Device->RemoveLock, Device->ReadRequest, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(acquired)) {
        Device->Started = FALSE;
        return acquired;
    }
    // No read is outstanding yet, so a plain store.
    Device->ReadCallState = ReadCallReturned;
    NTSTATUS status = ReadLoop(Device);
    if (status == STATUS_PENDING || status == STATUS_SUCCESS) return STATUS_SUCCESS;
    Device->Started = FALSE;
    return status;
}

// Whether reading must stop before the next read. Every path that stops
// reading (close, stop, removal, power-down) changes its condition first and
// cancels ReadRequest after.
static BOOLEAN ReadingMustStop(const DeviceState* Device) {
    return Device->RemovePending || !Device->Started || Device->OpenCount == 0 || Device->PoweringDown;
}

RESIDENT_ROUTINE NTSTATUS ReadLoop(DeviceState* Device) {
    for (;;) {
        PIRP irp = Device->ReadRequest;
        IoReuseIrp(irp, STATUS_SUCCESS);
        irp->AssociatedIrp.SystemBuffer = &Device->ReadBuffer;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = 1;
        next->Parameters.Read.ByteOffset.QuadPart = 0;
        IoSetCompletionRoutine(irp, ReadCompletion, Device, TRUE, TRUE, TRUE);

        // The conditions are tested after IoReuseIrp, which clears the
        // request's Cancel flag: a cancel that came before the reuse changed
        // a condition first and is seen here; one that comes after it leaves
        // Cancel set, and the port completes the read as cancelled.
        if (ReadingMustStop(Device)) {
            IoReleaseRemoveLockEx(&Device->RemoveLock, Device->ReadRequest, sizeof(IO_REMOVE_LOCK));
            return STATUS_UNSUCCESSFUL;
        }

        InterlockedExchange(&Device->ReadCallState, ReadCallInProgress);
        NTSTATUS status = IoCallDriver(Device->LowerDevice, irp);

        LONG previous = InterlockedExchange(&Device->ReadCallState, ReadCallReturned);
        if (previous == ReadCallInProgress) {
            // Still outstanding: its completion continues reading.
            return status;
        }
        if (previous == ReadEndedInCall) {
            // The read ended reading while this call was in progress.
            IoReleaseRemoveLockEx(&Device->RemoveLock, Device->ReadRequest, sizeof(IO_REMOVE_LOCK));
            return STATUS_UNSUCCESSFUL;
        }
        // ReadCompletedInCall: the byte is handled; issue the next read.
    }
}
