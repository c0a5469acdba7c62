#include "watchdog_device.h"

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
constexpr int kMostModules = 512;

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

bool reads_as(const Kernel& kernel, const char* path, const char* expected) {
    char text[32];
    const long length = kernel.read_text(path, text, sizeof text - 1);
    if (length <= 0) return false;
    text[length] = '\0';
    text[std::strcspn(text, "\n")] = '\0';
    return std::strcmp(text, expected) == 0;
}

// The kernel gives /dev/watchdog to its watchdog 0 whenever that one exists (a watchdog that
// finds the node taken by a legacy driver gets another number). So a legacy driver owns the node
// when sysfs shows the node registered and no watchdog 0. Without sysfs (not mounted, or the
// moment while watchdog 0 registers) that cannot be told, and the device is not touched.
bool locate_legacy_node(const Kernel& kernel, Device& device) {
    char number[32];
    const long length = kernel.read_text("/sys/class/watchdog/watchdog0/dev", number, sizeof number - 1);
    if (length < 0 && errno == ENOENT) {
        if (!reads_as(kernel, "/sys/class/misc/watchdog/dev", "10:130")) {
            say(kernel, device.path, "cannot tell whether a legacy driver or the kernel's watchdog 0 owns it: sysfs "
                "shows neither (is sysfs mounted at /sys?); not touched");
            return false;
        }
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

State read_state(const Kernel& kernel, const Device& device) {
    char text[32];
    if (!read_attribute(kernel, device, "state", text, sizeof text)) return State::unknown;
    if (std::strncmp(text, "active", 6) == 0) return State::active;
    if (std::strncmp(text, "inactive", 8) == 0) return State::inactive;
    errno = EINVAL;
    return State::unknown;
}

// A legacy driver's nowayout shows in its module's references: at every open it takes one for the
// open file, and with nowayout one more that it never gives back. Answers what the references
// taken by the open that happened between the two counts say.
Known legacy_nowayout(const ModuleReferences* before, int count_before, const ModuleReferences* after,
                      int count_after) {
    if (count_before < 0 || count_after < 0) return Known::unknown;
    Known found = Known::unknown;
    int changed = 0;
    for (int i = 0; i < count_after; ++i) {
        long earlier = 0;
        for (int j = 0; j < count_before; ++j) {
            if (std::strcmp(before[j].name, after[i].name) == 0) earlier = before[j].count;
        }
        const long taken = after[i].count - earlier;
        if (taken == 0) continue;
        ++changed;
        found = taken == 2 ? Known::yes : taken == 1 ? Known::no : Known::unknown;
    }
    return changed == 1 ? found : Known::unknown;  // a driver built in, or other opens meanwhile
}

}  // namespace

void say(const Kernel& kernel, const char* path, const char* format, ...) {
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

void release_path(const Kernel& kernel, Device& device) {
    if (device.path_fd >= 0) kernel.close(device.path_fd);
    device.path_fd = -1;
}

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
        const int error = errno;
        if (error == ENOENT) {
            // The next step: the watchdog's driver is not loaded, or the device has another name.
            say(kernel, path, "%s: load the watchdog's driver module (modprobe), or name its device in WDT_DEVICE%d",
                std::strerror(error), n);
        } else {
            say(kernel, path, "%s", std::strerror(error));
        }
        release_path(kernel, device);
        return false;
    }
    const Node& node = device.node;
    bool watchdog = false;
    if (node.character_device && node.major == kLegacyMajor && node.minor == kLegacyMinor) {
        if (!locate_legacy_node(kernel, device)) {
            release_path(kernel, device);
            return false;
        }
        watchdog = true;
    } else if (node.character_device) {
        std::snprintf(device.sysfs, sizeof device.sysfs, "/sys/dev/char/%u:%u", node.major, node.minor);
        watchdog = is_watchdog_class(kernel, device.sysfs);
    }
    if (!watchdog) {
        say(kernel, path, "not a watchdog device; not touched");
        release_path(kernel, device);
        return false;
    }
    // A watchdog of the kernel's core whose folder has no state file: a kernel built without the
    // watchdog's sysfs files.
    device.state = device.legacy ? State::unknown : read_state(kernel, device);
    device.state_error = device.legacy ? ENOENT : errno;
    device.stateless = !device.legacy && device.state == State::unknown && device.state_error == ENOENT;
    return true;
}

void name_held(const Watchdogs& watchdogs, const Kernel& kernel, int n, Device& device) {
    std::snprintf(device.path, sizeof device.path, "%s", chosen_path(kernel, n));
    device.legacy = watchdogs.legacy[n];
    device.stateless = watchdogs.stateless[n];
    device.path_fd = -1;
}

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

bool may_never_stop(const Kernel& kernel, const Device& device) {
    char nowayout[8];
    return !read_attribute(kernel, device, "nowayout", nowayout, sizeof nowayout) || nowayout[0] != '0';
}

bool open_device(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n, bool* busy) {
    static ModuleReferences before[kMostModules], after[kMostModules];
    const int count_before = device.legacy ? kernel.module_references(before, kMostModules) : -1;
    const int fd = kernel.reopen(device.path_fd);
    if (fd < 0) {
        if (errno == EBUSY && busy != nullptr) {
            *busy = true;
        } else if (errno == EBUSY) {
            say(kernel, device.path,
                "another process holds the device (a watchdog daemon, or systemd's RuntimeWatchdogSec); "
                "stop it, or name another device in WDT_DEVICE%d", n);
        } else if (errno == ENOENT) {
            say(kernel, device.path, "cannot open the checked device through /proc/self/fd: is /proc mounted?");
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
    watchdogs.stateless[n] = device.stateless;
    watchdogs.node[n] = device.node;
    if (device.legacy) {
        watchdogs.nowayout[n] = legacy_nowayout(before, count_before, after, kernel.module_references(after, kMostModules));
    } else {
        char nowayout[8];
        watchdogs.nowayout[n] = !read_attribute(kernel, device, "nowayout", nowayout, sizeof nowayout) ? Known::unknown
                                : nowayout[0] == '0' ? Known::no : Known::yes;
    }
    return true;
}

}  // namespace kwd
