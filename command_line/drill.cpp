#include "command_line/drill.h"

#include <cstring>

#include "command_line/interpreter.h"
#include "command_line/keeper.h"
#include "command_line/messages.h"
#include "command_line/record.h"
#include "command_line/text.h"
#include "driver/watchdog_driver.h"

namespace wdt {
namespace {

// Whether the command line holds only what a drill takes: one selector and at most one T; the
// timeout into `seconds` (5 without a T).
bool only_a_drill(const CommandLine& line, int32_t& seconds) {
    int selectors = 0, timeouts = 0;
    for (int i = 0; i < line.count; ++i) {
        const Argument& argument = line.arguments[i];
        if (argument.role == Role::selector) {
            ++selectors;
        } else if (argument.role == Role::timeout) {
            ++timeouts;
            seconds = argument.number;
        } else if (argument.role != Role::drill) {
            return false;
        }
    }
    return !line.service && selectors == 1 && timeouts <= 1;
}

// Whether the driver says the watchdog runs already, or another process holds it: a drill would
// take it over and disarm what it did not arm. Says why, and answers true then.
bool running_already(const WatchdogDriver& driver, const Host& host, unsigned n, Refusal& refusal) {
    static char description[4096];
    if (describe(driver, host.library, n, true, description, sizeof description) < 0) return false;
    char state[32] = "", holder[160] = "";
    const bool held = field(description, "Held by", holder, sizeof holder) && std::strncmp(holder, "pid ", 4) == 0;
    const bool active = field(description, "State", state, sizeof state) && std::strcmp(state, "active") == 0;
    if (held) {
        refuse(host, refusal, Severity::refusal, "WDT%u is held by %s: a drill would take it over and disarm it at its end; "
               "this drill is refused, and nothing was done!\r\n", n, holder);
    } else if (active) {
        refuse(host, refusal, Severity::refusal, "WDT%u runs already (the firmware, or a command before, armed it): a drill "
               "would disarm it at its end; this drill is refused, and nothing was done (disarm it first with W%u D if that "
               "is meant)!\r\n", n, n);
    }
    return held || active;
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

// After a drill that the machine did not answer: nothing keeps the watchdog now.
void say_unguarded(const Host& host, unsigned n) {
    say(host, Severity::warning, "WDT%u is not kept alive now: start its keep-alive again (%s).\r\n", n,
        host.words.start_service);
}

}  // namespace

int run_drill(const CommandLine& line, const Host& host) {
    int32_t timeout = 5;
    Refusal refusal;
    if (!only_a_drill(line, timeout)) {
        say(host, Severity::refusal, "Drill Parameter error: --drill takes one W0 or W1 and at most one T, from a console, and "
                  "nothing else!\r\n");
        return 1;
    }
    if (!timeout_in_range(timeout)) {
        refuse_timeout(host, refusal);
        return 1;
    }
    // Nothing reaches the driver beside another keeper of this watchdog, nor when the watchdog
    // runs already, and nothing unless the drill is on disk, so that the next start and a status
    // can tell what came of it.
    if (line.selection == Selection::made && !keep_watchdog(host, line.watchdog, KeeperKind::drill, refusal)) return 1;
    WatchdogDriver driver;
    if (!load_or_say(driver, host, refusal)) return 1;
    unsigned n = 0;
    if (!select_watchdog(line, host, refusal, n)) return 1;
    if (running_already(driver, host, n, refusal)) return 1;
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
            say_unguarded(host, n);
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
        say_unguarded(host, n);
        return 1;
    }
}

}  // namespace wdt
