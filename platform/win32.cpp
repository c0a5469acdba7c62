#include "platform/win32.h"

#include <cstdio>
#include <cwchar>

namespace wdt::system {

Control control;

bool to_wide(const char* text, wchar_t* wide, size_t size) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, static_cast<int>(size));
    if (length == 0 && size > 0) wide[0] = L'\0';
    return length > 0;
}

bool to_utf8(const wchar_t* wide, char* text, size_t size) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, static_cast<int>(size), nullptr, nullptr);
    if (length == 0 && size > 0) text[0] = '\0';
    return length > 0;
}

bool file_path(const char* path, wchar_t* wide, size_t size) {
    static wchar_t given[kPathSize];
    if (!to_wide(path, given, kPathSize)) return false;
    if (std::wcslen(given) < MAX_PATH - 12 || std::wcsncmp(given, L"\\\\", 2) == 0) {
        if (std::wcslen(given) >= size) return false;
        std::wcscpy(wide, given);
        return true;
    }
    if (size < 5) return false;
    std::wcscpy(wide, L"\\\\?\\");
    const DWORD length = GetFullPathNameW(given, static_cast<DWORD>(size - 4), wide + 4, nullptr);
    return length > 0 && length < size - 4;
}

DWORD own_folder(wchar_t* folder) {
    const DWORD length = GetModuleFileNameW(nullptr, folder, kPathSize);
    DWORD folder_length = (length > 0 && length < kPathSize) ? length : 0;
    while (folder_length > 0 && folder[folder_length - 1] != L'\\') --folder_length;
    folder[folder_length] = L'\0';
    return folder_length;
}

}  // namespace wdt::system
