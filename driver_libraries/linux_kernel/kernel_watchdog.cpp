#include "kernel_watchdog.h"

#include <linux/watchdog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kwd {
namespace {

// The misc device that the first watchdog also answers to, as /dev/watchdog.
constexpr unsigned kLegacyMajor = 10;
constexpr unsigned kLegacyMinor = 130;

struct Device {
    char path[512];  // e.g. /dev/watchdog0
    char sysfs[64];  // the watchdog's folder in sysfs, e.g. /sys/dev/char/248:0
    Node node;
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

// Names watchdog n's device and checks that it is a watchdog. Answers false, having said why, when
// the library must not touch it.
bool find_device(const Kernel& kernel, int n, Device& device) {
    const char* path = chosen_path(kernel, n);
    if (std::strlen(path) >= sizeof device.path) {
        char shortened[80];
        std::snprintf(shortened, sizeof shortened, "%.64s...", path);
        say(kernel, shortened, "the path is longer than %zu characters; not touched", sizeof device.path - 1);
        return false;
    }
    std::snprintf(device.path, sizeof device.path, "%s", path);
    if (kernel.stat(path, &device.node) != 0) {
        say(kernel, path, "%s", std::strerror(errno));
        return false;
    }
    const Node& node = device.node;
    const bool legacy = node.character_device && node.major == kLegacyMajor && node.minor == kLegacyMinor;
    if (legacy) {
        // The legacy node belongs to the watchdog numbered 0 by the kernel.
        std::snprintf(device.sysfs, sizeof device.sysfs, "/sys/class/watchdog/watchdog0");
    } else {
        std::snprintf(device.sysfs, sizeof device.sysfs, "/sys/dev/char/%u:%u", node.major, node.minor);
    }
    if (!node.character_device || (!legacy && !is_watchdog_class(kernel, device.sysfs))) {
        say(kernel, path, "not a watchdog device; not touched");
        return false;
    }
    return true;
}

// Reads one of the watchdog's sysfs attributes; false with errno set when it cannot.
bool read_attribute(const Kernel& kernel, const Device& device, const char* name, char* text, size_t size) {
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

void say_state_unknown(const Kernel& kernel, const Device& device, const char* what) {
    say(kernel, device.path, "%s: cannot read %s/state, and opening the device could start it: %s", what,
        device.sysfs, std::strerror(errno));
}

// Opens a device that find_device accepted and confirms on the descriptor that it is the same
// watchdog. Answers false, having said why, when it cannot.
bool open_device(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    const int fd = kernel.open(device.path);
    if (fd < 0) {
        if (errno == EBUSY) {
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

// Stops the held watchdog and closes it with the magic character. When the stop is refused the
// device stays held and nothing is written; answers false with errno set.
bool stop_and_close(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    const int fd = watchdogs.fd[n];
    int options = WDIOS_DISABLECARD;
    if (kernel.ioctl(fd, WDIOC_SETOPTIONS, &options) != 0) return false;
    // The magic character tells the kernel that this close is intended and the watchdog may stay stopped.
    if (kernel.write(fd, "V", 1) != 1) say(kernel, device.path, "cannot write the magic character: %s", std::strerror(errno));
    kernel.close(fd);
    watchdogs.fd[n] = -1;
    return true;
}

const char* why_not_stopped(int error) {
    return error == EBUSY ? "it keeps running (nowayout is set, or the driver cannot stop it)" : std::strerror(error);
}

void keep_alive(const Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    int unused = 0;
    if (kernel.ioctl(watchdogs.fd[n], WDIOC_KEEPALIVE, &unused) != 0) {
        say(kernel, device.path, "cannot refresh the watchdog: %s", std::strerror(errno));
    }
}

// Takes hold of watchdog n for arm: answers whether it is held, and whether this call started it.
bool take_for_arm(Watchdogs& watchdogs, const Kernel& kernel, Device& device, int n, bool& started_here) {
    started_here = false;
    if (!find_device(kernel, n, device)) return false;
    const State before = state_of(kernel, device);
    if (!open_device(watchdogs, kernel, device, n)) return false;
    started_here = before == State::inactive;
    warn_if_close_stops(watchdogs, kernel, device, n);
    return true;
}

// Names the device of watchdog n, which this process already holds.
void name_held(const Kernel& kernel, int n, Device& device) {
    std::snprintf(device.path, sizeof device.path, "%s", chosen_path(kernel, n));
}

// Opens watchdog n for a refresh or a disable, but only when it is running: opening a stopped
// watchdog would start it. Answers whether it is now held; `what` is said with an unknown state.
bool open_if_running(Watchdogs& watchdogs, const Kernel& kernel, Device& device, int n, const char* what) {
    if (!find_device(kernel, n, device)) return false;
    const State state = state_of(kernel, device);
    if (state == State::inactive) return false;
    if (state == State::unknown) {
        say_state_unknown(kernel, device, what);
        return false;
    }
    return open_device(watchdogs, kernel, device, n);
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

}  // namespace

void arm(Watchdogs& watchdogs, const Kernel& kernel, int n, int32_t milliseconds) {
    Device device{};
    bool started_here = false;
    if (watchdogs.fd[n] >= 0) {
        name_held(kernel, n, device);
    } else if (!take_for_arm(watchdogs, kernel, device, n, started_here)) {
        return;
    }
    const int wanted = milliseconds <= 1000 ? 1 : static_cast<int>((int64_t{milliseconds} + 999) / 1000);
    char problem[256];
    if (!set_timeout(watchdogs, kernel, device, n, wanted, problem, sizeof problem)) {
        if (!started_here) {
            say(kernel, device.path, "%s; the watchdog keeps running with the timeout it had", problem);
        } else if (stop_and_close(watchdogs, kernel, device, n)) {
            say(kernel, device.path, "%s; the watchdog is stopped again, as it was", problem);
        } else {
            say(kernel, device.path, "%s; the watchdog cannot be stopped again and runs with its old timeout: %s",
                problem, why_not_stopped(errno));
        }
        return;
    }
    int options = WDIOS_ENABLECARD;
    if (kernel.ioctl(watchdogs.fd[n], WDIOC_SETOPTIONS, &options) != 0) {
        say(kernel, device.path, "cannot enable the watchdog: %s", std::strerror(errno));
    }
    // The kernel keeps a magic character written before a stop (a disable writes one) until the
    // next write, and would then stop this watchdog when the device is closed: at exit, or at a
    // kill. Any write that is not the magic character forgets it.
    if (kernel.write(watchdogs.fd[n], "\n", 1) != 1) {
        say(kernel, device.path, "cannot clear an earlier magic character, so the watchdog may stop when the tool "
            "exits: %s", std::strerror(errno));
    }
    keep_alive(watchdogs, kernel, device, n);
}

void refresh(Watchdogs& watchdogs, const Kernel& kernel, int n) {
    Device device{};
    if (watchdogs.fd[n] < 0) {
        if (!open_if_running(watchdogs, kernel, device, n, "not refreshed")) return;
        warn_if_close_stops(watchdogs, kernel, device, n);
    } else {
        name_held(kernel, n, device);
    }
    keep_alive(watchdogs, kernel, device, n);
}

void disable(Watchdogs& watchdogs, const Kernel& kernel, int n) {
    Device device{};
    const bool held = watchdogs.fd[n] >= 0;
    if (held) {
        name_held(kernel, n, device);
    } else if (!open_if_running(watchdogs, kernel, device, n, "not stopped")) {
        return;
    }
    if (stop_and_close(watchdogs, kernel, device, n)) return;
    say(kernel, device.path, "cannot stop the watchdog: %s", why_not_stopped(errno));
    if (!held) {
        // Closed without the magic character: the kernel leaves a running watchdog running.
        kernel.close(watchdogs.fd[n]);
        watchdogs.fd[n] = -1;
    }
}

}  // namespace kwd
