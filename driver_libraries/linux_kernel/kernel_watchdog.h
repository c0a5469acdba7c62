// Watchdogs 0 and 1 on top of the Linux watchdog device API: the logic behind the six entry points
// of the kernel driver library. The kernel is reached through a record of function addresses so
// that tests can stand in for it.
//
// Nothing is opened, written or asked of a device until it is known to be a watchdog: a character
// device whose number belongs to the watchdog class in sysfs (or the legacy node 10:130), and, once
// opened, the same device answering the watchdog's own request. Anything else gets one line on
// standard error and is left untouched.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwd {

// What stat() tells of a path or a descriptor.
struct Node {
    bool character_device = false;
    unsigned major = 0;
    unsigned minor = 0;
};

struct Kernel {
    int (*stat)(const char* path, Node* node);  // follows links; 0, or -1 with errno
    int (*open)(const char* path);              // for writing, never blocking; a descriptor, or -1 with errno
    int (*fstat)(int fd, Node* node);
    int (*ioctl)(int fd, unsigned long request, void* argument);  // -1 with errno on failure
    long (*write)(int fd, const char* data, size_t size);
    int (*close)(int fd);
    long (*read_text)(const char* path, char* buffer, size_t size);  // bytes read, or -1 with errno
    long (*read_link)(const char* path, char* buffer, size_t size);  // bytes, or -1 with errno
    const char* (*getenv)(const char* name);
    void (*complain)(const char* line);  // one line on standard error
};

// The open device of each watchdog while this process holds it (-1 otherwise), and what its
// driver said it supports.
struct Watchdogs {
    int fd[2] = {-1, -1};
    uint32_t options[2] = {};
};

// Arms the watchdog: opens it if needed, sets the timeout (milliseconds rounded up to whole
// seconds), enables and refreshes it. A timeout that is refused, or set shorter than asked, leaves
// a watchdog that this call started stopped again; one that was already running keeps running.
void arm(Watchdogs& watchdogs, const Kernel& kernel, int n, int32_t milliseconds);

// Refreshes the watchdog. Without an open device a stopped watchdog is left alone, since opening
// the device would start it.
void refresh(Watchdogs& watchdogs, const Kernel& kernel, int n);

// Stops the watchdog and closes it with the magic character. A stopped watchdog that this process
// does not hold is left closed; one whose stop is refused is never sent the magic character.
void disable(Watchdogs& watchdogs, const Kernel& kernel, int n);

}  // namespace kwd
