// The serial mouse device's WMI port-information block, queried the way the
// WMI service queries it: through the device's system-control dispatch
// routine and the WMI library.
#include "serial_core/port_info_wmi.h"

#include <cstring>
#include <string>

#include "sim/wmi.h"
#include "tests/support/lambda_device.h"
#include "tests/support/sim_test.h"

namespace {

const GUID kUnknownGuid = {0x4731F89D, 0x71CB, 0x11D1, {0xA5, 0x2C, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};
const wchar_t kServiceKeyPath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\serfive";

// A serial mouse device as creation leaves it for WMI: its dispatch routine,
// its WMI context, registered, on top of a port stand-in that records what
// reaches it. `withExtension` gives the driver the service key path.
class PortInfoWmiTest : public SimTest {
  protected:
    void Build(bool withExtension, sim::KernelOptions options = {}) {
        StartKernel(options);
        port = std::make_unique<LambdaDevice>([this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            passedDown.push_back(stack->MinorFunction);
            return CompleteIrp(irp, kPortStatus);
        });
        driver = kernel().CreateDriverObject(L"\\Driver\\serfive");
        driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
        if (withExtension) {
            PVOID extension = nullptr;
            ASSERT_EQ(
                IoAllocateDriverObjectExtension(driver, reinterpret_cast<PVOID>(1), sizeof(UNICODE_STRING), &extension),
                STATUS_SUCCESS);
            RtlInitUnicodeString(static_cast<PUNICODE_STRING>(extension), kServiceKeyPath);
        }
        ASSERT_EQ(IoCreateDevice(driver, sizeof(DeviceState), nullptr, FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &self),
                  STATUS_SUCCESS);
        state = static_cast<DeviceState*>(self->DeviceExtension);
        state->Self = self;
        state->PhysicalDevice = port->device();
        state->LowerDevice = IoAttachDeviceToDeviceStack(self, port->device());
        FillPortInfoWmiContext(&state->WmiContext);
        self->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoWMIRegistrationControl(self, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    }
    void EndObjects() override {
        if (self != nullptr) {
            IoWMIRegistrationControl(self, WMIREG_ACTION_DEREGISTER);
            IoDetachDevice(state->LowerDevice);
            IoDeleteDevice(self);
            kernel().UnloadDriver(driver);
            self = nullptr;
        }
        port.reset();
    }

    // A second block in the device's list that the callbacks do not serve:
    // the way to hand them a GuidIndex other than 0.
    void AddUnknownBlock() {
        guids[0] = PortInfoGuidList[0];
        guids[1] = {&kUnknownGuid, 1, 0};
        state->WmiContext.GuidList = guids;
        state->WmiContext.GuidCount = 2;
    }

    static constexpr NTSTATUS kPortStatus = STATUS_INVALID_DEVICE_REQUEST;
    std::unique_ptr<LambdaDevice> port;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT self = nullptr;
    DeviceState* state = nullptr;
    WMIGUIDREGINFO guids[2];
    std::vector<UCHAR> passedDown;
};

std::vector<UCHAR> Block(ULONG connector, ULONG queue, ULONG errors, ULONG buttons, ULONG hardware) {
    PortInfoBlock block = {connector, queue, errors, buttons, hardware};
    auto* p = reinterpret_cast<const UCHAR*>(&block);
    return std::vector<UCHAR>(p, p + sizeof(block));
}

struct BlockCase {
    const char* name;
    USHORT identifier;
    USHORT buttons;
    ULONG hardwareType;
};

class PortInfoBlockTest : public PortInfoWmiTest, public ::testing::WithParamInterface<BlockCase> {};

// Serial connector, queue size and error count 0, the button count of the
// moment, and the kind of pointing device the identified mouse is.
TEST_P(PortInfoBlockTest, TheBlockDescribesTheMouseAsIdentified) {
    const BlockCase& c = GetParam();
    Build(true);
    state->Attributes.MouseIdentifier = c.identifier;
    state->Attributes.NumberOfButtons = c.buttons;
    std::vector<UCHAR> expected = Block(PORT_INFO_CONNECTOR_SERIAL, 0, 0, c.buttons, c.hardwareType);

    sim::WmiBlock one = sim::QueryWmiSingleInstance(self, PortInfoGuid, 20);
    ASSERT_EQ(one.status, STATUS_SUCCESS);
    EXPECT_FALSE(one.tooSmall);
    EXPECT_EQ(one.instanceLength, 20u);
    EXPECT_EQ(one.data, expected);

    sim::WmiBlock all = sim::QueryWmiAllData(self, PortInfoGuid, 64);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    EXPECT_EQ(all.instanceLength, 20u);
    EXPECT_EQ(all.data, expected);
    EXPECT_TRUE(passedDown.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Mice, PortInfoBlockTest,
    ::testing::Values(
        // Before the first identification: the registry's button count.
        BlockCase{"NotYetIdentified", 0, 4, PORT_INFO_HARDWARE_STANDARD_MOUSE},
        BlockCase{"ThreeButton", MOUSE_SERIAL_HARDWARE, 3, PORT_INFO_HARDWARE_STANDARD_MOUSE},
        BlockCase{"ExtendedWheel", WHEELMOUSE_SERIAL_HARDWARE, 5, PORT_INFO_HARDWARE_STANDARD_MOUSE},
        BlockCase{"BallPointIsATrackBall", BALLPOINT_SERIAL_HARDWARE, 2, PORT_INFO_HARDWARE_TRACK_BALL}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortInfoWmiTest, NineteenBytesAreTooFewAndNothingIsWritten) {
    Build(true);
    state->Attributes.NumberOfButtons = 3;
    sim::WmiBlock one = sim::QueryWmiSingleInstance(self, PortInfoGuid, 19);
    // The library turns the callback's STATUS_BUFFER_TOO_SMALL into a
    // WNODE_TOO_SMALL asking for room for the 20-byte block.
    EXPECT_EQ(one.status, STATUS_SUCCESS);
    EXPECT_TRUE(one.tooSmall);
    EXPECT_EQ(one.sizeNeeded, one.dataOffset + 20);
    EXPECT_EQ(one.dataSpace, std::vector<UCHAR>(19, 0xCC));

    sim::WmiBlock all = sim::QueryWmiAllData(self, PortInfoGuid, 19);
    EXPECT_TRUE(all.tooSmall);
    EXPECT_EQ(all.sizeNeeded, all.dataOffset + 20);
    EXPECT_EQ(all.dataSpace, std::vector<UCHAR>(19, 0xCC));
}

TEST_F(PortInfoWmiTest, OnlyBlockZeroIsServedAndNoneCanBeChanged) {
    Build(true);
    AddUnknownBlock();
    struct Case {
        const char* what;
        std::function<NTSTATUS()> send;
        NTSTATUS status;
    };
    const std::vector<UCHAR> data(20, 0);
    const Case cases[] = {
        {"query of block 1", [&] { return sim::QueryWmiSingleInstance(self, kUnknownGuid, 20).status; },
         STATUS_WMI_GUID_NOT_FOUND},
        {"set block 0", [&] { return sim::SetWmiSingleInstance(self, PortInfoGuid, data); }, STATUS_WMI_READ_ONLY},
        {"set block 1", [&] { return sim::SetWmiSingleInstance(self, kUnknownGuid, data); }, STATUS_WMI_GUID_NOT_FOUND},
        {"set item of block 0",
         [&] {
             return sim::SetWmiSingleItem(self, PortInfoGuid, 3, {5, 0, 0, 0});
         },
         STATUS_WMI_READ_ONLY},
        {"set item of block 1",
         [&] {
             return sim::SetWmiSingleItem(self, kUnknownGuid, 3, {5, 0, 0, 0});
         },
         STATUS_WMI_GUID_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.send(), c.status);
    }
    EXPECT_EQ(state->Attributes.NumberOfButtons, 0);
    EXPECT_TRUE(passedDown.empty());
}

TEST_F(PortInfoWmiTest, RegistrationNamesThePhysicalDeviceAndTheServiceKey) {
    Build(true);
    sim::WmiRegistration reg = sim::QueryWmiRegistration(self);
    ASSERT_EQ(reg.status, STATUS_SUCCESS);
    ASSERT_EQ(reg.blocks.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(reg.blocks[0].guid, PortInfoGuid));
    EXPECT_EQ(reg.blocks[0].flags, 0x20u);
    EXPECT_EQ(reg.blocks[0].instanceCount, 1u);
    EXPECT_EQ(reg.blocks[0].pdo, reinterpret_cast<ULONG_PTR>(port->device()));
    EXPECT_EQ(reg.registryPath, kServiceKeyPath);
    EXPECT_TRUE(passedDown.empty());
}

TEST_F(PortInfoWmiTest, WithoutTheServiceKeyPathNoRegistryPathIsGiven) {
    Build(false);
    sim::WmiRegistration reg = sim::QueryWmiRegistration(self);
    ASSERT_EQ(reg.status, STATUS_SUCCESS);
    EXPECT_EQ(reg.registryPath, L"");
    ASSERT_EQ(reg.blocks.size(), 1u);
    EXPECT_EQ(reg.blocks[0].pdo, reinterpret_cast<ULONG_PTR>(port->device()));
}

TEST_F(PortInfoWmiTest, RequestsThatAreNotTheDevicesGoDownUnchanged) {
    Build(true);
    GUID path = PortInfoGuid;
    // For the port's own provider, and a minor code WMI does not have.
    sim::WmiReply forward = sim::SendWmiRequest(self, IRP_MN_QUERY_ALL_DATA, &path, std::vector<UCHAR>(128, 0),
                                                reinterpret_cast<ULONG_PTR>(port->device()));
    sim::WmiReply notWmi = sim::SendWmiRequest(self, 0x0B, &path, std::vector<UCHAR>(128, 0));
    EXPECT_EQ(forward.status, kPortStatus);
    EXPECT_EQ(notWmi.status, kPortStatus);
    EXPECT_EQ(passedDown, (std::vector<UCHAR>{IRP_MN_QUERY_ALL_DATA, 0x0B}));
}

TEST_F(PortInfoWmiTest, EnableAndDisableSucceedWithNothingToSwitch) {
    Build(true);
    for (UCHAR minor :
         {IRP_MN_ENABLE_COLLECTION, IRP_MN_DISABLE_COLLECTION, IRP_MN_ENABLE_EVENTS, IRP_MN_DISABLE_EVENTS}) {
        EXPECT_EQ(sim::ControlWmiBlock(self, PortInfoGuid, minor), STATUS_SUCCESS);
    }
    EXPECT_TRUE(passedDown.empty());
}

class PortInfoPreemptionTest : public PortInfoWmiTest, public ::testing::WithParamInterface<uint64_t> {};

// Queries from several threads at once while the button count changes under
// them: each sees one count or the other, whole.
TEST_P(PortInfoPreemptionTest, ConcurrentQueriesEachSeeAWholeBlock) {
    sim::KernelOptions options;
    options.seed = GetParam();
    options.preemption = 0.5;
    Build(true, options);
    state->Attributes.NumberOfButtons = 2;
    std::vector<sim::WmiBlock> results(3);
    for (int i = 0; i < 3; ++i) {
        kernel().CreateThread("wmi client " + std::to_string(i), [this, i, &results] {
            results[i] = sim::QueryWmiSingleInstance(self, PortInfoGuid, 20);
        });
    }
    kernel().CreateThread("identification", [this] { state->Attributes.NumberOfButtons = 5; });
    kernel().RunFor(sim::Milliseconds(100));
    for (const sim::WmiBlock& r : results) {
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        PortInfoBlock block;
        ASSERT_EQ(r.data.size(), sizeof(block));
        std::memcpy(&block, r.data.data(), sizeof(block));
        EXPECT_TRUE(block.Buttons == 2 || block.Buttons == 5) << block.Buttons;
        EXPECT_EQ(block.ConnectorType, ULONG(PORT_INFO_CONNECTOR_SERIAL));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PortInfoPreemptionTest, ::testing::Values(1u, 2u, 3u, 5u, 8u, 13u));

}  // namespace
