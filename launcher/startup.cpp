// The start-up of a GUI program, in place of the C run-time's: the launcher
// uses nothing of the run-time library, so it needs no more than a call of
// WinMain with the usual arguments and the end of the process with its result.
#include <windows.h>

namespace {

// The command tail: what follows the program path and the spaces after it.
LPSTR CommandTail(LPSTR CommandLine)
{
    LPSTR Tail = CommandLine;
    while (*Tail == ' ' || *Tail == '\t') {
        Tail++;
    }
    if (*Tail == '"') {
        Tail++;
        while (*Tail != '\0' && *Tail != '"') {
            Tail++;
        }
        if (*Tail == '"') {
            Tail++;
        }
    } else {
        while (*Tail != '\0' && *Tail != ' ' && *Tail != '\t') {
            Tail++;
        }
    }
    while (*Tail == ' ' || *Tail == '\t') {
        Tail++;
    }
    return Tail;
}

} // namespace

extern "C" void WinMainCRTStartup(void)
{
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(NULL), NULL,
                                          CommandTail(GetCommandLineA()),
                                          SW_SHOWDEFAULT)));
}
