#include "platform/win32.h"

#include <aclapi.h>
#include <sddl.h>

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

namespace {

// What lets a holder of the right change a folder or what it holds.
constexpr DWORD kWriting = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_DELETE_CHILD | DELETE |
                           WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

bool is_own_user(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const bool own = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                     EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
    return own;
}

// The system, the administrators, the installer's own account, or this process's user.
bool is_trusted(PSID sid) {
    static BYTE installer[SECURITY_MAX_SID_SIZE];
    static PSID trusted_installer = nullptr;
    if (trusted_installer == nullptr) {
        PSID made = nullptr;
        if (ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &made)) {
            CopySid(sizeof installer, installer, made);
            LocalFree(made);
            trusted_installer = installer;
        }
    }
    return is_well_known(sid, WinLocalSystemSid) || is_well_known(sid, WinBuiltinAdministratorsSid) ||
           (trusted_installer != nullptr && EqualSid(sid, trusted_installer)) || is_own_user(sid);
}

void name_sid(PSID sid, char* text, size_t size) {
    wchar_t* name = nullptr;
    if (ConvertSidToStringSidW(sid, &name)) {
        to_utf8(name, text, size);
        LocalFree(name);
    } else {
        std::snprintf(text, size, "an unknown account");
    }
}

// A security descriptor from its text, made once.
SECURITY_ATTRIBUTES* attributes_from(const wchar_t* sddl, SECURITY_ATTRIBUTES& attributes) {
    if (attributes.lpSecurityDescriptor == nullptr &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
                                                              nullptr)) {
        return nullptr;
    }
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = FALSE;
    return &attributes;
}

}  // namespace

bool only_administrators_write(const wchar_t* folder, char* why, size_t size) {
    char shown[1024];
    to_utf8(folder, shown, sizeof shown);
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        std::snprintf(why, size, "%s is not a folder that can be looked at (error %lu)", shown, GetLastError());
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        std::snprintf(why, size, "%s is a reparse point (a junction or a link), which may lead anywhere", shown);
        return false;
    }
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                              &owner, nullptr, &list, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        std::snprintf(why, size, "the access list of %s cannot be read (error %lu)", shown, error);
        return false;
    }
    char account[200];
    bool trusted = true;
    if (owner == nullptr || !is_trusted(owner)) {
        if (owner != nullptr) name_sid(owner, account, sizeof account);
        std::snprintf(why, size, "%s is owned by %s, who may change who may write it", shown, owner != nullptr ? account : "nobody");
        trusted = false;
    } else if (list == nullptr) {
        std::snprintf(why, size, "%s has no access list: anyone may write it", shown);
        trusted = false;
    }
    for (DWORD i = 0; trusted && i < list->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(list, i, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;
        }
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = &allowed->SidStart;
        if ((allowed->Mask & kWriting) == 0 || is_trusted(sid)) continue;
        name_sid(sid, account, sizeof account);
        std::snprintf(why, size, "%s lets %s write it", shown, account);
        trusted = false;
    }
    LocalFree(descriptor);
    return trusted;
}

// The system and the administrators have every right; users may list the folder, and the
// entry is not inherited by its files, so that no user can open (or hold open) a file there.
bool make_administrators_folder(const wchar_t* folder) {
    static SECURITY_ATTRIBUTES attributes{};
    SECURITY_ATTRIBUTES* made = attributes_from(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x1200a9;;;BU)", attributes);
    return made != nullptr && CreateDirectoryW(folder, made);
}

SECURITY_ATTRIBUTES* administrators_only() {
    static SECURITY_ATTRIBUTES attributes{};
    return attributes_from(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", attributes);
}

void keep_to_administrators(HANDLE file) {
    SECURITY_ATTRIBUTES* attributes = administrators_only();
    if (attributes == nullptr) return;
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    if (GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &list, &defaulted) && present) {
        SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, list, nullptr);
    }
}

}  // namespace wdt::system
