// A service's record of a watchdog on Linux and other POSIX systems: in the folder that systemd
// names in STATE_DIRECTORY, else /var/lib/wdtctl. The folder and its files are taken only when
// they are the tool's own (owned by root or by the tool's user, writable by no one else), opened
// without following a link and without blocking, so that nothing planted there is ever used, and
// a FIFO or a device put in their place is never opened. Writes run on a thread of their own
// (record_writer.cpp).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"
#include "platform/record_writer.h"

namespace wdt::system {
namespace {

// The folder's path: the first of STATE_DIRECTORY's list when it is absolute.
const char* folder_path() {
    static char path[1024];
    const char* named = std::getenv("STATE_DIRECTORY");
    const size_t length = named != nullptr && named[0] == '/' ? std::strcspn(named, ":") : 0;
    if (length > 0 && length < sizeof path) {
        std::memcpy(path, named, length);
        path[length] = '\0';
    } else {
        std::strcpy(path, "/var/lib/wdtctl");
    }
    return path;
}

bool is_own(const struct stat& status) {
    return (status.st_uid == 0 || status.st_uid == geteuid()) && (status.st_mode & 022) == 0;
}

// Opens the folder, made if it is missing when asked to; -1 with the reason when it is not the
// tool's own or cannot be had.
int open_folder(bool make, char* reason, size_t size) {
    const char* path = folder_path();
    if (make && mkdir(path, 0755) != 0 && errno != EEXIST) {
        std::snprintf(reason, size, "%s cannot be made: %s", path, std::strerror(errno));
        return -1;
    }
    const int folder = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (folder < 0) {
        std::snprintf(reason, size, "%s: %s", path, std::strerror(errno));
        return -1;
    }
    if (fstat(folder, &status) != 0 || !is_own(status)) {
        std::snprintf(reason, size, "the folder %s is not the tool's own (owned by uid %u, mode %03o)", path,
                      static_cast<unsigned>(status.st_uid), static_cast<unsigned>(status.st_mode & 0777));
        close(folder);
        return -1;
    }
    return folder;
}

// Opens a file of the folder only when it is a regular file of the tool's own; never follows a
// link, never opens a FIFO or a device (whose open could block, or start a watchdog). -1 with
// errno ENOENT when there is none, or with the reason.
int open_own(int folder, const char* name, int flags, char* reason, size_t size) {
    struct stat before {}, after {};
    if (fstatat(folder, name, &before, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) std::snprintf(reason, size, "%s/%s: %s", folder_path(), name, std::strerror(errno));
        return -1;
    }
    const char* what = S_ISLNK(before.st_mode) ? "a symbolic link" : S_ISFIFO(before.st_mode) ? "a FIFO"
                       : S_ISCHR(before.st_mode) || S_ISBLK(before.st_mode) ? "a device" : !S_ISREG(before.st_mode)
                       ? "not a regular file" : !is_own(before) ? "not the tool's own file" : nullptr;
    int file = what == nullptr ? openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    if (file >= 0 && (fstat(file, &after) != 0 || after.st_ino != before.st_ino || after.st_dev != before.st_dev)) {
        close(file);
        file = -1;
        what = "replaced while it was opened";
    }
    if (file < 0) {
        std::snprintf(reason, size, "%s/%s is %s", folder_path(), name, what != nullptr ? what : std::strerror(errno));
        errno = EPERM;
    }
    return file;
}

}  // namespace

bool write_record_now(unsigned n, const char* text, size_t length) {
    char reason[256];
    const int folder = open_folder(true, reason, sizeof reason);
    if (folder < 0) return false;
    char name[32], temporary[64];
    std::snprintf(name, sizeof name, "watchdog%u.record", n);
    // A name of this writer's own: another writer, or anything left there, is never written into.
    static unsigned count = 0;
    int file = -1;
    for (int attempt = 0; attempt < 2 && file < 0; ++attempt) {
        std::snprintf(temporary, sizeof temporary, "%s.%ld.%u", name, static_cast<long>(getpid()), count++);
        file = openat(folder, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    }
    bool written = file >= 0 && write(file, text, length) == static_cast<ssize_t>(length) && fsync(file) == 0;
    if (file >= 0) written = close(file) == 0 && written;
    // The rename is on disk once the folder is: a crash leaves the old record or the new one.
    written = written && renameat(folder, temporary, folder, name) == 0 && fsync(folder) == 0;
    if (!written && file >= 0) unlinkat(folder, temporary, 0);
    close(folder);
    return written;
}

int64_t wall_clock_s() { return static_cast<int64_t>(time(nullptr)); }

int64_t process_id() { return getpid(); }

// The start of a process in clock ticks since the boot (the 22nd field of /proc/<pid>/stat): no
// later process of the same pid in this boot starts at the same tick. One that has ended and not
// been reaped yet runs no more.
int64_t process_start(int64_t pid) {
    char path[40], text[1024];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(pid));
    const int file = pid > 0 ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (file < 0) return pid <= 0 || errno == ENOENT ? 0 : -1;
    const ssize_t length = read(file, text, sizeof text - 1);
    close(file);
    if (length <= 0) return 0;
    text[length] = '\0';
    const char* field = std::strrchr(text, ')');  // the name before it may hold anything
    if (field == nullptr || field[1] != ' ' || field[2] == 'Z' || field[2] == 'X') return 0;
    for (int number = 2; field != nullptr && number < 22; ++number) field = std::strchr(field + 1, ' ');
    return field != nullptr ? std::strtoll(field + 1, nullptr, 10) : -1;
}

bool boot_id(char* text, size_t size) {
    const int file = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    const ssize_t length = file >= 0 ? read(file, text, size - 1) : -1;
    if (file >= 0) close(file);
    if (length <= 0) return false;
    text[length] = '\0';
    text[std::strcspn(text, "\n")] = '\0';
    return text[0] != '\0';
}

// The uptime clock counts from the start and goes on while the machine sleeps.
int64_t booted_at_s() {
    timespec up{};
    clock_gettime(CLOCK_BOOTTIME, &up);
    return static_cast<int64_t>(time(nullptr)) - up.tv_sec;
}

wdt::RecordRead read_record(unsigned n, char* buffer, size_t size, char* reason, size_t reason_size) {
    reason[0] = '\0';
    if (size == 0) return wdt::RecordRead::none;
    const int folder = open_folder(false, reason, reason_size);
    if (folder < 0) return errno == ENOENT ? wdt::RecordRead::none : wdt::RecordRead::refused;
    char name[32];
    std::snprintf(name, sizeof name, "watchdog%u.record", n);
    const int file = open_own(folder, name, O_RDONLY, reason, reason_size);
    close(folder);
    if (file < 0) return errno == ENOENT ? wdt::RecordRead::none : wdt::RecordRead::refused;
    size_t length = 0;
    for (ssize_t got = 1; got > 0 && length + 1 < size; length += static_cast<size_t>(got)) {
        got = read(file, buffer + length, size - 1 - length);
        if (got < 0) got = 0;
    }
    close(file);
    buffer[length] = '\0';
    return wdt::RecordRead::read;
}


// A lock file beside the record, held (flock) for the life of the process, or until unlocked.
namespace {
int held_locks[2] = {-1, -1};
}  // namespace

wdt::RecordLock lock_record(unsigned n) {
    char reason[256], name[32];
    const int folder = open_folder(true, reason, sizeof reason);
    if (folder < 0) return wdt::RecordLock::unavailable;
    std::snprintf(name, sizeof name, "watchdog%u.lock", n);
    int file = open_own(folder, name, O_RDWR, reason, sizeof reason);
    if (file < 0 && errno == ENOENT) {
        file = openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    }
    close(folder);
    if (file < 0) return wdt::RecordLock::unavailable;
    if (flock(file, LOCK_EX | LOCK_NB) == 0) {
        if (n < 2) held_locks[n] = file;  // kept open, and locked, to the end or the unlock
        return wdt::RecordLock::taken;
    }
    const bool held = errno == EWOULDBLOCK;
    close(file);
    return held ? wdt::RecordLock::held_elsewhere : wdt::RecordLock::unavailable;
}

void unlock_record(unsigned n) {
    if (n > 1 || held_locks[n] < 0) return;
    close(held_locks[n]);
    held_locks[n] = -1;
}

}  // namespace wdt::system
