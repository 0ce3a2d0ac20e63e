// The simulated registry as Windows 2000 behaves: RtlQueryRegistryValues
// with RTL_QUERY_REGISTRY_DIRECT writes by the value's type, whatever the
// target is; optional keys, defaults, handles and the device's hardware key.
#include "tests/support/sim_test.h"

#include "sim/registry.h"

namespace {

const wchar_t kKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\test\\Parameters";

class RegistryTest : public SimTest {
  protected:
    sim::Registry& registry() { return kernel().registry(); }

    // One DIRECT entry for `name` into `target`, with an optional default.
    NTSTATUS QueryDirect(const wchar_t* name, PVOID target, ULONG relativeTo = RTL_REGISTRY_ABSOLUTE,
                         PVOID defaultData = nullptr, ULONG defaultType = REG_NONE) {
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[0].Name = const_cast<PWSTR>(name);
        table[0].EntryContext = target;
        table[0].DefaultType = defaultType;
        table[0].DefaultData = defaultData;
        table[0].DefaultLength = defaultData != nullptr ? sizeof(ULONG) : 0;
        return RtlQueryRegistryValues(relativeTo, kKey, table, nullptr, nullptr);
    }
};

TEST_F(RegistryTest, DirectDwordFillsTheUlong) {
    registry().SetDword(kKey, L"Value", 0x12345678);
    ULONG target = 0;
    EXPECT_EQ(QueryDirect(L"Value", &target), STATUS_SUCCESS);
    EXPECT_EQ(target, 0x12345678u);
}

TEST_F(RegistryTest, PathsAndNamesAreCaseInsensitive) {
    registry().SetDword(kKey, L"SampleRate", 60);
    ULONG target = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"samplerate"), &target, REG_NONE, nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE,
                                     L"\\REGISTRY\\machine\\SYSTEM\\CurrentControlSet\\Services\\TEST\\parameters",
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(target, 60u);
}

TEST_F(RegistryTest, DirectStringAllocatesTheUnicodeStringsBuffer) {
    registry().SetString(kKey, L"Name", L"abc");
    UNICODE_STRING target{0, 0, nullptr};
    ASSERT_EQ(QueryDirect(L"Name", &target), STATUS_SUCCESS);
    ASSERT_NE(target.Buffer, nullptr);
    EXPECT_EQ(target.Length, 3 * sizeof(WCHAR));
    EXPECT_EQ(target.MaximumLength, 4 * sizeof(WCHAR));
    EXPECT_EQ(std::wstring(target.Buffer), L"abc");
    ExFreePool(target.Buffer);
}

TEST_F(RegistryTest, DirectStringIntoATooSmallBufferFails) {
    registry().SetString(kKey, L"Name", L"abcdef");
    WCHAR buffer[3];
    UNICODE_STRING target{0, sizeof(buffer), buffer};
    EXPECT_EQ(QueryDirect(L"Name", &target), STATUS_BUFFER_TOO_SMALL);
}

// A 32-bit variable with what lies behind it in memory, as on a stack.
struct Frame {
    ULONG target;
    ULONG padding;
    PVOID behind;
};
static_assert(offsetof(Frame, behind) == offsetof(UNICODE_STRING, Buffer), "the frame lines up with a string");

TEST_F(RegistryTest, DirectStringOverAUlongWritesAUnicodeStringPastIt) {
    // A REG_SZ typed by hand where a driver expects a REG_DWORD: the target
    // is taken for a UNICODE_STRING; its buffer pointer lies past the 32 bits.
    registry().SetString(kKey, L"SampleRate", L"100");
    Frame frame{40, 0, nullptr};
    ASSERT_EQ(QueryDirect(L"SampleRate", &frame.target), STATUS_SUCCESS);
    EXPECT_NE(frame.behind, nullptr) << "memory behind the variable was overwritten";
    EXPECT_EQ(frame.target, (4u * sizeof(WCHAR)) << 16 | 3u * sizeof(WCHAR)) << "Length and MaximumLength";
    ExFreePool(frame.behind);
}

struct BinaryCase {
    const char* name;
    std::vector<UCHAR> value;
    LONG firstLong;  // what the target holds before the query
    NTSTATUS status;
    std::vector<UCHAR> after;  // the target's first bytes after the query
};

class DirectBinaryTest : public RegistryTest, public ::testing::WithParamInterface<BinaryCase> {};

