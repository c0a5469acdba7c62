// Watchdogs 0 and 1 on top of the Linux watchdog device API: the logic behind the six entry points
// of the kernel driver library. The kernel is reached through a record of function addresses so
// that tests can stand in for it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwd {

struct Kernel {
    int (*open)(const char* path);                              // a descriptor, or -1 with errno
    int (*ioctl)(int fd, unsigned long request, int* argument);  // -1 with errno on failure
    long (*write)(int fd, const char* data, size_t size);
    int (*close)(int fd);
    long (*read_text)(const char* path, char* buffer, size_t size);  // bytes read, or -1 with errno
    const char* (*getenv)(const char* name);
    void (*complain)(const char* line);  // one line on standard error
};

// The open device of each watchdog; -1 while this process holds none.
struct Watchdogs {
    int fd[2] = {-1, -1};
};

// Opens the device if needed, sets the timeout (milliseconds rounded up to whole seconds), enables
// the watchdog and refreshes it once. Reports a timeout that the driver changed.
void arm(Watchdogs& watchdogs, const Kernel& kernel, int n, int32_t milliseconds);

// Refreshes the watchdog. Without an open device it looks at the watchdog's state first, since
// opening the device would start a stopped watchdog: an inactive one is left alone.
void refresh(Watchdogs& watchdogs, const Kernel& kernel, int n);

// Stops the watchdog, writes the magic character that allows the device to be closed, and closes it.
void disable(Watchdogs& watchdogs, const Kernel& kernel, int n);

}  // namespace kwd
