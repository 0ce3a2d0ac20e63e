// The launcher end to end: its x86-64 build run under wine64, started with
// exact command lines from folders whose names have spaces, with a stand-in
// installer that records how it was started.
//
// The test keeps its own Wine prefix under the build tree, made afresh for
// each run, and maps drive D: to a folder it lays out:
//
//   D:\Drivers Folder\launcher.exe      D:\Drivers Folder\setup\setup.exe
//   D:\Plain\launcher.exe               D:\Plain\setup\setup.exe
//   D:\Empty Folder\launcher.exe        (no setup folder)
//   D:\setup\setup.exe                  (found by an unquoted start that is
//                                        cut at the first space)
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

namespace fs = std::filesystem;

const fs::path WorkDir = LAUNCHER_TEST_WORK_DIR;
const fs::path PrefixDir = WorkDir / "prefix";
const fs::path DriveDir = WorkDir / "drive";
const fs::path RecordFile = DriveDir / "record.txt";
const char RecordWindowsPath[] = "D:\\record.txt";

// Runs Argv (through timeout(1), so a hung Wine cannot hold the test) with
// the environment of this process plus Extra. Returns the exit status, or -1
// when the program could not be run; standard output goes to Output and
// standard error stays the test's (the Wine server, which a Wine program may
// start, keeps it open for seconds after the program ends).
int RunProgram(const std::vector<std::string> &Argv, const std::vector<std::string> &Extra,
        unsigned TimeLimitSeconds, std::string &Output)
{
    std::vector<std::string> Full = {"timeout", "-k", "5", std::to_string(TimeLimitSeconds)};
    Full.insert(Full.end(), Argv.begin(), Argv.end());
    std::vector<char *> Args;
    for (auto &Arg : Full) {
        Args.push_back(const_cast<char *>(Arg.c_str()));
    }
    Args.push_back(nullptr);

    std::vector<std::string> EnvStrings;
    for (char **Entry = environ; *Entry != nullptr; Entry++) {
        EnvStrings.emplace_back(*Entry);
    }
    EnvStrings.push_back("WINEPREFIX=" + PrefixDir.string());
    EnvStrings.push_back("WINEDEBUG=-all");
    EnvStrings.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    EnvStrings.insert(EnvStrings.end(), Extra.begin(), Extra.end());
    std::vector<char *> Env;
    for (auto &Entry : EnvStrings) {
        Env.push_back(const_cast<char *>(Entry.c_str()));
    }
    Env.push_back(nullptr);

    int Pipe[2];
    if (pipe(Pipe) != 0) {
        return -1;
    }
    const pid_t Child = fork();
    if (Child < 0) {
        return -1;
    }
    if (Child == 0) {
        dup2(Pipe[1], STDOUT_FILENO);
        close(Pipe[0]);
        close(Pipe[1]);
        int Null = open("/dev/null", O_RDONLY);
        if (Null >= 0) {
            dup2(Null, STDIN_FILENO);
        }
        environ = Env.data();
        execvp(Args[0], Args.data());
        _exit(127);
    }
    close(Pipe[1]);
    Output.clear();
    char Chunk[4096];
    ssize_t Got;
    while ((Got = read(Pipe[0], Chunk, sizeof(Chunk))) != 0) {
        if (Got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        Output.append(Chunk, static_cast<std::size_t>(Got));
    }
    close(Pipe[0]);
    int Status = 0;
    while (waitpid(Child, &Status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

void CopyProgram(const char *From, const fs::path &To)
{
    fs::create_directories(To.parent_path());
    fs::copy_file(From, To, fs::copy_options::overwrite_existing);
}

struct Case {
    const char *Name;
    const char *Program; // started by the runner, under the given command line
    std::string CommandLine;
    bool Starts;
    const char *Directory; // the installer's current directory
    const char *Command;   // the installer's command line
};

void PrintTo(const Case &Item, std::ostream *Out) { *Out << Item.Name; }

const char DriversFolder[] = "D:\\Drivers Folder\\launcher.exe";
const char PlainFolder[] = "D:\\Plain\\launcher.exe";
const char EmptyFolder[] = "D:\\Empty Folder\\launcher.exe";

const Case Cases[] = {
    {"Quoted", DriversFolder, "\"D:\\Drivers Folder\\launcher.exe\"", true,
     "D:\\Drivers Folder\\setup", "\"D:\\Drivers Folder\\setup\\setup.exe\""},
    {"QuotedWithArguments", DriversFolder, "\"D:\\Drivers Folder\\launcher.exe\" /x \"two words\"",
     true, "D:\\Drivers Folder\\setup", "\"D:\\Drivers Folder\\setup\\setup.exe\""},
    {"QuotedAfterLeadingSpaces", DriversFolder, "   \"D:\\Drivers Folder\\launcher.exe\"", true,
     "D:\\Drivers Folder\\setup", "\"D:\\Drivers Folder\\setup\\setup.exe\""},
    {"QuotedWithOverlongArguments", DriversFolder,
     "\"D:\\Drivers Folder\\launcher.exe\" " + std::string(2000, 'x'), true,
     "D:\\Drivers Folder\\setup", "\"D:\\Drivers Folder\\setup\\setup.exe\""},
    {"UnquotedCutAtFirstSpace", DriversFolder, "D:\\Drivers Folder\\launcher.exe /x", true,
     "D:\\setup", "D:\\setup\\setup.exe"},
    {"UnquotedWithArguments", PlainFolder, "D:\\Plain\\launcher.exe /x y", true,
     "D:\\Plain\\setup", "D:\\Plain\\setup\\setup.exe"},
    {"UnquotedAfterLeadingSpaces", PlainFolder, "  D:\\Plain\\launcher.exe", true,
     "D:\\Plain\\setup", "D:\\Plain\\setup\\setup.exe"},
    {"NoSetupFolder", EmptyFolder, "\"D:\\Empty Folder\\launcher.exe\" /x", false, "", ""},
    {"QuoteNeverClosed", DriversFolder, "\"D:\\Drivers Folder\\launcher.exe", false, "", ""},
};

class LauncherUnderWine : public testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite()
    {
        Ready = false;
        Problem.clear();
        std::string Output;
        std::error_code Error;
        if (fs::exists(PrefixDir)) {
            RunProgram({LAUNCHER_TEST_WINESERVER, "-k"}, {}, 30, Output);
        }
        fs::remove_all(WorkDir, Error);
        if (Error) {
            Problem = "cannot clear " + WorkDir.string() + ": " + Error.message();
            return;
        }
        fs::create_directories(PrefixDir);

        CopyProgram(LAUNCHER_TEST_LAUNCHER, DriveDir / "Drivers Folder" / "launcher.exe");
        CopyProgram(LAUNCHER_TEST_SETUP_STUB, DriveDir / "Drivers Folder" / "setup" / "setup.exe");
        CopyProgram(LAUNCHER_TEST_LAUNCHER, DriveDir / "Plain" / "launcher.exe");
        CopyProgram(LAUNCHER_TEST_SETUP_STUB, DriveDir / "Plain" / "setup" / "setup.exe");
        CopyProgram(LAUNCHER_TEST_LAUNCHER, DriveDir / "Empty Folder" / "launcher.exe");
        CopyProgram(LAUNCHER_TEST_SETUP_STUB, DriveDir / "setup" / "setup.exe");

        // The first start of Wine fills the prefix; drive D: is added after.
        const int Status = RunProgram({LAUNCHER_TEST_WINE, "wineboot", "-i"}, {}, 240, Output);
        if (Status != 0) {
            Problem = "wineboot -i in a fresh prefix ended with status " + std::to_string(Status);
            return;
        }
        fs::create_directory_symlink(DriveDir, PrefixDir / "dosdevices" / "d:", Error);
        if (Error) {
            Problem = "cannot map drive D: " + Error.message();
            return;
        }
        Ready = true;
    }

    static bool Ready;
    static std::string Problem;
};

bool LauncherUnderWine::Ready = false;
std::string LauncherUnderWine::Problem;

TEST_P(LauncherUnderWine, StartsInstallerFromSetupFolder)
{
    ASSERT_TRUE(Ready) << Problem;
    const Case &Item = GetParam();
    fs::remove(RecordFile);

    std::string Output;
    const int Status = RunProgram({LAUNCHER_TEST_WINE, LAUNCHER_TEST_RUNNER},
                           {std::string("LAUNCHER_TEST_PROGRAM=") + Item.Program,
                            "LAUNCHER_TEST_COMMAND_LINE=" + Item.CommandLine,
                            std::string("LAUNCHER_TEST_RECORD=") + RecordWindowsPath},
                           90, Output);
    ASSERT_EQ(Status, 0) << "the runner failed; its output: " << Output;

    // The runner counts the launcher and everything it started.
    unsigned long ExitCode = 99, Processes = 0;
    std::string ExitWord, ProcessesWord;
    std::istringstream Report(Output);
    ASSERT_TRUE(Report >> ExitWord >> ExitCode >> ProcessesWord >> Processes) << Output;
    EXPECT_EQ(ExitCode, 0u);
    EXPECT_EQ(Processes, Item.Starts ? 2u : 1u);

    std::ifstream Record(RecordFile);
    if (!Item.Starts) {
        EXPECT_FALSE(Record.is_open()) << "an installer was started";
        return;
    }
    ASSERT_TRUE(Record.is_open()) << "the installer did not record its start";
    std::string Directory, Command;
    std::getline(Record, Directory);
    std::getline(Record, Command);
    EXPECT_EQ(Directory, Item.Directory);
    EXPECT_EQ(Command, Item.Command);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, LauncherUnderWine, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<Case> &Info) { return Info.param.Name; });

} // namespace
