// The class driver's internal requests and flush: attributes with the
// buffer-size rule, the one connection for the life of the device, the
// requests that change nothing, and the remove lock's refusal.
#include "tests/device_frame/frame_fixture.h"

namespace {

class InternalRequestTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        Build();
    }
};

struct AttributesCase {
    ULONG outputLength;
    NTSTATUS status;
    ULONG_PTR information;
};

class AttributesTest : public InternalRequestTest, public ::testing::WithParamInterface<AttributesCase> {};

TEST_P(AttributesTest, CopiesAllTwelveBytesOrNothing) {
    const AttributesCase& c = GetParam();
    state().Attributes.MouseIdentifier = WHEELMOUSE_SERIAL_HARDWARE;
    state().Attributes.NumberOfButtons = 3;
    state().Attributes.SampleRate = 40;
    MOUSE_ATTRIBUTES reply;
    std::memset(&reply, 0xAB, sizeof(reply));
    ULONG_PTR information = 99;
    EXPECT_EQ(mouseClass().QueryAttributes(&reply, c.outputLength, &information), c.status);
    EXPECT_EQ(information, c.information);
    if (c.status == STATUS_SUCCESS) {
        EXPECT_EQ(reply.MouseIdentifier, WHEELMOUSE_SERIAL_HARDWARE);
        EXPECT_EQ(reply.NumberOfButtons, 3);
        EXPECT_EQ(reply.SampleRate, 40);
        EXPECT_EQ(reply.InputDataQueueLength, 0u);
    } else {
        EXPECT_EQ(reply.MouseIdentifier, 0xABAB) << "a short buffer gets nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, AttributesTest,
                         ::testing::Values(AttributesCase{sizeof(MOUSE_ATTRIBUTES) - 1, STATUS_BUFFER_TOO_SMALL, 0},
                                           AttributesCase{sizeof(MOUSE_ATTRIBUTES), STATUS_SUCCESS, 12},
                                           AttributesCase{sizeof(MOUSE_ATTRIBUTES) + 4, STATUS_SUCCESS, 12}));

TEST_F(InternalRequestTest, AttributesBeforeAnyStartAreZero) {
    MOUSE_ATTRIBUTES reply;
    std::memset(&reply, 0xAB, sizeof(reply));
    ASSERT_EQ(mouseClass().QueryAttributes(&reply), STATUS_SUCCESS);
    EXPECT_EQ(reply.MouseIdentifier, 0);
    EXPECT_EQ(reply.NumberOfButtons, 0);
    EXPECT_EQ(reply.SampleRate, 0);
    EXPECT_EQ(reply.InputDataQueueLength, 0u);
}

TEST_F(InternalRequestTest, OneConnectionForTheLifeOfTheDevice) {
    CONNECT_DATA expected = mouseClass().Connection();
    // Too short first: refused, and nothing is kept.
    EXPECT_EQ(mouseClass().Connect(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(state().ClassConnection.ClassService, nullptr);
    EXPECT_EQ(state().ClassConnection.ClassDeviceObject, nullptr);
    // Then a proper one.
    EXPECT_EQ(mouseClass().Connect(), STATUS_SUCCESS);
    EXPECT_EQ(state().ClassConnection.ClassDeviceObject, expected.ClassDeviceObject);
    EXPECT_EQ(state().ClassConnection.ClassService, expected.ClassService);
    // A second one, and a short one while connected: the connection test
    // comes first.
    EXPECT_EQ(mouseClass().Connect(), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(mouseClass().Connect(4), STATUS_SHARING_VIOLATION);
    // Disconnecting is not implemented: the connection stays.
    EXPECT_EQ(mouseClass().SendInternal(IOCTL_INTERNAL_MOUSE_DISCONNECT), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(state().ClassConnection.ClassService, expected.ClassService);
}

TEST_F(InternalRequestTest, DisconnectLeavesDeliveryToTheConnectedClassDriver) {
    ASSERT_EQ(ConnectAndOpen(), STATUS_SUCCESS);
    EXPECT_EQ(mouseClass().SendInternal(IOCTL_INTERNAL_MOUSE_DISCONNECT), STATUS_NOT_IMPLEMENTED);
    mouse()->Move(5, 5);
    kernel().RunFor(sim::Milliseconds(200));
    EXPECT_FALSE(mouseClass().Records().empty());
}

struct OtherRequestCase {
    ULONG code;
    NTSTATUS status;
};

class OtherInternalRequestTest : public InternalRequestTest, public ::testing::WithParamInterface<OtherRequestCase> {};

TEST_P(OtherInternalRequestTest, CompletesWithoutEffect) {
    EXPECT_EQ(mouseClass().SendInternal(GetParam().code), GetParam().status);
    EXPECT_EQ(state().ClassConnection.ClassService, nullptr);
    EXPECT_TRUE(port().Requests().empty()) << "no internal request goes to the port";
}

INSTANTIATE_TEST_SUITE_P(
    Codes, OtherInternalRequestTest,
    ::testing::Values(OtherRequestCase{IOCTL_INTERNAL_MOUSE_ENABLE, STATUS_NOT_SUPPORTED},
                      OtherRequestCase{IOCTL_INTERNAL_MOUSE_DISABLE, STATUS_NOT_SUPPORTED},
                      OtherRequestCase{IOCTL_INTERNAL_MOUSE_DISCONNECT, STATUS_NOT_IMPLEMENTED},
                      OtherRequestCase{IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_DEVICE_REQUEST}));

TEST_F(InternalRequestTest, FlushReachesThePortAndItsStatusComesBack) {
    EXPECT_EQ(mouseClass().Flush(), STATUS_SUCCESS);
    ASSERT_EQ(PortRequests(IRP_MJ_FLUSH_BUFFERS).size(), 1u);
    port().FailRequests(IRP_MJ_FLUSH_BUFFERS, 0, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(mouseClass().Flush(), STATUS_IO_DEVICE_ERROR);
}

TEST_F(InternalRequestTest, DuringRemovalEveryRequestGetsTheRemoveLocksRefusal) {
    BeginRemovalWhileHeld();
    MOUSE_ATTRIBUTES reply{};
    EXPECT_EQ(mouseClass().QueryAttributes(&reply), STATUS_DELETE_PENDING);
    EXPECT_EQ(mouseClass().Connect(), STATUS_DELETE_PENDING);
    EXPECT_EQ(mouseClass().Flush(), STATUS_DELETE_PENDING);
    EXPECT_EQ(mouseClass().Open(), STATUS_DELETE_PENDING);
    EXPECT_EQ(mouseClass().Close(), STATUS_DELETE_PENDING);
    EXPECT_EQ(state().ClassConnection.ClassService, nullptr);
    EXPECT_EQ(state().OpenCount, 0);
    EXPECT_TRUE(port().Requests().empty());
}

}  // namespace
