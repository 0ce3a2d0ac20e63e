// The launcher's path handling: from the command line it is started with to
// the current directory it sets and the command line it starts the installer
// with.
#include "launcher/setup_command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace {

// The two buffers, each followed by bytes that must stay untouched.
struct Buffers {
    char Command[LauncherBufferLength];
    char CommandGuard[32];
    char Directory[LauncherBufferLength];
    char DirectoryGuard[32];
};

const char GuardByte = 0x5a;

bool GuardsIntact(const Buffers &Out)
{
    for (std::size_t Index = 0; Index < sizeof(Out.CommandGuard); Index++) {
        if (Out.CommandGuard[Index] != GuardByte || Out.DirectoryGuard[Index] != GuardByte) {
            return false;
        }
    }
    return true;
}

struct Case {
    const char *Name;
    std::string CommandLine;
    bool Starts;
    std::string Command;   // passed to CreateProcessA
    std::string Directory; // made the current directory
};

void PrintTo(const Case &Item, std::ostream *Out) { *Out << Item.Name; }

// "D:\" followed by a folder name of Length characters.
std::string LongFolder(std::size_t Length) { return "D:\\" + std::string(Length, 'a'); }

// Quoted command: 1 + (Length + 3) + 16 + 1 characters; unquoted: Length + 19.
const std::size_t QuotedFits = LauncherBufferLength - 1 - 21;
const std::size_t UnquotedFits = LauncherBufferLength - 1 - 19;

const Case Cases[] = {
    // The three examples of the launcher's documentation.
    {"Quoted", "\"D:\\Drivers\\launcher.exe\"", true,
     "\"D:\\Drivers\\setup\\setup.exe\"", "D:\\Drivers\\setup"},
    {"UnquotedWithArgument", "D:\\Drivers\\launcher.exe /x", true,
     "D:\\Drivers\\setup\\setup.exe", "D:\\Drivers\\setup"},
    {"LeadingSpacesAtRoot", "   D:\\launcher.exe", true, "D:\\setup\\setup.exe", "D:\\setup"},

    {"QuotedWithSpacesAndArguments", "\"D:\\Program Files\\x\\launcher.exe\" /s \"a b\\c\"", true,
     "\"D:\\Program Files\\x\\setup\\setup.exe\"", "D:\\Program Files\\x\\setup"},
    {"LeadingSpacesBeforeQuote", "  \"C:\\a b\\launcher.exe\"", true,
     "\"C:\\a b\\setup\\setup.exe\"", "C:\\a b\\setup"},
    {"UnquotedIsCutAtFirstSpace", "D:\\Program Files\\x\\launcher.exe", true,
     "D:\\setup\\setup.exe", "D:\\setup"},
    {"NetworkPath", "\\\\server\\share\\launcher.exe", true,
     "\\\\server\\share\\setup\\setup.exe", "\\\\server\\share\\setup"},
    {"QuotedRootFolder", "\"D:\\launcher.exe\" x", true, "\"D:\\setup\\setup.exe\"", "D:\\setup"},

    // Nothing sound to start.
    {"QuoteNeverClosed", "\"D:\\Drivers\\launcher.exe /x", false, "", ""},
    {"NoBackslash", "launcher.exe", false, "", ""},
    {"NoBackslashQuoted", "\"launcher.exe\"", false, "", ""},
    {"DriveRelative", "D:launcher.exe", false, "", ""},
    {"BackslashOnlyInArguments", "launcher.exe D:\\Drivers\\x", false, "", ""},
    {"BackslashOnlyAfterClosingQuote", "\"launcher.exe\"\\x", false, "", ""},
    {"Empty", "", false, "", ""},
    {"OnlySpaces", "    ", false, "", ""},
    {"EmptyQuotes", "\"\" D:\\x\\launcher.exe", false, "", ""},

    // Length: only the program path counts, and the command must fit.
    {"LongArgumentsIgnored", "\"D:\\Drivers\\launcher.exe\" " + std::string(5000, 'x'), true,
     "\"D:\\Drivers\\setup\\setup.exe\"", "D:\\Drivers\\setup"},
    {"QuotedCommandJustFits", "\"" + LongFolder(QuotedFits) + "\\l.exe\" /x", true,
     "\"" + LongFolder(QuotedFits) + "\\setup\\setup.exe\"", LongFolder(QuotedFits) + "\\setup"},
    {"QuotedCommandOneTooLong", "\"" + LongFolder(QuotedFits + 1) + "\\l.exe\"", false, "", ""},
    {"UnquotedCommandJustFits", LongFolder(UnquotedFits) + "\\l.exe", true,
     LongFolder(UnquotedFits) + "\\setup\\setup.exe", LongFolder(UnquotedFits) + "\\setup"},
    {"UnquotedCommandOneTooLong", LongFolder(UnquotedFits + 1) + "\\l.exe", false, "", ""},
    {"PathFarLongerThanBuffers", "\"" + LongFolder(4000) + "\\launcher.exe\"", false, "", ""},
    {"LongLineWithoutQuoteEnd", "\"" + LongFolder(4000) + "\\launcher.exe", false, "", ""},
};

class SetupCommandTest : public testing::TestWithParam<Case> {};

TEST_P(SetupCommandTest, BuildsCommandAndDirectory)
{
    const Case &Item = GetParam();
    Buffers Out;
    std::memset(&Out, GuardByte, sizeof(Out));

    const bool Starts = BuildSetupCommand(Item.CommandLine.c_str(), Out.Command, Out.Directory);

    ASSERT_TRUE(GuardsIntact(Out)) << "written past a buffer";
    ASSERT_NE(std::memchr(Out.Command, '\0', sizeof(Out.Command)), nullptr);
    ASSERT_NE(std::memchr(Out.Directory, '\0', sizeof(Out.Directory)), nullptr);
    EXPECT_EQ(Starts, Item.Starts);
    EXPECT_EQ(std::string(Out.Command), Item.Command);
    EXPECT_EQ(std::string(Out.Directory), Item.Directory);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, SetupCommandTest, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<Case> &Info) { return Info.param.Name; });

} // namespace
