// The system on Linux and other POSIX systems.
#include <dlfcn.h>
#include <time.h>

#include <cerrno>

#include "platform/system.h"

namespace wdt::system {

// The executable carries the search path $ORIGIN, so the loader looks beside the executable before
// its usual places; a bare file name never makes it look in the current directory.
void* open_library(const char* file_name) { return dlopen(file_name, RTLD_NOW | RTLD_LOCAL); }

void* find_entry(void* library, const char* name) { return dlsym(library, name); }

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

bool sleep_until_ms(int64_t deadline) {
    const timespec until{static_cast<time_t>(deadline / 1000), static_cast<long>(deadline % 1000) * 1000000};
    // An absolute deadline on the monotonic clock: a signal that interrupts the wait resumes it
    // without stretching it, and wall-clock changes have no effect.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    return true;
}

}  // namespace wdt::system
