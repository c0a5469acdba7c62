// Finding, checking and opening a watchdog's device, and reading what sysfs shows of it: the part
// of the kernel driver library that decides what may be touched.
#pragma once

#include <cstddef>

#include "kernel_watchdog.h"

namespace kwd {

enum class State { active, inactive, unknown };

struct Device {
    char path[512];  // e.g. /dev/watchdog0
    char sysfs[64];  // the watchdog's folder in sysfs, e.g. /sys/dev/char/248:0; empty for a legacy driver
    Node node;
    bool legacy;     // a legacy driver: no folder in sysfs, stopped by a close after the magic character
    bool stateless;  // of the kernel's core, but sysfs shows no state (a kernel without the watchdog's files)
    State state;     // what sysfs showed when the device was found; unknown for a legacy driver
    int state_error; // why the state is unknown, as errno
    int path_fd;     // names the checked file until it is opened, so that exactly that file is opened
};

[[gnu::format(printf, 3, 4)]] void say(const Kernel& kernel, const char* path, const char* format, ...);

const char* chosen_path(const Kernel& kernel, int n);

// Names watchdog n's device and checks that it is a watchdog, without opening it, and reads its
// state. Answers false, having said why, when the library must not touch it; otherwise
// device.path_fd names the file.
bool find_device(const Kernel& kernel, int n, Device& device);
void release_path(const Kernel& kernel, Device& device);

// Names the device of watchdog n, which this process already holds.
void name_held(const Watchdogs& watchdogs, const Kernel& kernel, int n, Device& device);

// Reads one of the watchdog's sysfs attributes; false with errno set when it cannot.
bool read_attribute(const Kernel& kernel, const Device& device, const char* name, char* text, size_t size);
// Whether the watchdog may never be stopped once started; taken to be so when it cannot be read.
bool may_never_stop(const Kernel& kernel, const Device& device);

// Opens the file that find_device checked and confirms that it answers as a watchdog. Answers
// false, having said why; with `busy` given, a device held by another process is not said but
// reported there.
bool open_device(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n, bool* busy = nullptr);

}  // namespace kwd
