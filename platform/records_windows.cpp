// A service's record of a watchdog on Windows: in %ProgramData%\wdtctl, a folder that the system
// and the administrators alone may change (made so by the tool; one that others may write, that
// another owns, or that is a junction is not used), written on a thread of its own (record_writer.cpp).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "platform/system.h"
#include "platform/win32.h"
#include "platform/record_writer.h"

namespace wdt::system {
namespace {

// <ProgramData>\wdtctl, made if it is missing when asked to; false with the reason when it cannot
// be had, or is not the tool's own.
bool folder(bool make, wchar_t* path, size_t size, char* reason, size_t reason_size) {
    wchar_t data[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || _snwprintf(path, size, L"%ls\\wdtctl", data) < 0) {
        std::snprintf(reason, reason_size, "%%ProgramData%% is not set");
        return false;
    }
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        if (!make || !make_administrators_folder(path)) {
            std::snprintf(reason, reason_size, "no folder %%ProgramData%%\\wdtctl");
            return false;
        }
    }
    return only_administrators_write(path, reason, reason_size);
}

bool file_in(unsigned n, const wchar_t* suffix, bool make, wchar_t* path, size_t size, char* reason, size_t reason_size) {
    static wchar_t where[MAX_PATH + 16];
    if (!folder(make, where, MAX_PATH + 16, reason, reason_size)) return false;
    return _snwprintf(path, size, L"%ls\\watchdog%u%ls", where, n, suffix) > 0;
}

// A boot's own id, kept in a volatile registry key, which the system forgets when it starts again:
// made by the first process of the boot that may, read by every later one.
constexpr const wchar_t* kBootKey = L"SOFTWARE\\wdtctl-boot";

}  // namespace

bool write_record_now(unsigned n, const char* text, size_t length) {
    static wchar_t path[MAX_PATH + 64], temporary[MAX_PATH + 96];
    static unsigned count = 0;
    char reason[1400];
    if (!file_in(n, L".record", true, path, MAX_PATH + 64, reason, sizeof reason)) return false;
    // A name of this writer's own: another writer, or anything left there, is never written into.
    _snwprintf(temporary, MAX_PATH + 96, L"%ls.%lu.%u", path, GetCurrentProcessId(), count++);
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, administrators_only(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool done = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) && written == length &&
                FlushFileBuffers(file);
    done = CloseHandle(file) && done;
    done = done && MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!done) DeleteFileW(temporary);
    return done;
}

int64_t wall_clock_s() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t process_id() { return GetCurrentProcessId(); }

// The process's creation time: no later process of the same id starts at the same moment.
int64_t process_start(int64_t pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED ? -1 : 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    DWORD code = 0;
    const bool runs = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
                      WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    const bool timed = GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    if (!runs) return 0;
    return timed ? static_cast<int64_t>((uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime) : -1;
}

bool boot_id(char* text, size_t size) {
    HKEY key = nullptr;
    DWORD made = 0;
    wchar_t id[64] = L"";
    DWORD length = sizeof id - sizeof id[0];
    // One key for both builds: a 32-bit process sees the 64-bit registry's.
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kBootKey, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, &made) != ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBootKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool known = RegQueryValueExW(key, L"Id", nullptr, nullptr, reinterpret_cast<BYTE*>(id), &length) == ERROR_SUCCESS;
    if (!known) {
        LARGE_INTEGER count{};
        QueryPerformanceCounter(&count);
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        _snwprintf(id, 63, L"%08lx-%08lx-%016llx", GetCurrentProcessId(), now.dwLowDateTime,
                   static_cast<unsigned long long>(count.QuadPart));
        known = RegSetValueExW(key, L"Id", 0, REG_SZ, reinterpret_cast<const BYTE*>(id),
                               static_cast<DWORD>((std::wcslen(id) + 1) * sizeof id[0])) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    id[63] = L'\0';
    return known && to_utf8(id, text, size);
}

int64_t booted_at_s() { return static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(GetTickCount64() / 1000); }

// Read shared for reading, writing and deletion, so that the writer's rename is never held up.
wdt::RecordRead read_record(unsigned n, char* buffer, size_t size, char* reason, size_t reason_size) {
    static wchar_t path[MAX_PATH + 64];
    reason[0] = '\0';
    if (size == 0) return wdt::RecordRead::none;
    if (!file_in(n, L".record", false, path, MAX_PATH + 64, reason, reason_size)) {
        return std::strncmp(reason, "no folder", 9) == 0 ? wdt::RecordRead::none : wdt::RecordRead::refused;
    }
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return wdt::RecordRead::none;
    char shown[1024];
    to_utf8(path, shown, sizeof shown);
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        std::snprintf(reason, reason_size, "%s is not a plain file", shown);
        return wdt::RecordRead::refused;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return wdt::RecordRead::none;
    DWORD got = 0;
    if (GetFileType(file) != FILE_TYPE_DISK || !ReadFile(file, buffer, static_cast<DWORD>(size - 1), &got, nullptr)) got = 0;
    CloseHandle(file);
    buffer[got] = '\0';
    return wdt::RecordRead::read;
}


// A lock file beside the record, held open without sharing for the life of the process, or until
// unlocked.
namespace {
HANDLE held_locks[2] = {nullptr, nullptr};
}  // namespace

wdt::RecordLock lock_record(unsigned n) {
    static wchar_t path[MAX_PATH + 64];
    char reason[1400];
    if (!file_in(n, L".lock", true, path, MAX_PATH + 64, reason, sizeof reason)) return wdt::RecordLock::unavailable;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, administrators_only(), OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        if (n < 2) held_locks[n] = file;  // kept open to the end or the unlock
        return wdt::RecordLock::taken;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION ? wdt::RecordLock::held_elsewhere : wdt::RecordLock::unavailable;
}

void unlock_record(unsigned n) {
    if (n > 1 || held_locks[n] == nullptr) return;
    CloseHandle(held_locks[n]);
    held_locks[n] = nullptr;
}

}  // namespace wdt::system
