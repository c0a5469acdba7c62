// The system on Windows: the process's start, the driver library, the clock, the wait and memory.
#include <windows.h>

#include <io.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/access_windows.h"
#include "platform/system.h"
#include "platform/win32.h"

// The C runtime's own parse of the wide command line, as it gives wmain its arguments.
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int glob, void* startup);

namespace wdt::system {

const wdt::Host::Words words{.stop_service = "sc stop wdtctl", .start_service = "sc start wdtctl",
                             .end_process = "taskkill /pid", .privileged = "run from an elevated console"};

namespace {

// A line that says why something could not be done: on standard error in a console, and in the
// log and the event log from a service, which has no console. A line said just before is not said
// again (a service that waits for its driver tries again and again).
void complain(const char* line) {
    static char last[4096] = "";
    if (std::strcmp(line, last) == 0) return;
    std::snprintf(last, sizeof last, "%s", line);
    if (control.service) {
        write_message(wdt::Severity::error, line, std::strlen(line));
    } else {
        // Standard error is in text mode, which makes each line feed a carriage return and a line feed.
        size_t length = std::strlen(line);
        if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') length -= 2;
        std::fprintf(stderr, "%.*s\n", static_cast<int>(length), line);
    }
}

// "error 193: %1 is not a valid Win32 application." for the last error.
void describe_error(DWORD error, char* text, size_t size) {
    wchar_t wide[512] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, wide, 512, nullptr);
    char reason[1024];
    to_utf8(wide, reason, sizeof reason);
    reason[std::strcspn(reason, "\r\n")] = '\0';
    std::snprintf(text, size, "error %lu: %s", error, reason);
}

// Loads <folder>\<file_name> when such a file exists. Answers whether it exists: the first one
// found is the one used, even if it cannot be loaded (the loader's reason is then said). A folder
// of length 0 is no folder. A service, which runs what it loads as SYSTEM, and an elevated run take
// it only where nobody but the administrators may change it (see access_windows.h).
bool load_from(wchar_t* folder, DWORD length, const char* file_name, void** library) {
    if (length == 0 || length >= kPathSize) return false;
    wchar_t* end = folder + length;
    if (end[-1] != L'\\') *end++ = L'\\';
    if (!to_wide(file_name, end, kPathSize - static_cast<size_t>(end - folder))) return false;
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    char path[1024], line[2048];
    to_utf8(folder, path, sizeof path);
    char why[1400];
    if ((control.service || elevated()) && !only_administrators_may_change_path(folder, false, why, sizeof why)) {
        std::snprintf(line, sizeof line, "wdtctl: %s is not loaded: %s, and %s.\r\n", path, why,
                      control.service ? "the service runs it as SYSTEM" : "this run has the administrators' rights");
        complain(line);
        return true;
    }
    // Its own dependencies only from the executable's folder, the library's folder and the system
    // folder: never the current directory, never PATH.
    const DWORD search = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                         LOAD_LIBRARY_SEARCH_SYSTEM32;
    *library = reinterpret_cast<void*>(LoadLibraryExW(folder, nullptr, search));
    if (*library == nullptr) {
        char reason[1200];
        describe_error(GetLastError(), reason, sizeof reason);
        std::snprintf(line, sizeof line, "wdtctl: %s cannot be loaded: %s%s\r\n", path, reason,
                      GetLastError() == ERROR_BAD_EXE_FORMAT ? " (a library of the other bitness?)" : "");
        complain(line);
    }
    return true;
}

// load_from, and the folder named in the list of those searched ("A; B; C") where the file is not there.
bool look_in(wchar_t* folder, DWORD length, const char* file_name, void** library, char* searched, size_t size) {
    char shown[1100] = "";
    if (length > 0 && length < kPathSize) {
        folder[length] = L'\0';
        to_utf8(folder, shown, sizeof shown);
        const size_t end = std::strlen(shown);
        if (end > 3 && shown[end - 1] == '\\') shown[end - 1] = '\0';  // C:\ keeps its backslash
    }
    if (load_from(folder, length, file_name, library)) return true;
    if (shown[0] != '\0') {
        const size_t used = std::strlen(searched);
        std::snprintf(searched + used, size - used, "%s%s", used > 0 ? "; " : "", shown);
    }
    return false;
}

// The arguments as the tool reads them, in UTF-8, from the wide command line: never through the
// ANSI code page, which cannot hold every path.
char** utf8_arguments(int& argc, char** argv) {
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    int startup = 0;
    if (__wgetmainargs(&count, &wide, &environment, 0, &startup) != 0 || count <= 0) return argv;
    char** arguments = static_cast<char**>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
    if (arguments == nullptr) return argv;
    for (int i = 0; i < count; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        arguments[i] = static_cast<char*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
        if (arguments[i] == nullptr) return argv;
        if (!to_utf8(wide[i], arguments[i], size > 0 ? static_cast<size_t>(size) : 1)) arguments[i][0] = '\0';
    }
    argc = count;
    return arguments;
}

}  // namespace

