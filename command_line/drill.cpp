#include "command_line/drill.h"

#include <cstring>

#include "command_line/guards.h"
#include "command_line/interpreter.h"
#include "command_line/keep_alive.h"
#include "command_line/number.h"
#include "command_line/record.h"
#include "command_line/status.h"
#include "command_line/text.h"
#include "driver/watchdog_driver.h"

namespace wdt {
namespace {

// Whether the command line holds only what a drill takes: the selector, at most one T, and
// arguments no command reads; the timeout into `seconds` (5 without a T).
bool only_a_drill(int argc, const char* const* argv, bool service, int32_t& seconds) {
    int timeouts = 0;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const int letter = upper(argument[0]);
        if (letter == 'D' || letter == 'R' || letter == 'L' || is_guard_option(argument) ||
            std::strcmp(argument, kStatusOption) == 0) {
            return false;
        }
        if (letter == 'T') {
            ++timeouts;
            seconds = parse_number(argument + 1);
        }
    }
    return !service && timeouts <= 1;
}

// How long the drill waits for the reset: twice the timeout, and at least ten seconds more.
int32_t waiting_seconds(int32_t timeout) { return timeout * 2 > timeout + 10 ? timeout * 2 : timeout + 10; }

// On a terminal, one line that counts down, written over each second; elsewhere nothing until the end.
void count_down(const Host& host, int64_t armed_ms, int32_t timeout, int32_t waiting) {
    const long waited = static_cast<long>((host.now_ms() - armed_ms) / 1000);
    const long left = timeout - waited;
    if (left > 0) {
        say(host, "\rDrill: the machine should reset in %ld s (waiting up to %ld s); Ctrl-C cancels. ", left,
            static_cast<long>(waiting - waited));
    } else {
        say(host, "\rDrill: no reset yet, %ld s after the arm (waiting up to %ld s); Ctrl-C cancels. ", waited,
            static_cast<long>(waiting));
    }
    host.flush();
}

}  // namespace

int run_drill(int argc, const char* const* argv, const Host& host, bool service) {
    int32_t timeout = 5;
    if (!only_a_drill(argc, argv, service, timeout)) {
        say(host, "Drill Parameter error: --drill takes W0 or W1 and one T, and runs from a console: no D, R, L, guard, "
                  "--status or --service!\r\n");
        return 1;
    }
    if (static_cast<uint32_t>(timeout) - 1u > 511u) {
        say(host, "Time Parameter error!\r\n");
        return 1;
    }
    WatchdogDriver driver;
    if (!load_or_say(driver, host)) return 1;
    ScanState state;
    if (!select_watchdog(argc, argv, host, state)) return 1;
    const unsigned n = state.selected_watchdog;

    // Nothing reaches the driver beside a keep-alive of this watchdog, and nothing unless the
    // drill is on disk, so that the next start and a status can tell what came of it.
    Record record;
    if (open_record(record, host, driver, n, argc, argv, false) == Opening::running_beside) return 1;
    if (!record_drill(record, host, timeout)) {
        say(host, "Drill error: the drill cannot be kept in the record of WDT%u, so its result could not be told after "
                  "the reset; nothing was armed!\r\n", n);
        return 1;
    }
    host.take_stop_requests();
    const int64_t armed_ms = host.now_ms();
    if (arm(driver, n, timeout) == Outcome::not_done) {
        say(host, "WDT%u could not be set!\r\n", n);
        record_drill_result(record, host, "not done: the arm failed");
        return 1;
    }
    const int32_t waiting = waiting_seconds(timeout);
    say(host, "Drill: WDT%u is armed for %ld seconds and is not refreshed: the machine should reset in about %ld seconds "
              "(waiting up to %ld s; Ctrl-C cancels and disarms).\r\n", n, static_cast<long>(timeout),
        static_cast<long>(timeout), static_cast<long>(waiting));
    host.flush();

    const bool terminal = host.is_terminal();
    const int64_t give_up = armed_ms + int64_t{waiting} * 1000;
    for (int64_t next = armed_ms + 1000;; next += 1000) {
        if (terminal) count_down(host, armed_ms, timeout, waiting);
        const Wake wake = host.sleep_until_ms(next < give_up ? next : give_up);
        if (wake == Wake::ended) return 0;  // as if killed: the record says a drill was under way
        if (wake == Wake::stop_requested) {
            if (terminal) say(host, "\r\n");
            const bool disabled = disable_and_say(driver, host, n);
            record_drill_result(record, host, disabled ? "cancelled" : "cancelled, but the disarm was not done");
            return 1;
        }
        if (host.now_ms() < give_up) continue;
        if (terminal) say(host, "\r\n");
        disable_and_say(driver, host, n);
        char result[64];
        put(result, sizeof result, "failed, no reset within %ld s", static_cast<long>(waiting));
        record_drill_result(record, host, result);
        say(host, "Drill error: WDT%u did not reset the machine within %ld seconds of the arm; see DRILL in the manual "
                  "for the usual causes!\r\n", n, static_cast<long>(waiting));
        return 1;
    }
}

}  // namespace wdt
