// The tool as a Windows service: the service control manager starts it, stops it (a deliberate
// stop), and tells it when the machine sleeps and wakes.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/access_windows.h"
#include "platform/output_windows.h"
#include "platform/system.h"
#include "platform/win32.h"

namespace wdt::system {
namespace {

SERVICE_STATUS_HANDLE service_handle = nullptr;

struct {
    int (*tool)();
    int status;
} service_run{nullptr, 1};

// Only the thread that runs the tool reports the service's state, so that no report can overtake
// another: a stop pending never follows the stopped state.
void report(DWORD state, int exit_status = 0) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT
            : 0;
    if (exit_status != 0) {
        // Shown by "sc query" as the service-specific exit code: the tool's own exit status.
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_status);
    }
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? 10000 : 0;
    SetServiceStatus(service_handle, &status);
}

// Before the machine sleeps the handler waits until the loop has disarmed, at most 1.5 s: Windows
// allows a service about 2 s for it. Both kinds of resume are taken, the wait counts only the
// first after a sleep. Modern Standby (S0 low-power idle) sends no suspend: services run through
// it, and so does the loop, which keeps refreshing the watchdog.
DWORD WINAPI on_control(DWORD what, DWORD event, void*, void*) {
    if (what == SERVICE_CONTROL_POWEREVENT && event == PBT_APMSUSPEND) {
        ResetEvent(control.suspend_done);
        SetEvent(control.suspend);
        WaitForSingleObject(control.suspend_done, 1500);
    } else if (what == SERVICE_CONTROL_POWEREVENT && (event == PBT_APMRESUMEAUTOMATIC || event == PBT_APMRESUMESUSPEND)) {
        SetEvent(control.resume);
    } else if (what == SERVICE_CONTROL_PRESHUTDOWN) {
        // The first notice of a shutdown, before sessions' applications are gone for good and
        // updates are installed: the loop goes on, with guards that no longer hold it back, until
        // the stop. The service manager waits for the service only as long as the installer said.
        SetEvent(control.shutdown);
    } else if (what == SERVICE_CONTROL_STOP || what == SERVICE_CONTROL_SHUTDOWN) {
        SetEvent(control.stop);
    }
    return NO_ERROR;
}

// A service runs what is in its folder as SYSTEM, and writes its log there: the program, the log
// (once there is one), their folder and every folder above, up to the drive's root, must be such
// that only the administrators may change them (see access_windows.h). Otherwise the service does
// not run, and says why in the event log alone.
bool folder_is_safe() {
    static wchar_t path[kPathSize];
    char why[1400], line[1600];
    const wchar_t log_name[] = L"wdtctl-service.log";
    const DWORD length = GetModuleFileNameW(nullptr, path, kPathSize);
    if (length == 0 || length >= kPathSize) return false;
    bool safe = only_administrators_may_change_path(path, false, why, sizeof why);
    const DWORD folder_length = own_folder(path);
    if (safe && folder_length > 0 && folder_length + sizeof log_name / sizeof log_name[0] <= kPathSize) {
        std::wmemcpy(path + folder_length, log_name, sizeof log_name / sizeof log_name[0]);
        safe = GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES || only_administrators_may_change_path(path, false, why, sizeof why);
    }
    if (safe) return true;
    std::snprintf(line, sizeof line, "wdtctl: the service does not run what others than the administrators may change: "
                  "%s; put wdtctl.exe (and WDT.dll) into a folder that only they may change, such as "
                  "C:\\Program Files\\wdtctl.\r\n", why);
    HANDLE events = RegisterEventSourceW(nullptr, L"wdtctl");
    wchar_t wide[1600];
    const wchar_t* strings[] = {wide};
    if (events != nullptr && to_wide(line, wide, 1600)) {
        ReportEventW(events, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
        DeregisterEventSource(events);
    }
    std::fprintf(stderr, "%s", line);
    return false;
}

void WINAPI service_main(DWORD, wchar_t**) {
    service_handle = RegisterServiceCtrlHandlerExW(L"", on_control, nullptr);
    if (service_handle == nullptr) return;
    if (!folder_is_safe()) {
        report(SERVICE_STOPPED, 1);
        return;
    }
    send_output_to_log();
    report(SERVICE_RUNNING);
    service_run.status = service_run.tool();
    finish_output();
    report(SERVICE_STOPPED, service_run.status);
}

}  // namespace

void report_stopping() {
    if (control.service) report(SERVICE_STOP_PENDING);
}

// The command line runs in the service's main function, on the thread that the service control
// manager starts for it; the process's first thread waits in the dispatcher until the service ends.
int run_service(int (*tool)()) {
    control.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    control.suspend = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    control.suspend_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    control.resume = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    control.shutdown = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (control.stop == nullptr || control.suspend == nullptr || control.suspend_done == nullptr || control.resume == nullptr ||
        control.shutdown == nullptr) {
        return 1;
    }
    control.service = true;
    service_run = {tool, 1};
    SERVICE_TABLE_ENTRYW services[] = {{const_cast<wchar_t*>(L""), service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(services)) {
        std::fprintf(stderr, "wdtctl: --service: not started by the service control manager (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    return service_run.status;
}

}  // namespace wdt::system
