#include "launcher/setup_command.h"

#include <stddef.h>

namespace {

const char SetupFolder[] = "setup";
const char SetupProgram[] = "\\setup.exe";
const char Quote = '"';

// Appends Count characters of Text at Length, keeping room for the
// terminating zero; refuses (and changes nothing) when they would not fit.
bool AppendText(char (&Buffer)[LauncherBufferLength], size_t &Length,
                const char *Text, size_t Count)
{
    if (Count >= LauncherBufferLength - Length) {
        return false;
    }
    for (size_t Index = 0; Index < Count; Index++) {
        Buffer[Length + Index] = Text[Index];
    }
    Length += Count;
    Buffer[Length] = '\0';
    return true;
}

} // namespace

bool BuildSetupCommand(const char *CommandLine,
                       char (&Command)[LauncherBufferLength],
                       char (&Directory)[LauncherBufferLength])
{
    Command[0] = '\0';
    Directory[0] = '\0';
    if (CommandLine == nullptr) {
        return false;
    }

    const char *Path = CommandLine;
    while (*Path == ' ') {
        Path++;
    }

    // PathEnd stops on the closing quote of a quoted path, or on the space or
    // the end of the line that ends an unquoted one.
    const bool Quoted = (*Path == Quote);
    const char *PathEnd = Quoted ? Path + 1 : Path;
    if (Quoted) {
        while (*PathEnd != '\0' && *PathEnd != Quote) {
            PathEnd++;
        }
        if (*PathEnd != Quote) {
            // Where a path with an unclosed quote ends cannot be told.
            return false;
        }
    } else {
        while (*PathEnd != '\0' && *PathEnd != ' ') {
            PathEnd++;
        }
    }

    const char *LastBackslash = nullptr;
    for (const char *Scan = Path; Scan < PathEnd; Scan++) {
        if (*Scan == '\\') {
            LastBackslash = Scan;
        }
    }
    if (LastBackslash == nullptr) {
        // No folder to look beside.
        return false;
    }

    // Command: the path up to its last backslash (opening quote included),
    // "setup", "\setup.exe" and, for a quoted path, the closing quote. The
    // folder in it, without the opening quote, is the directory.
    size_t Length = 0;
    const size_t FolderStart = Quoted ? 1 : 0;
    bool Fits =
        AppendText(Command, Length, Path,
                   static_cast<size_t>(LastBackslash + 1 - Path)) &&
        AppendText(Command, Length, SetupFolder, sizeof(SetupFolder) - 1);
    const size_t FolderEnd = Length;
    Fits = Fits &&
           AppendText(Command, Length, SetupProgram, sizeof(SetupProgram) - 1) &&
           (!Quoted || AppendText(Command, Length, &Quote, 1));
    if (!Fits) {
        Command[0] = '\0';
        return false;
    }

    size_t DirectoryLength = 0;
    AppendText(Directory, DirectoryLength, Command + FolderStart,
               FolderEnd - FolderStart);
    return true;
}
