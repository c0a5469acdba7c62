// The kernel driver library: the six entry points of "WDT.dll", on the Linux watchdog devices.
// A device, once opened, stays open for the life of the process and is only closed by a disable,
// so an armed watchdog stays armed when the process ends or is killed.
//
// Unlike a vendor's library, each entry answers whether it did what it was asked: 0 when it did,
// 1 when it did not (having said why on standard error). WDTReturnsStatus tells the tool so.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "kernel_watchdog.h"

namespace {

int open_path(const char* path) { return ::open(path, O_PATH | O_CLOEXEC); }

int stat_descriptor(int fd, kwd::Node* node) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return -1;
    node->character_device = S_ISCHR(status.st_mode);
    node->major = major(status.st_rdev);
    node->minor = minor(status.st_rdev);
    return 0;
}

// Opening through /proc/self/fd opens the very file that the descriptor names, wherever its path
// points by now. Never blocks (a FIFO without a reader fails at once) and never becomes the
// controlling terminal.
int reopen(int fd) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return ::open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

int control(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }

long write_bytes(int fd, const char* data, size_t size) { return ::write(fd, data, size); }

long read_text(const char* path, char* buffer, size_t size) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    const long length = ::read(fd, buffer, size);
    const int error = errno;
    ::close(fd);
    errno = error;
    return length;
}

long read_link(const char* path, char* buffer, size_t size) { return ::readlink(path, buffer, size); }

const char* environment(const char* name) { return std::getenv(name); }

void complain(const char* line) { std::fprintf(stderr, "%s\n", line); }

const kwd::Kernel kKernel{open_path, stat_descriptor, reopen, control, write_bytes, ::close,
                          read_text, read_link, environment, complain};
kwd::Watchdogs watchdogs;

int status(bool done) { return done ? 0 : 1; }

}  // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int WDTReturnsStatus() { return 1; }
EXPORT int SetWDT0(int32_t milliseconds, int32_t) { return status(kwd::arm(watchdogs, kKernel, 0, milliseconds)); }
EXPORT int SetWDT1(int32_t milliseconds, int32_t) { return status(kwd::arm(watchdogs, kKernel, 1, milliseconds)); }
EXPORT int ResetWDT0() { return status(kwd::refresh(watchdogs, kKernel, 0)); }
EXPORT int ResetWDT1() { return status(kwd::refresh(watchdogs, kKernel, 1)); }
EXPORT int DisableWDT0() { return status(kwd::disable(watchdogs, kKernel, 0)); }
EXPORT int DisableWDT1() { return status(kwd::disable(watchdogs, kKernel, 1)); }
