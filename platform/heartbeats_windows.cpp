// A heartbeat file's modification time on Windows.
#include <windows.h>

#include <cstdio>

#include "platform/heartbeats.h"
#include "platform/win32.h"

namespace wdt::system {

void read_file_time(const char* path, wdt::Lookup& lookup) {
    static wchar_t wide[kPathSize];
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!file_path(path, wide, kPathSize)) {
        lookup.kind = wdt::FileKind::unreadable;
        std::snprintf(lookup.reason, sizeof lookup.reason, "not a path this system can take");
    } else if (GetFileAttributesExW(wide, GetFileExInfoStandard, &data)) {
        const uint64_t ticks = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
        lookup.kind = wdt::FileKind::found;
        lookup.time = {static_cast<int64_t>(ticks / 10000000), static_cast<int64_t>(ticks % 10000000 * 100)};
    } else if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND) {
        lookup.kind = wdt::FileKind::absent;
    } else {
        lookup.kind = wdt::FileKind::unreadable;
        std::snprintf(lookup.reason, sizeof lookup.reason, "error %lu", GetLastError());
    }
}

}  // namespace wdt::system
