// The three settings read at every start: the precedence of the device key
// over "Parameters" over the defaults, the 16-bit attributes, each failure
// row, and values of another type than REG_DWORD counted as missing.
#include <optional>

#include "tests/device_frame/frame_fixture.h"

namespace {

// A registry value of any type, as a test puts it in a key.
struct Setting {
    ULONG type;
    std::vector<UCHAR> data;
};
Setting Dword(ULONG value) {
    std::vector<UCHAR> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return {REG_DWORD, bytes};
}
Setting String(const std::wstring& text) {
    std::vector<UCHAR> bytes((text.size() + 1) * sizeof(WCHAR));
    std::memcpy(bytes.data(), text.c_str(), bytes.size());
    return {REG_SZ, bytes};
}
Setting Binary(std::vector<UCHAR> bytes) { return {REG_BINARY, std::move(bytes)}; }

using Maybe = std::optional<Setting>;

class ConfigurationTest : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        Build();
    }
    void Put(const std::wstring& key, const wchar_t* name, const Maybe& setting) {
        if (setting) registry().SetValue(key, name, setting->type, setting->data.data(), setting->data.size());
    }
    // What a device start does: open the hardware key, read, close it.
    void ReadAsStartDoes() {
        HANDLE key = nullptr;
        if (NT_SUCCESS(IoOpenDeviceRegistryKey(state().PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ,
                                               &key))) {
            ReadConfiguration(&state(), key);
            ZwClose(key);
        }
    }
    void Expect(USHORT buttons, USHORT sampleRate, ULONG waitEventMask) {
        EXPECT_EQ(state().Attributes.NumberOfButtons, buttons);
        EXPECT_EQ(state().Attributes.SampleRate, sampleRate);
        EXPECT_EQ(state().WaitEventMask, waitEventMask);
    }
};

struct PrecedenceCase {
    const char* name;
    Maybe parametersButtons, parametersRate, parametersMask;
    Maybe deviceButtons, deviceRate, deviceMask;
    USHORT buttons, sampleRate;
    ULONG waitEventMask;
};

class PrecedenceTest : public ConfigurationTest, public ::testing::WithParamInterface<PrecedenceCase> {};

TEST_P(PrecedenceTest, DeviceKeyOverParametersOverDefaults) {
    const PrecedenceCase& c = GetParam();
    Put(ParametersKey(), L"NumberOfButtons", c.parametersButtons);
    Put(ParametersKey(), L"SampleRate", c.parametersRate);
    Put(ParametersKey(), L"WaitEventMask", c.parametersMask);
    Put(DeviceKey(), L"NumberOfButtons", c.deviceButtons);
    Put(DeviceKey(), L"SampleRate", c.deviceRate);
    Put(DeviceKey(), L"WaitEventMask", c.deviceMask);
    // What an earlier start left must not survive.
    state().WaitEventMask = 0x0008;
    ReadAsStartDoes();
    Expect(c.buttons, c.sampleRate, c.waitEventMask);
}

const Maybe none;

