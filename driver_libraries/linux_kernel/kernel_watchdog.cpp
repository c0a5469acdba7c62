#include "kernel_watchdog.h"

#include <linux/watchdog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "watchdog_device.h"

namespace kwd {
namespace {

const char* why_not_stopped(int error) {
    return error == EBUSY ? "it keeps running (nowayout is set, or the driver cannot stop it)" : std::strerror(error);
}

// Whether a close of the device stops the watchdog: a driver without magic close does, unless
// nowayout keeps it running.
bool close_stops(const Watchdogs& watchdogs, int n) {
    return (watchdogs.options[n] & WDIOF_MAGICCLOSE) == 0 && !watchdogs.legacy[n] &&
           watchdogs.nowayout[n] != Known::yes;
}

Result held_result(const Watchdogs& watchdogs, int n) {
    return close_stops(watchdogs, n) ? Result::done_while_held : Result::done;
}

// A driver without magic close stops the watchdog whenever its device is closed, which happens at
// the latest when the process ends.
void warn_if_close_stops(const Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    if (!close_stops(watchdogs, n)) return;
    say(kernel, device.path, "this driver stops the watchdog whenever its device is closed, so it stops when "
        "the tool exits");
}

// Stops the held watchdog and closes it. The kernel's core is asked to stop, and the device is
// closed without the magic character: the kernel keeps that character over the close of a stopped
// watchdog and would stop the next keeper's watchdog when that one closes. A write, which
// refreshes, forgets one that anyone wrote before. A legacy driver is given the magic character
// (without it, its close starts the watchdog again) and asked to stop; with nowayout it ignores
// the character and starts again at the close. When the stop is refused or undone this answers
// false with errno set; a refused one leaves the device held.
bool stop_and_close(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n) {
    const int fd = watchdogs.fd[n];
    if (watchdogs.legacy[n]) {
        if (kernel.write(fd, "V", 1) != 1) return false;
    } else if (kernel.write(fd, "\n", 1) != 1) {
        say(kernel, device.path, "cannot clear an earlier magic character: %s", std::strerror(errno));
    }
    int options = WDIOS_DISABLECARD;
    if (kernel.ioctl(fd, WDIOC_SETOPTIONS, &options) != 0) return false;
    kernel.close(fd);
    watchdogs.fd[n] = -1;
    if (watchdogs.legacy[n] && watchdogs.nowayout[n] == Known::yes) {
        errno = EBUSY;
        return false;
    }
    if (watchdogs.stateless[n]) kernel.set_note(watchdogs.node[n], false);
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

// Closes the device after a stop that failed. A watchdog that the call started is closed after
// the magic character, so that the kernel tries to stop it once more rather than keep it running.
void give_back(Watchdogs& watchdogs, const Kernel& kernel, int n, bool started_here) {
    if (started_here && watchdogs.fd[n] >= 0) kernel.write(watchdogs.fd[n], "V", 1);
    let_go(watchdogs, kernel, n);
}

bool shows_no_state(const Device& device) { return device.legacy || device.stateless; }

// Takes hold of watchdog n for arm: answers whether it is held, and whether this call may have
// started it (always, where sysfs does not show that, unless this library noted it left it running).
bool take_for_arm(Watchdogs& watchdogs, const Kernel& kernel, Device& device, int n, bool& started_here) {
    started_here = false;
    if (!find_device(kernel, n, device)) return false;
    const bool noted = device.stateless && kernel.has_note(device.node);
    const bool opened = open_device(watchdogs, kernel, device, n);
    release_path(kernel, device);
    if (!opened) return false;
    started_here = device.state == State::inactive || (shows_no_state(device) && !noted);
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

// After an arm that failed: a watchdog that this call may have started is stopped again; one that
// ran before keeps running as it was.
void undo_arm(Watchdogs& watchdogs, const Kernel& kernel, const Device& device, int n, bool started_here,
              const char* problem) {
    if (!started_here) {
        say(kernel, device.path, "%s; the watchdog keeps running with the timeout it had", problem);
    } else if (!stop_and_close(watchdogs, kernel, device, n)) {
        say(kernel, device.path, "%s; the watchdog cannot be stopped again and runs with its old timeout: %s",
            problem, why_not_stopped(errno));
        give_back(watchdogs, kernel, n, true);
    } else if (shows_no_state(device)) {
        say(kernel, device.path, "%s; the watchdog is stopped (%s does not show whether it ran before)", problem,
            device.legacy ? "a legacy driver" : "sysfs");
    } else {
        say(kernel, device.path, "%s; the watchdog is stopped again, as it was", problem);
    }
}

void say_state_hidden(const Kernel& kernel, const Device& device, const char* what, const char* risk) {
    say(kernel, device.path, "%s: sysfs shows no state for this watchdog (a kernel built without "
        "CONFIG_WATCHDOG_SYSFS), so it cannot be told whether it runs, and opening it %s", what, risk);
}

void say_state_unknown(const Kernel& kernel, const Device& device, const char* what) {
    say(kernel, device.path, "%s: cannot read %s/state, and opening the device could start it: %s", what,
        device.sysfs, std::strerror(device.state_error));
}

Result refresh_unheld(Watchdogs& watchdogs, const Kernel& kernel, Device& device, int n) {
    if (device.legacy) {
        say(kernel, device.path, "not refreshed: a legacy driver does not show whether its watchdog runs, and "
            "opening it would start a stopped one (the keep-alive loop, which holds the device, refreshes it)");
        return Result::not_done;
    }
    if (device.stateless) {
        if (!kernel.has_note(device.node)) {
            say_state_hidden(kernel, device, "not refreshed", "would start a stopped one");
            return Result::not_done;
        }
    } else {
        if (device.state == State::inactive) return Result::done;
        if (device.state == State::unknown) {
            say_state_unknown(kernel, device, "not refreshed");
            return Result::not_done;
        }
    }
    if (!open_device(watchdogs, kernel, device, n)) return Result::not_done;
    warn_if_close_stops(watchdogs, kernel, device, n);
    return keep_alive(watchdogs, kernel, device, n) ? held_result(watchdogs, n) : Result::not_done;
}

// A watchdog that nobody holds may run although sysfs calls it inactive: started by the firmware
// or by its driver, before anyone opened it. Opening and stopping it stops it in any case; only a
// watchdog that may never stop is left closed when inactive, since opening would start it for
// good. Where sysfs shows no state, only a watchdog that this library noted it left running is
// opened.
Result disable_unheld(Watchdogs& watchdogs, const Kernel& kernel, Device& device, int n) {
    bool started_here = false;
    if (device.legacy) {
        if (!open_device(watchdogs, kernel, device, n)) return Result::not_done;
        started_here = true;
    } else if (device.stateless) {
        if (!kernel.has_note(device.node)) {
            say_state_hidden(kernel, device, "not stopped", "could start it for good (nowayout)");
            return Result::not_done;
        }
        if (!open_device(watchdogs, kernel, device, n)) return Result::not_done;
    } else {
        if (device.state == State::unknown) {
            say_state_unknown(kernel, device, "not stopped");
            return Result::not_done;
        }
        const bool inactive = device.state == State::inactive;
        if (inactive && may_never_stop(kernel, device)) return Result::done;
        // A stopped watchdog that another process holds is stopped all the same.
        bool busy = false;
        if (!open_device(watchdogs, kernel, device, n, inactive ? &busy : nullptr)) {
            return busy ? Result::done : Result::not_done;
        }
        started_here = inactive;
    }
    if (stop_and_say(watchdogs, kernel, device, n)) return Result::done;
    give_back(watchdogs, kernel, n, started_here);
    return Result::not_done;
}

}  // namespace

Result arm(Watchdogs& watchdogs, const Kernel& kernel, int n, int32_t milliseconds) {
    Device device{};
    bool started_here = false;
    const bool held_before = watchdogs.fd[n] >= 0;
    if (held_before) {
        name_held(watchdogs, kernel, n, device);
    } else if (!take_for_arm(watchdogs, kernel, device, n, started_here)) {
        watchdogs.arm_failed[n] = true;
        return Result::not_done;
    }
    const int wanted = milliseconds <= 1000 ? 1 : static_cast<int>((int64_t{milliseconds} + 999) / 1000);
    char problem[256];
    bool armed = set_timeout(watchdogs, kernel, device, n, wanted, problem, sizeof problem);
    // The write refreshes the watchdog, and forgets a magic character written before (as a disable
    // by an older tool did), which would stop it when this process exits or is killed.
    if (armed && kernel.write(watchdogs.fd[n], "\n", 1) != 1) {
        std::snprintf(problem, sizeof problem, "cannot refresh the watchdog: %s", std::strerror(errno));
        armed = false;
    }
    // A legacy driver does not show whether it ran before: it is stopped again, also when held.
    if (!armed) undo_arm(watchdogs, kernel, device, n, started_here || device.legacy, problem);
    if (!armed && !held_before) {
        // A keep-alive loop after a failed arm must never keep a watchdog that this process did not arm.
        let_go(watchdogs, kernel, n);
        watchdogs.arm_failed[n] = true;
    }
    if (!armed) return Result::not_done;
    watchdogs.arm_failed[n] = false;
    if (watchdogs.stateless[n] && !kernel.set_note(watchdogs.node[n], true)) {
        say(kernel, device.path, "cannot note that the watchdog runs, so a later refresh or disable from another "
            "process cannot tell that it does");
    }
    return held_result(watchdogs, n);
}

Result refresh(Watchdogs& watchdogs, const Kernel& kernel, int n) {
    Device device{};
    if (watchdogs.fd[n] >= 0) {
        name_held(watchdogs, kernel, n, device);
        return keep_alive(watchdogs, kernel, device, n) ? held_result(watchdogs, n) : Result::not_done;
    }
    if (watchdogs.arm_failed[n]) {
        say(kernel, chosen_path(kernel, n), "not refreshed: the arm failed, and a watchdog that this process did "
            "not arm is not taken over (another keeper may hold it)");
        return Result::not_done;
    }
    if (!find_device(kernel, n, device)) return Result::not_done;
    const Result result = refresh_unheld(watchdogs, kernel, device, n);
    release_path(kernel, device);
    return result;
}

Result disable(Watchdogs& watchdogs, const Kernel& kernel, int n) {
    Device device{};
    if (watchdogs.fd[n] >= 0) {
        name_held(watchdogs, kernel, n, device);
        return stop_and_say(watchdogs, kernel, device, n) ? Result::done : Result::not_done;
    }
    if (!find_device(kernel, n, device)) return Result::not_done;
    const Result result = disable_unheld(watchdogs, kernel, device, n);
    release_path(kernel, device);
    return result;
}

}  // namespace kwd
