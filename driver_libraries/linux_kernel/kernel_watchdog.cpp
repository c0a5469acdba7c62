#include "kernel_watchdog.h"

#include <linux/watchdog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kwd {
namespace {

// The misc device /dev/watchdog: the kernel's watchdog 0 answers to it, or a legacy driver that
// predates the kernel's watchdog core owns it.
constexpr unsigned kLegacyMajor = 10;
constexpr unsigned kLegacyMinor = 130;

struct Device {
    char path[512];  // e.g. /dev/watchdog0
    char sysfs[64];  // the watchdog's folder in sysfs, e.g. /sys/dev/char/248:0; empty for a legacy driver
    Node node;
    bool legacy;     // a legacy driver: no state in sysfs, stopped by a close after the magic character
    int path_fd;     // names the checked file until it is opened, so that exactly that file is opened
};

enum class State { active, inactive, unknown };

[[gnu::format(printf, 3, 4)]] void say(const Kernel& kernel, const char* path, const char* format, ...) {
    char text[768];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char line[1400];
    std::snprintf(line, sizeof line, "WDT.dll: %s: %s", path, text);
    kernel.complain(line);
}

const char* chosen_path(const Kernel& kernel, int n) {
    const char* chosen = kernel.getenv(n == 0 ? "WDT_DEVICE0" : "WDT_DEVICE1");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    return n == 0 ? "/dev/watchdog0" : "/dev/watchdog1";
}

bool is_watchdog_class(const Kernel& kernel, const char* sysfs) {
    char link_path[96];
    std::snprintf(link_path, sizeof link_path, "%s/subsystem", sysfs);
    char target[256];
    const long length = kernel.read_link(link_path, target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = '\0';
    const char* slash = std::strrchr(target, '/');
    return std::strcmp(slash != nullptr ? slash + 1 : target, "watchdog") == 0;
}

// The kernel gives /dev/watchdog to its watchdog 0 whenever that one exists (a watchdog that
// finds the node taken by a legacy driver gets another number). So without a watchdog 0 in
// sysfs, a legacy driver owns the node.
bool locate_legacy_node(const Kernel& kernel, Device& device) {
    char number[32];
    const long length = kernel.read_text("/sys/class/watchdog/watchdog0/dev", number, sizeof number - 1);
    if (length < 0 && errno == ENOENT) {
        device.legacy = true;
        device.sysfs[0] = '\0';
        return true;
    }
    if (length <= 0) return false;
    number[length] = '\0';
    number[std::strcspn(number, "\n")] = '\0';
    std::snprintf(device.sysfs, sizeof device.sysfs, "/sys/dev/char/%.20s", number);
    return true;
}

void release_path(const Kernel& kernel, Device& device) {
    if (device.path_fd >= 0) kernel.close(device.path_fd);
    device.path_fd = -1;
}

// Names watchdog n's device and checks that it is a watchdog, without opening it. Answers false,
// having said why, when the library must not touch it; otherwise device.path_fd names the file.
bool find_device(const Kernel& kernel, int n, Device& device) {
    device.path_fd = -1;
    const char* path = chosen_path(kernel, n);
    if (std::strlen(path) >= sizeof device.path) {
        char shortened[80];
        std::snprintf(shortened, sizeof shortened, "%.64s...", path);
        say(kernel, shortened, "the path is longer than %zu characters; not touched", sizeof device.path - 1);
        return false;
    }
    std::snprintf(device.path, sizeof device.path, "%s", path);
    device.path_fd = kernel.open_path(path);
    if (device.path_fd < 0 || kernel.fstat(device.path_fd, &device.node) != 0) {
        say(kernel, path, "%s", std::strerror(errno));
        release_path(kernel, device);
        return false;
    }
    const Node& node = device.node;
    bool watchdog = false;
    if (node.character_device && node.major == kLegacyMajor && node.minor == kLegacyMinor) {
        watchdog = locate_legacy_node(kernel, device);
    } else if (node.character_device) {
        std::snprintf(device.sysfs, sizeof device.sysfs, "/sys/dev/char/%u:%u", node.major, node.minor);
        watchdog = is_watchdog_class(kernel, device.sysfs);
    }
    if (!watchdog) {
        say(kernel, path, "not a watchdog device; not touched");
        release_path(kernel, device);
    }
    return watchdog;
}

// Reads one of the watchdog's sysfs attributes; false with errno set when it cannot, or when the
// watchdog has no folder in sysfs (a legacy driver).
bool read_attribute(const Kernel& kernel, const Device& device, const char* name, char* text, size_t size) {
    if (device.sysfs[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    char path[96];
    std::snprintf(path, sizeof path, "%s/%s", device.sysfs, name);
    const long length = kernel.read_text(path, text, size - 1);
    if (length < 0) return false;
    text[length] = '\0';
    return true;
}

State state_of(const Kernel& kernel, const Device& device) {
    char text[32];
    if (!read_attribute(kernel, device, "state", text, sizeof text)) return State::unknown;
    if (std::strncmp(text, "active", 6) == 0) return State::active;
    if (std::strncmp(text, "inactive", 8) == 0) return State::inactive;
    errno = EINVAL;
    return State::unknown;
}

// Whether the watchdog may never be stopped once started; when that cannot be read, it is taken
// to be so, since opening such a watchdog would start it for good.
bool may_never_stop(const Kernel& kernel, const Device& device) {
    char nowayout[8];
    return !read_attribute(kernel, device, "nowayout", nowayout, sizeof nowayout) || nowayout[0] != '0';
}

void say_state_unknown(const Kernel& kernel, const Device& device, const char* what) {
    say(kernel, device.path, "%s: cannot read %s/state, and opening the device could start it: %s", what,
        device.sysfs, std::strerror(errno));
}

// Opens the file that find_device checked and confirms that it answers as a watchdog. Answers
// false, having said why; with `busy` given, a device held by another process is not said but
// reported there.
bool open_device(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n, bool* busy = nullptr) {
    const int fd = kernel.reopen(device.path_fd);
    if (fd < 0) {
        if (errno == EBUSY && busy != nullptr) {
            *busy = true;
        } else if (errno == EBUSY) {
            say(kernel, device.path,
                "another process holds the device (a watchdog daemon, or systemd's RuntimeWatchdogSec); "
                "stop it, or name another device in WDT_DEVICE%d", n);
        } else {
            say(kernel, device.path, "%s", std::strerror(errno));
        }
        return false;
    }
    Node opened;
    watchdog_info info{};
    const bool same = kernel.fstat(fd, &opened) == 0 && opened.character_device &&
                      opened.major == device.node.major && opened.minor == device.node.minor;
    if (!same || kernel.ioctl(fd, WDIOC_GETSUPPORT, &info) != 0) {
        kernel.close(fd);
        say(kernel, device.path, "not a watchdog device; not touched");
        return false;
    }
    watchdogs.fd[n] = fd;
    watchdogs.options[n] = info.options;
    watchdogs.legacy[n] = device.legacy;
    return true;
}

// A driver without magic close stops the watchdog whenever its device is closed, which happens at
// the latest when the process ends; nowayout keeps it running all the same.
void warn_if_close_stops(const Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    if ((watchdogs.options[n] & WDIOF_MAGICCLOSE) != 0) return;
    char nowayout[8];
    if (read_attribute(kernel, device, "nowayout", nowayout, sizeof nowayout) && nowayout[0] == '1') return;
    say(kernel, device.path, "this driver stops the watchdog whenever its device is closed, so it stops when "
        "the tool exits");
}

const char* why_not_stopped(int error) {
    return error == EBUSY ? "it keeps running (nowayout is set, or the driver cannot stop it)" : std::strerror(error);
}

// Stops the held watchdog and closes it. A legacy driver stops at a close after the magic
// character. The kernel's core is asked to stop instead, and the device is closed without the
// magic character: the kernel keeps that character over the close of a stopped watchdog and would
// stop the next keeper's watchdog when that one closes. A write, which refreshes, forgets one
// that anyone wrote before. When the stop is refused the device stays held and this answers false
// with errno set.
bool stop_and_close(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    const int fd = watchdogs.fd[n];
    if (watchdogs.legacy[n]) {
        if (kernel.write(fd, "V", 1) != 1) return false;
    } else {
        if (kernel.write(fd, "\n", 1) != 1) {
            say(kernel, device.path, "cannot clear an earlier magic character: %s", std::strerror(errno));
        }
        int options = WDIOS_DISABLECARD;
        if (kernel.ioctl(fd, WDIOC_SETOPTIONS, &options) != 0) return false;
    }
    kernel.close(fd);
    watchdogs.fd[n] = -1;
    return true;
}

bool stop_and_say(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    if (stop_and_close(watchdogs, kernel, device, n)) return true;
    say(kernel, device.path, "cannot stop the watchdog: %s", why_not_stopped(errno));
    return false;
}

// Refreshes the held watchdog: with the keep-alive request where the driver offers it, or else
// (or when it is refused) with a write, which every watchdog takes as a refresh.
bool keep_alive(const Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    const int fd = watchdogs.fd[n];
    if ((watchdogs.options[n] & WDIOF_KEEPALIVEPING) != 0) {
        int unused = 0;
        if (kernel.ioctl(fd, WDIOC_KEEPALIVE, &unused) == 0) return true;
        if (errno != EOPNOTSUPP && errno != ENOTTY) {
            say(kernel, device.path, "cannot refresh the watchdog: %s", std::strerror(errno));
            return false;
        }
    }
    if (kernel.write(fd, "\n", 1) == 1) return true;
    say(kernel, device.path, "cannot refresh the watchdog: %s", std::strerror(errno));
    return false;
}

// Closes a device that this process no longer keeps. The kernel refreshes a running watchdog at
// that close, and it keeps running.
void let_go(Watchdogs& watchdogs, const Kernel& kernel, int n) {
    if (watchdogs.fd[n] < 0) return;
    kernel.close(watchdogs.fd[n]);
    watchdogs.fd[n] = -1;
}

// Names the device of watchdog n, which this process already holds.
void name_held(const Watchdogs& watchdogs, const Kernel& kernel, int n, Device& device) {
    std::snprintf(device.path, sizeof device.path, "%s", chosen_path(kernel, n));
    device.legacy = watchdogs.legacy[n];
    device.path_fd = -1;
}

// Takes hold of watchdog n for arm: answers whether it is held, and whether this call started it.
bool take_for_arm(Watchdogs& watchdogs, const Kernel& kernel, Device& device, int n, bool& started_here) {
    started_here = false;
    if (!find_device(kernel, n, device)) return false;
    const State before = device.legacy ? State::unknown : state_of(kernel, device);
    const bool opened = open_device(watchdogs, kernel, device, n);
    release_path(kernel, device);
    if (!opened) return false;
    started_here = before == State::inactive;
    warn_if_close_stops(watchdogs, kernel, device, n);
    return true;
}

// Sets the timeout and checks what the driver made of it. Answers false, with the reason in
// `problem`, when the watchdog would run with a shorter timeout than asked or an unknown one.
bool set_timeout(const Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n, int wanted,
                 char* problem, size_t size) {
    const int fd = watchdogs.fd[n];
    int timeout = wanted;
    if (kernel.ioctl(fd, WDIOC_SETTIMEOUT, &timeout) != 0) {
        std::snprintf(problem, size, "cannot set a timeout of %d s: %s", wanted, std::strerror(errno));
        return false;
    }
    int actual = 0;
    if (kernel.ioctl(fd, WDIOC_GETTIMEOUT, &actual) != 0) {
        say(kernel, device.path, "cannot read the timeout back: %s", std::strerror(errno));
    } else if (actual < wanted) {
        std::snprintf(problem, size, "the driver set a timeout of %d s, shorter than the %d s asked for", actual, wanted);
        return false;
    } else if (actual > wanted) {
        say(kernel, device.path, "the timeout is %d s, not the %d s asked for", actual, wanted);
    }
    return true;
}

// After a refused timeout: a watchdog that this call started is stopped again; one that ran
// before keeps running as it was. A legacy driver does not show whether it ran, so it is stopped.
void undo_arm(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n, bool started_here,
              const char* problem) {
    if (!device.legacy && !started_here) {
        say(kernel, device.path, "%s; the watchdog keeps running with the timeout it had", problem);
    } else if (!stop_and_close(watchdogs, kernel, device, n)) {
        say(kernel, device.path, "%s; the watchdog cannot be stopped again and runs with its old timeout: %s",
            problem, why_not_stopped(errno));
    } else if (device.legacy) {
        say(kernel, device.path, "%s; the watchdog is stopped (a legacy driver does not show whether it ran "
            "before)", problem);
    } else {
        say(kernel, device.path, "%s; the watchdog is stopped again, as it was", problem);
    }
}

bool refresh_unheld(Watchdogs& watchdogs, const Kernel& kernel, Device& device, int n) {
    if (device.legacy) {
        say(kernel, device.path, "not refreshed: a legacy driver does not show whether its watchdog runs, and "
            "opening it would start a stopped one (the keep-alive loop, which holds the device, refreshes it)");
        return false;
    }
    const State state = state_of(kernel, device);
    if (state == State::inactive) return true;
    if (state == State::unknown) {
        say_state_unknown(kernel, device, "not refreshed");
        return false;
    }
    if (!open_device(watchdogs, kernel, device, n)) return false;
    warn_if_close_stops(watchdogs, kernel, device, n);
    return keep_alive(watchdogs, kernel, device, n);
}

// A watchdog that nobody holds may run although sysfs calls it inactive: started by the firmware
// or by its driver, before anyone opened it. Opening and stopping it stops it in any case; only a
// watchdog that may never stop is left closed when inactive, since opening would start it for good.
bool disable_unheld(Watchdogs& watchdogs, const Kernel& kernel, Device& device, int n) {
    if (device.legacy) {
        if (!open_device(watchdogs, kernel, device, n)) return false;
    } else {
        const State state = state_of(kernel, device);
        if (state == State::unknown) {
            say_state_unknown(kernel, device, "not stopped");
            return false;
        }
        const bool inactive = state == State::inactive;
        if (inactive && may_never_stop(kernel, device)) return true;
        // A stopped watchdog that another process holds is stopped all the same.
        bool busy = false;
        if (!open_device(watchdogs, kernel, device, n, inactive ? &busy : nullptr)) return busy;
    }
    if (stop_and_say(watchdogs, kernel, device, n)) return true;
    let_go(watchdogs, kernel, n);
    return false;
}

}  // namespace

bool arm(Watchdogs& watchdogs, const Kernel& kernel, int n, int32_t milliseconds) {
    Device device{};
    bool started_here = false;
    const bool held_before = watchdogs.fd[n] >= 0;
    if (held_before) {
        name_held(watchdogs, kernel, n, device);
    } else if (!take_for_arm(watchdogs, kernel, device, n, started_here)) {
        watchdogs.arm_failed[n] = true;
        return false;
    }
    const int wanted = milliseconds <= 1000 ? 1 : static_cast<int>((int64_t{milliseconds} + 999) / 1000);
    char problem[256];
    bool armed = set_timeout(watchdogs, kernel, device, n, wanted, problem, sizeof problem);
    if (!armed) {
        undo_arm(watchdogs, kernel, device, n, started_here, problem);
    } else if (kernel.write(watchdogs.fd[n], "\n", 1) != 1) {
        // The write refreshes the watchdog, and forgets a magic character written before (as a
        // disable by an older tool did), which would stop it when this process exits or is killed.
        say(kernel, device.path, "cannot refresh the watchdog: %s", std::strerror(errno));
        armed = false;
    }
    if (!armed && !held_before) {
        // A keep-alive loop after a failed arm must never keep a watchdog that this process did not arm.
        let_go(watchdogs, kernel, n);
        watchdogs.arm_failed[n] = true;
    }
    if (armed) watchdogs.arm_failed[n] = false;
    return armed;
}

bool refresh(Watchdogs& watchdogs, const Kernel& kernel, int n) {
    Device device{};
    if (watchdogs.fd[n] >= 0) {
        name_held(watchdogs, kernel, n, device);
        return keep_alive(watchdogs, kernel, device, n);
    }
    if (watchdogs.arm_failed[n]) {
        say(kernel, chosen_path(kernel, n), "not refreshed: the arm failed, and a watchdog that this process did "
            "not arm is not taken over (another keeper may hold it)");
        return false;
    }
    if (!find_device(kernel, n, device)) return false;
    const bool done = refresh_unheld(watchdogs, kernel, device, n);
    release_path(kernel, device);
    return done;
}

bool disable(Watchdogs& watchdogs, const Kernel& kernel, int n) {
    Device device{};
    if (watchdogs.fd[n] >= 0) {
        name_held(watchdogs, kernel, n, device);
        return stop_and_say(watchdogs, kernel, device, n);
    }
    if (!find_device(kernel, n, device)) return false;
    const bool done = disable_unheld(watchdogs, kernel, device, n);
    release_path(kernel, device);
    return done;
}

}  // namespace kwd
