// The system on Windows.
#include <windows.h>

#include <cstdio>
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
    // The library's own dependencies only from the executable's folder, the library's folder and
    // the system folder: never the current directory, never PATH.
    const DWORD search = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                         LOAD_LIBRARY_SEARCH_SYSTEM32;
    *library = reinterpret_cast<void*>(LoadLibraryExW(folder, nullptr, search));
    return true;
}

// Writes the executable's folder, with its final separator ("C:\\" for a drive root, never "C:"),
// into `folder` and answers its length; 0 when it cannot be known.
DWORD own_folder(wchar_t* folder) {
    const DWORD length = GetModuleFileNameW(nullptr, folder, kPathSize);
    DWORD folder_length = (length > 0 && length < kPathSize) ? length : 0;
    while (folder_length > 0 && folder[folder_length - 1] != L'\\') --folder_length;
    folder[folder_length] = L'\0';
    return folder_length;
}

}  // namespace

void prepare_process() {}

// Windows trims a working set only under pressure and offers no lock of a whole process; the
// loop runs as it is.
void hold_memory() {}

// The tool runs with administrator rights, so the library is only taken from folders that an
// ordinary user cannot write to: the executable's own folder, then the system folder, then the
// Windows folder, each named by full path. Never the current directory, and never PATH, which
// holds folders of the user's own on current Windows; the same holds for the library's own
// dependencies. That search needs LoadLibraryExW's search flags, which Windows has had since
// Windows 8, and Windows 7 with its update KB2533623; without them nothing is loaded (and a line
// says why), rather than a search with a hole.
void* open_library(const char* file_name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr || GetProcAddress(kernel, "AddDllDirectory") == nullptr) {
        std::fprintf(stderr, "wdtctl: this Windows cannot limit where libraries are loaded from (it needs update "
                             "KB2533623); %s is not loaded\n", file_name);
        return nullptr;
    }
    static wchar_t folder[kPathSize];
    const DWORD folder_length = own_folder(folder);
    if (folder_length == 0) return nullptr;

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

namespace {

// Service mode: the service control manager's stop sets this event, which ends the loop's wait.
HANDLE stop_event = nullptr;
SERVICE_STATUS_HANDLE service_handle = nullptr;

// The service's log is written without waiting for the disk (overlapped writes at the end of the
// file), so that a full disk or a slow network folder never holds up the loop. A message that
// finds every slot still being written is dropped.
HANDLE service_log = INVALID_HANDLE_VALUE;
struct LogWrite {
    OVERLAPPED overlapped;
    char text[2048];
    bool busy;
};
LogWrite log_writes[8];

bool still_writing(LogWrite& slot) {
    DWORD written = 0;
    if (slot.busy && !GetOverlappedResult(service_log, &slot.overlapped, &written, FALSE) &&
        GetLastError() == ERROR_IO_INCOMPLETE) {
        return true;
    }
    slot.busy = false;
    return false;
}

void write_to_log(const char* text, size_t length) {
    for (LogWrite& slot : log_writes) {
        if (still_writing(slot)) continue;
        // A text file: each "\n" becomes "\r\n", as the C runtime's text mode writes it.
        DWORD used = 0;
        for (size_t i = 0; i < length && used + 2 <= sizeof slot.text; ++i) {
            if (text[i] == '\n') slot.text[used++] = '\r';
            slot.text[used++] = text[i];
        }
        slot.overlapped = OVERLAPPED{};
        slot.overlapped.Offset = slot.overlapped.OffsetHigh = 0xFFFFFFFF;  // at the end of the file
        slot.busy = WriteFile(service_log, slot.text, used, nullptr, &slot.overlapped) || GetLastError() == ERROR_IO_PENDING;
        return;
    }
}

// At the end of the service, the log's last writes get two seconds to reach the disk.
void finish_log() {
    for (int round = 0; round < 20; ++round) {
        bool writing = false;
        for (LogWrite& slot : log_writes) writing = still_writing(slot) || writing;
        if (!writing) return;
        Sleep(100);
    }
}
struct {
    int argc;
    char** argv;
    int (*tool)(int argc, char** argv);
    int status;
} service_run{0, nullptr, nullptr, 1};

void report(DWORD state, int exit_status = 0) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    if (exit_status != 0) {
        // Shown by "sc query" as the service-specific exit code: the tool's own exit status.
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_status);
    }
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? 10000 : 0;
    SetServiceStatus(service_handle, &status);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING);
        SetEvent(stop_event);
    }
    return NO_ERROR;
}

// A service has no console: its messages are appended to wdtctl-service.log beside the executable.
// If that file cannot be opened they are lost, and nothing else changes.
void send_output_to_log() {
    static wchar_t path[kPathSize];
    const DWORD folder_length = own_folder(path);
    const wchar_t name[] = L"wdtctl-service.log";
    if (folder_length == 0 || folder_length + sizeof name / sizeof name[0] > kPathSize) return;
    std::wmemcpy(path + folder_length, name, sizeof name / sizeof name[0]);
    service_log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

void WINAPI service_main(DWORD, wchar_t**) {
    service_handle = RegisterServiceCtrlHandlerExW(L"", on_control, nullptr);
    if (service_handle == nullptr) return;
    send_output_to_log();
    report(SERVICE_RUNNING);
    service_run.status = service_run.tool(service_run.argc, service_run.argv);
    finish_log();
    report(SERVICE_STOPPED, service_run.status);
}

}  // namespace

// In a console the C runtime writes standard output in text mode, at once.
void write_message(const char* text, size_t length) {
    if (service_log != INVALID_HANDLE_VALUE) {
        write_to_log(text, length);
    } else if (stop_event == nullptr) {
        std::fwrite(text, 1, length, stdout);
        std::fflush(stdout);
    }
}

wdt::Wake sleep_until_ms(int64_t deadline) {
    for (int64_t left = deadline - now_ms(); left > 0; left = deadline - now_ms()) {
        if (stop_event == nullptr) {
            Sleep(static_cast<DWORD>(left));
        } else if (WaitForSingleObject(stop_event, static_cast<DWORD>(left)) == WAIT_OBJECT_0) {
            return wdt::Wake::stop_requested;
        }
    }
    return wdt::Wake::due;
}

// The command line runs in the service's main function, on the thread that the service control
// manager starts for it; the process's first thread waits in the dispatcher until the service ends.
int run_service(int argc, char** argv, int (*tool)(int argc, char** argv)) {
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop_event == nullptr) return 1;
    service_run = {argc, argv, tool, 1};
    SERVICE_TABLE_ENTRYW services[] = {{const_cast<wchar_t*>(L""), service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(services)) {
        std::fprintf(stderr, "wdtctl: --service: not started by the service control manager (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    return service_run.status;
}

}  // namespace wdt::system
