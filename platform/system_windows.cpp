// The system on Windows.
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/priority.h"
#include "platform/system.h"

namespace wdt::system {
namespace {

constexpr DWORD kPathSize = 32768;
constexpr DWORD kMessageEvent = 1;  // the message table's one entry (packaging/windows/messages.mc)

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

// A standard stream without a handle (started with it closed) is pointed at the null device, so
// that the C runtime never gives its number to a file opened later.
void prepare_process() {
    FILE* streams[] = {stdin, stdout, stderr};
    for (int fd = 0; fd <= 2; ++fd) {
        const intptr_t handle = _get_osfhandle(fd);
        if (handle == -1 || handle == -2) std::freopen("NUL", fd == 0 ? "r" : "w", streams[fd]);  // -2: started without it
    }
}

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

bool is_code(void* address) {
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(address, &region, sizeof region) == 0) return false;
    constexpr DWORD kExecutable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return region.State == MEM_COMMIT && (region.Protect & kExecutable) != 0;
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
// Power events: the machine is about to sleep or hibernate (the handler waits, at most 10 s, until
// the loop has disarmed), or it woke up.
HANDLE suspend_event = nullptr, suspend_done = nullptr, resume_event = nullptr;
bool disarming = false;
SERVICE_STATUS_HANDLE service_handle = nullptr;

// Messages are handed to a thread of their own, which writes them where they go: the loop's thread
// never waits for a console (a selection in progress holds every write to it), a pipe that nobody
// reads, or a disk (Windows extends a file synchronously, whatever the flags). A message that finds
// every slot taken is dropped. At the end of the process what is queued is written, unless one
// write has been stuck for two seconds: a thread that a busy machine has not yet run is waited for.
struct Output {
    HANDLE target = INVALID_HANDLE_VALUE;
    HANDLE events = nullptr;  // a service's event source: each message is an event too
    CRITICAL_SECTION lock;
    HANDLE queued = nullptr;  // set when a message is queued
    HANDLE idle = nullptr;    // set while nothing is queued or being written
    char texts[16][2048];
    DWORD lengths[16];
    int first = 0, count = 0;
    int64_t writing_since = 0;  // when the write under way began; 0 while none is
};
Output output;

// One event in the Application log, of the type the message's priority says; its one string is
// the message without its line end (the message table's only entry shows it as it is).
void report_event(const char* text, DWORD length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    static wchar_t wide[2048];
    const int count = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide, 2047);
    if (count <= 0) return;
    wide[count] = L'\0';
    const wdt::Priority priority = wdt::priority_of(text, length);
    const WORD type = priority == wdt::Priority::error     ? EVENTLOG_ERROR_TYPE
                      : priority == wdt::Priority::warning ? EVENTLOG_WARNING_TYPE
                                                           : EVENTLOG_INFORMATION_TYPE;
    const wchar_t* strings[] = {wide};
    ReportEventW(output.events, type, 0, kMessageEvent, nullptr, 1, 0, strings, nullptr);
}

DWORD WINAPI write_output(void*) {
    static char text[2048];
    for (;;) {
        WaitForSingleObject(output.queued, INFINITE);
        for (;;) {
            EnterCriticalSection(&output.lock);
            if (output.count == 0) {
                SetEvent(output.idle);
                LeaveCriticalSection(&output.lock);
                break;
            }
            const DWORD length = output.lengths[output.first];
            std::memcpy(text, output.texts[output.first], length);
            output.writing_since = now_ms();
            LeaveCriticalSection(&output.lock);
            DWORD written = 0;
            WriteFile(output.target, text, length, &written, nullptr);  // nobody to tell when it fails
            if (output.events != nullptr) report_event(text, length);
            EnterCriticalSection(&output.lock);
            output.writing_since = 0;
            output.first = (output.first + 1) % 16;
            --output.count;
            LeaveCriticalSection(&output.lock);
        }
    }
}

void finish_output() {
    if (output.idle == nullptr) return;
    while (WaitForSingleObject(output.idle, 50) == WAIT_TIMEOUT) {
        EnterCriticalSection(&output.lock);
        const int64_t since = output.writing_since;
        LeaveCriticalSection(&output.lock);
        if (since != 0 && now_ms() - since > 2000) return;  // a pipe nobody reads, a stalled disk
    }
}

// Sends messages to `target` from now on, through the output thread; answers whether it runs.
bool start_output(HANDLE target) {
    static bool tried = false;
    if (tried || target == INVALID_HANDLE_VALUE || target == nullptr) return false;
    tried = true;
    InitializeCriticalSection(&output.lock);
    output.queued = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    output.idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    output.target = target;
    if (output.queued == nullptr || output.idle == nullptr ||
        CreateThread(nullptr, 0, write_output, nullptr, 0, nullptr) == nullptr) {
        output.target = INVALID_HANDLE_VALUE;
        return false;
    }
    std::atexit(finish_output);
    return true;
}

// Queues a message; each "\n" becomes "\r\n", as the C runtime's text mode writes it.
void queue_output(const char* text, size_t length) {
    EnterCriticalSection(&output.lock);
    if (output.count < 16) {
        const int slot = (output.first + output.count) % 16;
        DWORD used = 0;
        for (size_t i = 0; i < length && used + 2 <= sizeof output.texts[slot]; ++i) {
            if (text[i] == '\n') output.texts[slot][used++] = '\r';
            output.texts[slot][used++] = text[i];
        }
        output.lengths[slot] = used;
        ++output.count;
        ResetEvent(output.idle);
        SetEvent(output.queued);
    }
    LeaveCriticalSection(&output.lock);
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
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT : 0;
    if (exit_status != 0) {
        // Shown by "sc query" as the service-specific exit code: the tool's own exit status.
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_status);
    }
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? 10000 : 0;
    SetServiceStatus(service_handle, &status);
}

