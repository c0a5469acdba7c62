// The installer's own step for the wdtctl service, run after the service is registered: what the
// installer's service table cannot say. It quotes the program's path in the service's command line
// (a path with a blank, unquoted, lets Windows try "C:\Program.exe" first: a hole that any user who
// can write to C:\ could use), asks the service control manager to restart the service when it
// fails, also when it ends with an error status, so that a keep-alive that dies is running again
// well within the watchdog's timeout, and starts it once the machine's WDT.dll is there.
//
// CustomActionData: the program's full path, "|", the service's arguments. At uninstall it also
// removes the service's log, which the service wrote, so that nothing of it stays behind.
#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <cwchar>

namespace {

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

// The program's folder (the installation folder) gets an access list of its own, whatever it would
// inherit where it was put (a folder made under C:\ lets every user change it): the system and the
// administrators may change it, users may read and run it. The service runs what is there as SYSTEM,
// and refuses a folder that others may change.
bool secure_folder(const wchar_t* program) {
    wchar_t folder[MAX_PATH];
    const wchar_t* end = std::wcsrchr(program, L'\\');
    if (end == nullptr || end - program >= MAX_PATH) return false;
    std::wmemcpy(folder, program, static_cast<size_t>(end - program));
    folder[end - program] = L'\0';
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    const bool done = GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) && present &&
                      SetNamedSecurityInfoW(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                            nullptr, nullptr, list, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return done;
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
// to load a driver, which a vendor's WDT.dll may install to reach the hardware.
bool least_privileges(SC_HANDLE service) {
    wchar_t needed[] = L"SeChangeNotifyPrivilege\0SeIncreaseWorkingSetPrivilege\0SeIncreaseBasePriorityPrivilege\0"
                       L"SeLoadDriverPrivilege\0";
    SERVICE_REQUIRED_PRIVILEGES_INFOW privileges{needed};
    SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges) &&
           ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid);
}

}  // namespace

// The command line must be quoted, and a service that is started must keep running, or the
// installation fails. The restarts and the privileges are said in the log when they cannot be set
// (Wine, for one, knows no failure actions flag), and the service works on. Without WDT.dll the service is left
// stopped, to start at the next boot once the machine's WDT.dll is in place.
extern "C" __declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
    wchar_t data[2048];
    DWORD size = sizeof data / sizeof data[0];
    wchar_t* arguments = nullptr;
    if (MsiGetPropertyW(install, L"CustomActionData", data, &size) == ERROR_SUCCESS) arguments = std::wcschr(data, L'|');
    if (arguments != nullptr) *arguments++ = L'\0';
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr
        ? OpenServiceW(manager, L"wdtctl", SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_QUERY_STATUS)
        : nullptr;
    UINT status = ERROR_INSTALL_FAILURE;
    if (service == nullptr || arguments == nullptr) {
        note(install, L"wdtctl: the service cannot be opened to configure it");
    } else if (!quote_command_line(service, data, arguments)) {
        note(install, L"wdtctl: the service's command line cannot be quoted");
    } else {
        if (!secure_folder(data)) note(install, L"wdtctl: the installation folder's access list cannot be set");
        if (!restart_on_failure(service)) note(install, L"wdtctl: the service's restarts on failure cannot be set");
        if (!least_privileges(service)) note(install, L"wdtctl: the service's privileges cannot be limited");
        if (!driver_is_there(data)) {
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
