// The executive's pool and the run-time library's string routines.
#include "pool.h"

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define SIM_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define SIM_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define SIM_POISON(p, n) ((void)(p), (void)(n))
#define SIM_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include "kernel_internal.h"

namespace sim {

namespace {
constexpr ULONG kLiveMagic = 0x4C4F4F50;   // "POOL"
constexpr ULONG kFreedMagic = 0x45455246;  // "FREE"
constexpr size_t kQuarantineBlocks = 4096;
// Bytes after every block that must keep their pattern: a write past the
// block's end changes them.
constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardPattern = 0xC5;

bool IsPaged(POOL_TYPE type) {
    return type == PagedPool || type == PagedPoolCacheAligned;
}
}  // namespace

struct Pool::Header {
    ULONG magic;
    ULONG tag;
    size_t bytes;
    POOL_TYPE type;
    alignas(16) unsigned char data[1];
};

std::string FormatTag(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

Pool::~Pool() {
    for (Header* h : quarantine_) {
        SIM_UNPOISON(h, offsetof(Header, data) + h->bytes + kGuardBytes);
        std::free(h);
    }
    for (auto& [p, bytes] : live_) std::free(static_cast<unsigned char*>(p) - offsetof(Header, data));
}

bool Pool::GuardIntact(const void* p, size_t bytes) {
    auto* guard = static_cast<const unsigned char*>(p) + bytes;
    for (size_t i = 0; i < kGuardBytes; ++i) {
        if (guard[i] != kGuardPattern) return false;
    }
    return true;
}

bool Pool::Holds(const void* p) const {
    auto it = live_.upper_bound(const_cast<void*>(p));
    if (it == live_.begin()) return false;
    --it;
    auto* begin = static_cast<const unsigned char*>(it->first);
    return static_cast<const unsigned char*>(p) < begin + it->second;
}

void Pool::CheckGuards() {
    for (auto& [p, bytes] : live_) {
        if (!GuardIntact(p, bytes)) {
            auto* h = reinterpret_cast<Header*>(static_cast<unsigned char*>(p) - offsetof(Header, data));
            Kernel::Current().verifier().Record(rule::kPoolOverrun, "a block of " + std::to_string(bytes) +
                                                                        " bytes with tag '" + FormatTag(h->tag) +
                                                                        "' was written past its end");
        }
    }
}

void* Pool::Allocate(POOL_TYPE type, size_t bytes, ULONG tag) {
    auto* h = static_cast<Header*>(std::malloc(offsetof(Header, data) + bytes + kGuardBytes));
    allocations_++;
    h->magic = kLiveMagic;
    h->tag = tag;
    h->bytes = bytes;
    h->type = type;
    std::memset(h->data, 0xA5, bytes);  // pool is not zeroed
    std::memset(h->data + bytes, kGuardPattern, kGuardBytes);
    PoolTagUsage& u = usage_[tag];
    u.tag = tag;
    u.blocks++;
    u.bytes += bytes;
    live_[h->data] = bytes;
    return h->data;
}

void Pool::Free(void* p, ULONG expectedTag) {
    Kernel& kernel = Kernel::Current();
    auto* h = reinterpret_cast<Header*>(static_cast<unsigned char*>(p) - offsetof(Header, data));
    auto it = live_.find(p);
    if (it == live_.end()) {
        bool quarantined = false;
        for (Header* q : quarantine_) quarantined |= (q == h);
        kernel.Fail(rule::kDoubleFree, quarantined ? "ExFreePool of a block already freed"
                                                   : "ExFreePool of an address that is not a pool block");
    }
    if (expectedTag != 0 && expectedTag != h->tag) {
        kernel.Fail(rule::kBadPoolTag, "ExFreePoolWithTag '" + FormatTag(expectedTag) + "' on a block tagged '" +
                                           FormatTag(h->tag) + "'");
    }
    if (IsPaged(h->type)) CheckIrql("ExFreePool of paged pool", APC_LEVEL);
    if (!GuardIntact(p, h->bytes)) {
        kernel.Fail(rule::kPoolOverrun, "ExFreePool of a block of " + std::to_string(h->bytes) + " bytes with tag '" +
                                            FormatTag(h->tag) + "' that was written past its end");
    }
    CheckFreedMemory(p, h->bytes, "ExFreePool");
    live_.erase(it);
    PoolTagUsage& u = usage_[h->tag];
    u.blocks--;
    u.bytes -= h->bytes;
    if (u.blocks == 0) usage_.erase(h->tag);
    h->magic = kFreedMagic;
    std::memset(h->data, 0xDD, h->bytes);
    // Freed blocks stay poisoned in quarantine: a use after free reads the
    // pattern, and in the sanitizer build it is reported where it happens.
    SIM_POISON(h->data, h->bytes + kGuardBytes);
    quarantine_.push_back(h);
    if (quarantine_.size() > kQuarantineBlocks) {
        Header* oldest = quarantine_.front();
        SIM_UNPOISON(oldest, offsetof(Header, data) + oldest->bytes + kGuardBytes);
        std::free(oldest);
        quarantine_.pop_front();
    }
}

std::vector<PoolTagUsage> Pool::InUse() const {
    std::vector<PoolTagUsage> result;
    for (auto& [tag, u] : usage_) result.push_back(u);
    return result;
}

}  // namespace sim

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    sim::Point("ExAllocatePoolWithTag");
    sim::Kernel& kernel = sim::Kernel::Current();
    sim::CheckIrql(PoolType == PagedPool || PoolType == PagedPoolCacheAligned ? "ExAllocatePool of paged pool"
                                                                              : "ExAllocatePool of nonpaged pool",
                   PoolType == PagedPool || PoolType == PagedPoolCacheAligned ? APC_LEVEL : DISPATCH_LEVEL);
    if (kernel.faults().ShouldFail(sim::FaultSite::Pool)) return nullptr;
    return kernel.pool().Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x20656E6F);  // "None"
}

VOID NTAPI ExFreePool(PVOID P) {
    sim::Point("ExFreePool");
    sim::CheckIrql("ExFreePool", DISPATCH_LEVEL);
    sim::Kernel::Current().pool().Free(P, 0);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    sim::Point("ExFreePoolWithTag");
    sim::CheckIrql("ExFreePoolWithTag", DISPATCH_LEVEL);
    sim::Kernel::Current().pool().Free(P, Tag);
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    size_t bytes = wcslen(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = L'\0';
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source->Length == 0) return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = L'\0';
    }
    return STATUS_SUCCESS;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                             : DestinationString->MaximumLength;
    std::memcpy(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = L'\0';
    }
}

}  // extern "C"