INSTANTIATE_TEST_SUITE_P(
    Rows, PrecedenceTest,
    ::testing::Values(
        PrecedenceCase{"NothingSet", none, none, none, none, none, none, 2, 40, 0},
        PrecedenceCase{"ParametersOnly", Dword(3), Dword(60), none, none, none, none, 3, 60, 0},
        PrecedenceCase{"DeviceKeyWins", Dword(3), Dword(60), none, Dword(5), Dword(100), none, 5, 100, 0},
        PrecedenceCase{"ZeroIsAValue", Dword(3), none, none, Dword(0), Dword(0), none, 0, 0, 0},
        PrecedenceCase{"LowSixteenBits", none, Dword(0x00012345), none, none, none, none, 2, 0x2345, 0},
        PrecedenceCase{"MonitorOff", none, none, none, none, none, Dword(0xFFFFFFFF), 2, 40, 0xFFFFFFFF},
        PrecedenceCase{"MaskFromParametersIgnored", none, none, Dword(0x10), none, none, none, 2, 40, 0},
        // Values of another type count as missing: the next source decides.
        PrecedenceCase{"StringButtonsInDeviceKey", Dword(3), none, none, String(L"5"), none, none, 3, 40, 0},
        PrecedenceCase{"StringRateInParameters", none, String(L"100"), none, none, none, none, 2, 40, 0},
        PrecedenceCase{"StringMask", none, none, none, none, none, String(L"24"), 2, 40, 0},
        PrecedenceCase{"LongBinaryRate", none, Dword(60), none, none, Binary({1, 2, 3, 4, 5, 6, 7, 8}), none, 2, 60,
                       0},
        PrecedenceCase{"FourByteBinaryButtons", none, none, none, Binary({5, 0, 0, 0}), none, none, 2, 40, 0},
        PrecedenceCase{"ShortBinaryMask", none, none, none, none, none, Binary({0x10}), 2, 40, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigurationTest, NoQueryTableGivesTheDefaults) {
    registry().SetDword(DeviceKey(), L"SampleRate", 100);
    registry().SetDword(DeviceKey(), L"WaitEventMask", 0x10);
    state().WaitEventMask = 0x0008;
    kernel().FailNth(sim::FaultSite::Pool, 1);
    ReadAsStartDoes();
    Expect(2, 40, 0);
}

TEST_F(ConfigurationTest, NoPathBufferSkipsParametersButNotTheDeviceKey) {
    registry().SetDword(ParametersKey(), L"SampleRate", 60);
    registry().SetDword(DeviceKey(), L"WaitEventMask", 0x10);
    kernel().FailNth(sim::FaultSite::Pool, 2);
    ReadAsStartDoes();
    Expect(2, 40, 0x10);
}

TEST_F(ConfigurationTest, NoPathBufferAndNoDeviceKeyClearsTheMask) {
    registry().SetDword(ParametersKey(), L"SampleRate", 60);
    state().WaitEventMask = 0x0008;
    kernel().FailNth(sim::FaultSite::Pool, 2);
    ReadConfiguration(&state(), nullptr);
    Expect(2, 40, 0);
}

TEST_F(ConfigurationTest, WithoutADeviceKeyTheMaskIsKept) {
    registry().SetDword(ParametersKey(), L"SampleRate", 60);
    state().WaitEventMask = 0x0008;
    ReadConfiguration(&state(), nullptr);
    Expect(2, 60, 0x0008);
}

TEST_F(ConfigurationTest, AFailedParametersQueryKeepsWhatItWroteAndTheDeviceKeyIsStillRead) {
    registry().SetDword(ParametersKey(), L"NumberOfButtons", 3);
    registry().SetDword(ParametersKey(), L"SampleRate", 60);
    registry().SetDword(DeviceKey(), L"WaitEventMask", 0x10);
    registry().FailNthQuery(1, STATUS_INSUFFICIENT_RESOURCES, 1);
    ReadAsStartDoes();
    Expect(3, 40, 0x10);
}

TEST_F(ConfigurationTest, AFailedDeviceKeyQueryClearsTheMaskAndKeepsWhatWasWritten) {
    registry().SetDword(ParametersKey(), L"SampleRate", 60);
    registry().SetDword(DeviceKey(), L"NumberOfButtons", 4);
    registry().SetDword(DeviceKey(), L"SampleRate", 100);
    registry().SetDword(DeviceKey(), L"WaitEventMask", 0x10);
    state().WaitEventMask = 0x0008;
    registry().FailNthQuery(2, STATUS_INSUFFICIENT_RESOURCES, 1);
    ReadAsStartDoes();
    Expect(4, 60, 0);
}

TEST_F(ConfigurationTest, AMissingParametersKeyIsNoFailure) {
    registry().DeleteKey(sim::Registry::ServiceKeyPath(kServiceName));
    registry().SetDword(DeviceKey(), L"WaitEventMask", 0x10);
    ReadAsStartDoes();
    Expect(2, 40, 0x10);
}

TEST_F(ConfigurationTest, WithoutTheServiceKeyPathTheDeviceKeyAloneDecides) {
    registry().SetDword(ParametersKey(), L"SampleRate", 60);
    registry().SetDword(DeviceKey(), L"NumberOfButtons", 3);
    auto* path = static_cast<PUNICODE_STRING>(
        IoGetDriverObjectExtension(state().Self->DriverObject, SERVICE_KEY_PATH_CLIENT_ID));
    UNICODE_STRING kept = *path;
    *path = UNICODE_STRING{0, 0, nullptr};
    ReadAsStartDoes();
    *path = kept;
    Expect(3, 40, 0);
}

TEST_F(ConfigurationTest, ThePathIsTheServiceKeysParametersSubkeyExactly) {
    // A key beside it with a longer name must not be read.
    registry().SetDword(ParametersKey() + L"X", L"SampleRate", 77);
    registry().SetDword(ParametersKey(), L"NumberOfButtons", 3);
    ReadConfiguration(&state(), nullptr);
    EXPECT_EQ(state().Attributes.NumberOfButtons, 3);
    EXPECT_EQ(state().Attributes.SampleRate, 40);
}

}  // namespace
