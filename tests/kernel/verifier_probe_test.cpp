// Probes for the verifier's rules on requests whoever built them, IRQL
// maxima, live objects in freed memory, pool guards, buffered copy-back,
// power and Plug and Play: each misbehaving driver stops the machine with
// the rule's name, and the behaviour Windows allows runs on.
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "sim/pnp.h"
#include "tests/support/lambda_device.h"
#include "tests/support/sim_test.h"

namespace {

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kTag = 0x7265734D;  // "Mser"
constexpr UCHAR kUnknownPnpMinor = 0xFF;

// Sends a request the I/O manager builds (a thread IRP) to `device`; waits
// when it pends. Returns the status as the caller sees it.
NTSTATUS SendThreadIrp(PDEVICE_OBJECT device, PVOID output = nullptr, ULONG outputLength = 0,
                       IO_STATUS_BLOCK* iosbOut = nullptr) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, device, nullptr, 0, output, outputLength, FALSE, &event,
                                             &iosb);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (iosbOut != nullptr) *iosbOut = iosb;
    return status;
}

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI ContinueWithoutPropagating(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}

// A driver-allocated IRP sent to `device`; its owner's routine keeps it.
PIRP SendOwnIrp(PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    return irp;
}

NTSTATUS PassDown(LambdaDevice& upper, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(upper.lower(), irp);
}

