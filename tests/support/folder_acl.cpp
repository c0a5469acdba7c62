// A folder's security as Windows' own functions see it, for the tests under Wine:
//   folder_acl show FOLDER     prints its owner and access list as SDDL
//   folder_acl open FOLDER     lets Users write it (an access list as a folder made under C:\ inherits)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (std::wcscmp(argv[1], L"open") == 0) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)",
                                                                  SDDL_REVISION_1, &descriptor, nullptr)) {
            return 1;
        }
        BOOL present = FALSE, defaulted = FALSE;
        PACL list = nullptr;
        GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
        const DWORD error = SetNamedSecurityInfoW(argv[2], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, list, nullptr);
        std::printf("%lu\n", error);
        return error == ERROR_SUCCESS ? 0 : 1;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(argv[2], SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return 1;
    }
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &text, nullptr)) return 1;
    char shown[4096];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, shown, sizeof shown, nullptr, nullptr);
    std::printf("%s\n", shown);
    std::fflush(stdout);
    return 0;
}
