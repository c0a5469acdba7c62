#include "platform/access_windows.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "platform/win32.h"

namespace wdt::system {
namespace {

// What lets a holder of the right change a file or a folder (what it holds, too).
constexpr DWORD kChanging = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                            WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
// What lets a holder of the right take away or rename what a folder above holds (adding beside it
// is harmless).
constexpr DWORD kReplacing = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | MAXIMUM_ALLOWED;

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

bool is_own_account(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const bool own = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                     EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
    return own;
}

bool is_trusted_installer(PSID sid) {
    static BYTE installer[SECURITY_MAX_SID_SIZE];
    static bool made = false;
    if (!made) {
        PSID sid_made = nullptr;
        if (!ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &sid_made)) return false;
        CopySid(sizeof installer, installer, sid_made);
        LocalFree(sid_made);
        made = true;
    }
    return EqualSid(sid, installer);
}

// The system, the administrators, the installer's own account; and this process's account where
// it is a service's, or has no more rights than that account's every other program.
bool is_trusted(PSID sid) {
    return is_well_known(sid, WinLocalSystemSid) || is_well_known(sid, WinBuiltinAdministratorsSid) ||
           is_trusted_installer(sid) || ((control.service || !elevated()) && is_own_account(sid));
}

// An entry for the creator, which only children inherit, never grants anything itself.
bool grants_nothing(PSID sid) {
    return is_well_known(sid, WinCreatorOwnerSid) || is_well_known(sid, WinCreatorGroupSid);
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

// How much of a full path is its root: "C:\", "\\server\share\", and the same after "\\?\"; 0 for
// a path that is not a full one.
size_t root_length(const wchar_t* path) {
    size_t at = 0;
    bool shared = false;
    if (std::wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        at = 8;
        shared = true;
    } else if (std::wcsncmp(path, L"\\\\?\\", 4) == 0) {
        at = 4;
    } else if (std::wcsncmp(path, L"\\\\", 2) == 0) {
        at = 2;
        shared = true;
    }
    if (!shared) return std::iswalpha(path[at]) && path[at + 1] == L':' && path[at + 2] == L'\\' ? at + 3 : 0;
    for (int part = 0; part < 2; ++part) {  // the server, then the share
        const size_t start = at;
        while (path[at] != L'\0' && path[at] != L'\\') ++at;
        if (at == start || (path[at] == L'\0' && part == 0)) return 0;
        if (path[at] == L'\\') ++at;
    }
    return at;
}

// A drive's root is the volume itself, whatever its attributes say (Wine shows its drives as links).
bool judge(const wchar_t* path, Held held, bool root, char* why, size_t size) {
    char shown[1024];
    to_utf8(path, shown, sizeof shown);
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        std::snprintf(why, size, "%s cannot be looked at (error %lu)", shown, GetLastError());
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !root) {
        std::snprintf(why, size, "%s is a reparse point (a junction or a link), which may lead anywhere", shown);
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        std::snprintf(why, size, "the access list of %s cannot be read (error %lu)", shown, error);
        return false;
    }
    const bool trusted = only_administrators_may_change(descriptor, held, shown, why, size);
    LocalFree(descriptor);
    return trusted;
}

}  // namespace

bool elevated() {
    static int known = -1;
    if (known < 0) {
        HANDLE token = nullptr;
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) && elevation.TokenIsElevated;
        if (token != nullptr) CloseHandle(token);
    }
    return known == 1;
}

bool only_administrators_may_change(PSECURITY_DESCRIPTOR descriptor, Held held, const char* shown, char* why, size_t size) {
    PSID owner = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    char account[200];
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr || !is_trusted(owner)) {
        if (owner != nullptr) name_sid(owner, account, sizeof account);
        std::snprintf(why, size, "%s is owned by %s, who may change it", shown, owner != nullptr ? account : "nobody");
        return false;
    }
    if (!GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) || !present || list == nullptr) {
        std::snprintf(why, size, "%s has no access list: anyone may write it", shown);
        return false;
    }
    const DWORD rights = held == Held::above ? kReplacing : kChanging;
    for (DWORD i = 0; i < list->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(list, i, reinterpret_cast<void**>(&header)) || (header->AceFlags & INHERIT_ONLY_ACE) != 0 ||
            (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)) {
            continue;
        }
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);  // the callback kind starts alike
        PSID sid = &allowed->SidStart;
        if ((allowed->Mask & rights) == 0 || is_trusted(sid) || grants_nothing(sid)) continue;
        name_sid(sid, account, sizeof account);
        std::snprintf(why, size, held == Held::above ? "%s lets %s replace what it holds" : "%s lets %s write it", shown,
                      account);
        return false;
    }
    return true;
}

bool only_administrators_may_change_path(const wchar_t* path, bool is_folder, char* why, size_t size) {
    static wchar_t walked[kPathSize];
    size_t length = std::wcslen(path);
    const size_t root = root_length(path);
    if (length >= kPathSize || root == 0) {
        char shown[1024];
        to_utf8(path, shown, sizeof shown);
        std::snprintf(why, size, "%s is not a full path", shown);
        return false;
    }
    std::wmemcpy(walked, path, length + 1);
    while (length > root && walked[length - 1] == L'\\') walked[--length] = L'\0';
    for (Held held = is_folder ? Held::folder : Held::file;; held = held == Held::file ? Held::folder : Held::above) {
        if (!judge(walked, held, length <= root, why, size)) return false;
        if (length <= root) return true;
        while (length > root && walked[length - 1] != L'\\') --length;
        while (length > root && walked[length - 1] == L'\\') --length;
        walked[length] = L'\0';
    }
}

// Owned by the administrators; the system and the administrators have every right; users may list
// the folder, and that entry is not inherited by its files, so that no user can open (or hold open)
// a file there.
bool make_administrators_folder(const wchar_t* folder) {
    static SECURITY_ATTRIBUTES attributes{};
    SECURITY_ATTRIBUTES* made =
        attributes_from(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x1200a9;;;BU)", attributes);
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
