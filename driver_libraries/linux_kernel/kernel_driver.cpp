// The kernel driver library: the six entry points of "WDT.dll", on the Linux watchdog devices.
// A device, once opened, stays open for the life of the process and is only closed (with the magic
// character) by a disable, so an armed watchdog stays armed when the process ends or is killed.
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

void describe(const struct stat& status, kwd::Node* node) {
    node->character_device = S_ISCHR(status.st_mode);
    node->major = major(status.st_rdev);
    node->minor = minor(status.st_rdev);
}

int stat_path(const char* path, kwd::Node* node) {
    struct stat status {};
    if (::stat(path, &status) != 0) return -1;
    describe(status, node);
    return 0;
}

int stat_descriptor(int fd, kwd::Node* node) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return -1;
    describe(status, node);
    return 0;
}

// Never blocks (a FIFO without a reader fails at once) and never becomes the controlling terminal.
int open_device(const char* path) { return ::open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); }

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

const kwd::Kernel kKernel{stat_path, open_device, stat_descriptor, control, write_bytes, ::close,
                          read_text, read_link, environment, complain};
kwd::Watchdogs watchdogs;

}  // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT void SetWDT0(int32_t milliseconds, int32_t) { kwd::arm(watchdogs, kKernel, 0, milliseconds); }
EXPORT void SetWDT1(int32_t milliseconds, int32_t) { kwd::arm(watchdogs, kKernel, 1, milliseconds); }
EXPORT void ResetWDT0() { kwd::refresh(watchdogs, kKernel, 0); }
EXPORT void ResetWDT1() { kwd::refresh(watchdogs, kKernel, 1); }
EXPORT void DisableWDT0() { kwd::disable(watchdogs, kKernel, 0); }
EXPORT void DisableWDT1() { kwd::disable(watchdogs, kKernel, 1); }
