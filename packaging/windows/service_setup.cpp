// The installer's own steps for the wdtctl service, run after the service is registered: what the
// installer's service table cannot say. It quotes the program's path in the service's command line
// (a path with a blank, unquoted, lets Windows try "C:\Program.exe" first: a hole that any user who
// can write to C:\ could use), asks the service control manager to restart the service when it
// fails, also when it ends with an error status, so that a keep-alive that dies is running again
// well within the watchdog's timeout, and starts it once the machine's WDT.dll is there.
//
// Before that, the settings are taken only from an administrator, the installation folder is
// checked (never a drive's root, never under a folder that users may change), and the record's
// folder is made before any user could make it.
//
// ConfigureService's CustomActionData: the program's full path, "|", whether the installation
// made its folder ("1") or not, "|", privileges to add to the service's list, "|", the service's
// arguments. At uninstall it also removes the service's log, which the service wrote, so that
// nothing of it stays behind.
#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <cwchar>

#include "platform/access_windows.h"
#include "platform/win32.h"

namespace {

using wdt::system::only_administrators_may_change_path;

// One line in the installer's log.
void note(MSIHANDLE install, const wchar_t* text) {
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// The arguments come with each guard in quotes ("--heartbeat=C:\\data\\"), and a value may end in a
// backslash, which would escape its closing quote and merge the arguments after it: the
// backslashes before each quote are doubled, as the command line's rules want them. (A value
// holds no quote of its own.)
bool quote_command_line(SC_HANDLE service, const wchar_t* program, const wchar_t* arguments) {
    wchar_t command_line[4200];
    const size_t room = sizeof command_line / sizeof command_line[0];
    int used = std::swprintf(command_line, room, L"\"%ls\" ", program);
    if (used < 0) return false;
    for (const wchar_t* c = arguments; *c != L'\0'; ++c) {
        size_t backslashes = 0;
        while (c[backslashes] == L'\\') ++backslashes;
        const size_t copies = c[backslashes] == L'"' ? 2 * backslashes : backslashes;
        if (static_cast<size_t>(used) + copies + 2 >= room) return false;
        for (size_t i = 0; i < copies; ++i) command_line[used++] = L'\\';
        c += backslashes;
        if (*c == L'\0') break;
        command_line[used++] = *c;
    }
    command_line[used] = L'\0';
    return ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, command_line,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
}

bool is_file(const wchar_t* folder, int length) {
    wchar_t path[MAX_PATH + 16];
    if (length <= 0 || length >= MAX_PATH) return false;
    std::swprintf(path, sizeof path / sizeof path[0], L"%.*ls\\WDT.dll", length, folder);
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Where the tool looks for WDT.dll: beside itself, then in the system folder, then in the Windows folder.
bool driver_is_there(wchar_t* program) {
    wchar_t folder[MAX_PATH];
    const wchar_t* end = std::wcsrchr(program, L'\\');
    if (end != nullptr && is_file(program, static_cast<int>(end - program))) return true;
    if (is_file(folder, static_cast<int>(GetSystemDirectoryW(folder, MAX_PATH)))) return true;
    return is_file(folder, static_cast<int>(GetWindowsDirectoryW(folder, MAX_PATH)));
}

void note_why(MSIHANDLE install, const wchar_t* what, const char* why) {
    wchar_t line[2048], reason[1600];
    wdt::system::to_wide(why, reason, sizeof reason / sizeof reason[0]);
    std::swprintf(line, sizeof line / sizeof line[0], L"%ls: %ls", what, reason);
    note(install, line);
}

// The installation folder: one that the installation made gets an access list of its own, whatever
// it would inherit where it was put (a folder made under C:\ lets every user change it): the system
// and the administrators may change it, users may read and run it. One that was there before keeps
// its own (an uninstall could not give it back). Either way it, and every folder above it, must be
// such that only the administrators may change them: the service runs what is there as SYSTEM.
bool secure_folder(MSIHANDLE install, const wchar_t* program, bool made) {
    wchar_t folder[MAX_PATH];
    const wchar_t* end = std::wcsrchr(program, L'\\');
    if (end == nullptr || end - program >= MAX_PATH) return false;
    std::wmemcpy(folder, program, static_cast<size_t>(end - program));
    folder[end - program] = L'\0';
    if (made) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
                L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1, &descriptor, nullptr)) {
            return false;
        }
        BOOL present = FALSE, defaulted = FALSE;
        PACL list = nullptr;
        PSID owner = nullptr;
        const bool done = GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) && present &&
                          GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) &&
                          SetNamedSecurityInfoW(folder, SE_FILE_OBJECT,
                                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                                    PROTECTED_DACL_SECURITY_INFORMATION,
                                                owner, nullptr, list, nullptr) == ERROR_SUCCESS;
        LocalFree(descriptor);
        if (!done) {
            note(install, L"wdtctl: the installation folder's access list cannot be set");
            return false;
        }
    }
    char why[1400];
    if (only_administrators_may_change_path(folder, true, why, sizeof why)) return true;
    note_why(install, L"wdtctl: the installation folder is refused, since the service runs what is there as SYSTEM", why);
    return false;
}

