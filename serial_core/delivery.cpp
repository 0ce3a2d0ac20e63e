// Packet delivery: the completion routine of the read loop's reads.
#include "serial_core/reading.h"

namespace {

// Reading ends for good (until the next StartReadLoop) with these statuses.
BOOLEAN IsTerminalReadStatus(NTSTATUS Status) {
    return Status == STATUS_DELETE_PENDING || Status == STATUS_DEVICE_NOT_CONNECTED || Status == STATUS_CANCELLED;
}

// Turns the changes of the raw button bits into the class driver's
// transition flags: bit i pressed sets flag bit 2i, released bit 2i+1, for
// the buttons the device reports.
void AddButtonTransitions(DeviceState* Device) {
    PMOUSE_INPUT_DATA report = &Device->Report;
    ULONG changed = report->RawButtons ^ Device->DecoderState.PreviousButtons;
    if (changed == 0) return;
    ULONG buttons = Device->Attributes.NumberOfButtons;
    for (ULONG i = 0; i < buttons && i < 16; ++i) {
        if ((changed & (1u << i)) == 0) continue;
        BOOLEAN pressed = (report->RawButtons & (1u << i)) != 0;
        report->ButtonFlags = (USHORT)(report->ButtonFlags | (1u << (2 * i + (pressed ? 0 : 1))));
    }
    Device->DecoderState.PreviousButtons = report->RawButtons;
}

// Hands the one pending record to the class driver. The class service must be
// called at DISPATCH_LEVEL.
void DeliverReport(DeviceState* Device) {
    if (Device->OpenCount != 0) {
        ULONG consumed = 0;
        MouseClassService* service = (MouseClassService*)Device->ClassConnection.ClassService;
        KIRQL oldIrql = KfRaiseIrql(DISPATCH_LEVEL);
        service(Device->ClassConnection.ClassDeviceObject, &Device->Report, &Device->Report + 1, &consumed);
        KfLowerIrql(oldIrql);
    }
    // Transition data belongs to one record only.
    Device->Report.ButtonFlags = 0;
    Device->Report.ButtonData = 0;
}

}  // namespace

extern "C" RESIDENT_ROUTINE NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    DeviceState* device = (DeviceState*)Context;
    NTSTATUS status = Irp->IoStatus.Status;
    BOOLEAN terminal = IsTerminalReadStatus(status);

    // The byte is decoded, delivered and the record cleared before the next
    // read is handed over: the next read reuses ReadBuffer, and its
    // completion works on Report and DecoderState, possibly on another
    // processor the moment the hand-over lets the loop go on. A read that
    // brought no byte decodes nothing.
    if (!terminal && status == STATUS_SUCCESS && Irp->IoStatus.Information != 0 &&
        device->Decoder(device, &device->Report, &device->DecoderState, device->ReadBuffer)) {
        AddButtonTransitions(device);
        DeliverReport(device);
    }

    // Hand-over: if the read loop is still inside IoCallDriver for this
    // read, it issues the next read (or, for a read that ended reading, gives
    // back the reading acquisition of the remove lock) when the call returns.
    // The value written tells the loop which of the two it is, in the same
    // atomic step, so the loop can never act on a half-made decision.
    LONG previous = InterlockedCompareExchange(&device->ReadCallState,
                                               terminal ? ReadEndedInCall : ReadCompletedInCall,
                                               ReadCallInProgress);
    BOOLEAN issueNextRead = previous != ReadCallInProgress;

    if (terminal) {
        // Reading ends. Outside the loop's call the acquisition is given back
        // here; inside it, the loop gives it back, so nothing touches the
        // device after the lock may let removal delete it.
        if (issueNextRead) IoReleaseRemoveLockEx(&device->RemoveLock, device->ReadRequest, sizeof(IO_REMOVE_LOCK));
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    if (issueNextRead) ReadLoop(device);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
