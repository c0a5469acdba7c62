// A service's record of a watchdog on Linux and other POSIX systems: in the folder that systemd
// names in STATE_DIRECTORY, else /var/lib/wdtctl; and each watchdog's lock, in /run/wdtctl (or
// WDTCTL_RUNTIME_DIRECTORY), which every boot starts empty and which is writable even where
// /var/lib is not. The folders and their files are taken only when they are the tool's own
// (owned by root or by the tool's user, writable by no one else), opened without following a link
// and without blocking, so that nothing planted there is ever used, and a FIFO or a device put in
// their place is never opened. Writes run on a thread of their own (record_writer.cpp).
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

// A folder's path: the first of the variable's list when it is absolute (as systemd names them),
// else the usual one.
struct Folder {
    const char* variable;
    const char* usual;
    char path[1024];
};
Folder records{"STATE_DIRECTORY", "/var/lib/wdtctl", ""};
// The locks' folder is named by a variable of the tool's own: one that other services are given
// (RUNTIME_DIRECTORY) would put a command they run beside a lock of its own.
Folder locks{"WDTCTL_RUNTIME_DIRECTORY", "/run/wdtctl", ""};

const char* path_of(Folder& folder) {
    if (folder.path[0] != '\0') return folder.path;
    const char* named = std::getenv(folder.variable);
    const size_t length = named != nullptr && named[0] == '/' ? std::strcspn(named, ":") : 0;
    if (length > 0 && length < sizeof folder.path) {
        std::memcpy(folder.path, named, length);
        folder.path[length] = '\0';
    } else {
        std::snprintf(folder.path, sizeof folder.path, "%s", folder.usual);
    }
    return folder.path;
}

const char* folder_path() { return path_of(records); }

bool is_own(const struct stat& status) {
    return (status.st_uid == 0 || status.st_uid == geteuid()) && (status.st_mode & 022) == 0;
}

// Opens the folder, made if it is missing when asked to; -1 with the reason when it is not the
// tool's own or cannot be had (errno ENOENT when it is not there).
int open_folder(Folder& which, bool make, char* reason, size_t size) {
    const char* path = path_of(which);
    if (make && mkdir(path, 0755) != 0 && errno != EEXIST) {
        std::snprintf(reason, size, "%s cannot be made: %s", path, std::strerror(errno));
        return -1;
    }
    const int folder = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (folder < 0) {
        const int error = errno;
        std::snprintf(reason, size, "%s: %s", path, std::strerror(error));
        errno = error;
        return -1;
    }
    if (fstat(folder, &status) != 0 || !is_own(status)) {
        std::snprintf(reason, size, "the folder %s is not the tool's own (owned by uid %u, mode %03o)", path,
                      static_cast<unsigned>(status.st_uid), static_cast<unsigned>(status.st_mode & 0777));
        close(folder);
        errno = EPERM;
        return -1;
    }
    return folder;
}

int open_folder(bool make, char* reason, size_t size) { return open_folder(records, make, reason, size); }

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
        const int error = errno;
        std::snprintf(reason, size, "%s/%s is %s", folder_path(), name, what != nullptr ? what : std::strerror(error));
        errno = what != nullptr ? EPERM : error;
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

// Whether /proc hides other users' processes from this one (mounted with hidepid): the first
// process of the system, which always runs, is not there.
bool others_hidden() { return geteuid() != 0 && access("/proc/1", F_OK) != 0; }

// The start of a process in clock ticks since the boot (the 22nd field of /proc/<pid>/stat): no
// later process of the same pid in this boot starts at the same tick. One that has ended and not
// been reaped yet runs no more.
int64_t process_start(int64_t pid) {
    char path[40], text[1024];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(pid));
    const int file = pid > 0 ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (file < 0 && pid > 0 && errno == ENOENT && others_hidden()) return -1;
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
    if (folder < 0) return errno == ENOENT ? wdt::RecordRead::none : errno == EACCES ? wdt::RecordRead::denied : wdt::RecordRead::refused;
    char name[32];
    std::snprintf(name, sizeof name, "watchdog%u.record", n);
    const int file = open_own(folder, name, O_RDONLY, reason, reason_size);
    const int error = errno;
    close(folder);
    if (file < 0) return error == ENOENT ? wdt::RecordRead::none : error == EACCES ? wdt::RecordRead::denied : wdt::RecordRead::refused;
    size_t length = 0;
    for (ssize_t got = 1; got > 0 && length + 1 < size; length += static_cast<size_t>(got)) {
        got = read(file, buffer + length, size - 1 - length);
        if (got < 0) got = 0;
    }
    close(file);
    buffer[length] = '\0';
    return wdt::RecordRead::read;
}


