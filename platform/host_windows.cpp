// The host on Windows.
#include <windows.h>

#include <cstdio>

#include "platform/host.h"

namespace wdt {
namespace {

// The tool runs with administrator rights, so a "WDT.dll" planted in whatever folder it is started
// from must not be loaded: take the current directory out of the search before loading. The folder
// of the executable and the system folders are still searched.
void* open_library(const char* file_name) {
    SetDllDirectoryA("");
    return reinterpret_cast<void*>(LoadLibraryA(file_name));
}

void* find_entry(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void print(const char* format, va_list args) { std::vprintf(format, args); }

void flush() { std::fflush(stdout); }

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

}  // namespace

const Host& system_host() {
    static const Host host{open_library, find_entry, print, flush, now_ms, sleep_until_ms};
    return host;
}

}  // namespace wdt
