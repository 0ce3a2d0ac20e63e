// The event-message table: the 21 messages with their ids and texts, the
// message compiler's binary table from the same source agreeing with the
// host's, and the event log's view of an entry through it.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "tests/device_frame/frame_fixture.h"

namespace {

const std::map<ULONG, std::string> kExpected = {
    {0x40050005, "Some firmware configuration information was incomplete, so defaults were used."},
    {0x40050006, "User configuration data is overriding firmware configuration data."},
    {0x4005000C,
     "The ring buffer that stores incoming mouse data has overflowed (buffer size is configurable via the registry)."},
    {0x4005001B, "Cannot detect surprise removal of the mouse on %1."},
    {0x80050007, "Unable to create the device map entry for %1."},
    {0x80050008, "Unable to delete the device map entry for %1."},
    {0x80050012, "The device sent an incorrect response(s) following a mouse reset."},
    {0x80050019, "Unable to create the symbolic link for %1."},
    {0x8005001A, "The serial mouse does not exist or was not detected."},
    {0xC0050001, "Not enough memory was available to allocate internal storage needed for the device %1."},
    {0xC0050002, "Not enough memory was available to allocate the ring buffer that holds incoming data for %1."},
    {0xC0050003,
     "The hardware locations for %1 could not be translated to something the memory management system "
     "understands."},
    {0xC0050004, "The hardware resources for %1 are already in use by another device."},
    {0xC0050009, "Could not connect the interrupt for %1."},
    {0xC005000A, "The ISR has detected an internal state error in the driver for %1."},
    {0xC005000D, "The Start I/O procedure has detected an internal error in the driver for %1."},
    {0xC005000E, "The Initiate I/O procedure has detected an internal state error in the driver for %1."},
    {0xC0050010, "The mouse reset failed."},
    {0xC0050016, "Could not set the mouse sample rate."},
    {0xC0050017, "Could not set the mouse resolution."},
    {0xC0050018, "Could not enable transmissions from the mouse."},
};

TEST(MessageTable, HoldsTheTwentyOneMessagesEachEndingInCrLf) {
    std::map<ULONG, std::string> table;
    for (size_t i = 0; i < SerialMouseMessageCount; ++i) {
        EXPECT_TRUE(table.emplace(SerialMouseMessages[i].id, SerialMouseMessages[i].text).second)
            << "duplicate id " << std::hex << SerialMouseMessages[i].id;
    }
    std::map<ULONG, std::string> expected;
    for (const auto& [id, text] : kExpected) expected[id] = text + "\r\n";
    EXPECT_EQ(table, expected);
    for (const auto& [id, text] : table) {
        EXPECT_EQ((id >> 16) & 0x0FFF, 5u) << "facility";
        EXPECT_EQ(id & 0x20000000, 0u) << "customer bit";
    }
}

#ifdef MESSAGE_COMPILER
// The message-table resource: a block count, blocks of consecutive ids
// (low id, high id, offset of the first entry), and entries of length,
// flags (0: 8-bit text) and text.
std::map<ULONG, std::string> ParseMessageTable(const std::vector<UCHAR>& bin, size_t* blocks) {
    auto u32 = [&](size_t at) { return bin[at] | bin[at + 1] << 8 | bin[at + 2] << 16 | uint32_t(bin[at + 3]) << 24; };
    auto u16 = [&](size_t at) { return static_cast<uint16_t>(bin[at] | bin[at + 1] << 8); };
    std::map<ULONG, std::string> table;
    *blocks = u32(0);
    for (size_t b = 0; b < *blocks; ++b) {
        ULONG low = u32(4 + 12 * b), high = u32(8 + 12 * b);
        size_t at = u32(12 + 12 * b);
        for (ULONG id = low; id <= high; ++id) {
            uint16_t length = u16(at), flags = u16(at + 2);
            EXPECT_EQ(flags, 0) << "8-bit text";
            std::string text(reinterpret_cast<const char*>(&bin[at + 4]), length - 4);
            text.erase(text.find_last_not_of('\0') + 1);
            table[id] = text;
            at += length;
        }
    }
    return table;
}

TEST(MessageTable, TheMessageCompilersResourceHoldsTheSameTable) {
    std::string dir = ::testing::TempDir() + "message_table";
    std::string crlf = dir + "/messages.mc";
    std::string command = "mkdir -p '" + dir + "' && sed 's/$/\\r/' '" MESSAGE_SOURCE "' > '" + crlf + "' && '" +
                          MESSAGE_COMPILER "' -A -h '" + dir + "' -r '" + dir + "' '" + crlf + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(dir + "/MSG00409.bin", std::ios::binary);
    std::vector<UCHAR> bin((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bin.size(), 4u);
    size_t blocks = 0;
    std::map<ULONG, std::string> compiled = ParseMessageTable(bin, &blocks);
    EXPECT_EQ(blocks, 11u);
    std::map<ULONG, std::string> host;
    for (size_t i = 0; i < SerialMouseMessageCount; ++i) host[SerialMouseMessages[i].id] = SerialMouseMessages[i].text;
    EXPECT_EQ(compiled, host);
}
#endif

class EventLogViewTest : public FrameTest {};

TEST_F(EventLogViewTest, AnEntryWithAMessageIdShowsItsTextWithTheDeviceName) {
    Build("");
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(state().Self, sizeof(IO_ERROR_LOG_PACKET)));
    ASSERT_NE(packet, nullptr);
    packet->ErrorCode = static_cast<NTSTATUS>(0x4005001B);
    IoWriteErrorLogEntry(packet);
    ASSERT_EQ(kernel().errorLog().Entries().size(), 1u);
    EXPECT_EQ(kernel().errorLog().Describe(kernel().errorLog().Entries()[0]),
              "Cannot detect surprise removal of the mouse on \\Driver\\serwheel.\r\n");
}

TEST_F(EventLogViewTest, EntriesAboveTheMaximumSizeAreRefused) {
    Build("");
    EXPECT_EQ(IoAllocateErrorLogEntry(state().Self, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    PVOID largest = IoAllocateErrorLogEntry(state().Self, ERROR_LOG_MAXIMUM_SIZE);
    ASSERT_NE(largest, nullptr);
    IoWriteErrorLogEntry(largest);
}

}  // namespace
