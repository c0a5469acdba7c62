#include "command_line/drill.h"

#include "command_line/interpreter.h"
#include "command_line/messages.h"
#include "command_line/record.h"
#include "command_line/text.h"
#include "driver/watchdog_driver.h"

namespace wdt {
namespace {

// Whether the command line holds only what a drill takes: the selector, at most one T, and
// arguments no command reads; the timeout into `seconds` (5 without a T).
bool only_a_drill(const CommandLine& line, int32_t& seconds) {
    int timeouts = 0;
    for (int i = 0; i < line.count; ++i) {
        const Argument& argument = line.arguments[i];
        switch (argument.role) {
            case Role::disable:
            case Role::refresh:
            case Role::loop:
            case Role::guard:
            case Role::status:
                return false;
            case Role::timeout:
                ++timeouts;
                seconds = argument.number;
                break;
            default:
                break;
        }
    }
    return !line.service && timeouts <= 1;
}

// How long the drill waits for the reset: twice the timeout, and at least ten seconds more.
int32_t waiting_seconds(int32_t timeout) { return timeout * 2 > timeout + 10 ? timeout * 2 : timeout + 10; }

// On a terminal, one line that counts down, written over each second; elsewhere nothing until the end.
void count_down(const Host& host, int64_t armed_ms, int32_t timeout, int32_t waiting) {
    const long waited = static_cast<long>((host.clock.now_ms() - armed_ms) / 1000);
    const long left = timeout - waited;
    if (left > 0) {
        say(host, Severity::info, "\rDrill: the machine should reset in %ld s (waiting up to %ld s); Ctrl-C cancels. ", left,
            static_cast<long>(waiting - waited));
    } else {
        say(host, Severity::info, "\rDrill: no reset yet, %ld s after the arm (waiting up to %ld s); Ctrl-C cancels. ", waited,
            static_cast<long>(waiting));
    }
    host.output.flush();
}

}  // namespace

int run_drill(const CommandLine& line, const Host& host) {
    int32_t timeout = 5;
    Refusal refusal;
    if (!only_a_drill(line, timeout)) {
        say(host, Severity::refusal, "Drill Parameter error: --drill takes W0 or W1 and one T, and runs from a console: no D, R, L, guard, "
                  "--status or --service!\r\n");
        return 1;
    }
    if (!timeout_in_range(timeout)) {
        refuse_timeout(host, refusal);
        return 1;
    }
    WatchdogDriver driver;
    if (!load_or_say(driver, host, refusal)) return 1;
    unsigned n = 0;
    if (!select_watchdog(line, host, refusal, n)) return 1;

    // Nothing reaches the driver beside a keep-alive of this watchdog, and nothing unless the
    // drill is on disk, so that the next start and a status can tell what came of it.
    Record record;
    if (open_record(record, host, driver, n, line, false) == Opening::running_beside) return 1;
    if (!record_drill(record, host, timeout)) {
        say(host, Severity::error, "Drill error: the drill cannot be kept in the record of WDT%u, so its result could not be told after "
                  "the reset; nothing was armed!\r\n", n);
        return 1;
    }
    host.clock.take_stop_requests();
    const int64_t armed_ms = host.clock.now_ms();
    if (arm(driver, n, timeout) == Outcome::not_done) {
        say_not_set(host, refusal, n);
        record_drill_result(record, host, "not done: the arm failed");
        return 1;
    }
    const int32_t waiting = waiting_seconds(timeout);
    say(host, Severity::info, "Drill: WDT%u is armed for %ld seconds and is not refreshed: the machine should reset in about %ld seconds "
              "(waiting up to %ld s; Ctrl-C cancels and disarms).\r\n", n, static_cast<long>(timeout),
        static_cast<long>(timeout), static_cast<long>(waiting));
    host.output.flush();

    const bool terminal = host.output.is_terminal();
    const int64_t give_up = armed_ms + int64_t{waiting} * 1000;
    for (int64_t next = armed_ms + 1000;; next += 1000) {
        if (terminal) count_down(host, armed_ms, timeout, waiting);
        const Wake wake = host.clock.sleep_until_ms(next < give_up ? next : give_up);
        if (wake == Wake::stop_requested) {
            if (terminal) say(host, Severity::info, "\r\n");
            const bool disabled = disable_and_say(driver, host, n, refusal);
            record_drill_result(record, host, disabled ? "cancelled" : "cancelled, but the disarm was not done");
            return 1;
        }
        if (host.clock.now_ms() < give_up) continue;
        if (terminal) say(host, Severity::info, "\r\n");
        disable_and_say(driver, host, n, refusal);
        char result[64];
        put(result, sizeof result, "failed, no reset within %ld s", static_cast<long>(waiting));
        record_drill_result(record, host, result);
        say(host, Severity::error, "Drill error: WDT%u did not reset the machine within %ld seconds of the arm; see DRILL in the manual "
                  "for the usual causes!\r\n", n, static_cast<long>(waiting));
        return 1;
    }
}

}  // namespace wdt
