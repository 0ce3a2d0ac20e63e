// The simulated registry: keys with typed values under absolute paths
// ("\Registry\Machine\..."), case-insensitive as the platform's are, with the
// handles drivers open on them, each device's hardware key, and fault
// injection for key opens and queries.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "simnt/ntddk.h"

namespace sim {

namespace rule {
inline constexpr const char* kRegistryHandleLeak = "REGISTRY_HANDLE_LEAKED_AT_TEARDOWN";
}  // namespace rule

struct RegistryValue {
    std::wstring name;  // as it was set
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

class Registry {
  public:
    // "\Registry\Machine\System\CurrentControlSet\Services\NAME".
    static std::wstring ServiceKeyPath(const std::wstring& service);

    // ---- keys and values (paths absolute; missing keys on the way are created)
    void CreateKey(const std::wstring& path);
    // Deletes the key with its values and subkeys.
    void DeleteKey(const std::wstring& path);
    bool KeyExists(const std::wstring& path) const;
    void SetValue(const std::wstring& path, const std::wstring& name, ULONG type, const void* data, size_t length);
    void SetDword(const std::wstring& path, const std::wstring& name, ULONG value);
    // A string value with its terminating NUL, as the registry stores it.
    void SetString(const std::wstring& path, const std::wstring& name, const std::wstring& value,
                   ULONG type = REG_SZ);
    void SetBinary(const std::wstring& path, const std::wstring& name, const std::vector<UCHAR>& bytes);
    void DeleteValue(const std::wstring& path, const std::wstring& name);
    // Null when the key or the value does not exist.
    const RegistryValue* Value(const std::wstring& path, const std::wstring& name) const;
    // Every value of the key, in name order.
    std::vector<const RegistryValue*> Values(const std::wstring& path) const;

    // ---- Plug and Play keys
    // The device instance of a physical device object ("ROOT\SIM\0000" and
    // onwards unless set), whose hardware key is
    // "\Registry\Machine\System\CurrentControlSet\Enum\INSTANCE\Device Parameters".
    void SetDeviceInstance(PDEVICE_OBJECT physicalDevice, const std::wstring& instance);
    std::wstring DeviceKeyPath(PDEVICE_OBJECT physicalDevice);

    // ---- handles
    // A handle on an existing key (STATUS_OBJECT_NAME_NOT_FOUND otherwise).
    NTSTATUS Open(const std::wstring& path, HANDLE* handle);
    NTSTATUS Close(HANDLE handle);
    // The key a handle is open on; null for a handle that is not open.
    const std::wstring* PathOf(HANDLE handle) const;
    size_t OpenHandles() const { return handles_.size(); }

    // ---- fault injection
    // The nth (1-based) key open from now on fails with `status`: the opens
    // of IoOpenDeviceRegistryKey and of RtlQueryRegistryValues by path.
    void FailNthOpen(int nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    // The nth RtlQueryRegistryValues from now on fails with `status` when it
    // reaches entry `atEntry` of its table; the entries before it are served.
    void FailNthQuery(int nth, NTSTATUS status, int atEntry = 0);
    // Whether this open, or this query at this entry, must fail (and how).
    bool OpenFails(NTSTATUS* status);
    // Called once per query; returns the entry at which it fails, or -1.
    int QueryFailsAt(NTSTATUS* status);

  private:
    struct Key {
        std::map<std::wstring, RegistryValue> values;  // by lower-case name
    };
    static std::wstring Normalize(const std::wstring& path);

    std::map<std::wstring, Key> keys_;  // by lower-case path
    std::map<PDEVICE_OBJECT, std::wstring> instances_;
    std::map<HANDLE, std::wstring> handles_;
    uintptr_t nextHandle_ = 0x80000004;
    int nextInstance_ = 0;
    int openCountdown_ = 0;
    NTSTATUS openStatus_ = STATUS_SUCCESS;
    int queryCountdown_ = 0;
    NTSTATUS queryStatus_ = STATUS_SUCCESS;
    int queryEntry_ = 0;
};

}  // namespace sim