// %ProgramData%\wdtctl, where the service keeps its record and a drill its own: made here, owned by
// the administrators, before any user could make it (users may make folders in ProgramData, and
// one that a user made would be that user's). One that is there and that others may change, that
// another owns, or that is a junction, is moved aside (kept for a look) and made anew.
bool make_record_folder(MSIHANDLE install) {
    wchar_t data[MAX_PATH], path[MAX_PATH + 16], aside[MAX_PATH + 48];
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::swprintf(path, sizeof path / sizeof path[0], L"%ls\\wdtctl", data);
    char why[1400];
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
        if (only_administrators_may_change_path(path, true, why, sizeof why)) return true;
        std::swprintf(aside, sizeof aside / sizeof aside[0], L"%ls.untrusted-%llu", path,
                      static_cast<unsigned long long>(GetTickCount64()));
        note_why(install, L"wdtctl: the record's folder is not the administrators' alone, and is moved aside", why);
        if (!MoveFileExW(path, aside, 0)) return false;
    }
    return wdt::system::make_administrators_folder(path);
}

// Starts the service and answers whether it is running 5 s later: a command line that the tool
// refuses (a timeout out of range, say) stops it at once, and the installation then fails.
bool start_and_see_it_run(MSIHANDLE install, SC_HANDLE service) {
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        note(install, L"wdtctl: the service cannot be started");
        return false;
    }
    SERVICE_STATUS status{};
    for (int round = 0; round < 50; ++round) {
        Sleep(100);
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == SERVICE_STOPPED) {
            note(install, L"wdtctl: the service stopped at once: its command line or WDT.dll was refused (see "
                          L"wdtctl-service.log beside wdtctl.exe)");
            return false;
        }
    }
    return status.dwCurrentState == SERVICE_RUNNING;
}

// Three restarts, 5 s after each failure, and then none: the service control manager repeats the
// last action for every later failure, so the last one is "nothing", and the watchdog resets the
// machine. The count starts again after a day without a failure.
bool restart_on_failure(SC_HANDLE service) {
    SC_ACTION restart[4] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000},
                            {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW actions{};
    actions.dwResetPeriod = 86400;
    actions.cActions = 4;
    actions.lpsaActions = restart;
    SERVICE_FAILURE_ACTIONS_FLAG also_on_error_status{TRUE};
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions) &&
           ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &also_on_error_status);
}

// The service runs as LocalSystem with only the privileges it needs, and its own service SID: to
// notice changes (every process), to hold its working set in RAM (a larger and a hard minimum), and
// to load a driver, which a vendor's WDT.dll may install to reach the hardware; and those that the
// installer was given (PRIVILEGES, separated by blanks, commas or semicolons: a WDT.dll that needs
// another one, or a repair that restarts the machine, which needs SeShutdownPrivilege). A name that
// is no privilege fails the installation.
bool least_privileges(MSIHANDLE install, SC_HANDLE service, const wchar_t* added) {
    wchar_t needed[1024] = L"SeChangeNotifyPrivilege\0SeIncreaseWorkingSetPrivilege\0SeIncreaseBasePriorityPrivilege\0"
                           L"SeLoadDriverPrivilege\0";
    size_t used = 0;
    while (needed[used] != L'\0') used += std::wcslen(needed + used) + 1;
    wchar_t name[128];
    for (const wchar_t* at = added; *at != L'\0';) {
        const size_t length = std::wcscspn(at, L" ,;\t");
        if (length > 0 && length < sizeof name / sizeof name[0] && used + length + 2 < sizeof needed / sizeof needed[0]) {
            std::wmemcpy(name, at, length);
            name[length] = L'\0';
            LUID luid{};
            if (!LookupPrivilegeValueW(nullptr, name, &luid)) {
                wchar_t line[256];
                std::swprintf(line, sizeof line / sizeof line[0], L"wdtctl: PRIVILEGES: %ls is not a privilege", name);
                note(install, line);
                return false;
            }
            std::wmemcpy(needed + used, name, length + 1);
            used += length + 1;
            needed[used] = L'\0';
        } else if (length > 0) {
            note(install, L"wdtctl: PRIVILEGES is too long");
            return false;
        }
        at += length;
        while (*at == L' ' || *at == L',' || *at == L';' || *at == L'\t') ++at;
    }
    wchar_t said[1400] = L"wdtctl: the service's privileges:";
    for (const wchar_t* privilege = needed; *privilege != L'\0'; privilege += std::wcslen(privilege) + 1) {
        std::wcscat(said, privilege == needed ? L" " : L", ");
        std::wcscat(said, privilege);
    }
    note(install, said);
    SERVICE_REQUIRED_PRIVILEGES_INFOW privileges{needed};
    SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges) ||
        !ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid)) {
        note(install, L"wdtctl: the service's privileges cannot be limited");
    }
    return true;
}

