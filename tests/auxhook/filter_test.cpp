// The filter device's request handling: driver entry, AddDevice, the
// connection and hook requests it intercepts, create and close, Plug and Play
// start and removal, and power, against a stand-in for the port driver below.
#include <memory>
#include <vector>

#include "auxhook/auxhook.h"
#include "sim/devices/mouse_class.h"
#include "sim/pnp.h"
#include "tests/support/lambda_device.h"
#include "tests/support/sim_test.h"

namespace {

// What the device below saw of one request.
struct Seen {
    UCHAR major;
    UCHAR minor;
    ULONG code;
    NTSTATUS statusOnArrival;
    ULONG_PTR informationOnArrival;
};

class FilterTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        port = std::make_unique<LambdaDevice>([this](PDEVICE_OBJECT, PIRP irp) { return Below(irp); });
        driver = kernel().LoadDriver(L"\\Driver\\auxhook", DriverEntry,
                                     L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\auxhook");
        ASSERT_NE(driver, nullptr);
    }

    void EndObjects() override {
        if (port->device()->AttachedDevice != nullptr) sim::RemoveDevice(port->device());
        kernel().UnloadDriver(driver);
        port.reset();
    }

    void AddFilter() {
        ASSERT_EQ(sim::AddDevice(driver, port->device()), STATUS_SUCCESS);
        filterDevice = port->device()->AttachedDevice;
        ASSERT_NE(filterDevice, nullptr);
    }
    FilterState& filter() { return *static_cast<FilterState*>(filterDevice->DeviceExtension); }

    // The port driver's side: records the request and completes it with
    // `belowStatus`, or leaves it pending for a later completion.
    NTSTATUS Below(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        seen.push_back({stack->MajorFunction, stack->MinorFunction, stack->Parameters.DeviceIoControl.IoControlCode,
                        irp->IoStatus.Status, irp->IoStatus.Information});
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            PVOID buffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
            if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_MOUSE_CONNECT) {
                connectBelow = *static_cast<PCONNECT_DATA>(buffer);
            } else if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_I8042_HOOK_MOUSE) {
                hookBelow = *static_cast<PINTERNAL_I8042_HOOK_MOUSE>(buffer);
            }
        }
        if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction > IRP_MN_SURPRISE_REMOVAL) {
            // A bus driver leaves a minor code it does not know as it came.
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        if (pendBelow) {
            IoMarkIrpPending(irp);
            kernel().ScheduleAfter(sim::Milliseconds(5), [irp, status = belowStatus] { CompleteIrp(irp, status); });
            return STATUS_PENDING;
        }
        return CompleteIrp(irp, belowStatus, 0x1234);
    }

    // Sends an internal control request to the filter and waits for it.
    NTSTATUS Internal(ULONG code, PVOID buffer, ULONG length, ULONG_PTR* information = nullptr) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, filterDevice, buffer, length, nullptr, 0, TRUE, &event, &iosb);
        // The returned status is the request's; only a pended one is read
        // from the status block once it completes.
        NTSTATUS status = IoCallDriver(filterDevice, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        if (information != nullptr) *information = iosb.Information;
        return status;
    }

    NTSTATUS CreateOrClose(UCHAR major) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(major, filterDevice, nullptr, 0, nullptr, &event, &iosb);
        NTSTATUS status = IoCallDriver(filterDevice, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }

    CONNECT_DATA ClassConnection() {
        CONNECT_DATA data;
        data.ClassDeviceObject = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
        data.ClassService = reinterpret_cast<PVOID>(0x2000);
        return data;
    }

    static BOOLEAN NTAPI UpperHook(PVOID, PMOUSE_INPUT_DATA, POUTPUT_PACKET, UCHAR, PUCHAR, PBOOLEAN, PMOUSE_STATE,
                                   PMOUSE_RESET_SUBSTATE) {
        return TRUE;
    }
    static VOID NTAPI PortWrite(PVOID, UCHAR) {}
    static VOID NTAPI PortQueue(PVOID) {}

    INTERNAL_I8042_HOOK_MOUSE PortHookRequest(PI8042_MOUSE_ISR upper, PVOID upperContext) {
        INTERNAL_I8042_HOOK_MOUSE hook{};
        hook.Context = upperContext;
        hook.IsrRoutine = upper;
        hook.IsrWritePort = PortWrite;
        hook.QueueMousePacket = PortQueue;
        hook.CallContext = reinterpret_cast<PVOID>(0x3000);
        return hook;
    }

    std::unique_ptr<LambdaDevice> port;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT filterDevice = nullptr;
    std::vector<Seen> seen;
    NTSTATUS belowStatus = STATUS_SUCCESS;
    bool pendBelow = false;
    CONNECT_DATA connectBelow{};
    INTERNAL_I8042_HOOK_MOUSE hookBelow{};
};