TEST_P(DirectBinaryTest, FollowsTheValuesLengthAndTheTargetsFirstLong) {
    const BinaryCase& c = GetParam();
    registry().SetBinary(kKey, L"Blob", c.value);
    UCHAR target[32];
    std::memset(target, 0xEE, sizeof(target));
    std::memcpy(target, &c.firstLong, sizeof(LONG));
    EXPECT_EQ(QueryDirect(L"Blob", target), c.status);
    EXPECT_EQ(std::vector<UCHAR>(target, target + c.after.size()), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DirectBinaryTest,
    ::testing::Values(
        // Up to a ULONG: copied over the target's first bytes.
        BinaryCase{"ShortOverwritesLowBytes", {1, 2, 3}, 0x11223344, STATUS_SUCCESS, {1, 2, 3, 0x11}},
        // Longer: a positive first LONG is the buffer's size for the length,
        // the type and the data.
        BinaryCase{"PositiveSizeTooSmall", {1, 2, 3, 4, 5}, 2, STATUS_BUFFER_TOO_SMALL, {2, 0, 0, 0}},
        BinaryCase{"PositiveSizeGetsLengthTypeData", {1, 2, 3, 4, 5}, 16, STATUS_SUCCESS,
                   {5, 0, 0, 0, REG_BINARY, 0, 0, 0, 1, 2, 3, 4, 5}},
        // Negative: its magnitude is the size of a buffer for the bare data.
        BinaryCase{"NegativeSizeGetsTheData", {1, 2, 3, 4, 5}, -8, STATUS_SUCCESS, {1, 2, 3, 4, 5, 0xEE}},
        BinaryCase{"NegativeSizeTooSmall", {1, 2, 3, 4, 5}, -4, STATUS_BUFFER_TOO_SMALL, {0xFC, 0xFF, 0xFF, 0xFF}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryTest, AMissingValueTakesTheDefault) {
    registry().CreateKey(kKey);
    ULONG fallback = 40;
    ULONG target = 7;
    EXPECT_EQ(QueryDirect(L"Missing", &target, RTL_REGISTRY_ABSOLUTE, &fallback, REG_DWORD), STATUS_SUCCESS);
    EXPECT_EQ(target, 40u);
    target = 7;
    EXPECT_EQ(QueryDirect(L"Missing", &target), STATUS_SUCCESS);
    EXPECT_EQ(target, 7u) << "no default, nothing written";
}

TEST_F(RegistryTest, AMissingKeyFailsUnlessOptional) {
    ULONG target = 7;
    EXPECT_EQ(QueryDirect(L"Value", &target), STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG fallback = 40;
    EXPECT_EQ(QueryDirect(L"Value", &target, RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, &fallback, REG_DWORD),
              STATUS_SUCCESS);
    EXPECT_EQ(target, 7u) << "an optional key that is missing is not read at all";
}

TEST_F(RegistryTest, InjectedFailuresOfOpenAndQuery) {
    registry().SetDword(kKey, L"A", 1);
    registry().SetDword(kKey, L"B", 2);
    ULONG a = 0, b = 0;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"A"), &a, REG_NONE, nullptr, 0};
    table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"B"), &b, REG_NONE, nullptr, 0};
    registry().FailNthOpen(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    registry().FailNthQuery(1, STATUS_INSUFFICIENT_RESOURCES, 1);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(a, 1u) << "the entries before the failure were served";
    EXPECT_EQ(b, 0u);
}

TEST_F(RegistryTest, TheDeviceKeyOpensByHandleAndIsQueriedThroughIt) {
    PDRIVER_OBJECT driver = kernel().CreateDriverObject(L"\\Driver\\Bus");
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    registry().SetDeviceInstance(pdo, L"SERENUM\\ABC1234\\1");
    std::wstring path = registry().DeviceKeyPath(pdo);
    EXPECT_EQ(path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\SERENUM\\ABC1234\\1\\Device Parameters");
    registry().SetDword(path, L"WaitEventMask", 0x18);

    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key), STATUS_SUCCESS);
    ULONG mask = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"WaitEventMask"), &mask, REG_NONE, nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(mask, 0x18u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(registry().OpenHandles(), 0u);

    registry().FailNthOpen(1);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(key, nullptr);
    IoDeleteDevice(pdo);
    kernel().UnloadDriver(driver);
}

}  // namespace
