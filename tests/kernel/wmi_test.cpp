// WMI on the simulated kernel: the registration rules, and the WMI library
// routing the service's requests to a provider's callbacks and wrapping the
// answers in WNODEs, as seen by a provider and by the service.
#include "sim/wmi.h"

#include <cstring>

#include "tests/support/lambda_device.h"
#include "tests/support/sim_test.h"

namespace {

const GUID kBlockGuid = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kOtherGuid = {0x99999999, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};

// A provider on top of a one-device stack: its dispatch routine hands every
// system-control request to WmiSystemControl and acts on the disposition;
// its callbacks record what the library passed them.
class WmiLibraryTest : public LambdaStackTest {
  protected:
    void SetUp() override {
        LambdaStackTest::SetUp();
        guids_[0] = {&kBlockGuid, 2, 0};
        context_ = {};
        context_.GuidCount = 1;
        context_.GuidList = guids_;
        context_.QueryWmiRegInfo = QueryRegInfo;
        context_.QueryWmiDataBlock = QueryDataBlock;
        lower = std::make_unique<LambdaDevice>([this](PDEVICE_OBJECT, PIRP irp) {
            passedDown++;
            return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
        });
        upper = std::make_unique<LambdaDevice>(
            [this](PDEVICE_OBJECT device, PIRP irp) {
                current = this;
                SYSCTL_IRP_DISPOSITION disposition;
                NTSTATUS status = WmiSystemControl(&context_, device, irp, &disposition);
                dispositions.push_back(disposition);
                if (disposition == IrpProcessed) return status;
                if (disposition == IrpNotCompleted) {
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                    return status;
                }
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(upper->lower(), irp);
            },
            lower.get());
        ASSERT_EQ(IoWMIRegistrationControl(upper->device(), WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    }
    void EndObjects() override {
        if (upper && sim::WmiRegistered(upper->device())) {
            IoWMIRegistrationControl(upper->device(), WMIREG_ACTION_DEREGISTER);
        }
        LambdaStackTest::EndObjects();
    }

    static NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT device, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* path,
                                       PUNICODE_STRING, PDEVICE_OBJECT* pdo) {
        static UNICODE_STRING registryPath = {2 * sizeof(WCHAR), 2 * sizeof(WCHAR), const_cast<PWSTR>(L"Sv")};
        *flags = WMIREG_FLAG_INSTANCE_PDO;
        *path = &registryPath;
        *pdo = current->lower->device();
        return STATUS_SUCCESS;
    }
    // Answers with `blockSize` bytes of 0x5A per instance.
    static NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                         ULONG instanceCount, PULONG lengths, ULONG bufferAvail, PUCHAR buffer) {
        current->queries.push_back({guidIndex, instanceIndex, instanceCount, bufferAvail});
        ULONG needed = current->blockSize * instanceCount;
        if (bufferAvail < needed)
            return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, needed, IO_NO_INCREMENT);
        for (ULONG i = 0; i < instanceCount; i++) {
            // Each instance on an eight-byte boundary, as the library lays
            // them out.
            std::memset(buffer + i * ((current->blockSize + 7) & ~7u), 0x5A, current->blockSize);
            lengths[i] = current->blockSize;
        }
        ULONG used =
            instanceCount == 0 ? 0 : (instanceCount - 1) * ((current->blockSize + 7) & ~7u) + current->blockSize;
        return WmiCompleteRequest(device, irp, STATUS_SUCCESS, used, IO_NO_INCREMENT);
    }
    static NTSTATUS NTAPI FunctionControl(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex,
                                          WMIENABLEDISABLECONTROL function, BOOLEAN enable) {
        current->controls.push_back({function, enable});
        return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }

    struct Query {
        ULONG guidIndex, instanceIndex, instanceCount, bufferAvail;
    };
    static inline WmiLibraryTest* current = nullptr;
    WMIGUIDREGINFO guids_[1];
    WMILIB_CONTEXT context_;
    ULONG blockSize = 12;
    int passedDown = 0;
    std::vector<SYSCTL_IRP_DISPOSITION> dispositions;
    std::vector<Query> queries;
    std::vector<std::pair<WMIENABLEDISABLECONTROL, BOOLEAN>> controls;
};

