// A keep-alive's metrics on Linux and other POSIX systems: a file of the tool's own in a folder that
// root (the tool's user) alone may write, such as the textfile collector's
// /var/lib/prometheus/node-exporter, written whole and renamed into place, readable by the exporter.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/record_writer.h"
#include "platform/system.h"

namespace wdt::system {
namespace {

// The folder, opened when it may take the metrics; -1 with why otherwise.
int open_metrics_folder(const char* path, char* reason, size_t size) {
    const int folder = open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (folder < 0) {
        std::snprintf(reason, size, "%s: %s", path, std::strerror(errno));
        return -1;
    }
    if (fstat(folder, &status) != 0 || (status.st_uid != 0 && status.st_uid != geteuid()) || (status.st_mode & 022) != 0) {
        std::snprintf(reason, size, "%s may be written by others than %s (owned by uid %u, mode %03o)", path,
                      geteuid() == 0 ? "root" : "this user", static_cast<unsigned>(status.st_uid),
                      static_cast<unsigned>(status.st_mode & 0777));
        close(folder);
        return -1;
    }
    return folder;
}

}  // namespace

bool metrics_folder(const char* path, char* reason, size_t size) {
    const int folder = open_metrics_folder(path, reason, size);
    if (folder < 0) return false;
    const bool writable = faccessat(folder, ".", W_OK, AT_EACCESS) == 0;
    if (!writable) std::snprintf(reason, size, "%s: %s", path, std::strerror(errno));
    close(folder);
    return writable;
}

bool write_metrics_now(unsigned n, const char* path, const char* text, size_t length, char* reason, size_t size) {
    const int folder = open_metrics_folder(path, reason, size);
    if (folder < 0) return false;
    char name[32], temporary[64];
    std::snprintf(name, sizeof name, "wdtctl_w%u.prom", n);
    // Not ending in .prom: the collector never reads it half written.
    std::snprintf(temporary, sizeof temporary, "wdtctl_w%u.prom.%ld", n, static_cast<long>(getpid()));
    unlinkat(folder, temporary, 0);
    const int file = openat(folder, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    bool written = file >= 0 && fchmod(file, 0644) == 0 && write(file, text, length) == static_cast<ssize_t>(length);
    if (file >= 0) written = close(file) == 0 && written;
    written = written && renameat(folder, temporary, folder, name) == 0;
    if (!written) {
        std::snprintf(reason, size, "%s/%s: %s", path, name, std::strerror(errno));
        unlinkat(folder, temporary, 0);
    }
    close(folder);
    return written;
}

}  // namespace wdt::system
