// A service's record of a watchdog on Windows: in %ProgramData%\wdtctl.
#include <windows.h>

#include <cstdio>
#include <ctime>

#include "platform/system.h"

namespace wdt::system {
namespace {

// <ProgramData>\wdtctl\watchdog<n>.record<suffix>; for a write the folder is made if it is
// missing. False when the path cannot be had.
bool record_path(unsigned n, const wchar_t* suffix, bool for_writing, wchar_t* path, DWORD size) {
    wchar_t data[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    if (_snwprintf(path, size, L"%ls\\wdtctl", data) < 0) return false;
    if (for_writing && !CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    return _snwprintf(path, size, L"%ls\\wdtctl\\watchdog%u.record%ls", data, n, suffix) > 0;
}

}  // namespace

int64_t wall_clock_s() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t process_id() { return GetCurrentProcessId(); }

int64_t booted_at_s() { return static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(GetTickCount64() / 1000); }

bool process_runs(int64_t pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return runs;
}

bool write_record(unsigned n, const char* text, size_t length) {
    wchar_t path[MAX_PATH + 64], temporary[MAX_PATH + 64];
    if (!record_path(n, L"", true, path, MAX_PATH + 64) || !record_path(n, L".new", true, temporary, MAX_PATH + 64)) return false;
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool done = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) && written == length &&
                FlushFileBuffers(file);
    done = CloseHandle(file) && done;
    done = done && MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!done) DeleteFileW(temporary);
    return done;
}

size_t read_record(unsigned n, char* buffer, size_t size) {
    wchar_t path[MAX_PATH + 64];
    if (size == 0 || !record_path(n, L"", false, path, MAX_PATH + 64)) return 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD got = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(size - 1), &got, nullptr)) got = 0;
    CloseHandle(file);
    buffer[got] = '\0';
    return got;
}

}  // namespace wdt::system