// Each watchdog's lock: a file that only root (the tool's own user) may open at all, in a folder
// that only it may write, locked (flock) and kept open for the life of the process. No other user
// can take it, or block it with a lock of any kind on a descriptor of its own, since it cannot open
// the file. The keeper's lines are written into it once the lock is taken.
int held[2] = {-1, -1};

void lock_name(unsigned n, char (&name)[32]) { std::snprintf(name, sizeof name, "watchdog%u.lock", n); }

wdt::RecordLock lock_record(unsigned n, const char* keeper, char* reason, size_t reason_size) {
    if (n > 1) return wdt::RecordLock::unavailable;
    if (held[n] >= 0) return wdt::RecordLock::taken;
    char name[32];
    const int folder = open_folder(locks, true, reason, reason_size);
    if (folder < 0) return errno == EACCES ? wdt::RecordLock::denied : wdt::RecordLock::unavailable;
    lock_name(n, name);
    // Another process may make the file between this one's look and its make: then it is opened.
    int file = -1, error = ENOENT;
    for (int attempt = 0; attempt < 3 && file < 0 && error == ENOENT; ++attempt) {
        file = open_own(folder, name, O_RDWR, reason, reason_size);
        error = errno;
        if (file >= 0 || error != ENOENT) break;
        file = openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        error = file >= 0 ? 0 : errno == EEXIST ? ENOENT : errno;
        if (file < 0 && error != ENOENT) std::snprintf(reason, reason_size, "%s/%s: %s", path_of(locks), name, std::strerror(error));
    }
    close(folder);
    if (file < 0) return error == EACCES ? wdt::RecordLock::denied : wdt::RecordLock::unavailable;
    // One that others could open (made so by hand) is made the tool's own again, in place: the
    // same file stays the lock of every keeper that holds it or waits for it.
    struct stat status {};
    if (fstat(file, &status) != 0 || ((status.st_mode & 077) != 0 && fchmod(file, 0600) != 0)) {
        std::snprintf(reason, reason_size, "%s/%s cannot be kept to its owner", path_of(locks), name);
        close(file);
        return wdt::RecordLock::unavailable;
    }
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
        const bool elsewhere = errno == EWOULDBLOCK;
        std::snprintf(reason, reason_size, "%s/%s: %s", path_of(locks), name, std::strerror(errno));
        close(file);
        return elsewhere ? wdt::RecordLock::held_elsewhere : wdt::RecordLock::unavailable;
    }
    const size_t length = std::strlen(keeper);
    if (ftruncate(file, 0) != 0 || pwrite(file, keeper, length, 0) != static_cast<ssize_t>(length)) {
        // Held all the same: another keeper is refused without being told who holds it.
    }
    held[n] = file;  // kept open, and locked, to the end
    return wdt::RecordLock::taken;
}

void unlock_record(unsigned n) {
    if (n > 1 || held[n] < 0) return;
    close(held[n]);  // the lock goes with the last descriptor of its open file
    held[n] = -1;
}

bool records_folder(char* text, size_t size) { return std::snprintf(text, size, "%s", path_of(records)) > 0; }

wdt::RecordRead read_keeper(unsigned n, char* text, size_t size) {
    char reason[256], name[32];
    if (size == 0) return wdt::RecordRead::none;
    text[0] = '\0';
    const int folder = open_folder(locks, false, reason, sizeof reason);
    if (folder < 0) return errno == ENOENT ? wdt::RecordRead::none : wdt::RecordRead::refused;
    lock_name(n, name);
    const int file = open_own(folder, name, O_RDONLY, reason, sizeof reason);
    const int error = errno;
    close(folder);
    if (file < 0) {
        return error == ENOENT ? wdt::RecordRead::none : error == EACCES ? wdt::RecordRead::denied : wdt::RecordRead::refused;
    }
    const ssize_t length = pread(file, text, size - 1, 0);
    close(file);
    text[length > 0 ? length : 0] = '\0';
    return length > 0 ? wdt::RecordRead::read : wdt::RecordRead::none;
}

}  // namespace wdt::system
