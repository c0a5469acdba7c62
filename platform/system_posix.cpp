// The system on Linux and other POSIX systems.
#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"

namespace wdt::system {
namespace {

// Loads <folder>/<file_name> when such a file exists. Answers whether it exists: the first one
// found is the one used, even if it cannot be loaded.
bool load_from(const char* folder, size_t folder_length, const char* file_name, void** library) {
    char path[4096];
    const int length = std::snprintf(path, sizeof path, "%.*s/%s", static_cast<int>(folder_length), folder, file_name);
    struct stat status {};
    if (length < 0 || static_cast<size_t>(length) >= sizeof path || ::stat(path, &status) != 0) return false;
    *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    return true;
}

}  // namespace

// A broken pipe on standard output must never end the tool: the keep-alive loop goes on
// refreshing when whoever read its messages has gone.
void prepare_process() { signal(SIGPIPE, SIG_IGN); }

// Locks every page of the process once it is in memory, now and later: what the loop uses is in
// memory after its first round and stays there, while library code it never runs takes no RAM.
// Kernels older than 4.4 know no MCL_ONFAULT; there everything mapped is locked. Without the
// privilege or a large enough RLIMIT_MEMLOCK the kernel refuses, and the loop runs as before:
// nothing to tell the user.
void hold_memory() {
    if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) != 0 && errno == EINVAL) mlockall(MCL_CURRENT | MCL_FUTURE);
}

std::FILE* messages() { return stdout; }

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

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

namespace {

// In service mode SIGTERM and SIGINT are blocked, so that they never end the process, and taken by
// the wait instead: a stop that arrives during a driver call is seen at the next wait, never lost.
bool service_mode = false;
sigset_t stop_signals;

}  // namespace

wdt::Wake sleep_until_ms(int64_t deadline) {
    if (!service_mode) {
        const timespec until{static_cast<time_t>(deadline / 1000), static_cast<long>(deadline % 1000) * 1000000};
        // An absolute deadline on the monotonic clock: a signal that interrupts the wait resumes
        // it without stretching it, and wall-clock changes have no effect.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
        return wdt::Wake::due;
    }
    for (int64_t left = deadline - now_ms(); left > 0; left = deadline - now_ms()) {
        const timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        if (sigtimedwait(&stop_signals, nullptr, &wait) > 0) return wdt::Wake::stop_requested;
    }
    return wdt::Wake::due;
}

// A POSIX service manager stops a service with SIGTERM (and a terminal with SIGINT).
int run_service(int argc, char** argv, int (*tool)(int argc, char** argv)) {
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    service_mode = true;
    return tool(argc, argv);
}

}  // namespace wdt::system