// At a shutdown the service takes the first notice (preshutdown) and keeps refreshing, with guards
// that no longer hold it back, until the stop: the service manager need not wait for it in between.
bool short_preshutdown(SC_HANDLE service) {
    SERVICE_PRESHUTDOWN_INFO preshutdown{1000};
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown) != FALSE;
}

}  // namespace

// A user without the administrators' rights may be let repair the installed product, which Windows
// then runs elevated: settings given on the command line, and the simulated driver's feature, are
// taken only from an administrator's installation; otherwise the remembered ones are kept. Run
// before they are read.
extern "C" __declspec(dllexport) UINT __stdcall TakeSettingsFromAdministrators(MSIHANDLE install) {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation{};
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    const bool elevated = token != nullptr && GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                          elevation.TokenIsElevated;
    if (token != nullptr) CloseHandle(token);
    size = sizeof administrators;
    if (elevated && CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
        CheckTokenMembership(nullptr, administrators, &member) && member) {
        return ERROR_SUCCESS;
    }
    const wchar_t* const settings[] = {L"WATCHDOG", L"TIMEOUT", L"PERIOD", L"HEARTBEAT", L"CHECK", L"GRACE", L"REPAIR",
                                       L"PRIVILEGES", L"METRICS_DIR"};
    wchar_t dropped[256] = L"";
    for (const wchar_t* setting : settings) {
        wchar_t value[8];
        DWORD length = sizeof value / sizeof value[0];
        const UINT read = MsiGetPropertyW(install, setting, value, &length);
        if ((read == ERROR_SUCCESS || read == ERROR_MORE_DATA) && length > 0) {
            MsiSetPropertyW(install, setting, L"");
            std::wcscat(dropped, dropped[0] != L'\0' ? L", " : L"");
            std::wcscat(dropped, setting);
        }
    }
    // Nor the simulated driver, which would come before the machine's own WDT.dll.
    wchar_t features[512];
    DWORD length = sizeof features / sizeof features[0];
    if (MsiGetPropertyW(install, L"ADDLOCAL", features, &length) != ERROR_SUCCESS || std::wcsstr(features, L"SimulatedDriver") != nullptr) {
        MsiSetPropertyW(install, L"ADDLOCAL", L"");
        std::wcscat(dropped, dropped[0] != L'\0' ? L", " : L"");
        std::wcscat(dropped, L"ADDLOCAL");
    }
    if (dropped[0] != L'\0') {
        wchar_t line[400];
        std::swprintf(line, sizeof line / sizeof line[0], L"wdtctl: settings given without the administrators' rights are "
                      L"not taken (%ls): the remembered ones are kept", dropped);
        note(install, line);
    }
    return ERROR_SUCCESS;
}

// Before anything is installed: the installation folder is never a drive's root (its access list
// would be the whole drive's), and whether the installation makes it is noted for ConfigureService.
extern "C" __declspec(dllexport) UINT __stdcall CheckInstallFolder(MSIHANDLE install) {
    wchar_t folder[MAX_PATH], volume[MAX_PATH];
    DWORD size = sizeof folder / sizeof folder[0];
    if (MsiGetPropertyW(install, L"INSTALLDIR", folder, &size) != ERROR_SUCCESS || size == 0 || size >= MAX_PATH - 1) {
        note(install, L"wdtctl: INSTALLDIR cannot be read");
        return ERROR_INSTALL_FAILURE;
    }
    if (folder[size - 1] != L'\\') std::wcscat(folder, L"\\");
    if (!GetVolumePathNameW(folder, volume, MAX_PATH) || _wcsicmp(folder, volume) == 0) {
        note(install, L"wdtctl: INSTALLDIR is a drive's root: give it a folder of its own, such as C:\\Program Files\\wdtctl");
        return ERROR_INSTALL_FAILURE;
    }
    MsiSetPropertyW(install, L"InstallFolderMade", GetFileAttributesW(folder) == INVALID_FILE_ATTRIBUTES ? L"1" : L"0");
    return ERROR_SUCCESS;
}

