// The I/O manager's error log: the packets drivers write, each kept with the
// name of the device (or driver) that wrote it, and the event log's view of
// them through the writing driver's message table.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/kernel.h"

namespace sim {

struct ErrorLogEntry {
    std::vector<UCHAR> packet;  // the IO_ERROR_LOG_PACKET as written, EntrySize bytes
    std::wstring driverName;    // "\Driver\NAME"
    std::wstring deviceName;    // what the event log puts for %1
    LONGLONG time = 0;

    const IO_ERROR_LOG_PACKET& Packet() const { return *reinterpret_cast<const IO_ERROR_LOG_PACKET*>(packet.data()); }
};

// One message of a driver's message table: its id and its text, CR LF
// included, as the message-table resource holds it.
struct MessageTableEntry {
    ULONG id;
    const char* text;
};

class ErrorLog {
  public:
    ~ErrorLog();

    const std::vector<ErrorLogEntry>& Entries() const { return entries_; }
    // The message table of the driver "\Driver\NAME" (the event log's
    // source NAME), as its image's message-table resource carries it.
    void RegisterMessageTable(const std::wstring& driverName, const MessageTableEntry* table, size_t count);
    // What the event log shows for an entry: the message of its ErrorCode
    // with %1 replaced by the device name, or the event log's notice that
    // the source has no description for it.
    std::string Describe(const ErrorLogEntry& entry) const;

    // The I/O manager's side.
    void* Allocate(PVOID ioObject, UCHAR entrySize);
    bool Write(void* entry, LONGLONG now);
    size_t Unwritten() const { return allocated_.size(); }

  private:
    struct Allocation {
        size_t size;
        std::wstring driverName;
        std::wstring deviceName;
    };
    std::map<void*, Allocation> allocated_;
    std::vector<ErrorLogEntry> entries_;
    std::map<std::wstring, std::vector<MessageTableEntry>> tables_;
};

}  // namespace sim