DWORD WINAPI on_control(DWORD control, DWORD event, void*, void*) {
    if (control == SERVICE_CONTROL_POWEREVENT && event == PBT_APMSUSPEND) {
        ResetEvent(suspend_done);
        SetEvent(suspend_event);
        WaitForSingleObject(suspend_done, 10000);
    } else if (control == SERVICE_CONTROL_POWEREVENT &&
               (event == PBT_APMRESUMEAUTOMATIC || event == PBT_APMRESUMESUSPEND)) {
        SetEvent(resume_event);
    }
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING);
        SetEvent(stop_event);
    }
    return NO_ERROR;
}

// A service has no console: its messages are appended to wdtctl-service.log beside the executable,
// and each is an event in the Application log, under the source "wdtctl" that the installer
// registers. If the file cannot be opened both are lost, and nothing else changes.
void send_output_to_log() {
    static wchar_t path[kPathSize];
    const DWORD folder_length = own_folder(path);
    const wchar_t name[] = L"wdtctl-service.log";
    if (folder_length == 0 || folder_length + sizeof name / sizeof name[0] > kPathSize) return;
    std::wmemcpy(path + folder_length, name, sizeof name / sizeof name[0]);
    output.events = RegisterEventSourceW(nullptr, L"wdtctl");
    start_output(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
}

void WINAPI service_main(DWORD, wchar_t**) {
    service_handle = RegisterServiceCtrlHandlerExW(L"", on_control, nullptr);
    if (service_handle == nullptr) return;
    send_output_to_log();
    report(SERVICE_RUNNING);
    service_run.status = service_run.tool(service_run.argc, service_run.argv);
    finish_output();
    report(SERVICE_STOPPED, service_run.status);
}

}  // namespace

// Outside a service, messages go to standard output (a console, a pipe or a file); a service's go
// to its log, once that is open.
void write_message(const char* text, size_t length) {
    if (output.target == INVALID_HANDLE_VALUE && stop_event == nullptr) {
        start_output(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
    }
    if (output.target != INVALID_HANDLE_VALUE) queue_output(text, length);
}

wdt::Wake sleep_until_ms(int64_t deadline) {
    if (disarming) {
        // The loop has done what it does before the machine sleeps: the handler may let it sleep.
        disarming = false;
        SetEvent(suspend_done);
    }
    const HANDLE events[] = {stop_event, suspend_event, resume_event};
    for (int64_t left = deadline - now_ms(); left > 0; left = deadline - now_ms()) {
        if (stop_event == nullptr) {
            Sleep(static_cast<DWORD>(left));
            continue;
        }
        const DWORD woken = WaitForMultipleObjects(3, events, FALSE, static_cast<DWORD>(left));
        if (woken == WAIT_OBJECT_0) return wdt::Wake::stop_requested;
        if (woken == WAIT_OBJECT_0 + 1) {
            disarming = true;
            return wdt::Wake::suspending;
        }
        if (woken == WAIT_OBJECT_0 + 2) return wdt::Wake::resumed;
    }
    return wdt::Wake::due;
}

// The command line runs in the service's main function, on the thread that the service control
// manager starts for it; the process's first thread waits in the dispatcher until the service ends.
int run_service(int argc, char** argv, int (*tool)(int argc, char** argv)) {
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    suspend_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    suspend_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    resume_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (stop_event == nullptr || suspend_event == nullptr || suspend_done == nullptr || resume_event == nullptr) return 1;
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