// The command line must be quoted, the folders must be the administrators' alone, and a service
// that is started must keep running, or the installation fails. The restarts and the privileges are
// said in the log when they cannot be set (Wine, for one, knows no failure actions flag), and the
// service works on. Without WDT.dll the service is left stopped, to start at the next boot once the
// machine's WDT.dll is in place.
extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
    // The installer's deferred steps run in its own service, as its account: that account's files
    // are the system's.
    wdt::system::control.service = true;
    wchar_t data[4096];
    DWORD size = sizeof data / sizeof data[0];
    wchar_t* fields[4] = {data, nullptr, nullptr, nullptr};  // program, made, privileges, arguments
    if (MsiGetPropertyW(install, L"CustomActionData", data, &size) != ERROR_SUCCESS) data[0] = L'\0';
    for (int i = 1; i < 4 && fields[i - 1] != nullptr; ++i) {
        fields[i] = std::wcschr(fields[i - 1], L'|');
        if (fields[i] != nullptr) *fields[i]++ = L'\0';
    }
    const wchar_t* program = fields[0];
    const wchar_t* arguments = fields[3];
    const bool made = fields[1] != nullptr && std::wcscmp(fields[1], L"1") == 0;
    const wchar_t* privileges = fields[2] != nullptr && std::wcscmp(fields[2], L"none") != 0 ? fields[2] : L"";
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr
        ? OpenServiceW(manager, L"wdtctl", SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_QUERY_STATUS)
        : nullptr;
    UINT status = ERROR_INSTALL_FAILURE;
    if (service == nullptr || arguments == nullptr) {
        note(install, L"wdtctl: the service cannot be opened to configure it");
    } else if (!quote_command_line(service, program, arguments)) {
        note(install, L"wdtctl: the service's command line cannot be quoted");
    } else if (!secure_folder(install, program, made)) {
        // said
    } else if (!make_record_folder(install)) {
        note(install, L"wdtctl: the record's folder, %ProgramData%\\wdtctl, cannot be made");
    } else if (least_privileges(install, service, privileges)) {
        if (!restart_on_failure(service)) note(install, L"wdtctl: the service's restarts on failure cannot be set");
        if (!short_preshutdown(service)) note(install, L"wdtctl: the service's preshutdown time cannot be set");
        if (!driver_is_there(fields[0])) {
            note(install, L"wdtctl: WDT.dll is not beside wdtctl.exe nor in the system folder yet: the service "
                          L"starts at the next boot, or with \"sc start wdtctl\", once it is");
            status = ERROR_SUCCESS;
        } else if (start_and_see_it_run(install, service)) {
            status = ERROR_SUCCESS;
        }
    }
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
    return status;
}

// A rollback after ConfigureService started the service: the service is stopped, which disarms the
// watchdog, before the rollback removes it; a service that is not there or not running is left.
extern "C" __declspec(dllexport) UINT __stdcall StopService(MSIHANDLE install) {
    note(install, L"wdtctl: a rollback: the service is stopped, which disarms the watchdog");
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, L"wdtctl", SERVICE_STOP | SERVICE_QUERY_STATUS)
                                           : nullptr;
    SERVICE_STATUS status{};
    if (service != nullptr && ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        for (int round = 0; round < 300 && status.dwCurrentState != SERVICE_STOPPED; ++round) {
            Sleep(100);
            if (!QueryServiceStatus(service, &status)) break;
        }
        if (status.dwCurrentState != SERVICE_STOPPED) note(install, L"wdtctl: the service did not stop in 30 s");
    }
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

// Only in the installer that the tests build: fails the installation after the service started,
// so that its rollback can be seen.
extern "C" __declspec(dllexport) UINT __stdcall FailInstallation(MSIHANDLE) { return ERROR_INSTALL_FAILURE; }

// CustomActionData: the installation folder, with its final separator.
extern "C" __declspec(dllexport) UINT __stdcall RemoveServiceLog(MSIHANDLE install) {
    wchar_t path[2048];
    DWORD size = sizeof path / sizeof path[0] - 32;
    if (MsiGetPropertyW(install, L"CustomActionData", path, &size) != ERROR_SUCCESS) return ERROR_SUCCESS;
    std::wcscat(path, L"wdtctl-service.log");
    if (!DeleteFileW(path) && GetLastError() != ERROR_FILE_NOT_FOUND) note(install, L"wdtctl: the service's log stays");
    return ERROR_SUCCESS;
}
