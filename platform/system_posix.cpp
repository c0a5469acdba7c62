// The system on Linux and other POSIX systems.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/system.h"

namespace wdt::system {

const wdt::Host::Words words{.stop_service = "systemctl stop wdtctl", .start_service = "systemctl start wdtctl",
                             .end_process = "kill", .privileged = "run as root"};

namespace {

// Loads <folder>/<file_name> when such a file exists. Answers whether it exists: the first one
// found is the one used, even if it cannot be loaded; the loader's reason is then said on standard error.
bool load_from(const char* folder, size_t folder_length, const char* file_name, void** library) {
    char path[4096];
    const int length = std::snprintf(path, sizeof path, "%.*s/%s", static_cast<int>(folder_length), folder, file_name);
    struct stat status {};
    if (length < 0 || static_cast<size_t>(length) >= sizeof path || ::stat(path, &status) != 0) return false;
    *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (*library == nullptr) {
        const char* reason = dlerror();
        std::fprintf(stderr, "wdtctl: %s cannot be loaded: %s\n", path, reason != nullptr ? reason : "unknown reason");
    }
    return true;
}

// Whether the descriptor is the journal's stream: systemd names that stream's device and inode in
// JOURNAL_STREAM for the processes whose output it connects to the journal.
bool is_journal(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat status {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(fd, &status) == 0 &&
           static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

// Whether standard output is the journal's stream: 1 or 0 once known, -1 before.
int output_is_journal = -1;

}  // namespace

// A descriptor of 0 to 2 left closed by whoever started the tool would be taken by the next file
// opened, the watchdog device among them, and messages would then be written into the watchdog.
// A broken pipe on standard output must never end the tool: the keep-alive loop goes on
// refreshing when whoever read its messages has gone.
char** prepare_process(int&, char** argv) {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) close(opened);  // never: the lowest free number is fd
    }
    signal(SIGPIPE, SIG_IGN);
    // Checks are child processes whose ends the tool must see: an ignored SIGCHLD, inherited from
    // whoever started the tool, would have the kernel reap them unseen.
    signal(SIGCHLD, SIG_DFL);
    // A signal mask is inherited too: a console loop started with SIGTERM blocked would never end
    // by it. The signals that end the tool, and SIGCHLD, are let through from the start, console
    // and service alike (a service, a drill take the stops again in their wait).
    sigset_t unblocked;
    sigemptyset(&unblocked);
    for (int each : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&unblocked, each);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    return argv;
}

// Locks every page of the process once it is in memory, now and later: what the loop uses is in
// memory after its first round and stays there, while library code it never runs takes no RAM.
// Kernels older than 4.4 know no MCL_ONFAULT; there everything mapped is locked. Without the
// privilege or a large enough RLIMIT_MEMLOCK the kernel refuses, and the loop runs as before:
// nothing to tell the user.
// What is mapped later (a check's start, which maps a stack for a moment) is locked too, within the
// process's limit: where the limit leaves less room than that needs, only what is mapped now stays
// locked, so that no check or repair ever fails to start for the lock's sake.
namespace {

constexpr long kRoomKib = 1024;
constexpr int kIpcLockCapability = 14;  // CAP_IPC_LOCK: locks without the limit

// A field of /proc/self/status ("VmLck:", "CapEff:"), as text; empty where there is none.
void status_field(const char* name, char* value, size_t size) {
    value[0] = '\0';
    FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) return;
    char line[256];
    const size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, name, length) == 0) {
            std::snprintf(value, size, "%s", line + length);
            break;
        }
    }
    std::fclose(status);
}

bool room_to_lock_more() {
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    char value[64];
    status_field("CapEff:", value, sizeof value);
    if ((std::strtoull(value, nullptr, 16) & (1ull << kIpcLockCapability)) != 0) return true;
    status_field("VmLck:", value, sizeof value);
    const long locked_kib = std::strtol(value, nullptr, 10);
    return static_cast<unsigned long long>(locked_kib + kRoomKib) * 1024 <= limit.rlim_cur;
}

}  // namespace

