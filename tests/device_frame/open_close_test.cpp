// Open and close, and the start and stop of the mouse behind them: the
// forward-and-wait of a request, the first open through to decoded records
// for every mouse serwheel identifies, counted opens and closes, and a first
// open with no mouse (error log, the port closed again in order).
#include <cstdio>

#include "serwheel/decoders.h"
#include "tests/device_frame/frame_fixture.h"
#include "tests/support/lambda_device.h"

namespace {

// ---- ForwardAndWait against a lower driver that completes at once or pends

class ForwardAndWaitTest : public LambdaStackTest {
  protected:
    void SetUp() override {
        sim::KernelOptions options;
        options.seed = 7;
        options.preemption = 0.3;
        StartKernel(options);
    }
};

TEST_F(ForwardAndWaitTest, AtOnceReturnsTheCallsStatusAndTheIrpStaysWithTheCaller) {
    UCHAR seenMajor = 0xFF;
    PFILE_OBJECT seenFile = reinterpret_cast<PFILE_OBJECT>(1);
    lower = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        seenMajor = stack->MajorFunction;
        seenFile = stack->FileObject;
        return CompleteIrp(irp, STATUS_BUFFER_OVERFLOW);
    });
    PIRP irp = IoAllocateIrp(lower->device()->StackSize + 1, FALSE);
    RtlZeroMemory(IoGetNextIrpStackLocation(irp), sizeof(IO_STACK_LOCATION));  // IRP_MJ_CREATE, no file
    EXPECT_EQ(ForwardAndWait(lower->device(), irp, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(seenMajor, IRP_MJ_CREATE);
    EXPECT_EQ(seenFile, nullptr);
    // Not completed to the top: the verifier would have stopped the machine.
    IoFreeIrp(irp);
}

TEST_F(ForwardAndWaitTest, PendingWaitsAndReturnsTheFinalStatus) {
    PIRP held = nullptr;
    lower = std::make_unique<LambdaDevice>([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        kernel().ScheduleAfter(sim::Milliseconds(30), [&] { CompleteIrp(held, STATUS_IO_DEVICE_ERROR); });
        return STATUS_PENDING;
    });
    PIRP irp = IoAllocateIrp(lower->device()->StackSize + 1, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CLEANUP;
    sim::Ticks start = kernel().Now();
    EXPECT_EQ(ForwardAndWait(lower->device(), irp, FALSE), STATUS_IO_DEVICE_ERROR);
    EXPECT_GE(kernel().Now() - start, sim::Milliseconds(30)) << "returned before the lower driver finished";
    IoFreeIrp(irp);
}

// ---- the first open for every mouse serwheel identifies

struct MouseCase {
    const char* model;
    USHORT identifier;
    USHORT buttons;
};

class FirstOpenTest : public FrameTest, public ::testing::WithParamInterface<std::tuple<MouseCase, uint64_t>> {
  protected:
    void SetUp() override { StartWithSeed(std::get<1>(GetParam())); }
};

TEST_P(FirstOpenTest, IdentifiesStartsReadingAndDeliversDecodedRecords) {
    const MouseCase& c = std::get<0>(GetParam());
    Build(c.model);
    ASSERT_EQ(mouseClass().Connect(), STATUS_SUCCESS);
    sim::Ticks start = kernel().Now();
    ASSERT_EQ(mouseClass().Open(), STATUS_SUCCESS);
    double openMs = static_cast<double>(kernel().Now() - start) / sim::kTicksPerMillisecond;
    RecordProperty("first_open_ms", std::to_string(openMs));
    std::printf("first open of %s (seed %llu): %.1f ms virtual\n", c.model,
                static_cast<unsigned long long>(std::get<1>(GetParam())), openMs);

    EXPECT_EQ(state().OpenCount, 1);
    EXPECT_TRUE(state().Started);
    EXPECT_TRUE(state().MonitorActive);
    EXPECT_EQ(state().Attributes.MouseIdentifier, c.identifier);
    EXPECT_EQ(state().Attributes.NumberOfButtons, c.buttons);
    ASSERT_FALSE(port().Requests().empty());
    EXPECT_EQ(port().Requests().front().majorFunction, IRP_MJ_CREATE) << "the port is opened first";
    EXPECT_TRUE(kernel().errorLog().Entries().empty());

    mouse()->Move(10, -5);
    mouse()->Press(sim::MouseButton::Left);
    kernel().RunFor(sim::Milliseconds(200));
    mouse()->Release(sim::MouseButton::Left);
    kernel().RunFor(sim::Milliseconds(300));

    LONG x = 0, y = 0;
    bool down = false, up = false;
    for (const auto& record : mouseClass().Records()) {
        x += record.data.LastX;
        y += record.data.LastY;
        down |= (record.data.ButtonFlags & MOUSE_LEFT_BUTTON_DOWN) != 0;
        up |= (record.data.ButtonFlags & MOUSE_LEFT_BUTTON_UP) != 0;
        EXPECT_EQ(record.irql, DISPATCH_LEVEL);
    }
    EXPECT_EQ(x, 10);
    EXPECT_EQ(y, -5);
    EXPECT_TRUE(down && up);
}

INSTANTIATE_TEST_SUITE_P(
    Mice, FirstOpenTest,
    ::testing::Combine(::testing::Values(MouseCase{"two-button", MOUSE_SERIAL_HARDWARE, 2},
                                         MouseCase{"three-button", MOUSE_SERIAL_HARDWARE, 3},
                                         MouseCase{"ballpoint", BALLPOINT_SERIAL_HARDWARE, 2},
                                         MouseCase{"wheel", WHEELMOUSE_SERIAL_HARDWARE, 3},
                                         MouseCase{"wheel5", WHEELMOUSE_SERIAL_HARDWARE, 5},
                                         // Identified without an identifier of its own.
                                         MouseCase{"c-series", MOUSE_SERIAL_HARDWARE, 3},
                                         MouseCase{"c-series@9600", MOUSE_SERIAL_HARDWARE, 3}),
                       ::testing::Values(1u, 2u, 3u)),
    [](const auto& info) {
        std::string name = std::get<0>(info.param).model;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name + "_seed" + std::to_string(std::get<1>(info.param));
    });

// ---- counted opens and closes

class OpenCloseTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        Build("three-button");
    }

    // A create straight to the driver's device, with a file object.
    NTSTATUS CreateWithFile(PFILE_OBJECT file) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_CREATE, state().Self, nullptr, 0, nullptr, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        if (IoCallDriver(state().Self, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        EXPECT_EQ(iosb.Information, 0u);
        return iosb.Status;
    }
};

TEST_F(OpenCloseTest, TwoOpensAndTwoClosesTouchThePortOnlyAtTheEnds) {
    ASSERT_EQ(ConnectAndOpen(), STATUS_SUCCESS);
    size_t afterFirst = port().Requests().size();
    EXPECT_EQ(mouseClass().Open(), STATUS_SUCCESS);
    EXPECT_EQ(state().OpenCount, 2);
    EXPECT_EQ(port().Requests().size(), afterFirst) << "the second open sends nothing down";

    EXPECT_EQ(mouseClass().Close(), STATUS_SUCCESS);
    EXPECT_EQ(state().OpenCount, 1);
    EXPECT_EQ(port().Requests().size(), afterFirst) << "the first close sends nothing down";
    EXPECT_TRUE(port().ReadPending());

    EXPECT_EQ(mouseClass().Close(), STATUS_SUCCESS);
    kernel().Settle();
    EXPECT_EQ(state().OpenCount, 0);
    EXPECT_FALSE(port().ReadPending()) << "the read was cancelled";
    EXPECT_TRUE(state().Started) << "the last close does not clear Started";
    // The wait was cancelled, the settings restored, and only the close went
    // down: no cleanup.
    auto waits = PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK);
    ASSERT_FALSE(waits.empty());
    EXPECT_EQ(waits.back()->status, STATUS_CANCELLED);
    EXPECT_FALSE(state().MouseLost);
    EXPECT_TRUE(PortRequests(IRP_MJ_CLEANUP).empty());
    const auto& last = port().Requests().back();
    EXPECT_EQ(last.majorFunction, IRP_MJ_CLOSE);
    const auto& restore = port().Requests()[port().Requests().size() - 2];
    EXPECT_EQ(restore.ioControlCode, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS);
    EXPECT_TRUE(restore.internal);
}