TEST_F(FilterTest, DriverEntryRoutesEveryRequest) {
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        PDRIVER_DISPATCH expected = FilterPassThrough;
        if (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE) expected = FilterCreateClose;
        if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL) expected = FilterInternalIoctl;
        if (major == IRP_MJ_POWER) expected = FilterPower;
        if (major == IRP_MJ_PNP) expected = FilterPnp;
        EXPECT_EQ(driver->MajorFunction[major], expected) << "major function " << major;
    }
    EXPECT_EQ(driver->DriverUnload, FilterUnload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, FilterAddDevice);
}

TEST_F(FilterTest, AddDeviceAttachesAnInitialisedFilter) {
    AddFilter();
    EXPECT_EQ(filterDevice->DeviceType, ULONG(FILE_DEVICE_MOUSE));
    EXPECT_EQ(filterDevice->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(filter().Self, filterDevice);
    EXPECT_EQ(filter().PhysicalDevice, port->device());
    EXPECT_EQ(filter().LowerDevice, port->device());
    EXPECT_EQ(filter().PowerState, PowerDeviceD0);
    EXPECT_FALSE(filter().Started);
    EXPECT_EQ(filter().DeviceId, 0);
    EXPECT_EQ(filter().UpperIsrRoutine, nullptr);
}

TEST_F(FilterTest, AddDeviceFailuresLeaveNoDevice) {
    kernel().FailNth(sim::FaultSite::Pool, 1);
    EXPECT_EQ(sim::AddDevice(driver, port->device()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver->DeviceObject, nullptr);

    kernel().FailNth(sim::FaultSite::Attach, 1);
    EXPECT_EQ(sim::AddDevice(driver, port->device()), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(port->device()->AttachedDevice, nullptr);
}

TEST_F(FilterTest, ConnectPutsTheFilterBetweenPortAndClass) {
    AddFilter();
    CONNECT_DATA tooShort = ClassConnection();
    EXPECT_EQ(Internal(IOCTL_INTERNAL_MOUSE_CONNECT, &tooShort, sizeof(CONNECT_DATA) - 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(tooShort.ClassService, ClassConnection().ClassService);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_MOUSE_CONNECT, nullptr, sizeof(CONNECT_DATA)), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(seen.empty()) << "a failed connection went down";

    CONNECT_DATA data = ClassConnection();
    EXPECT_EQ(Internal(IOCTL_INTERNAL_MOUSE_CONNECT, &data, sizeof(CONNECT_DATA)), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].informationOnArrival, 0u);
    EXPECT_EQ(connectBelow.ClassDeviceObject, filterDevice);
    EXPECT_EQ(connectBelow.ClassService, reinterpret_cast<PVOID>(FilterServiceCallback));
    EXPECT_EQ(filter().ClassConnection.ClassDeviceObject, ClassConnection().ClassDeviceObject);
    EXPECT_EQ(filter().ClassConnection.ClassService, ClassConnection().ClassService);

    for (ULONG length : {ULONG(0), ULONG(sizeof(CONNECT_DATA))}) {
        CONNECT_DATA again = ClassConnection();
        EXPECT_EQ(Internal(IOCTL_INTERNAL_MOUSE_CONNECT, &again, length), STATUS_SHARING_VIOLATION);
        EXPECT_EQ(again.ClassService, ClassConnection().ClassService);
    }
    EXPECT_EQ(Internal(IOCTL_INTERNAL_MOUSE_DISCONNECT, nullptr, 0), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(FilterTest, HookRequestInstallsTheHookAndChainsTheUpperOne) {
    AddFilter();
    INTERNAL_I8042_HOOK_MOUSE shortHook = PortHookRequest(UpperHook, this);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_I8042_HOOK_MOUSE, &shortHook, sizeof(shortHook) - 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(shortHook.IsrRoutine, UpperHook);
    EXPECT_EQ(filter().IsrWritePort, nullptr);
    EXPECT_TRUE(seen.empty());

    INTERNAL_I8042_HOOK_MOUSE plain = PortHookRequest(nullptr, nullptr);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_I8042_HOOK_MOUSE, &plain, sizeof(plain)), STATUS_SUCCESS);
    EXPECT_EQ(hookBelow.IsrRoutine, FilterIsrHook);
    EXPECT_EQ(hookBelow.Context, filterDevice);
    EXPECT_EQ(filter().UpperIsrRoutine, nullptr);
    EXPECT_EQ(filter().IsrWritePort, PortWrite);
    EXPECT_EQ(filter().QueueMousePacket, PortQueue);
    EXPECT_EQ(filter().CallContext, reinterpret_cast<PVOID>(0x3000));

    INTERNAL_I8042_HOOK_MOUSE chained = PortHookRequest(UpperHook, this);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_I8042_HOOK_MOUSE, &chained, sizeof(chained)), STATUS_SUCCESS);
    EXPECT_EQ(filter().UpperIsrRoutine, UpperHook);
    EXPECT_EQ(filter().UpperIsrContext, this);
    EXPECT_EQ(hookBelow.IsrRoutine, FilterIsrHook);

    // A later request without a routine keeps the one recorded.
    INTERNAL_I8042_HOOK_MOUSE later = PortHookRequest(nullptr, nullptr);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_I8042_HOOK_MOUSE, &later, sizeof(later)), STATUS_SUCCESS);
    EXPECT_EQ(filter().UpperIsrRoutine, UpperHook);
}