void hold_memory() {
    if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) != 0 && errno == EINVAL) mlockall(MCL_CURRENT | MCL_FUTURE);
    if (!room_to_lock_more() && mlockall(MCL_CURRENT | MCL_ONFAULT) != 0 && errno == EINVAL) mlockall(MCL_CURRENT);
}

// Standard output is written only when it can take a message now: a pipe that nobody reads any
// more, a stalled journal or a stopped terminal would otherwise hold the tool in write() instead of
// its next refresh, or of a stop request. A message is a few hundred bytes at most, which a pipe
// or socket that polls writable takes whole; what it does not take is dropped.
void write_message(wdt::Severity severity, const char* text, size_t length) {
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&output, 1, 0) != 1 || (output.revents & POLLOUT) == 0) return;
    // Where standard output is the journal, an error or a warning carries its priority in front, in
    // the form the journal reads and takes off (journalctl -p warning then lists the problems):
    // 3 for an error or a refusal, 4 for a warning.
    if (output_is_journal < 0) output_is_journal = is_journal(STDOUT_FILENO) ? 1 : 0;
    const char priority = severity == wdt::Severity::warning ? '4' : '3';
    char mark[3] = {'<', priority, '>'};
    iovec parts[2] = {{mark, sizeof mark}, {const_cast<char*>(text), length}};
    const bool marked = output_is_journal == 1 && severity != wdt::Severity::info;
    if (writev(STDOUT_FILENO, marked ? parts : parts + 1, marked ? 2 : 1) < 0) return;  // a closed pipe, a full disk: nobody to tell
}

// The unit waits for the watchdog's device before the tool starts.
int64_t service_wait_ms() { return 0; }

// Every system this builds for has what the tool relies on.
const char* unsupported() { return nullptr; }

bool is_terminal() { return isatty(STDOUT_FILENO) == 1; }

// The library is always named by an absolute path, so the loader never searches on its own: first
// the executable's own folder, then the absolute folders of LD_LIBRARY_PATH. Empty and relative
// elements, which would mean the current directory or a folder below it, are skipped.
void* open_library(const char* file_name) {
    void* library = nullptr;
    char executable[4096];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable);
    if (length > 0 && length < static_cast<ssize_t>(sizeof executable)) {
        size_t folder_length = static_cast<size_t>(length);
        while (folder_length > 0 && executable[folder_length - 1] != '/') --folder_length;
        if (folder_length > 0 && load_from(executable, folder_length - 1, file_name, &library)) return library;
    }
    const char* search = std::getenv("LD_LIBRARY_PATH");
    for (const char* element = search; element != nullptr && *element != '\0';) {
        const char* end = std::strchr(element, ':');
        const size_t element_length = end != nullptr ? static_cast<size_t>(end - element) : std::strlen(element);
        if (element[0] == '/' && load_from(element, element_length, file_name, &library)) return library;
        element = end != nullptr ? end + 1 : nullptr;
    }
    return nullptr;
}

void* find_entry(void* library, const char* name) { return dlsym(library, name); }

bool library_path(void* library, char* text, size_t size) {
    link_map* map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) return false;
    return std::snprintf(text, size, "%s", map->l_name) > 0;
}

bool is_code(void* address) {
    Dl_info info{};
    void* found = nullptr;
    if (dladdr1(address, &info, &found, RTLD_DL_SYMENT) == 0 || found == nullptr) return false;
    const unsigned type = ELF64_ST_TYPE(static_cast<const ElfW(Sym)*>(found)->st_info);
    return type == STT_FUNC || type == STT_GNU_IFUNC;
}

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

