// Runs a command line as a console runs it by default on Windows: with the user's token without
// elevation (the linked token of an elevated one, as Wine gives every process), for the tests under
// Wine. The command's output is this program's, its exit status too; it ends with this program
// (a job); a Ctrl-C or Ctrl-Break is the command's own business (Wine gives it the one that a
// SIGINT to its process makes), and never ends this program first.
//   unelevated COMMAND LINE...
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

BOOL WINAPI ignore(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

// The command line after this program's own name.
const wchar_t* rest_of(const wchar_t* line) {
    if (*line == L'"') {
        line = std::wcschr(line + 1, L'"');
        line = line != nullptr ? line + 1 : L"";
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

HANDLE inheritable(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return handle;
}

}  // namespace

int wmain() {
    static wchar_t command[32768];
    std::wcsncpy(command, rest_of(GetCommandLineW()), 32767);
    HANDLE token = nullptr;
    TOKEN_LINKED_TOKEN linked{};
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &token) ||
        !GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) {
        std::fprintf(stderr, "unelevated: no token (error %lu)\n", GetLastError());
        return 125;
    }
    HANDLE run_as = token;
    if (elevation.TokenIsElevated) {
        if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) {
            std::fprintf(stderr, "unelevated: no token without elevation (error %lu)\n", GetLastError());
            return 125;
        }
        run_as = linked.LinkedToken;
    }
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // As from a console: what asks to leave the job (CREATE_BREAKAWAY_FROM_JOB) may.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (job == nullptr || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !CreateProcessAsUserW(run_as, nullptr, command, nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                              nullptr, nullptr, &startup, &process) ||
        !AssignProcessToJobObject(job, process.hProcess)) {
        std::fprintf(stderr, "unelevated: cannot run the command (error %lu)\n", GetLastError());
        return 125;
    }
    SetConsoleCtrlHandler(ignore, TRUE);
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
