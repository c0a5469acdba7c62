// A keep-alive's metrics on Windows: a file in a folder that the system and the administrators alone
// may change (the exporter's textfile folder), written whole and moved into place.
#include <windows.h>

#include <cstdio>

#include "platform/access_windows.h"
#include "platform/record_writer.h"
#include "platform/system.h"
#include "platform/win32.h"

namespace wdt::system {

bool metrics_folder(const char* path, char* reason, size_t size) {
    static wchar_t folder[kPathSize];
    if (!file_path(path, folder, kPathSize)) {
        std::snprintf(reason, size, "%s cannot be named", path);
        return false;
    }
    return only_administrators_may_change_path(folder, true, reason, size);
}

bool write_metrics_now(unsigned n, const char* path, const char* text, size_t length, char* reason, size_t size) {
    static wchar_t folder[kPathSize], target[kPathSize], temporary[kPathSize];
    if (!metrics_folder(path, reason, size) || !file_path(path, folder, kPathSize)) return false;
    _snwprintf(target, kPathSize, L"%ls\\wdtctl_w%u.prom", folder, n);
    _snwprintf(temporary, kPathSize, L"%ls\\wdtctl_w%u.prom.%lu", folder, n, GetCurrentProcessId());
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool done = file != INVALID_HANDLE_VALUE && WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
                written == length;
    if (file != INVALID_HANDLE_VALUE) done = CloseHandle(file) && done;
    done = done && MoveFileExW(temporary, target, MOVEFILE_REPLACE_EXISTING);
    if (!done) {
        std::snprintf(reason, size, "%s\\wdtctl_w%u.prom cannot be written (error %lu)", path, n, GetLastError());
        DeleteFileW(temporary);
    }
    return done;
}

}  // namespace wdt::system
