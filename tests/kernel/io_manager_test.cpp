// The I/O manager's semantics that drivers depend on: completion order and
// invoke flags, STATUS_MORE_PROCESSING_REQUIRED, pending propagation, reuse,
// cancellation, and requests built for drivers.
#include <memory>
#include <string>
#include <vector>

#include "tests/support/lambda_device.h"
#include "tests/support/sim_test.h"

namespace {

using IoManagerTest = LambdaStackTest;

struct RoutineLog {
    std::vector<std::string> calls;
};

NTSTATUS NTAPI LogFirst(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<RoutineLog*>(context)->calls.push_back("first");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI LogSecondAndStop(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<RoutineLog*>(context)->calls.push_back("second");
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct InvokeCase {
    const char* name;
    NTSTATUS status;
    bool cancel;
    bool onSuccess, onError, onCancel;
    bool invoked;
};

TEST_F(IoManagerTest, CompletionRoutineRunsOnlyWhenItsInvokeFlagsMatchTheOutcome) {
    const InvokeCase cases[] = {
        {"success, on success", STATUS_SUCCESS, false, true, false, false, true},
        {"success, on error only", STATUS_SUCCESS, false, false, true, false, false},
        {"error, on error", STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {"error, on success only", STATUS_UNSUCCESSFUL, false, true, false, false, false},
        {"cancelled, on cancel only", STATUS_CANCELLED, true, false, false, true, true},
        {"cancelled, on success only", STATUS_CANCELLED, true, true, false, false, false},
        {"warning counts as success", STATUS_TIMEOUT, false, true, false, false, true},
    };
    lower = std::make_unique<LambdaDevice>(nullptr);
    for (const InvokeCase& c : cases) {
        lower->set([&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancel;
            return CompleteIrp(irp, c.status);
        });
        RoutineLog log;
        PIRP irp = IoAllocateIrp(2, FALSE);
        // The owner's catcher at the top location always runs and keeps the IRP.
        IoSetCompletionRoutine(irp, LogSecondAndStop, &log, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, LogFirst, &log, c.onSuccess, c.onError, c.onCancel);
        IoCallDriver(lower->device(), irp);
        std::vector<std::string> expected = c.invoked ? std::vector<std::string>{"first", "second"}
                                                      : std::vector<std::string>{"second"};
        EXPECT_EQ(log.calls, expected) << c.name;
        IoFreeIrp(irp);
    }
}

TEST_F(IoManagerTest, RoutinesRunUpwardAndMoreProcessingRequiredStopsTheWalk) {
    RoutineLog log;
    PIRP completedBelow = nullptr;
    lower = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        completedBelow = irp;
        return CompleteIrp(irp, STATUS_SUCCESS);
    });
    upper = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, LogFirst, &log, TRUE, TRUE, TRUE);
        return IoCallDriver(upper->lower(), irp);
    }, lower.get());
    ASSERT_EQ(upper->device()->StackSize, 2);

    PIRP irp = IoAllocateIrp(3, FALSE);
    IoSetCompletionRoutine(irp, LogSecondAndStop, &log, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(IoCallDriver(upper->device(), irp), STATUS_SUCCESS);
    EXPECT_EQ(log.calls, (std::vector<std::string>{"first", "second"}));
    // Back in the owner's hands: it may send the IRP again after reuse.
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IoManagerTest, PendingMarkIsCarriedUpThroughLocationsWithoutRoutine) {
    PIRP held = nullptr;
    lower = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    // A pass-through driver above: skips its location, sets no routine.
    upper = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(upper->lower(), irp);
    }, lower.get());

    struct Seen {
        BOOLEAN pendingReturned = FALSE;
        bool called = false;
    } seen;
    PIRP irp = IoAllocateIrp(upper->device()->StackSize, FALSE);
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP irp, PVOID ctx) -> NTSTATUS {
        auto* s = static_cast<Seen*>(ctx);
        s->called = true;
        s->pendingReturned = irp->PendingReturned;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper->device(), irp), STATUS_PENDING);
    EXPECT_FALSE(seen.called);
    CompleteIrp(held, STATUS_SUCCESS);
    EXPECT_TRUE(seen.called);
    EXPECT_TRUE(seen.pendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IoManagerTest, CancelCallsTheHoldersRoutineOrReportsThereIsNone) {
    PIRP held = nullptr;
    lower = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
            IoReleaseCancelSpinLock(irp->CancelIrql);
            CompleteIrp(irp, STATUS_CANCELLED);
        });
        return STATUS_PENDING;
    });
    NTSTATUS finalStatus = STATUS_SUCCESS;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP irp, PVOID ctx) -> NTSTATUS {
        *static_cast<NTSTATUS*>(ctx) = irp->IoStatus.Status;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, &finalStatus, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower->device(), irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(finalStatus, STATUS_CANCELLED);
    EXPECT_TRUE(irp->Cancel);
    // Completed and back with its owner: no routine set, nothing to cancel.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
}

