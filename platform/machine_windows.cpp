// What a drill's report names, on Windows: the host name, the machine as the firmware's tables name
// it (the registry keeps the BIOS's own words), the user, and a file's bytes.
#include <windows.h>

#include <cstdio>

#include "platform/system.h"
#include "platform/win32.h"

namespace wdt::system {
namespace {

bool bios_value(HKEY key, const wchar_t* name, char* text, size_t size) {
    wchar_t value[256] = L"";
    DWORD length = sizeof value - sizeof value[0];
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &length) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    value[255] = L'\0';
    return to_utf8(value, text, size) && text[0] != '\0';
}

}  // namespace

bool host_name(char* text, size_t size) {
    wchar_t name[256];
    DWORD length = 256;
    return GetComputerNameExW(ComputerNameDnsHostname, name, &length) && to_utf8(name, text, size);
}

bool machine_product(char* text, size_t size) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\BIOS", 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    char maker[128] = "", product[128] = "";
    bios_value(key, L"SystemManufacturer", maker, sizeof maker);
    const bool named = bios_value(key, L"SystemProductName", product, sizeof product);
    RegCloseKey(key);
    if (!named && maker[0] == '\0') return false;
    std::snprintf(text, size, "%s%s%s", maker, maker[0] != '\0' && named ? " " : "", product);
    return true;
}

bool user_name(char* text, size_t size) {
    wchar_t name[257];
    DWORD length = 257;
    return GetUserNameW(name, &length) && to_utf8(name, text, size);
}

bool read_file(const char* path, void (*each)(const void* data, size_t size, void* context), void* context) {
    static wchar_t wide[kPathSize];
    if (!file_path(path, wide, kPathSize)) return false;
    HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    static char piece[16384];
    DWORD got = 0;
    bool read = true;
    while ((read = ReadFile(file, piece, sizeof piece, &got, nullptr)) && got > 0) each(piece, got, context);
    CloseHandle(file);
    return read;
}

}  // namespace wdt::system
