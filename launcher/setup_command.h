// The launcher's one piece of logic: from its own command line to the folder
// "setup" beside it and the command line that starts the installer there.
#pragma once

// Both strings the launcher builds live in buffers of this many characters,
// the terminating zero included.
enum { LauncherBufferLength = 260 };

// Isolates the program path at the start of CommandLine (leading spaces
// skipped; a quoted path runs to its closing quote, an unquoted one to the
// first space), replaces its file name by "setup" and fills in
//   Directory: that folder, without the opening quote of a quoted path;
//   Command:   the folder followed by "\setup.exe", quoted again when the
//              program path was quoted.
// Whatever follows the program path is not looked at.
//
// Returns false, with both strings empty, when there is nothing sound to
// start: the quote is never closed, the program path holds no backslash, or
// the command would not fit in its buffer. Nothing is ever written past
// either buffer, however long CommandLine is.
bool BuildSetupCommand(const char *CommandLine,
                       char (&Command)[LauncherBufferLength],
                       char (&Directory)[LauncherBufferLength]);
