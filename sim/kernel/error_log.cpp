// IoAllocateErrorLogEntry and IoWriteErrorLogEntry, and the event log's view
// of the entries.
#include "sim/error_log.h"

#include <cstdio>
#include <cstdlib>

#include "kernel_internal.h"

namespace sim {

namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// "\Driver\serwheel" -> "serwheel": the event log's source name.
std::wstring SourceName(const std::wstring& driverName) {
    size_t slash = driverName.rfind(L'\\');
    return slash == std::wstring::npos ? driverName : driverName.substr(slash + 1);
}

std::wstring Text(const UNICODE_STRING& s) {
    return s.Buffer == nullptr ? std::wstring() : std::wstring(s.Buffer, s.Length / sizeof(WCHAR));
}

}  // namespace

ErrorLog::~ErrorLog() {
    for (auto& [entry, allocation] : allocated_) std::free(entry);
}

void ErrorLog::RegisterMessageTable(const std::wstring& driverName, const MessageTableEntry* table, size_t count) {
    tables_[SourceName(driverName)].assign(table, table + count);
}

std::string ErrorLog::Describe(const ErrorLogEntry& entry) const {
    std::wstring source = SourceName(entry.driverName);
    ULONG code = static_cast<ULONG>(entry.Packet().ErrorCode);
    auto table = tables_.find(source);
    if (table != tables_.end()) {
        for (const MessageTableEntry& message : table->second) {
            if (message.id != code) continue;
            std::string text = message.text;
            std::string device = Narrow(entry.deviceName);
            for (size_t at = text.find("%1"); at != std::string::npos; at = text.find("%1", at + device.size())) {
                text.replace(at, 2, device);
            }
            return text;
        }
    }
    char notice[160];
    std::snprintf(notice, sizeof(notice), "The description for Event ID ( %u ) in Source ( %s ) cannot be found.",
                  static_cast<unsigned>(code & 0xFFFF), Narrow(source).c_str());
    return notice;
}

void* ErrorLog::Allocate(PVOID ioObject, UCHAR entrySize) {
    // The object is a device object (type 3) or a driver object (type 4). A
    // device without a name of its own is shown by its driver's name.
    Allocation allocation{entrySize, L"", L""};
    auto type = *static_cast<CSHORT*>(ioObject);
    if (type == 3) {
        PDRIVER_OBJECT driver = static_cast<PDEVICE_OBJECT>(ioObject)->DriverObject;
        allocation.driverName = Text(driver->DriverName);
    } else {
        allocation.driverName = Text(static_cast<PDRIVER_OBJECT>(ioObject)->DriverName);
    }
    allocation.deviceName = allocation.driverName;
    void* entry = std::calloc(1, entrySize);
    allocated_[entry] = allocation;
    return entry;
}

bool ErrorLog::Write(void* entry, LONGLONG now) {
    auto it = allocated_.find(entry);
    if (it == allocated_.end()) return false;
    auto* bytes = static_cast<UCHAR*>(entry);
    entries_.push_back(ErrorLogEntry{std::vector<UCHAR>(bytes, bytes + it->second.size), it->second.driverName,
                                     it->second.deviceName, now});
    allocated_.erase(it);
    std::free(entry);
    return true;
}

}  // namespace sim

extern "C" {

// Null above ERROR_LOG_MAXIMUM_SIZE, below the packet's header, or when the
// platform has no memory for it (fault injection).
PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    sim::Point("IoAllocateErrorLogEntry");
    sim::Kernel& kernel = sim::Kernel::Current();
    sim::CheckIrql("IoAllocateErrorLogEntry", DISPATCH_LEVEL);
    if (IoObject == nullptr) return nullptr;
    if (EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
    if (kernel.faults().ShouldFail(sim::FaultSite::ErrorLogEntry)) return nullptr;
    return kernel.errorLog().Allocate(IoObject, EntrySize);
}

VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
    sim::Point("IoWriteErrorLogEntry");
    sim::Kernel& kernel = sim::Kernel::Current();
    sim::CheckIrql("IoWriteErrorLogEntry", DISPATCH_LEVEL);
    if (!kernel.errorLog().Write(ElEntry, kernel.Now())) {
        kernel.Fail(sim::rule::kObjectMisuse, "IoWriteErrorLogEntry of an entry not allocated");
    }
}

}  // extern "C"
