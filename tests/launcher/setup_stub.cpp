// A stand-in for the installer, started by the launcher under test. It writes
// its current directory and its command line, one a line, to the file named by
// the environment variable LAUNCHER_TEST_RECORD (which it finds only if the
// launcher passed its environment on), and ends.
#include <windows.h>

namespace {

bool WriteText(HANDLE File, const char *Text, DWORD Length)
{
    DWORD Written = 0;
    return WriteFile(File, Text, Length, &Written, NULL) && Written == Length;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char RecordPath[MAX_PATH];
    DWORD PathLength = GetEnvironmentVariableA("LAUNCHER_TEST_RECORD", RecordPath, MAX_PATH);
    if (PathLength == 0 || PathLength >= MAX_PATH - 4) {
        return 2;
    }

    char Directory[MAX_PATH * 2];
    DWORD DirectoryLength = GetCurrentDirectoryA(sizeof(Directory), Directory);
    if (DirectoryLength == 0 || DirectoryLength >= sizeof(Directory)) {
        return 3;
    }
    const char *CommandLine = GetCommandLineA();

    // Written under another name and renamed, so that the record is either
    // absent or whole.
    char PartPath[MAX_PATH];
    lstrcpyA(PartPath, RecordPath);
    lstrcatA(PartPath, ".new");
    HANDLE File = CreateFileA(PartPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (File == INVALID_HANDLE_VALUE) {
        return 4;
    }
    bool Written = WriteText(File, Directory, DirectoryLength) &&
                   WriteText(File, "\n", 1) &&
                   WriteText(File, CommandLine, lstrlenA(CommandLine)) &&
                   WriteText(File, "\n", 1);
    CloseHandle(File);
    if (!Written || !MoveFileExA(PartPath, RecordPath, MOVEFILE_REPLACE_EXISTING)) {
        return 5;
    }
    return 0;
}
