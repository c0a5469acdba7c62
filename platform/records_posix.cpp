// A service's record of a watchdog on Linux and other POSIX systems: in the folder that systemd
// names in STATE_DIRECTORY (the unit's StateDirectory=), else /var/lib/wdtctl.
#include <fcntl.h>
#include <signal.h>
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

// The folder; for a write it is made if it is missing (its parent must be there). nullptr when it
// cannot be.
const char* folder(bool for_writing) {
    static char path[1024];
    const char* named = std::getenv("STATE_DIRECTORY");
    const size_t length = named != nullptr && named[0] == '/' ? std::strcspn(named, ":") : 0;  // the first of a list
    if (length > 0 && length < sizeof path) {
        std::memcpy(path, named, length);
        path[length] = '\0';
    } else {
        std::strcpy(path, "/var/lib/wdtctl");
    }
    if (for_writing && mkdir(path, 0755) != 0 && errno != EEXIST) return nullptr;
    return path;
}

}  // namespace

int64_t wall_clock_s() { return static_cast<int64_t>(time(nullptr)); }

int64_t process_id() { return getpid(); }

// The uptime clock counts from the start and goes on while the machine sleeps.
int64_t booted_at_s() {
    timespec up{};
    clock_gettime(CLOCK_BOOTTIME, &up);
    return static_cast<int64_t>(time(nullptr)) - up.tv_sec;
}

bool process_runs(int64_t pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

bool write_record(unsigned n, const char* text, size_t length) {
    const char* where = folder(true);
    if (where == nullptr) return false;
    const int directory = open(where, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return false;
    char name[32], temporary[40];
    std::snprintf(name, sizeof name, "watchdog%u.record", n);
    std::snprintf(temporary, sizeof temporary, "%s.new", name);
    const int file = openat(directory, temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool written = file >= 0 && write(file, text, length) == static_cast<ssize_t>(length) && fsync(file) == 0;
    if (file >= 0) written = close(file) == 0 && written;
    // The rename is on disk once the folder is: a crash leaves the old record or the new one.
    written = written && renameat(directory, temporary, directory, name) == 0 && fsync(directory) == 0;
    if (!written) unlinkat(directory, temporary, 0);
    close(directory);
    return written;
}

size_t read_record(unsigned n, char* buffer, size_t size) {
    const char* where = folder(false);
    char path[1100];
    if (where == nullptr || size == 0) return 0;
    std::snprintf(path, sizeof path, "%s/watchdog%u.record", where, n);
    const int file = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0) return 0;
    const ssize_t got = read(file, buffer, size - 1);
    close(file);
    const size_t length = got > 0 ? static_cast<size_t>(got) : 0;
    buffer[length] = '\0';
    return length;
}

}  // namespace wdt::system
