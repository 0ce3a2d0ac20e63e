// launcher: starts the package's installer, "setup.exe" in the folder "setup"
// beside this program, with that folder as the current directory, and ends.
// It has no window, no console and shows no message; its exit code is 0.
#include <windows.h>

#include "launcher/setup_command.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // The arguments are not used: the program path is read from the full
    // command line, which the start-up's command tail no longer holds.
    char Command[LauncherBufferLength];
    char Directory[LauncherBufferLength];
    if (!BuildSetupCommand(GetCommandLineA(), Command, Directory)) {
        return 0;
    }

    // A missing folder leaves the current directory as it was; the installer
    // is started all the same and finds itself, or not, by its full path.
    SetCurrentDirectoryA(Directory);

    STARTUPINFOA StartupInfo;
    PROCESS_INFORMATION ProcessInformation;
    ZeroMemory(&StartupInfo, sizeof(StartupInfo));
    StartupInfo.cb = sizeof(StartupInfo);
    // The installer inherits the environment and the current directory. Its
    // handles are left open: they close when this process ends, at once.
    CreateProcessA(NULL, Command, NULL, NULL, FALSE, 0, NULL, NULL,
                   &StartupInfo, &ProcessInformation);
    return 0;
}

#if !defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFO of 32-bit Windows");
#endif
