// The configuration manager as drivers see it: keys and typed values,
// handles, the device's Plug and Play keys, and RtlQueryRegistryValues with
// Windows 2000's semantics, RTL_QUERY_REGISTRY_DIRECT's lack of a type check
// included.
#include "sim/registry.h"

#include <algorithm>
#include <cwctype>

#include "kernel_internal.h"

namespace sim {

namespace {

const wchar_t kMachineRoot[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\";

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

}  // namespace

std::wstring Registry::ServiceKeyPath(const std::wstring& service) {
    return std::wstring(kMachineRoot) + L"Services\\" + service;
}

std::wstring Registry::Normalize(const std::wstring& path) {
    std::wstring p = Lower(path);
    while (!p.empty() && p.back() == L'\\') p.pop_back();
    return p;
}

void Registry::CreateKey(const std::wstring& path) {
    std::wstring p = Normalize(path);
    // Every key on the way exists too.
    for (size_t i = 1; i < p.size(); ++i) {
        if (p[i] == L'\\') keys_[p.substr(0, i)];
    }
    keys_[p];
}

void Registry::DeleteKey(const std::wstring& path) {
    std::wstring p = Normalize(path);
    for (auto it = keys_.begin(); it != keys_.end();) {
        bool below = it->first == p || (it->first.size() > p.size() && it->first.compare(0, p.size(), p) == 0 &&
                                        it->first[p.size()] == L'\\');
        it = below ? keys_.erase(it) : std::next(it);
    }
}

bool Registry::KeyExists(const std::wstring& path) const {
    return keys_.count(Normalize(path)) != 0;
}

void Registry::SetValue(const std::wstring& path, const std::wstring& name, ULONG type, const void* data,
                        size_t length) {
    CreateKey(path);
    RegistryValue& v = keys_[Normalize(path)].values[Lower(name)];
    v.name = name;
    v.type = type;
    auto* bytes = static_cast<const UCHAR*>(data);
    v.data.assign(bytes, bytes + length);
}

void Registry::SetDword(const std::wstring& path, const std::wstring& name, ULONG value) {
    SetValue(path, name, REG_DWORD, &value, sizeof(value));
}

void Registry::SetString(const std::wstring& path, const std::wstring& name, const std::wstring& value, ULONG type) {
    SetValue(path, name, type, value.c_str(), (value.size() + 1) * sizeof(WCHAR));
}

void Registry::SetBinary(const std::wstring& path, const std::wstring& name, const std::vector<UCHAR>& bytes) {
    SetValue(path, name, REG_BINARY, bytes.data(), bytes.size());
}

void Registry::DeleteValue(const std::wstring& path, const std::wstring& name) {
    auto key = keys_.find(Normalize(path));
    if (key != keys_.end()) key->second.values.erase(Lower(name));
}

const RegistryValue* Registry::Value(const std::wstring& path, const std::wstring& name) const {
    auto key = keys_.find(Normalize(path));
    if (key == keys_.end()) return nullptr;
    auto v = key->second.values.find(Lower(name));
    return v == key->second.values.end() ? nullptr : &v->second;
}

std::vector<const RegistryValue*> Registry::Values(const std::wstring& path) const {
    std::vector<const RegistryValue*> values;
    auto key = keys_.find(Normalize(path));
    if (key != keys_.end()) {
        for (const auto& [name, value] : key->second.values) values.push_back(&value);
    }
    return values;
}

void Registry::SetDeviceInstance(PDEVICE_OBJECT physicalDevice, const std::wstring& instance) {
    instances_[physicalDevice] = instance;
}

std::wstring Registry::DeviceKeyPath(PDEVICE_OBJECT physicalDevice) {
    auto it = instances_.find(physicalDevice);
    if (it == instances_.end()) {
        wchar_t number[16];
        std::swprintf(number, 16, L"%04d", nextInstance_++);
        it = instances_.emplace(physicalDevice, std::wstring(L"ROOT\\SIM\\") + number).first;
    }
    return std::wstring(kMachineRoot) + L"Enum\\" + it->second + L"\\Device Parameters";
}

NTSTATUS Registry::Open(const std::wstring& path, HANDLE* handle) {
    *handle = nullptr;
    NTSTATUS injected;
    if (OpenFails(&injected)) return injected;
    if (!KeyExists(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
    *handle = reinterpret_cast<HANDLE>(nextHandle_);
    nextHandle_ += 4;
    handles_[*handle] = Normalize(path);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::Close(HANDLE handle) {
    return handles_.erase(handle) != 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

const std::wstring* Registry::PathOf(HANDLE handle) const {
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : &it->second;
}

void Registry::FailNthOpen(int nth, NTSTATUS status) {
    openCountdown_ = nth;
    openStatus_ = status;
}

void Registry::FailNthQuery(int nth, NTSTATUS status, int atEntry) {
    queryCountdown_ = nth;
    queryStatus_ = status;
    queryEntry_ = atEntry;
}

bool Registry::OpenFails(NTSTATUS* status) {
    if (openCountdown_ > 0 && --openCountdown_ == 0) {
        *status = openStatus_;
        return true;
    }
    return false;
}

int Registry::QueryFailsAt(NTSTATUS* status) {
    if (queryCountdown_ > 0 && --queryCountdown_ == 0) {
        *status = queryStatus_;
        return queryEntry_;
    }
    return -1;
}

}  // namespace sim

namespace {

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

sim::Registry& Reg() {
    return sim::Kernel::Current().registry();
}

void RequirePassive(const char* routine) {
    sim::CheckIrql(routine, PASSIVE_LEVEL);
}

// RTL_QUERY_REGISTRY_DIRECT: the value goes straight into EntryContext, by
// the value's type and length alone; the entry has no say in what the target
// is. Strings are written through the target taken as a UNICODE_STRING
// (allocating its buffer when it has none), values up to a ULONG are copied
// over the target, and longer ones follow the target's first LONG: negative,
// the size of a buffer for the bare data; otherwise the size of a buffer
// that receives the length, the type and then the data.
NTSTATUS StoreDirect(PVOID target, ULONG type, const UCHAR* data, ULONG length) {
    if (IsStringType(type)) {
        auto* dest = static_cast<PUNICODE_STRING>(target);
        if (dest->Buffer == nullptr) {
            dest->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length, 0x20204D43 /* "CM  " */));
            if (dest->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            dest->MaximumLength = static_cast<USHORT>(length);
        } else if (length > dest->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(dest->Buffer, data, length);
        dest->Length = static_cast<USHORT>(length >= sizeof(WCHAR) ? length - sizeof(WCHAR) : 0);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(target, data, length);
        return STATUS_SUCCESS;
    }
    LONG size = *static_cast<PLONG>(target);
    if (size < 0) {
        if (static_cast<ULONG>(-static_cast<LONGLONG>(size)) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(target, data, length);
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONG>(size) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    auto* header = static_cast<PULONG>(target);
    header[0] = length;
    header[1] = type;
    std::memcpy(header + 2, data, length);
    return STATUS_SUCCESS;
}

// One value handed to an entry: stored directly, or given to the entry's
// routine (a REG_MULTI_SZ once per string, as the platform does).
NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, ULONG type, const UCHAR* data, ULONG length,
                 PVOID context) {
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry->EntryContext, type, data, length);
    if (type == REG_MULTI_SZ && !(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        const auto* s = reinterpret_cast<const WCHAR*>(data);
        size_t count = length / sizeof(WCHAR);
        size_t i = 0;
        while (i < count && s[i] != 0) {
            size_t n = wcsnlen(s + i, count - i);
            NTSTATUS status = entry->QueryRoutine(name, REG_SZ, const_cast<WCHAR*>(s + i),
                                                  static_cast<ULONG>((n + 1) * sizeof(WCHAR)), context,
                                                  entry->EntryContext);
            if (!NT_SUCCESS(status)) return status;
            i += n + 1;
        }
        return STATUS_SUCCESS;
    }
    return entry->QueryRoutine(name, type, const_cast<UCHAR*>(data), length, context, entry->EntryContext);
}

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID Environment) {
    sim::Point("RtlQueryRegistryValues");
    RequirePassive("RtlQueryRegistryValues");
    sim::Registry& registry = Reg();
    bool optional = (RelativeTo & RTL_REGISTRY_OPTIONAL) != 0;
    ULONG base = RelativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);

    std::wstring keyPath;
    if (base == RTL_REGISTRY_HANDLE) {
        const std::wstring* path = registry.PathOf(reinterpret_cast<HANDLE>(const_cast<PWSTR>(Path)));
        if (path == nullptr) return STATUS_INVALID_HANDLE;
        keyPath = *path;
    } else {
        std::wstring relative = Path != nullptr ? Path : L"";
        switch (base) {
            case RTL_REGISTRY_ABSOLUTE:
                keyPath = relative;
                break;
            case RTL_REGISTRY_SERVICES:
                keyPath = sim::Registry::ServiceKeyPath(relative);
                break;
            case RTL_REGISTRY_CONTROL:
                keyPath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\" + relative;
                break;
            default:
                return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS injected;
        if (registry.OpenFails(&injected)) return optional ? STATUS_SUCCESS : injected;
        if (!registry.KeyExists(keyPath)) return optional ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    }

    NTSTATUS injected = STATUS_SUCCESS;
    int failAt = registry.QueryFailsAt(&injected);
    std::wstring current = keyPath;
    int index = 0;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
         ++entry, ++index) {
        if (index == failAt) return injected;
        if (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) {
            current = (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) || entry->Name == nullptr
                          ? keyPath
                          : keyPath + L"\\" + entry->Name;
            if (!registry.KeyExists(current)) {
                if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
                current = keyPath;
                continue;
            }
            if (entry->QueryRoutine == nullptr) continue;
        }
        if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) && entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
        if (entry->Name == nullptr) {
            // No name: every value of the key goes to the routine.
            for (const sim::RegistryValue* value : registry.Values(current)) {
                std::wstring name = value->name;
                NTSTATUS status = Deliver(entry, name.data(), value->type, value->data.data(),
                                          static_cast<ULONG>(value->data.size()), Context);
                if (!NT_SUCCESS(status)) return status;
            }
            continue;
        }
        const sim::RegistryValue* value = registry.Value(current, entry->Name);
        NTSTATUS status = STATUS_SUCCESS;
        if (value != nullptr) {
            status = Deliver(entry, entry->Name, value->type, value->data.data(),
                             static_cast<ULONG>(value->data.size()), Context);
        } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (entry->DefaultType != REG_NONE && entry->DefaultData != nullptr) {
            ULONG length = entry->DefaultLength;
            if (length == 0 && IsStringType(entry->DefaultType)) {
                length = static_cast<ULONG>((wcslen(static_cast<PCWSTR>(entry->DefaultData)) + 1) * sizeof(WCHAR));
            }
            status = Deliver(entry, entry->Name, entry->DefaultType, static_cast<const UCHAR*>(entry->DefaultData),
                             length, Context);
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
    sim::Point("IoOpenDeviceRegistryKey");
    RequirePassive("IoOpenDeviceRegistryKey");
    sim::Registry& registry = Reg();
    *DevInstRegKey = nullptr;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;
    // The hardware key is created the first time it is opened.
    std::wstring path = registry.DeviceKeyPath(DeviceObject);
    registry.CreateKey(path);
    return registry.Open(path, DevInstRegKey);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    sim::Point("ZwClose");
    RequirePassive("ZwClose");
    NTSTATUS status = Reg().Close(Handle);
    if (!NT_SUCCESS(status)) {
        sim::Kernel::Current().Fail(sim::rule::kObjectMisuse, "ZwClose of a handle that is not open");
    }
    return status;
}

}  // extern "C"