TEST_F(FilterTest, OtherInternalRequestsGoDownWithInformationCleared) {
    AddFilter();
    belowStatus = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR information = 99;
    EXPECT_EQ(Internal(IOCTL_INTERNAL_MOUSE_ENABLE, nullptr, 0, &information), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, ULONG(IOCTL_INTERNAL_MOUSE_ENABLE));
    EXPECT_EQ(seen[0].informationOnArrival, 0u);
}

TEST_F(FilterTest, CreateBeforeConnectCarriesAnErrorDownAndIsNotCounted) {
    AddFilter();
    CreateOrClose(IRP_MJ_CREATE);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].statusOnArrival, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(filter().OpenCount, 0);

    CONNECT_DATA data = ClassConnection();
    Internal(IOCTL_INTERNAL_MOUSE_CONNECT, &data, sizeof(data));
    EXPECT_EQ(CreateOrClose(IRP_MJ_CREATE), STATUS_SUCCESS);
    EXPECT_EQ(CreateOrClose(IRP_MJ_CREATE), STATUS_SUCCESS);
    EXPECT_EQ(filter().OpenCount, 2);
    EXPECT_EQ(CreateOrClose(IRP_MJ_CLOSE), STATUS_SUCCESS);
    EXPECT_EQ(filter().OpenCount, 1);
    EXPECT_EQ(seen.back().major, IRP_MJ_CLOSE);
}