// Keeps the system worker thread busy until the test ends, so a work item
// queued after it stays queued.
void BlockTheWorker(PDEVICE_OBJECT device) {
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    PIO_WORKITEM blocker = IoAllocateWorkItem(device);
    IoQueueWorkItem(
        blocker,
        [](PDEVICE_OBJECT, PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
        DelayedWorkQueue, nullptr);
    sim::Kernel::Current().Settle();
}

NTSTATUS NTAPI AddDeviceLeavingItInitializing(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    IoAttachDeviceToDeviceStack(device, physical);
    return STATUS_SUCCESS;
}

struct ProbeCase {
    const char* rule;
    const char* variant;
    std::function<void(LambdaDevice& lower, LambdaDevice& upper)> provoke;
};

const ProbeCase kProbes[] = {
    // ---- pending and returned status, on IRPs the I/O manager built
    {sim::rule::kPendingNotMarked, "ThreadIrp",
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             CompleteIrp(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         });
         SendThreadIrp(lower.device());
     }},
    {sim::rule::kPendingNotMarked, "CompletionRoutineDidNotPropagate",
     [](LambdaDevice& lower, LambdaDevice& upper) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             CompleteIrp(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         });
         upper.set([&upper](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(irp, ContinueWithoutPropagating, nullptr, TRUE, TRUE, TRUE);
             return IoCallDriver(upper.lower(), irp);
         });
         SendThreadIrp(upper.device());
     }},
    {sim::rule::kMarkedNotPending, "ThreadIrp",
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return CompleteIrp(irp, STATUS_SUCCESS);
         });
         SendThreadIrp(lower.device());
     }},
    {sim::rule::kReturnedStatusMismatch, "CompletedWithAnother",
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             CompleteIrp(irp, STATUS_UNSUCCESSFUL);
             return STATUS_SUCCESS;
         });
         SendThreadIrp(lower.device());
     }},
    {sim::rule::kReturnedStatusMismatch, "NeitherCompletedNorPended",
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
         SendOwnIrp(lower.device());
     }},
    // ---- thread IRPs
    {sim::rule::kThreadIrpFreed, "",
     [](LambdaDevice& lower, LambdaDevice&) {
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IoFreeIrp(IoBuildDeviceIoControlRequest(kBufferedCode, lower.device(), nullptr, 0, nullptr, 0, FALSE,
                                                 &event, &iosb));
     }},
    // ---- spin locks
    {sim::rule::kSpinLockReleaseIrql, "",
     [](LambdaDevice&, LambdaDevice&) {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KfRaiseIrql(12);
         KeReleaseSpinLock(&lock, old);
     }},
    // ---- freed memory holding live objects, and driver unload
    {sim::rule::kFreedLiveTimer, "Pool",
     [](LambdaDevice&, LambdaDevice&) {
         auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTag));
         KeInitializeTimer(timer);
         LARGE_INTEGER due;
         due.QuadPart = -sim::kTicksPerSecond;
         KeSetTimer(timer, due, nullptr);
         ExFreePool(timer);
     }},
    {sim::rule::kFreedLiveTimer, "DeviceExtension",
     [](LambdaDevice& lower, LambdaDevice&) {
         PDEVICE_OBJECT device = nullptr;
         IoCreateDevice(lower.device()->DriverObject, sizeof(KTIMER), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         auto* timer = static_cast<PKTIMER>(device->DeviceExtension);
         KeInitializeTimer(timer);
         LARGE_INTEGER due;
         due.QuadPart = -sim::kTicksPerSecond;
         KeSetTimer(timer, due, nullptr);
         IoDeleteDevice(device);
     }},
    {sim::rule::kFreedQueuedDpc, "",
     [](LambdaDevice&, LambdaDevice&) {
         auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kTag));
         KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
         // At DISPATCH_LEVEL the DPC cannot run on this processor yet.
         KfRaiseIrql(DISPATCH_LEVEL);
         KeInsertQueueDpc(dpc, nullptr, nullptr);
         ExFreePool(dpc);
     }},
    {sim::rule::kFreedQueuedWorkItem, "",
     [](LambdaDevice& lower, LambdaDevice&) {
         BlockTheWorker(lower.device());
         PIO_WORKITEM item = IoAllocateWorkItem(lower.device());
         IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
         IoFreeWorkItem(item);
     }},
    {sim::rule::kUnloadWithPendingWork, "",
     [](LambdaDevice& lower, LambdaDevice&) {
         BlockTheWorker(lower.device());
         PDRIVER_OBJECT driver = sim::Kernel::Current().CreateDriverObject(L"\\Driver\\Leaving");
         PDEVICE_OBJECT device = nullptr;
         IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         IoQueueWorkItem(IoAllocateWorkItem(device), [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
         IoDeleteDevice(device);
         sim::Kernel::Current().UnloadDriver(driver);
     }},
    {sim::rule::kUnloadWithSetTimer, "",
     [](LambdaDevice&, LambdaDevice&) {
         static KTIMER timerInTheImage;
         KeInitializeTimer(&timerInTheImage);
         LARGE_INTEGER due;
         due.QuadPart = -sim::kTicksPerSecond;
         KeSetTimer(&timerInTheImage, due, nullptr);
         sim::Kernel::Current().UnloadDriver(sim::Kernel::Current().CreateDriverObject(L"\\Driver\\Leaving"));
     }},
    // ---- pool guards
    {sim::rule::kPoolOverrun, "",
     [](LambdaDevice&, LambdaDevice&) {
         auto* block = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
         size_t end = 8;
         block[end] = 0;  // one byte past the block
         ExFreePool(const_cast<UCHAR*>(block));
     }},
    // ---- buffered copy-back
    {sim::rule::kCopyBackOverrun, "",
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS, 8); });
         UCHAR output[4];
         SendThreadIrp(lower.device(), output, sizeof(output));
     }},
    // ---- power
    {sim::rule::kPowerIrpWithIoCallDriver, "",
     [](LambdaDevice& lower, LambdaDevice& upper) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             return CompleteIrp(irp, STATUS_SUCCESS);
         });
         upper.set([&upper](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             return PassDown(upper, irp);
         });
         sim::SetDevicePower(lower.device(), PowerDeviceD3);
     }},
    {sim::rule::kPowerIrpToPagableAbovePassive, "",
     [](LambdaDevice& lower, LambdaDevice& upper) {
         // A device without DO_POWER_PAGABLE above a pagable one: the power
         // manager reaches it at DISPATCH_LEVEL, too high for the one below.
         lower.device()->Flags |= DO_POWER_PAGABLE;
         upper.set([&upper](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             IoSkipCurrentIrpStackLocation(irp);
             return PoCallDriver(upper.lower(), irp);
         });
         sim::SetDevicePower(lower.device(), PowerDeviceD3);
     }},
    {sim::rule::kPowerIrpStartedTwice, "ByOneDriverWhileAnotherNeverCalls",
     [](LambdaDevice& lower, LambdaDevice& upper) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
         upper.set([&upper](PDEVICE_OBJECT, PIRP irp) {
             PoStartNextPowerIrp(irp);
             PoStartNextPowerIrp(irp);
             IoSkipCurrentIrpStackLocation(irp);
             return PoCallDriver(upper.lower(), irp);
         });
         sim::SetDevicePower(lower.device(), PowerDeviceD3);
     }},
    // ---- Plug and Play
    {sim::rule::kPnpUnhandledStatusChanged, "",
     [](LambdaDevice& lower, LambdaDevice& upper) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             NTSTATUS status = irp->IoStatus.Status;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return status;
         });
         upper.set([&upper](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             return PassDown(upper, irp);
         });
         sim::SendPnpRequest(lower.device(), kUnknownPnpMinor);
     }},
    {sim::rule::kPnpRemoveNotPassedDown, "",
     [](LambdaDevice&, LambdaDevice& upper) {
         upper.set([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
         sim::RemoveDevice(upper.lower());
     }},
    {sim::rule::kPnpDeviceNotDeletedAfterRemove, "",
     [](LambdaDevice&, LambdaDevice& upper) {
         upper.set([&upper](PDEVICE_OBJECT, PIRP irp) { return PassDown(upper, irp); });
         sim::RemoveDevice(upper.lower());
     }},
    {sim::rule::kDeviceStillInitializing, "",
     [](LambdaDevice& lower, LambdaDevice&) {
         PDRIVER_OBJECT driver = sim::Kernel::Current().CreateDriverObject(L"\\Driver\\Careless");
         driver->DriverExtension->AddDevice = AddDeviceLeavingItInitializing;
         sim::AddDevice(driver, lower.device());
     }},
};

class VerifierProbeTest : public LambdaStackTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(VerifierProbeTest, MisbehavingDriverStopsTheMachineWithTheRule) {
    lower = std::make_unique<LambdaDevice>([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    upper = std::make_unique<LambdaDevice>([this](PDEVICE_OBJECT, PIRP irp) { return PassDown(*upper, irp); },
                                           lower.get());
    ExpectBugCheck(GetParam().rule, [&] { GetParam().provoke(*lower, *upper); });
}

std::string CaseName(const std::string& rule, const std::string& variant) {
    std::string name = rule + (variant.empty() ? "" : "_" + variant);
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierProbeTest, ::testing::ValuesIn(kProbes),
                         [](const ::testing::TestParamInfo<ProbeCase>& info) {
                             return CaseName(info.param.rule, info.param.variant);
                         });

// ---- each kernel call against its documented maximum IRQL

struct IrqlCase {
    const char* routine;
    KIRQL tooHigh;
    std::function<void(LambdaDevice& lower)> call;
};

PIRP PowerIrpHeldBy(LambdaDevice& lower) {
    static PIRP held;
    lower.set([](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    sim::Kernel::Current().CreateThread("power manager", [&lower] { sim::SetDevicePower(lower.device(), PowerDeviceD3); });
    sim::Kernel::Current().Settle();
    return held;
}

const IrqlCase kIrqlCases[] = {
    {"IoCompleteRequest", 3,
     [](LambdaDevice&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         KfRaiseIrql(3);
         CompleteIrp(irp, STATUS_SUCCESS);
     }},
    {"IoCallDriver", 3,
     [](LambdaDevice& lower) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         KfRaiseIrql(3);
         IoCallDriver(lower.device(), irp);
     }},
    {"KeSetEvent", 3,
     [](LambdaDevice&) {
         static KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         KfRaiseIrql(3);
         KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
     }},
    {"KeSetTimer", 3,
     [](LambdaDevice&) {
         static KTIMER timer;
         KeInitializeTimer(&timer);
         LARGE_INTEGER due;
         due.QuadPart = -10;
         KfRaiseIrql(3);
         KeSetTimer(&timer, due, nullptr);
     }},
    {"KeCancelTimer", 3,
     [](LambdaDevice&) {
         static KTIMER timer;
         KeInitializeTimer(&timer);
         KfRaiseIrql(3);
         KeCancelTimer(&timer);
     }},
    {"ExAllocatePool of paged pool", DISPATCH_LEVEL,
     [](LambdaDevice&) {
         KfRaiseIrql(DISPATCH_LEVEL);
         ExAllocatePoolWithTag(PagedPool, 8, kTag);
     }},
    {"ExFreePool of paged pool", DISPATCH_LEVEL,
     [](LambdaDevice&) {
         void* block = ExAllocatePoolWithTag(PagedPool, 8, kTag);
         KfRaiseIrql(DISPATCH_LEVEL);
         ExFreePool(block);
     }},
    {"ExFreePool", 3,
     [](LambdaDevice&) {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
         KfRaiseIrql(3);
         ExFreePool(block);
     }},
    {"IoAcquireRemoveLock", 3,
     [](LambdaDevice&) {
         static IO_REMOVE_LOCK lock;
         IoInitializeRemoveLockEx(&lock, kTag, 0, 0, sizeof(lock));
         KfRaiseIrql(3);
         IoAcquireRemoveLockEx(&lock, &lock, __FILE__, __LINE__, sizeof(lock));
     }},
    {"IoReleaseRemoveLockAndWait", APC_LEVEL,
     [](LambdaDevice&) {
         static IO_REMOVE_LOCK lock;
         IoInitializeRemoveLockEx(&lock, kTag, 0, 0, sizeof(lock));
         IoAcquireRemoveLockEx(&lock, &lock, __FILE__, __LINE__, sizeof(lock));
         KfRaiseIrql(APC_LEVEL);
         IoReleaseRemoveLockAndWaitEx(&lock, &lock, sizeof(lock));
     }},
    {"IoQueueWorkItem", 3,
     [](LambdaDevice& lower) {
         PIO_WORKITEM item = IoAllocateWorkItem(lower.device());
         KfRaiseIrql(3);
         IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
     }},
    {"KeAcquireSpinLock", 3,
     [](LambdaDevice&) {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KfRaiseIrql(3);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
     }},
    {"IoAllocateIrp", 3,
     [](LambdaDevice&) {
         KfRaiseIrql(3);
         IoAllocateIrp(1, FALSE);
     }},
    {"IoFreeIrp", 3,
     [](LambdaDevice&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         KfRaiseIrql(3);
         IoFreeIrp(irp);
     }},
    {"IoBuildDeviceIoControlRequest", APC_LEVEL,
     [](LambdaDevice& lower) {
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         KfRaiseIrql(APC_LEVEL);
         IoBuildDeviceIoControlRequest(kBufferedCode, lower.device(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
     }},
    {"PoStartNextPowerIrp", 3,
     [](LambdaDevice& lower) {
         PIRP irp = PowerIrpHeldBy(lower);
         KfRaiseIrql(3);
         PoStartNextPowerIrp(irp);
     }},
    {"PoCallDriver", 3,
     [](LambdaDevice& lower) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
         KfRaiseIrql(3);
         PoCallDriver(lower.device(), irp);
     }},
    {"IoAllocateErrorLogEntry", 3,
     [](LambdaDevice& lower) {
         KfRaiseIrql(3);
         IoAllocateErrorLogEntry(lower.device(), 64);
     }},
    {"IoWriteErrorLogEntry", 3,
     [](LambdaDevice& lower) {
         PVOID entry = IoAllocateErrorLogEntry(lower.device(), 64);
         KfRaiseIrql(3);
         IoWriteErrorLogEntry(entry);
     }},
};

class IrqlMaximumTest : public LambdaStackTest, public ::testing::WithParamInterface<IrqlCase> {};

TEST_P(IrqlMaximumTest, CallAboveItsMaximumIrqlStopsTheMachineNamingTheCall) {
    lower = std::make_unique<LambdaDevice>([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    ExpectBugCheck(sim::rule::kIrqlNotLess, [&] { GetParam().call(*lower); });
    ASSERT_FALSE(kernel().Failures().empty());
    EXPECT_NE(kernel().Failures().back().find(std::string(GetParam().routine) + " called at IRQL " +
                                              std::to_string(GetParam().tooHigh)),
              std::string::npos)
        << kernel().Failures().back();
}

INSTANTIATE_TEST_SUITE_P(Calls, IrqlMaximumTest, ::testing::ValuesIn(kIrqlCases),
                         [](const ::testing::TestParamInfo<IrqlCase>& info) {
                             return CaseName(info.param.routine, "");
                         });

// ---- what Windows allows, and what the I/O manager does for it

using VerifierAllowsTest = LambdaStackTest;

TEST_F(VerifierAllowsTest, ThreadIrpCompletedAgainAfterMoreProcessingIsFinishedByTheIoManager) {
    lower = std::make_unique<LambdaDevice>([](PDEVICE_OBJECT, PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "ok", 2);
        return CompleteIrp(irp, STATUS_SUCCESS, 2);
    });
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    char output[4] = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, lower->device(), nullptr, 0, output, sizeof(output), FALSE,
                                             &event, &iosb);
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower->device(), irp), STATUS_SUCCESS);
    // Held by its creator: nothing is copied back, signalled or freed yet.
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Status, STATUS_PENDING);
    EXPECT_EQ(kernel().IrpsInUse(), 1u);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(std::string(output, 2), "ok");
    EXPECT_EQ(kernel().IrpsInUse(), 0u);
}

TEST_F(VerifierAllowsTest, BufferedOutputIsCopiedBackForEveryStatusThatIsNotAnError) {
    struct Case {
        NTSTATUS status;
        bool copied;
    };
    lower = std::make_unique<LambdaDevice>(nullptr);
    for (Case c : {Case{STATUS_SUCCESS, true}, Case{STATUS_BUFFER_OVERFLOW, true}, Case{STATUS_TIMEOUT, true},
                   Case{STATUS_BUFFER_TOO_SMALL, false}}) {
        SCOPED_TRACE(sim::FormatStatus(c.status));
        lower->set([&](PDEVICE_OBJECT, PIRP irp) {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, "abcd", 4);
            return CompleteIrp(irp, c.status, 4);
        });
        char output[4] = {'-', '-', '-', '-'};
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(SendThreadIrp(lower->device(), output, sizeof(output), &iosb), c.status);
        EXPECT_EQ(iosb.Status, c.status);
        EXPECT_EQ(std::string(output, 4), c.copied ? "abcd" : "----");
    }
}

TEST_F(VerifierAllowsTest, RemoveLockAcquiredAfterTheDrainIsRefusedWithDeletePending) {
    static IO_REMOVE_LOCK lock;
    int tag = 0;
    IoInitializeRemoveLockEx(&lock, kTag, 0, 10, sizeof(lock));
    ASSERT_EQ(IoAcquireRemoveLockEx(&lock, &tag, __FILE__, __LINE__, sizeof(lock)), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWaitEx(&lock, &tag, sizeof(lock));
    EXPECT_EQ(IoAcquireRemoveLockEx(&lock, &tag, __FILE__, __LINE__, sizeof(lock)), STATUS_DELETE_PENDING);
    EXPECT_EQ(IoAcquireRemoveLockEx(&lock, &tag, __FILE__, __LINE__, sizeof(lock)), STATUS_DELETE_PENDING);
}

TEST_F(VerifierAllowsTest, DeletedDeviceStaysUntilItsLastReference) {
    lower = std::make_unique<LambdaDevice>(nullptr);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(lower->device()->DriverObject, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    ObReferenceObject(device);
    IoDeleteDevice(device);
    EXPECT_EQ(device->Type, 3) << "a referenced device object is still readable";
    ObDereferenceObject(device);
    // The teardown's leak check finds nothing left of it.
}

TEST_F(VerifierAllowsTest, PowerIrpsReachPagableDevicesAtPassiveLevelAndOthersAtDispatchLevel) {
    KIRQL seen = HIGH_LEVEL;
    lower = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        seen = KeGetCurrentIrql();
        PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, STATUS_SUCCESS);
    });
    EXPECT_EQ(sim::SetDevicePower(lower->device(), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(seen, DISPATCH_LEVEL);
    lower->device()->Flags |= DO_POWER_PAGABLE;
    EXPECT_EQ(sim::SetDevicePower(lower->device(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(seen, PASSIVE_LEVEL);
}

TEST_F(VerifierAllowsTest, ThePowerManagerSendsADeviceOnePowerIrpAtATime) {
    std::vector<PIRP> held;
    lower = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        held.push_back(irp);
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    lower->device()->Flags |= DO_POWER_PAGABLE;
    int done = 0;
    for (const char* name : {"power A", "power B"}) {
        kernel().CreateThread(name, [&] {
            EXPECT_EQ(sim::SetDevicePower(lower->device(), PowerDeviceD3), STATUS_SUCCESS);
            ++done;
        });
    }
    kernel().RunFor(sim::Milliseconds(10));
    ASSERT_EQ(held.size(), 1u) << "the second request waits for PoStartNextPowerIrp of the first";
    PoStartNextPowerIrp(held[0]);
    kernel().RunFor(sim::Milliseconds(10));
    ASSERT_EQ(held.size(), 2u);
    CompleteIrp(held[0], STATUS_SUCCESS);
    PoStartNextPowerIrp(held[1]);
    CompleteIrp(held[1], STATUS_SUCCESS);
    kernel().RunFor(sim::Milliseconds(10));
    EXPECT_EQ(done, 2);
}

TEST_F(VerifierAllowsTest, FreedPoolIsPoisoned) {
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    ExFreePool(block);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(__asan_address_is_poisoned(block));
    EXPECT_TRUE(__asan_address_is_poisoned(block + 15));
#else
    for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], 0xDD) << i;
#endif
}

// ---- leaks at teardown, each named

TEST(VerifierLeakTest, EveryKindOfLeakIsNamedAtShutdown) {
    sim::KernelOptions options;
    options.reportToStderr = false;
    sim::Kernel kernel(options);
    PDRIVER_OBJECT driver = kernel.CreateDriverObject(L"\\Driver\\Leaky");
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    PDEVICE_OBJECT referenced = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &referenced);
    ObReferenceObject(referenced);
    IoDeleteDevice(referenced);
    IoAllocateWorkItem(device);
    IoAllocateErrorLogEntry(device, 64);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoBuildDeviceIoControlRequest(kBufferedCode, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    auto* block = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    size_t end = 8;
    block[end] = 0;
    std::string report = kernel.Shutdown();
    for (const char* rule : {sim::rule::kDeviceLeak, sim::rule::kWorkItemLeak, sim::rule::kErrorLogEntryLeak,
                             sim::rule::kThreadIrpLeak, sim::rule::kPoolOverrun, sim::rule::kPoolLeak}) {
        EXPECT_NE(report.find(rule), std::string::npos) << rule << "\n" << report;
    }
    EXPECT_NE(report.find("of driver '\\Driver\\Leaky' never deleted"), std::string::npos) << report;
    EXPECT_NE(report.find("kept by 1 reference(s)"), std::string::npos) << report;
    EXPECT_EQ(report.find(sim::rule::kIrpLeak + std::string(":")), std::string::npos)
        << "a thread IRP is reported as such\n" << report;
}

}  // namespace
