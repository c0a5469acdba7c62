#include "command_line/driver_wait.h"

#include <cstdio>

namespace wdt {
namespace {

// Waits a second, or what is left of the wait; false when the waiting is over, or a stop came.
bool wait_a_second(const Host& host, DriverWait& wait) {
    const int64_t now = host.clock.now_ms();
    if (wait.until_ms < 0 || now >= wait.until_ms) return false;
    const int64_t next = now + 1000 < wait.until_ms ? now + 1000 : wait.until_ms;
    Wake wake = host.clock.sleep_until_ms(next);
    while (wake == Wake::suspending || wake == Wake::resumed || wake == Wake::shutting_down) {
        wake = host.clock.sleep_until_ms(next);  // nothing is armed: a sleep or a shutdown changes nothing
    }
    wait.stopped = wake == Wake::stop_requested;
    return !wait.stopped;
}

void say_once(const Host& host, DriverWait& wait, const char* what) {
    if (wait.said) return;
    wait.said = true;
    say(host, Severity::warning, "%s: trying again every second for up to %ld seconds, as its driver may still be starting.\r\n",
        what, static_cast<long>((wait.until_ms - host.clock.now_ms() + 999) / 1000));
    host.output.flush();
}

}  // namespace

DriverWait driver_wait(const CommandLine& line, const Host& host) {
    DriverWait wait;
    const int64_t wait_ms = line.service ? host.library.service_wait_ms() : 0;
    if (wait_ms > 0) wait.until_ms = host.clock.now_ms() + wait_ms;
    return wait;
}

LoadResult load_waiting(WatchdogDriver& driver, const Host& host, DriverWait& wait) {
    LoadResult loaded = load_driver(driver, host.library);
    while (loaded.status == LoadStatus::no_library && wait.until_ms > host.clock.now_ms()) {
        say_once(host, wait, "WDT.dll cannot be loaded yet");
        if (!wait_a_second(host, wait)) break;
        loaded = load_driver(driver, host.library);
    }
    return loaded;
}

Outcome arm_waiting(const WatchdogDriver& driver, const Host& host, DriverWait& wait, unsigned n, int32_t seconds) {
    Outcome outcome = arm(driver, n, seconds);
    char what[40];
    while (outcome == Outcome::not_done && wait.until_ms > host.clock.now_ms()) {
        std::snprintf(what, sizeof what, "WDT%u could not be set yet", n);
        say_once(host, wait, what);
        if (!wait_a_second(host, wait)) break;
        outcome = arm(driver, n, seconds);
    }
    wait.until_ms = -1;
    return outcome;
}

}  // namespace wdt