TEST_F(FilterTest, StartWaitsForTheDevicesBelow) {
    struct Case {
        bool pend;
        NTSTATUS below;
    };
    for (Case c : {Case{false, STATUS_SUCCESS}, Case{true, STATUS_SUCCESS}, Case{false, STATUS_UNSUCCESSFUL},
                   Case{true, STATUS_INSUFFICIENT_RESOURCES}}) {
        SCOPED_TRACE(::testing::Message() << "pend " << c.pend << " status " << sim::FormatStatus(c.below));
        AddFilter();
        pendBelow = c.pend;
        belowStatus = c.below;
        sim::Ticks before = kernel().Now();
        ULONG_PTR information = 1;
        EXPECT_EQ(sim::SendPnpRequest(port->device(), IRP_MN_START_DEVICE, &information), c.below);
        EXPECT_EQ(information, 0u);
        EXPECT_TRUE(InMillisecond(kernel().Now() - before, c.pend ? 5 : 0));
        EXPECT_EQ(filter().Started, NT_SUCCESS(c.below));
        pendBelow = false;
        belowStatus = STATUS_SUCCESS;
        EXPECT_EQ(sim::RemoveDevice(port->device()), STATUS_SUCCESS);
    }
}

TEST_F(FilterTest, RemovalGoesDownFirstThenTheFilterLeaves) {
    AddFilter();
    EXPECT_EQ(sim::SurpriseRemoveDevice(port->device()), STATUS_SUCCESS);
    EXPECT_TRUE(filter().SurpriseRemoved);
    belowStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(sim::RemoveDevice(port->device()), STATUS_UNSUCCESSFUL) << "the request's own status";
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(port->device()->AttachedDevice, nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(FilterTest, RemovalReturnsWhatTheDeviceBelowReturned) {
    AddFilter();
    belowStatus = STATUS_UNSUCCESSFUL;
    PIRP irp = IoAllocateIrp(filterDevice->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_REMOVE_DEVICE;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
        TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(filterDevice, irp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
    IoFreeIrp(irp);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(FilterTest, PlugAndPlayRequestsItDoesNotHandleGoDownUntouched) {
    AddFilter();
    ULONG_PTR information = 7;
    EXPECT_EQ(sim::SendPnpRequest(port->device(), 0xFF, &information), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(information, 0u);
}

TEST_F(FilterTest, PowerRecordsDeviceStatesAndPassesEveryRequestOn) {
    AddFilter();
    EXPECT_EQ(sim::SetDevicePower(port->device(), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(filter().PowerState, PowerDeviceD3);
    EXPECT_EQ(sim::SetSystemPower(port->device(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(filter().PowerState, PowerDeviceD3);
    POWER_STATE query;
    query.DeviceState = PowerDeviceD0;
    EXPECT_EQ(sim::SendPowerRequest(port->device(), IRP_MN_QUERY_POWER, DevicePowerState, query), STATUS_SUCCESS);
    EXPECT_EQ(filter().PowerState, PowerDeviceD3);
    EXPECT_EQ(sim::SetDevicePower(port->device(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(filter().PowerState, PowerDeviceD0);
    EXPECT_EQ(seen.size(), 4u);
}

TEST_F(FilterTest, ServiceCallbackForwardsRecordsUnchanged) {
    AddFilter();
    sim::MouseClassModel mouseClass;
    CONNECT_DATA data = mouseClass.Connection();
    Internal(IOCTL_INTERNAL_MOUSE_CONNECT, &data, sizeof(data));
    MOUSE_INPUT_DATA records[2] = {};
    records[0].LastX = 5;
    records[1].ButtonFlags = MOUSE_BUTTON_4_DOWN;
    ULONG consumed = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    FilterServiceCallback(filterDevice, records, records + 2, &consumed);
    KeLowerIrql(old);
    EXPECT_EQ(consumed, 2u);
    ASSERT_EQ(mouseClass.Records().size(), 2u);
    EXPECT_EQ(mouseClass.Records()[0].data.LastX, 5);
    EXPECT_EQ(mouseClass.Records()[1].data.ButtonFlags, MOUSE_BUTTON_4_DOWN);
}

}  // namespace
