#include "kernel_watchdog.h"

#include <linux/watchdog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kwd {
namespace {

struct Device {
    char path[512];   // e.g. /dev/watchdog0
    char state[640];  // e.g. /sys/class/watchdog/watchdog0/state
};

// Watchdog n is /dev/watchdogN unless WDT_DEVICEn names another device.
Device device_of(const Kernel& kernel, int n) {
    Device device{};
    const char* chosen = kernel.getenv(n == 0 ? "WDT_DEVICE0" : "WDT_DEVICE1");
    if (chosen != nullptr && *chosen != '\0') {
        std::snprintf(device.path, sizeof device.path, "%s", chosen);
    } else {
        std::snprintf(device.path, sizeof device.path, "/dev/watchdog%d", n);
    }
    const char* slash = std::strrchr(device.path, '/');
    std::snprintf(device.state, sizeof device.state, "/sys/class/watchdog/%s/state",
                  slash != nullptr ? slash + 1 : device.path);
    return device;
}

void complain(const Kernel& kernel, const Device& device, const char* what, int error) {
    char line[2048];
    std::snprintf(line, sizeof line, "WDT.dll: %s: %s%s%s", device.path, what, *what != '\0' ? ": " : "",
                  std::strerror(error));
    kernel.complain(line);
}

// Calls an ioctl and reports a refusal; answers whether it worked.
bool control(const Kernel& kernel, const Device& device, int fd, unsigned long request, int* argument,
             const char* what) {
    if (kernel.ioctl(fd, request, argument) == 0) return true;
    complain(kernel, device, what, errno);
    return false;
}

bool ensure_open(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    if (watchdogs.fd[n] >= 0) return true;
    watchdogs.fd[n] = kernel.open(device.path);
    if (watchdogs.fd[n] >= 0) return true;
    complain(kernel, device, "", errno);
    return false;
}

}  // namespace

void arm(Watchdogs& watchdogs, const Kernel& kernel, int n, int32_t milliseconds) {
    const Device device = device_of(kernel, n);
    if (!ensure_open(watchdogs, kernel, device, n)) return;
    const int fd = watchdogs.fd[n];
    const int wanted = milliseconds <= 1000 ? 1 : static_cast<int>((int64_t{milliseconds} + 999) / 1000);
    int timeout = wanted;
    control(kernel, device, fd, WDIOC_SETTIMEOUT, &timeout, "cannot set the timeout");
    int options = WDIOS_ENABLECARD;
    control(kernel, device, fd, WDIOC_SETOPTIONS, &options, "cannot enable the watchdog");
    int unused = 0;
    control(kernel, device, fd, WDIOC_KEEPALIVE, &unused, "cannot refresh the watchdog");
    int actual = 0;
    if (control(kernel, device, fd, WDIOC_GETTIMEOUT, &actual, "cannot read the timeout back") && actual != wanted) {
        char line[700];
        std::snprintf(line, sizeof line, "WDT.dll: %s: the timeout is %d s, not the %d s asked for", device.path,
                      actual, wanted);
        kernel.complain(line);
    }
}

void refresh(Watchdogs& watchdogs, const Kernel& kernel, int n) {
    const Device device = device_of(kernel, n);
    if (watchdogs.fd[n] < 0) {
        char state[32] = {};
        const long length = kernel.read_text(device.state, state, sizeof state - 1);
        if (length < 0) {
            // Without knowing, opening the device could start a watchdog that nobody refreshes.
            char what[700];
            std::snprintf(what, sizeof what, "not refreshed, cannot read %s", device.state);
            complain(kernel, device, what, errno);
            return;
        }
        if (std::strncmp(state, "active", 6) != 0) return;
        if (!ensure_open(watchdogs, kernel, device, n)) return;
    }
    int unused = 0;
    control(kernel, device, watchdogs.fd[n], WDIOC_KEEPALIVE, &unused, "cannot refresh the watchdog");
}

void disable(Watchdogs& watchdogs, const Kernel& kernel, int n) {
    const Device device = device_of(kernel, n);
    if (!ensure_open(watchdogs, kernel, device, n)) return;
    const int fd = watchdogs.fd[n];
    int options = WDIOS_DISABLECARD;
    control(kernel, device, fd, WDIOC_SETOPTIONS, &options, "cannot stop the watchdog");
    // The magic character tells the kernel that this close is intended and the watchdog may stop.
    if (kernel.write(fd, "V", 1) != 1) complain(kernel, device, "cannot write the magic character", errno);
    kernel.close(fd);
    watchdogs.fd[n] = -1;
}

}  // namespace kwd
