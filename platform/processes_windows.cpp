// The guards' side on Windows: a file's modification time, and checks and repairs run as child
// processes that the keep-alive loop never waits for, each in a job object of its own.
#include <windows.h>

#include <initializer_list>

#include "platform/system.h"

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

HANDLE job_that_ends_all_at_close() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
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
    HANDLE job = job_that_ends_all_at_close();
    if (job != nullptr && !AssignProcessToJobObject(job, GetCurrentProcess())) CloseHandle(job);
}

// The tool's own standard handles are not handed down: a check gets the null device, and one that
// outlived the tool must never hold its output open.
void keep_own_handles() {
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(which);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    }
}

}  // namespace

int64_t file_stamp(const char* path) {
    static wchar_t wide[32768];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 32768) == 0) return wdt::kNoFile;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(wide, GetFileExInfoStandard, &data)) return wdt::kNoFile;
    return static_cast<int64_t>((uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime);
}

// The child starts suspended and runs only once it is in its job, so nothing it starts escapes.
int64_t start_process(const char* command) {
    int slot = 0;
    while (slot < kMaxChildren && children[slot].process != nullptr) ++slot;
    const HANDLE device = null_device();
    if (slot == kMaxChildren || device == INVALID_HANDLE_VALUE) return 0;
    static wchar_t line[32768];  // CreateProcessW may write into it
    if (MultiByteToWideChar(CP_ACP, 0, command, -1, line, 32768) == 0) return 0;
    join_tool_job();
    keep_own_handles();
    HANDLE job = job_that_ends_all_at_close();
    if (job == nullptr) return 0;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = device;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &started)) {
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

void end_process(int64_t id) {
    Child& child = children[id - 1];
    TerminateJobObject(child.job, 1);
    CloseHandle(child.job);
    CloseHandle(child.process);
    child = {};
}

}  // namespace wdt::system