// A standard stream without a handle (started with it closed) is pointed at the null device, so
// that the C runtime never gives its number to a file opened later.
char** prepare_process(int& argc, char** argv) {
    FILE* streams[] = {stdin, stdout, stderr};
    for (int fd = 0; fd <= 2; ++fd) {
        const intptr_t handle = _get_osfhandle(fd);
        if (handle == -1 || handle == -2) std::freopen("NUL", fd == 0 ? "r" : "w", streams[fd]);  // -2: started without it
    }
    return utf8_arguments(argc, argv);
}

// Before Windows 8 a process belongs to one job only: a check could not run in a job of its own, so
// every guard would fail and the machine reset at every boot. (Windows 7 with the update that
// brings the library search the tool needs would otherwise run.)
const char* unsupported() {
    OSVERSIONINFOEXW wanted{};
    wanted.dwOSVersionInfoSize = sizeof wanted;
    wanted.dwMajorVersion = 6;
    wanted.dwMinorVersion = 2;
    DWORDLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    if (VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION, condition)) return nullptr;
    return "wdtctl needs Windows 8 or later.\r\n";
}

namespace {

// Locks every committed part of the allocation that holds the address (an image with all its
// sections, or a thread's stack).
void lock_allocation(const void* address) {
    MEMORY_BASIC_INFORMATION region{};
    if (address == nullptr || VirtualQuery(address, &region, sizeof region) == 0) return;
    void* const allocation = region.AllocationBase;
    for (auto* at = static_cast<char*>(allocation);
         VirtualQuery(at, &region, sizeof region) != 0 && region.AllocationBase == allocation;
         at = static_cast<char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) == 0) {
            VirtualLock(region.BaseAddress, region.RegionSize);
        }
    }
}

}  // namespace

// Windows trims the working sets of idle processes first when memory runs short, and a wake must
// not wait for the tool's pages: its working set gets a hard minimum of what it has now and a
// little more, and the pages the loop uses (the executable's and the driver library's code and
// data, the stack) are locked in it. Quietly not where the system refuses.
void hold_memory() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return;
    const SIZE_T minimum = counters.WorkingSetSize + 4 * 1024 * 1024;
    if (!SetProcessWorkingSetSizeEx(GetCurrentProcess(), minimum, minimum * 4,
                                    QUOTA_LIMITS_HARDWS_MIN_ENABLE | QUOTA_LIMITS_HARDWS_MAX_DISABLE)) {
        return;
    }
    const int on_stack = 0;
    lock_allocation(reinterpret_cast<const void*>(&hold_memory));
    lock_allocation(GetModuleHandleW(L"WDT.dll"));
    lock_allocation(&on_stack);
}