TEST_F(WmiLibraryTest, RegistrationInformationDescribesEveryBlock) {
    sim::WmiRegistration reg = sim::QueryWmiRegistration(upper->device());
    ASSERT_EQ(reg.status, STATUS_SUCCESS);
    EXPECT_EQ(reg.registryPath, L"Sv");
    ASSERT_EQ(reg.blocks.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(reg.blocks[0].guid, kBlockGuid));
    EXPECT_EQ(reg.blocks[0].flags, ULONG(WMIREG_FLAG_INSTANCE_PDO));
    EXPECT_EQ(reg.blocks[0].instanceCount, 2u);
    EXPECT_EQ(reg.blocks[0].pdo, reinterpret_cast<ULONG_PTR>(lower->device()));
    EXPECT_EQ(dispositions, std::vector<SYSCTL_IRP_DISPOSITION>{IrpNotCompleted});

    // Too little room: the size needed in the first ULONG.
    sim::WmiRegistration small = sim::QueryWmiRegistration(upper->device(), 8);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_GT(small.sizeNeeded, 8u);
    EXPECT_EQ(sim::QueryWmiRegistration(upper->device(), small.sizeNeeded).status, STATUS_SUCCESS);
}

TEST_F(WmiLibraryTest, QueriesReachTheCallbackWithTheRoomBehindTheHeader) {
    sim::WmiBlock one = sim::QueryWmiSingleInstance(upper->device(), kBlockGuid, 12, 1);
    ASSERT_EQ(one.status, STATUS_SUCCESS);
    EXPECT_FALSE(one.tooSmall);
    EXPECT_EQ(one.instanceLength, 12u);
    EXPECT_EQ(one.data, std::vector<UCHAR>(12, 0x5A));

    sim::WmiBlock all = sim::QueryWmiAllData(upper->device(), kBlockGuid, 64);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    EXPECT_EQ(all.instanceLength, 12u);
    EXPECT_EQ(all.data, std::vector<UCHAR>(12, 0x5A));

    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[0].instanceIndex, 1u);
    EXPECT_EQ(queries[0].instanceCount, 1u);
    EXPECT_EQ(queries[0].bufferAvail, 12u);
    EXPECT_EQ(queries[1].instanceIndex, 0u);
    EXPECT_EQ(queries[1].instanceCount, 2u);
    EXPECT_EQ(dispositions, (std::vector<SYSCTL_IRP_DISPOSITION>{IrpProcessed, IrpProcessed}));
}

TEST_F(WmiLibraryTest, ABufferTooSmallComesBackAsTheSizeTheWholeWnodeNeeds) {
    sim::WmiBlock one = sim::QueryWmiSingleInstance(upper->device(), kBlockGuid, 11);
    // The request succeeds and carries a WNODE_TOO_SMALL.
    EXPECT_EQ(one.status, STATUS_SUCCESS);
    EXPECT_TRUE(one.tooSmall);
    EXPECT_EQ(one.sizeNeeded, one.dataOffset + 12);
    EXPECT_EQ(one.dataSpace, std::vector<UCHAR>(11, 0xCC));

    sim::WmiBlock all = sim::QueryWmiAllData(upper->device(), kBlockGuid, 8);
    EXPECT_EQ(all.status, STATUS_SUCCESS);
    EXPECT_TRUE(all.tooSmall);
    // Two instances of 12 bytes behind room for two offsets and lengths.
    size_t dataOffset =
        (offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + 2 * sizeof(OFFSETINSTANCEDATAANDLENGTH) + 7) &
        ~size_t(7);
    EXPECT_EQ(all.sizeNeeded, dataOffset + 24);
}

