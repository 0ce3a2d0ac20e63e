// Starts a program with an exact command line, as Windows Explorer or a
// command prompt would start the launcher, and reports what became of it.
//
//   LAUNCHER_TEST_PROGRAM       the program file to start
//   LAUNCHER_TEST_COMMAND_LINE  the command line it is given, unchanged
//
// The program starts in C:\ inside a job, so that whatever it starts in turn
// is counted too. The runner waits for the program, then for every process in
// the job, and prints one line: "exit <code> processes <count>". Its own exit
// code is 0 when it could do all this and 1 otherwise (with the reason on
// standard error).
#include <windows.h>

#include <stdio.h>

namespace {

const DWORD WaitLimitMs = 30000;

int Fail(const char *What)
{
    fprintf(stderr, "run_launcher: %s failed (error %lu)\n", What, GetLastError());
    return 1;
}

} // namespace

int main()
{
    static char Program[32768];
    static char CommandLine[32768];
    if (GetEnvironmentVariableA("LAUNCHER_TEST_PROGRAM", Program, sizeof(Program)) == 0) {
        return Fail("reading LAUNCHER_TEST_PROGRAM");
    }
    SetLastError(0);
    if (GetEnvironmentVariableA("LAUNCHER_TEST_COMMAND_LINE", CommandLine, sizeof(CommandLine)) == 0 &&
        GetLastError() != 0) {
        return Fail("reading LAUNCHER_TEST_COMMAND_LINE");
    }

    HANDLE Job = CreateJobObjectA(NULL, NULL);
    if (Job == NULL) {
        return Fail("CreateJobObject");
    }

    STARTUPINFOA StartupInfo;
    ZeroMemory(&StartupInfo, sizeof(StartupInfo));
    StartupInfo.cb = sizeof(StartupInfo);
    PROCESS_INFORMATION Process;
    if (!CreateProcessA(Program, CommandLine, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL,
                        "C:\\", &StartupInfo, &Process)) {
        return Fail("CreateProcess");
    }
    if (!AssignProcessToJobObject(Job, Process.hProcess)) {
        TerminateProcess(Process.hProcess, 1);
        return Fail("AssignProcessToJobObject");
    }
    ResumeThread(Process.hThread);

    if (WaitForSingleObject(Process.hProcess, WaitLimitMs) != WAIT_OBJECT_0) {
        TerminateJobObject(Job, 1);
        return Fail("waiting for the program");
    }
    DWORD ExitCode = 0;
    GetExitCodeProcess(Process.hProcess, &ExitCode);

    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION Accounting;
    for (DWORD Waited = 0;; Waited += 10) {
        if (!QueryInformationJobObject(Job, JobObjectBasicAccountingInformation, &Accounting,
                                       sizeof(Accounting), NULL)) {
            return Fail("QueryInformationJobObject");
        }
        if (Accounting.ActiveProcesses == 0) {
            break;
        }
        if (Waited >= WaitLimitMs) {
            TerminateJobObject(Job, 1);
            SetLastError(ERROR_TIMEOUT);
            return Fail("waiting for the processes it started");
        }
        Sleep(10);
    }

    printf("exit %lu processes %lu\n", ExitCode, Accounting.TotalProcesses);
    fflush(stdout);
    return 0;
}
