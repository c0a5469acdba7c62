// The system on Windows.
#include <windows.h>

#include <cstring>

#include "platform/system.h"

namespace wdt::system {

// The tool runs with administrator rights, so a "WDT.dll" planted in whatever folder it is started
// from must not be loaded: the current directory is taken out of the search before loading, and
// the rest of the usual search (the executable's folder, the system folders, PATH) stays.
// Setting any DLL directory removes the current directory. The documented way, an empty string,
// is ignored by some implementations of the API (Wine), so the executable's own folder, which is
// searched first anyway, is named instead; the empty string remains the fallback.
void* open_library(const char* file_name) {
    static char folder[32768];
    const DWORD length = GetModuleFileNameA(nullptr, folder, sizeof folder);
    char* last_separator = (length > 0 && length < sizeof folder) ? std::strrchr(folder, '\\') : nullptr;
    if (last_separator != nullptr) *last_separator = '\0';
    SetDllDirectoryA(last_separator != nullptr ? folder : "");
    return reinterpret_cast<void*>(LoadLibraryA(file_name));
}

void* find_entry(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

int64_t now_ms() {
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return count.QuadPart / frequency.QuadPart * 1000 + count.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart;
}

bool sleep_until_ms(int64_t deadline) {
    for (int64_t left = deadline - now_ms(); left > 0; left = deadline - now_ms()) {
        Sleep(static_cast<DWORD>(left));
    }
    return true;
}

}  // namespace wdt::system