TEST_F(OpenCloseTest, ACreateWithAFileNameIsRefusedWithoutTheRemoveLock) {
    ASSERT_EQ(mouseClass().Connect(), STATUS_SUCCESS);
    WCHAR name[] = L"\\below";
    FILE_OBJECT file{};
    file.FileName.Buffer = name;
    file.FileName.Length = sizeof(name) - sizeof(WCHAR);
    file.FileName.MaximumLength = sizeof(name);
    // Even while removal has the lock, the name is what refuses it.
    BeginRemovalWhileHeld();
    EXPECT_EQ(CreateWithFile(&file), STATUS_ACCESS_DENIED);
    EXPECT_EQ(state().OpenCount, 0);
    EXPECT_TRUE(port().Requests().empty());
}

TEST_F(OpenCloseTest, ACreateBeforeTheClassDriverConnectedFails) {
    EXPECT_EQ(mouseClass().Open(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(state().OpenCount, 0);
    EXPECT_TRUE(port().Requests().empty());
}

TEST_F(OpenCloseTest, APortThatRefusesTheCreateLeavesTheCountAtZero) {
    port().FailRequests(IRP_MJ_CREATE, 0, STATUS_ACCESS_DENIED);
    EXPECT_EQ(ConnectAndOpen(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(state().OpenCount, 0);
    ASSERT_EQ(port().Requests().size(), 1u) << "nothing else is sent down";
    EXPECT_EQ(port().Requests().front().majorFunction, IRP_MJ_CREATE);
}

// ---- a first open with no mouse

class NoMouseTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        Build("none");
    }
};

TEST_F(NoMouseTest, FailsLogsOnceAndClosesThePortInOrder) {
    ASSERT_EQ(mouseClass().Connect(), STATUS_SUCCESS);
    sim::Ticks start = kernel().Now();
    EXPECT_EQ(mouseClass().Open(), STATUS_UNSUCCESSFUL);
    double openMs = static_cast<double>(kernel().Now() - start) / sim::kTicksPerMillisecond;
    RecordProperty("failed_open_ms", std::to_string(openMs));
    std::printf("first open with no mouse: %.1f ms virtual\n", openMs);
    EXPECT_EQ(state().OpenCount, 0);
    EXPECT_FALSE(state().Started);
    EXPECT_FALSE(state().MonitorActive);

    const auto& log = kernel().errorLog().Entries();
    ASSERT_EQ(log.size(), 1u);
    ASSERT_EQ(log[0].packet.size(), 48u);
    const IO_ERROR_LOG_PACKET& packet = log[0].Packet();
    EXPECT_EQ(static_cast<ULONG>(packet.ErrorCode), 0xC0000001u);
    EXPECT_EQ(static_cast<ULONG>(packet.FinalStatus), 0xC0000001u);
    EXPECT_EQ(packet.MajorFunctionCode, 0);
    EXPECT_EQ(packet.RetryCount, 0);
    EXPECT_EQ(packet.DumpDataSize, 0);
    EXPECT_EQ(packet.SequenceNumber, 0u);
    EXPECT_EQ(packet.IoControlCode, 0u);
    EXPECT_EQ(packet.NumberOfStrings, 0);
    EXPECT_EQ(log[0].driverName, L"\\Driver\\serwheel");
    // The code is an NTSTATUS, not one of the table's messages.
    EXPECT_EQ(kernel().errorLog().Describe(log[0]),
              "The description for Event ID ( 1 ) in Source ( serwheel ) cannot be found.");

    // The port: the create first, and at the end its settings restored,
    // cleanup, close.
    const auto& r = port().Requests();
    ASSERT_GE(r.size(), 4u);
    EXPECT_EQ(r.front().majorFunction, IRP_MJ_CREATE);
    EXPECT_EQ(r[r.size() - 3].majorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(r[r.size() - 3].ioControlCode, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS);
    EXPECT_EQ(r[r.size() - 2].majorFunction, IRP_MJ_CLEANUP);
    EXPECT_EQ(r.back().majorFunction, IRP_MJ_CLOSE);
    EXPECT_TRUE(PortRequests(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK).empty()) << "no monitor";
}

TEST_F(NoMouseTest, WithoutAnErrorLogPacketTheOpenStillFails) {
    kernel().FailNth(sim::FaultSite::ErrorLogEntry, 1);
    EXPECT_EQ(ConnectAndOpen(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(kernel().errorLog().Entries().empty());
    EXPECT_EQ(state().OpenCount, 0);
}

TEST_F(NoMouseTest, AMouseArrivingLaterOpensOnTheNextTry) {
    EXPECT_EQ(ConnectAndOpen(), STATUS_UNSUCCESSFUL);
    auto mouse = sim::SerialMouse::Create("two-button", port());
    EXPECT_EQ(mouseClass().Open(), STATUS_SUCCESS);
    EXPECT_EQ(state().OpenCount, 1);
    EXPECT_EQ(mouseClass().Close(), STATUS_SUCCESS);
    kernel().Settle();
}

}  // namespace