bool is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// The tool runs with administrator rights, so the library is only taken from folders that an
// ordinary user cannot write to: the executable's own folder, then the system folder, then the
// Windows folder, each named by full path. Never the current directory, and never PATH, which
// holds folders of the user's own on current Windows; and what the library itself loads, now or
// later, comes only from the executable's folder and the system folder (the default directories,
// set for the whole process before anything is loaded). Windows 8 and later have that search.
void* open_library(const char* file_name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto set_default = kernel != nullptr
        ? reinterpret_cast<BOOL(WINAPI*)(DWORD)>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
        : nullptr;
    if (set_default == nullptr || !set_default(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
        complain("wdtctl: this Windows cannot limit where libraries are loaded from (it needs Windows 8 or later); "
                 "WDT.dll is not loaded\r\n");
        return nullptr;
    }
    static wchar_t folder[kPathSize];
    const DWORD folder_length = own_folder(folder);
    if (folder_length == 0) return nullptr;

    void* library = nullptr;
    char searched[3200] = "";
    if (look_in(folder, folder_length, file_name, &library, searched, sizeof searched)) return library;
    if (look_in(folder, GetSystemDirectoryW(folder, kPathSize), file_name, &library, searched, sizeof searched)) return library;
    if (look_in(folder, GetWindowsDirectoryW(folder, kPathSize), file_name, &library, searched, sizeof searched)) return library;
    char line[3400];
    std::snprintf(line, sizeof line, "wdtctl: %s was looked for in %s, and is in none of them.\r\n", file_name, searched);
    complain(line);
    return nullptr;
}

// The service manager starts services whatever drivers are up: a vendor's may come later.
int64_t service_wait_ms() { return 120 * 1000; }

void* find_entry(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool is_code(void* address) {
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(address, &region, sizeof region) == 0) return false;
    constexpr DWORD kExecutable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return region.State == MEM_COMMIT && (region.Protect & kExecutable) != 0;
}

bool library_path(void* library, char* text, size_t size) {
    static wchar_t path[kPathSize];
    const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(library), path, kPathSize);
    return length > 0 && length < kPathSize && to_utf8(path, text, size);
}

int64_t now_ms() {
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return count.QuadPart / frequency.QuadPart * 1000 + count.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart;
}

namespace {

bool asleep = false;     // the loop has disarmed for a sleep and waits for the wake
bool disarming = false;  // the loop was told of a sleep: its next wait lets the machine sleep

// Ctrl-C, Ctrl-Break and the console's close end a drill's wait; the close ends the process once
// the handler returns, so the handler waits (Windows allows about 5 s) while the loop disarms and
// the process ends.
BOOL WINAPI on_console(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    SetEvent(control.stop);
    if (event == CTRL_CLOSE_EVENT) Sleep(4500);
    return TRUE;
}

}  // namespace

void take_stop_requests() {
    if (control.stop == nullptr) control.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console, TRUE);
}

wdt::Wake sleep_until_ms(int64_t deadline) {
    if (disarming) {
        // The loop has done what it does before the machine sleeps: the handler may let it sleep.
        disarming = false;
        asleep = true;
        SetEvent(control.suspend_done);
    }
    const HANDLE events[] = {control.stop, control.suspend, control.resume, control.shutdown};
    const DWORD count = control.service ? 4 : 1;
    for (int64_t left = deadline - now_ms(); left > 0; left = deadline - now_ms()) {
        if (control.stop == nullptr) {
            Sleep(static_cast<DWORD>(left));
            continue;
        }
        const DWORD woken = WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(left));
        if (woken == WAIT_OBJECT_0) {
            report_stopping();
            return wdt::Wake::stop_requested;
        }
        if (woken == WAIT_OBJECT_0 + 1) {
            disarming = true;
            return wdt::Wake::suspending;
        }
        // A wake counts only for a loop that disarmed for the sleep (a user's return to the
        // machine, long after, is no wake).
        if (woken == WAIT_OBJECT_0 + 2 && asleep) {
            asleep = false;
            return wdt::Wake::resumed;
        }
        if (woken == WAIT_OBJECT_0 + 3) return wdt::Wake::shutting_down;
    }
    return wdt::Wake::due;
}

}  // namespace wdt::system
