// The system on Windows.
#include <windows.h>

#include <cwchar>

#include "platform/system.h"

namespace wdt::system {
namespace {

constexpr DWORD kPathSize = 32768;

// Loads <folder>\<file_name> when such a file exists. Answers whether it exists: the first one
// found is the one used, even if it cannot be loaded. A folder of length 0 is no folder.
bool load_from(wchar_t* folder, DWORD length, const char* file_name, void** library) {
    if (length == 0 || length >= kPathSize) return false;
    wchar_t* end = folder + length;
    if (end[-1] != L'\\') *end++ = L'\\';
    const int room = static_cast<int>(kPathSize - (end - folder));
    if (MultiByteToWideChar(CP_ACP, 0, file_name, -1, end, room) == 0) return false;
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    // The library's own dependencies are looked for beside it first.
    *library = reinterpret_cast<void*>(LoadLibraryExW(folder, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    return true;
}

}  // namespace

void prepare_process() {}

// The tool runs with administrator rights, so the library is only taken from folders that an
// ordinary user cannot write to: the executable's own folder, then the system folder, then the
// Windows folder, each named by full path. Never the current directory, and never PATH, which
// holds folders of the user's own on current Windows. The current directory is also taken out of
// the search for the library's dependencies; if that cannot be done, nothing is loaded.
void* open_library(const char* file_name) {
    static wchar_t folder[kPathSize];
    const DWORD length = GetModuleFileNameW(nullptr, folder, kPathSize);
    if (length == 0 || length >= kPathSize) return nullptr;
    DWORD folder_length = length;
    while (folder_length > 0 && folder[folder_length - 1] != L'\\') --folder_length;
    folder[folder_length] = L'\0';  // keeps the separator: "C:\" for a drive root, never "C:"
    if (folder_length == 0 || !SetDllDirectoryW(folder)) return nullptr;

    void* library = nullptr;
    if (load_from(folder, folder_length, file_name, &library)) return library;
    if (load_from(folder, GetSystemDirectoryW(folder, kPathSize), file_name, &library)) return library;
    if (load_from(folder, GetWindowsDirectoryW(folder, kPathSize), file_name, &library)) return library;
    return nullptr;
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
