// A heartbeat file's modification time on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/heartbeats.h"

namespace wdt::system {

// The time as the file's server has it now: a network or FUSE file system answers from what it
// cached (attributes that stay valid for a while) unless it is asked to sync, and a file that
// another machine keeps touching would look frozen. Local file systems have nothing to sync.
void read_file_time(const char* path, wdt::Lookup& lookup) {
    struct statx status {};
    if (statx(AT_FDCWD, path, AT_STATX_FORCE_SYNC, STATX_MTIME, &status) == 0) {
        lookup.kind = wdt::FileKind::found;
        lookup.time = {status.stx_mtime.tv_sec, status.stx_mtime.tv_nsec};
    } else if (errno == ENOENT || errno == ENOTDIR) {
        lookup.kind = wdt::FileKind::absent;
    } else {
        lookup.kind = wdt::FileKind::unreadable;
        std::snprintf(lookup.reason, sizeof lookup.reason, "%s", std::strerror(errno));
    }
}

}  // namespace wdt::system