namespace {

// In service mode only a deliberate stop, SIGTERM or SIGINT, ends the loop (and disarms). Signals
// that operators and tools send as a matter of routine (a reload, a log rotation, `pkill -HUP`)
// and that would otherwise end the process are taken by the wait too, said in the log and ignored,
// so that they never leave a healthy machine to be reset. All of them are blocked, so a signal that
// arrives during a driver call waits for the next wait, never lost. Faults (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGABRT, SIGQUIT, SIGSYS, SIGTRAP, SIGXCPU) still end the process with the watchdog armed.
bool taking = false;  // the wait takes signals (service mode, a drill)
sigset_t stop_signals, taken_signals;

struct Named {
    int number;
    const char* name;
};
constexpr Named kRoutineSignals[] = {
    {SIGHUP, "SIGHUP"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"}, {SIGALRM, "SIGALRM"},
    {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGIO, "SIGIO"},
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
};

void say_ignored(int taken) {
    const char* name = nullptr;
    for (const Named& each : kRoutineSignals) {
        if (each.number == taken) name = each.name;
    }
    char line[96];
    const int length = name != nullptr
        ? std::snprintf(line, sizeof line, "Ignored %s: only SIGTERM or SIGINT stops the service.\r\n", name)
        : std::snprintf(line, sizeof line, "Ignored signal %d: only SIGTERM or SIGINT stops the service.\r\n", taken);
    if (length > 0) write_message(wdt::Severity::warning, line, static_cast<size_t>(length));
}

// From now on the wait takes these signals: a stop, or (in service mode) a routine signal, said
// and ignored. All of them are blocked, and at their default, whatever the tool inherited.
void take_signals(const int* stops, int count, bool routine) {
    sigemptyset(&stop_signals);
    for (int i = 0; i < count; ++i) sigaddset(&stop_signals, stops[i]);
    taken_signals = stop_signals;
    if (routine) {
        for (const Named& each : kRoutineSignals) sigaddset(&taken_signals, each.number);
#ifdef SIGRTMIN
        for (int each = SIGRTMIN; each <= SIGRTMAX; ++each) sigaddset(&taken_signals, each);
#endif
    }
    sigprocmask(SIG_BLOCK, &taken_signals, nullptr);
    for (int each = 1; each < NSIG; ++each) {
        if (sigismember(&taken_signals, each) == 1) signal(each, SIG_DFL);
    }
    taking = true;
}

}  // namespace

wdt::Wake sleep_until_ms(int64_t deadline) {
    if (!taking) {
        const timespec until{static_cast<time_t>(deadline / 1000), static_cast<long>(deadline % 1000) * 1000000};
        // An absolute deadline on the monotonic clock: a signal that interrupts the wait resumes
        // it without stretching it, and wall-clock changes have no effect.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
        return wdt::Wake::due;
    }
    for (int64_t left = deadline - now_ms(); left > 0; left = deadline - now_ms()) {
        const timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        const int taken = sigtimedwait(&taken_signals, nullptr, &wait);
        if (taken > 0 && sigismember(&stop_signals, taken)) return wdt::Wake::stop_requested;
        if (taken > 0) say_ignored(taken);
    }
    return wdt::Wake::due;
}

// A POSIX service manager stops a service with SIGTERM (and a terminal with SIGINT).
int run_service(int (*tool)()) {
    constexpr int kStops[] = {SIGTERM, SIGINT};
    take_signals(kStops, 2, true);
    // Ignored without a word: a write beyond the file size limit (the write then fails), and the
    // terminal's job control, which would stop the keep-alive.
    constexpr int kQuietlyIgnored[] = {SIGXFSZ, SIGTSTP, SIGTTIN, SIGTTOU};
    for (int each : kQuietlyIgnored) signal(each, SIG_IGN);
    return tool();
}

// What ends a console program: Ctrl-C, Ctrl-\, SIGTERM, and the terminal's hang-up. A drill, the
// one that takes them, is never stopped by the terminal's job control either: a drill held still
// would leave no marks, as a machine that restarted leaves none.
void take_stop_requests() {
    constexpr int kStops[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
    take_signals(kStops, 4, false);
    constexpr int kQuietlyIgnored[] = {SIGTSTP, SIGTTIN, SIGTTOU};
    for (int each : kQuietlyIgnored) signal(each, SIG_IGN);
}

}  // namespace wdt::system
