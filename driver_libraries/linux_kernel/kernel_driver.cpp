// The kernel driver library: the six entry points of "WDT.dll", on the Linux watchdog devices.
// A device, once opened, stays open for the life of the process and is only closed by a disable,
// so an armed watchdog stays armed when the process ends or is killed.
//
// Unlike a vendor's library, each entry answers whether it did what it was asked: 0 when it did,
// 1 when it did not (having said why on standard error). WDTReturnsStatus tells the tool so.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// A problem is one line on standard error, written only when it can be taken at once (a journal or
// a pipe that stalls must never hold up the keep-alive), and said once while it repeats: a loop
// whose refresh keeps failing says why once, until a call works again.
char last_said[1400];

void complain(const char* line) {
    if (std::strcmp(line, last_said) == 0) return;
    std::snprintf(last_said, sizeof last_said, "%s", line);
    char text[1402];
    const int length = std::snprintf(text, sizeof text, "%s\n", line);
    pollfd error{STDERR_FILENO, POLLOUT, 0};
    if (length <= 0 || poll(&error, 1, 0) != 1 || (error.revents & POLLOUT) == 0) return;
    if (::write(STDERR_FILENO, text, static_cast<size_t>(length)) < 0) return;  // nobody to tell
}

const kwd::Kernel kKernel{open_path, stat_descriptor, reopen, control, write_bytes, ::close,
                          read_text, read_link, environment, complain};
kwd::Watchdogs watchdogs;

int status(bool done) {
    if (done) last_said[0] = '\0';
    return done ? 0 : 1;
}

}  // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int WDTReturnsStatus() { return 1; }
EXPORT int SetWDT0(int32_t milliseconds, int32_t) { return status(kwd::arm(watchdogs, kKernel, 0, milliseconds)); }
EXPORT int SetWDT1(int32_t milliseconds, int32_t) { return status(kwd::arm(watchdogs, kKernel, 1, milliseconds)); }
EXPORT int ResetWDT0() { return status(kwd::refresh(watchdogs, kKernel, 0)); }
EXPORT int ResetWDT1() { return status(kwd::refresh(watchdogs, kKernel, 1)); }
EXPORT int DisableWDT0() { return status(kwd::disable(watchdogs, kKernel, 0)); }
EXPORT int DisableWDT1() { return status(kwd::disable(watchdogs, kKernel, 1)); }