TEST_F(WmiLibraryTest, RequestsTheLibraryAnswersItselfAreLeftToTheDriverToComplete) {
    struct Case {
        const char* what;
        std::function<NTSTATUS()> send;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"a block it does not know",
         [&] { return sim::QueryWmiSingleInstance(upper->device(), kOtherGuid, 16).status; },
         STATUS_WMI_GUID_NOT_FOUND},
        {"an instance beyond the count",
         [&] { return sim::QueryWmiSingleInstance(upper->device(), kBlockGuid, 16, 2).status; },
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"a change without a set callback",
         [&] {
             return sim::SetWmiSingleInstance(upper->device(), kBlockGuid, {1, 2, 3, 4});
         },
         STATUS_WMI_READ_ONLY},
        {"an item change without a set callback",
         [&] {
             return sim::SetWmiSingleItem(upper->device(), kBlockGuid, 1, {1, 2, 3, 4});
         },
         STATUS_WMI_READ_ONLY},
        {"collection without a function-control callback",
         [&] { return sim::ControlWmiBlock(upper->device(), kBlockGuid, IRP_MN_ENABLE_COLLECTION); }, STATUS_SUCCESS},
        {"events without a function-control callback",
         [&] { return sim::ControlWmiBlock(upper->device(), kBlockGuid, IRP_MN_DISABLE_EVENTS); }, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dispositions.clear();
        EXPECT_EQ(c.send(), c.status);
        EXPECT_EQ(dispositions, std::vector<SYSCTL_IRP_DISPOSITION>{IrpNotCompleted});
    }
    EXPECT_TRUE(queries.empty());
    EXPECT_EQ(passedDown, 0);
}

TEST_F(WmiLibraryTest, EnableAndDisableReachTheFunctionControlCallback) {
    context_.WmiFunctionControl = FunctionControl;
    for (UCHAR minor :
         {IRP_MN_ENABLE_EVENTS, IRP_MN_DISABLE_EVENTS, IRP_MN_ENABLE_COLLECTION, IRP_MN_DISABLE_COLLECTION}) {
        EXPECT_EQ(sim::ControlWmiBlock(upper->device(), kBlockGuid, minor), STATUS_SUCCESS);
    }
    using C = std::pair<WMIENABLEDISABLECONTROL, BOOLEAN>;
    EXPECT_EQ(controls, (std::vector<C>{C{WmiEventControl, TRUE}, C{WmiEventControl, FALSE},
                                        C{WmiDataBlockControl, TRUE}, C{WmiDataBlockControl, FALSE}}));
}

TEST_F(WmiLibraryTest, RequestsForAnotherProviderOrNotWmiAreForwardedUntouched) {
    GUID path = kBlockGuid;
    sim::WmiReply forward =
        sim::SendWmiRequest(upper->device(), IRP_MN_QUERY_ALL_DATA, &path, std::vector<UCHAR>(128, 0),
                            reinterpret_cast<ULONG_PTR>(lower->device()));
    EXPECT_EQ(forward.status, STATUS_NOT_SUPPORTED);
    sim::WmiReply notWmi =
        sim::SendWmiRequest(upper->device(), IRP_MN_EXECUTE_METHOD + 1, &path, std::vector<UCHAR>(128, 0));
    EXPECT_EQ(notWmi.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(dispositions, (std::vector<SYSCTL_IRP_DISPOSITION>{IrpForward, IrpNotWmi}));
    EXPECT_EQ(passedDown, 2);
    EXPECT_TRUE(queries.empty());
}

// ---- the registration rules

TEST_F(WmiLibraryTest, RegisteringTwiceIsReported) {
    ExpectBugCheck(sim::rule::kWmiRegisteredTwice,
                   [&] { IoWMIRegistrationControl(upper->device(), WMIREG_ACTION_REGISTER); });
}

TEST_F(WmiLibraryTest, DeregisteringTwiceIsReported) {
    EXPECT_EQ(IoWMIRegistrationControl(upper->device(), WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    EXPECT_FALSE(sim::WmiRegistered(upper->device()));
    // The service no longer asks a deregistered provider.
    EXPECT_EQ(sim::QueryWmiSingleInstance(upper->device(), kBlockGuid, 12).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_TRUE(dispositions.empty());
    ExpectBugCheck(sim::rule::kWmiNotRegistered,
                   [&] { IoWMIRegistrationControl(upper->device(), WMIREG_ACTION_DEREGISTER); });
}

TEST_F(WmiLibraryTest, DeletingARegisteredDeviceIsReported) {
    ExpectBugCheck(sim::rule::kWmiRegisteredAtDeletion, [&] { IoDeleteDevice(upper->device()); });
}

}  // namespace
