// The verifier: each broken rule stops the machine at once with the rule's
// name, and leaks are reported at teardown.
#include <functional>
#include <memory>
#include <string>

#include "tests/support/lambda_device.h"
#include "tests/support/sim_test.h"

namespace {

struct ViolationCase {
    const char* rule;
    std::function<void(LambdaDevice& lower, LambdaDevice& upper)> provoke;
};

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a driver-allocated IRP to `device`; the owner's routine keeps it.
PIRP SendOwnIrp(PDEVICE_OBJECT device, CCHAR stackSize, UCHAR major = IRP_MJ_READ) {
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    return irp;
}

VOID PageableRoutine() {
    PAGED_CODE();
}

const ViolationCase kCases[] = {
    {sim::rule::kIrpCompletedTwice,
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             CompleteIrp(irp, STATUS_SUCCESS);
             return CompleteIrp(irp, STATUS_SUCCESS);
         });
         SendOwnIrp(lower.device(), 1);
     }},
    {sim::rule::kIrpFreedInUse,
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return STATUS_PENDING;
         });
         IoFreeIrp(SendOwnIrp(lower.device(), 1));
     }},
    {sim::rule::kNoStackLocation,
     [](LambdaDevice& lower, LambdaDevice& upper) {
         upper.set([&](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IoCallDriver(upper.lower(), irp);
         });
         SendOwnIrp(upper.device(), 1);  // the stack needs 2
     }},
    {sim::rule::kCompletedWithCancelRoutine,
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
             return CompleteIrp(irp, STATUS_SUCCESS);
         });
         SendOwnIrp(lower.device(), 1);
     }},
    {sim::rule::kPendingNotMarked,
     [](LambdaDevice& lower, LambdaDevice&) {
         static PIRP held;
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             held = irp;
             return STATUS_PENDING;
         });
         SendOwnIrp(lower.device(), 1);
         CompleteIrp(held, STATUS_SUCCESS);
     }},
    {sim::rule::kMarkedNotPending,
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return CompleteIrp(irp, STATUS_SUCCESS);
         });
         SendOwnIrp(lower.device(), 1);
     }},
    {sim::rule::kIrqlChangedByDispatch,
     [](LambdaDevice& lower, LambdaDevice&) {
         lower.set([](PDEVICE_OBJECT, PIRP irp) {
             KfRaiseIrql(DISPATCH_LEVEL);
             return CompleteIrp(irp, STATUS_SUCCESS);
         });
         SendOwnIrp(lower.device(), 1);
     }},
    {sim::rule::kWaitAboveApcLevel,
     [](LambdaDevice&, LambdaDevice&) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         KfRaiseIrql(DISPATCH_LEVEL);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     }},
    {sim::rule::kPageableAboveApcLevel,
     [](LambdaDevice&, LambdaDevice&) {
         KfRaiseIrql(DISPATCH_LEVEL);
         PageableRoutine();
     }},
    {sim::rule::kRemoveLockBadTag,
     [](LambdaDevice&, LambdaDevice&) {
         static IO_REMOVE_LOCK lock;
         int held = 0, other = 0;
         IoInitializeRemoveLockEx(&lock, 0x7265734D, 0, 10, sizeof(lock));
         IoAcquireRemoveLockEx(&lock, &held, __FILE__, __LINE__, sizeof(lock));
         IoReleaseRemoveLockEx(&lock, &other, sizeof(lock));
     }},
    {sim::rule::kDoubleFree,
     [](LambdaDevice&, LambdaDevice&) {
         void* p = ExAllocatePoolWithTag(NonPagedPool, 16, 0x7265734D);
         ExFreePool(p);
         ExFreePool(p);
     }},
    {sim::rule::kDeadlock,
     [](LambdaDevice&, LambdaDevice&) {
         static KEVENT never;
         KeInitializeEvent(&never, NotificationEvent, FALSE);
         KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
     }},
};

class VerifierRuleTest : public LambdaStackTest, public ::testing::WithParamInterface<ViolationCase> {};

TEST_P(VerifierRuleTest, BrokenRuleStopsTheMachineWithItsName) {
    lower = std::make_unique<LambdaDevice>([](PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); });
    upper = std::make_unique<LambdaDevice>(nullptr, lower.get());
    ExpectBugCheck(GetParam().rule, [&] { GetParam().provoke(*lower, *upper); });
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierRuleTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ViolationCase>& info) {
                             std::string name = info.param.rule;
                             for (char& c : name) {
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

TEST(VerifierTeardownTest, LeakedPoolAndIrpsAreReportedByTagAtShutdown) {
    sim::KernelOptions options;
    options.reportToStderr = false;
    sim::Kernel kernel(options);
    ExAllocatePoolWithTag(PagedPool, 24, 0x7265734D);
    IoAllocateIrp(2, FALSE);
    std::string report = kernel.Shutdown();
    EXPECT_NE(report.find(std::string(sim::rule::kPoolLeak) + ": 1 block(s), 24 bytes with tag 'Mser'"),
              std::string::npos) << report;
    EXPECT_NE(report.find(sim::rule::kIrpLeak), std::string::npos) << report;
}

TEST(VerifierTeardownTest, ViolationOnAnotherProcessorStopsMainAtItsNextKernelCall) {
    sim::KernelOptions options;
    options.reportToStderr = false;
    sim::Kernel kernel(options);
    kernel.QueueDpc([] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    try {
        kernel.Settle();
        ADD_FAILURE() << "the machine did not stop";
    } catch (const sim::BugCheck& bugCheck) {
        EXPECT_EQ(bugCheck.rule(), sim::rule::kWaitAboveApcLevel);
        EXPECT_NE(std::string(bugCheck.what()).find("thread 'dpc"), std::string::npos) << bugCheck.what();
    }
}

}  // namespace