TEST_F(IoManagerTest, BuiltRequestIsFreedAtCompletionWithStatusBlockEventAndOutputCopied) {
    ULONG seenInput = 0;
    PIRP pended = nullptr;
    lower = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, 0x001B000Cu);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 4u);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        std::memcpy(&seenInput, irp->AssociatedIrp.SystemBuffer, 4);
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, 8);
        IoMarkIrpPending(irp);
        pended = irp;
        irp->IoStatus.Information = 6;  // the driver filled 6 bytes
        return STATUS_PENDING;
    });
    lower->device()->Flags |= DO_BUFFERED_IO;
    ULONG input = 0x12345678;
    UCHAR output[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(0x001B000C, lower->device(), &input, 4, output, 8, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(lower->device(), irp), STATUS_PENDING);
    EXPECT_EQ(seenInput, 0x12345678u);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    pended->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(pended, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(output[5], 0x5A);
    EXPECT_EQ(output[6], 0);  // only Information bytes come back
    EXPECT_EQ(kernel().IrpsInUse(), 0u);
}

TEST_F(IoManagerTest, SynchronousWriteRequestCarriesTheCallersBytes) {
    std::vector<UCHAR> written;
    lower = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        auto* bytes = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        written.assign(bytes, bytes + stack->Parameters.Write.Length);
        return CompleteIrp(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    });
    lower->device()->Flags |= DO_BUFFERED_IO;
    char text[] = "*n";
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, lower->device(), text, 2, &offset, &event, &iosb);
    EXPECT_EQ(IoCallDriver(lower->device(), irp), STATUS_SUCCESS);
    EXPECT_EQ(written, (std::vector<UCHAR>{'*', 'n'}));
    EXPECT_EQ(iosb.Information, 2u);
}

TEST_F(IoManagerTest, UnhandledMajorFunctionFailsWithInvalidDeviceRequest) {
    PDRIVER_OBJECT driver = kernel().CreateDriverObject(L"\\Driver\\Empty");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x1234, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
    kernel().UnloadDriver(driver);
}

TEST_F(IoManagerTest, RemoveLockDrainWaitsForEveryAcquisitionThenRefusesNewOnes) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLockEx(&lock, 0x7265734D, 0, 10, sizeof(lock));
    int tagA = 0, tagB = 0;
    ASSERT_EQ(IoAcquireRemoveLockEx(&lock, &tagA, __FILE__, __LINE__, sizeof(lock)), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLockEx(&lock, &tagB, __FILE__, __LINE__, sizeof(lock)), STATUS_SUCCESS);
    bool drained = false;
    kernel().CreateThread("pnp", [&] {
        IoReleaseRemoveLockAndWaitEx(&lock, &tagA, sizeof(lock));
        drained = true;
    });
    kernel().RunFor(sim::Milliseconds(50));
    EXPECT_FALSE(drained);  // tagB is still held
    int tagC = 0;
    EXPECT_EQ(IoAcquireRemoveLockEx(&lock, &tagC, __FILE__, __LINE__, sizeof(lock)), STATUS_DELETE_PENDING);
    IoReleaseRemoveLockEx(&lock, &tagB, sizeof(lock));
    kernel().Settle();
    EXPECT_TRUE(drained);
}

}  // namespace
