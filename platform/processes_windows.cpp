// The guards' side on Windows: checks and repairs run as child processes that the keep-alive loop
// never waits for, each in a job object of its own.
#include <windows.h>

#include <cwchar>

#include "platform/access_windows.h"
#include "platform/system.h"
#include "platform/win32.h"

namespace wdt::system {
namespace {

// A child and its job; the job ends everything the child started, and is closed when the tool
// ends, however it ends, which ends them too (kill on close).
struct Child {
    HANDLE process = nullptr;
    HANDLE job = nullptr;
};
constexpr int kMaxChildren = 64;
Child children[kMaxChildren];

HANDLE null_device() {
    static HANDLE device = INVALID_HANDLE_VALUE;
    if (device == INVALID_HANDLE_VALUE) {
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        device = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                             OPEN_EXISTING, 0, nullptr);
    }
    return device;
}

// A job that ends everything in it when its last handle closes. Where breakaway is allowed, a
// process may start another outside it by asking to (CREATE_BREAKAWAY_FROM_JOB): a repair's job
// allows that, so that the application it starts so outlives the repair and the tool, as the tool's
// own job does, so that such a process gets past it too. A check's job never does: what a check
// starts ends with it.
HANDLE job_that_ends_all_at_close(bool breakaway) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | (breakaway ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// The tool itself goes into a job that ends everything in it when its last handle closes, at the
// tool's end however it ends: a child is in it from its creation, so that not even one created
// in the moment before it entered its own job outlives the tool. Where the tool cannot join (a
// Windows without nested jobs, when something else put the tool in a job), each child's own job
// still ends it.
void join_tool_job() {
    static bool tried = false;
    if (tried) return;
    tried = true;
    HANDLE job = job_that_ends_all_at_close(true);
    if (job != nullptr && !AssignProcessToJobObject(job, GetCurrentProcess())) CloseHandle(job);
}


// The program a command line starts, found exactly: its first argument (in quotes, or up to the
// first blank), as it is where it names a folder, else looked for in the system folder, the
// Windows folder and the folders of PATH, with ".exe" added where it has no extension. Never the
// current directory, and never a shorter path that a blank splits off ("C:\\Program" for an
// unquoted "C:\\Program Files\\..."): what is not found exactly is not started.
bool find_program(const wchar_t* line, wchar_t* program, DWORD size) {
    static wchar_t first[kPathSize], search[kPathSize];
    const bool quoted = line[0] == L'"';
    const wchar_t* start = line + (quoted ? 1 : 0);
    const wchar_t* end = quoted ? std::wcschr(start, L'"') : start + std::wcscspn(start, L" \t");
    if (end == nullptr || end == start || static_cast<size_t>(end - start) >= kPathSize) return false;
    std::wmemcpy(first, start, static_cast<size_t>(end - start));
    first[end - start] = L'\0';
    const bool has_folder = std::wcspbrk(first, L"\\/:") != nullptr;
    const wchar_t* name_part = std::wcsrchr(first, L'\\');
    const bool has_extension = std::wcschr(name_part != nullptr ? name_part : first, L'.') != nullptr;
    if (has_folder) {
        const DWORD found = GetFullPathNameW(first, size, program, nullptr);
        if (found == 0 || found >= size) return false;
        const DWORD attributes = GetFileAttributesW(program);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
        if (has_extension || found + 4 >= size) return false;
        std::wcscat(program, L".exe");
        return GetFileAttributesW(program) != INVALID_FILE_ATTRIBUTES;
    }
    DWORD used = GetSystemDirectoryW(search, kPathSize);
    if (used == 0 || used + 2 >= kPathSize) return false;
    search[used++] = L';';
    const DWORD windows = GetWindowsDirectoryW(search + used, kPathSize - used);
    if (windows == 0 || used + windows + 2 >= kPathSize) return false;
    used += windows;
    search[used++] = L';';
    const DWORD path = GetEnvironmentVariableW(L"PATH", search + used, kPathSize - used);
    search[path > 0 && used + path < kPathSize ? used + path : used] = L'\0';
    const DWORD found = SearchPathW(search, first, L".exe", size, program, nullptr);
    return found > 0 && found < size;
}

// Only the null device is handed down: no handle of the tool's (its output, a driver library's
// handles) reaches a check, whatever is inheritable.
struct HandedDown {
    STARTUPINFOEXW startup{};
    alignas(8) BYTE list[256];
    bool made = false;
};
bool hand_down_only(HandedDown& handed, HANDLE device) {
    SIZE_T size = sizeof handed.list;
    handed.startup.StartupInfo.cb = sizeof handed.startup;
    handed.startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    handed.startup.StartupInfo.hStdInput = handed.startup.StartupInfo.hStdOutput = handed.startup.StartupInfo.hStdError = device;
    handed.startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(handed.list);
    static HANDLE only[1];
    only[0] = device;
    handed.made = InitializeProcThreadAttributeList(handed.startup.lpAttributeList, 1, 0, &size) &&
                  UpdateProcThreadAttribute(handed.startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, only,
                                            sizeof only, nullptr, nullptr);
    return handed.made;
}

}  // namespace

// A service runs its checks and repairs as SYSTEM, and a run with the administrators' rights with
// those: the program must be one that nobody else may change (its file, its folder and every folder
// above). What it does with its arguments (a script that cmd runs) is for the administrators to keep
// in such folders too.
bool may_run(const char* command, char* why, size_t size) {
    static wchar_t line[kPathSize], program[kPathSize];
    if (!to_wide(command, line, kPathSize) || !find_program(line, program, kPathSize)) return true;
    return only_administrators_may_change_path(program, false, why, size);
}

// The child starts suspended and runs only once it is in its job, so nothing it starts escapes
// but what a repair starts outside its job on purpose.
int64_t start_process(const char* command, wdt::ChildRole role) {
    int slot = 0;
    while (slot < kMaxChildren && children[slot].process != nullptr) ++slot;
    const HANDLE device = null_device();
    if (slot == kMaxChildren || device == INVALID_HANDLE_VALUE) return 0;
    static wchar_t line[kPathSize], program[kPathSize];  // CreateProcessW may write into the line
    char why[1400];
    if ((control.service || elevated()) && !may_run(command, why, sizeof why)) return 0;  // a later PATH finds no other
    if (!to_wide(command, line, kPathSize) || !find_program(line, program, kPathSize)) return 0;
    join_tool_job();
    HANDLE job = job_that_ends_all_at_close(role == wdt::ChildRole::repair);
    HandedDown handed;
    if (job == nullptr || !hand_down_only(handed, device)) {
        if (job != nullptr) CloseHandle(job);
        return 0;
    }
    PROCESS_INFORMATION started{};
    const bool created = CreateProcessW(program, line, nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                        nullptr, &handed.startup.StartupInfo, &started);
    DeleteProcThreadAttributeList(handed.startup.lpAttributeList);
    if (!created) {
        CloseHandle(job);
        return 0;
    }
    if (!AssignProcessToJobObject(job, started.hProcess)) {
        TerminateProcess(started.hProcess, 1);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        CloseHandle(job);
        return 0;
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    children[slot] = {started.hProcess, job};
    return slot + 1;
}

wdt::ProcessState poll_process(int64_t id) {
    const Child& child = children[id - 1];
    if (WaitForSingleObject(child.process, 0) != WAIT_OBJECT_0) return wdt::ProcessState::running;
    DWORD status = 1;
    GetExitCodeProcess(child.process, &status);
    return status == 0 ? wdt::ProcessState::succeeded : wdt::ProcessState::failed;
}

// What a check starts stays in its job, which ends with it: nothing is left to end or reap.
bool end_strays(bool) { return true; }

void end_process(int64_t id) {
    Child& child = children[id - 1];
    TerminateJobObject(child.job, 1);
    CloseHandle(child.job);
    CloseHandle(child.process);
    child = {};
}

}  // namespace wdt::system
