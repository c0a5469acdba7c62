#include "command_line/drill.h"

#include <cstdlib>
#include <cstring>

#include "command_line/drills.h"
#include "command_line/interpreter.h"
#include "command_line/keeper.h"
#include "command_line/messages.h"
#include "command_line/record.h"
#include "command_line/sha256.h"
#include "command_line/text.h"
#include "driver/watchdog_driver.h"

namespace wdt {
namespace {

// The exit statuses of a drill that armed: 1 no reset within the wait (disarmed), 2 cancelled and
// disarmed, 3 the disarm could not be done. A drill that passes never returns.
constexpr int kNoReset = 1, kCancelled = 2, kStillArmed = 3;

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
bool running_already(const char* description, const Host& host, unsigned n, Refusal& refusal) {
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
void count_down(const Host& host, int64_t waited_ms, int32_t timeout, int32_t waiting) {
    const long waited = static_cast<long>(waited_ms / 1000);
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

void add_to_digest(const void* data, size_t size, void* context) { sha256_add(*static_cast<Sha256*>(context), data, size); }

// What the report names of this drill, before it arms: the machine, who runs it, the driver.
void fill_report(Drill& drill, const Host& host, const WatchdogDriver& driver, const char* description,
                 const Record& record) {
    std::memcpy(drill.boot, record.boot, sizeof drill.boot);
    drill.pid = host.process.id();
    drill.process_start = record.process_start;
    if (!host.machine.user(drill.by, sizeof drill.by)) put(drill.by, sizeof drill.by, "unknown");
    if (!host.machine.host_name(drill.host, sizeof drill.host)) put(drill.host, sizeof drill.host, "unknown");
    if (!host.machine.product(drill.machine, sizeof drill.machine)) put(drill.machine, sizeof drill.machine, "unknown");
    if (!field(description, "Driver", drill.driver, sizeof drill.driver)) put(drill.driver, sizeof drill.driver, "unknown");
    if (!field(description, "Nowayout", drill.nowayout, sizeof drill.nowayout)) put(drill.nowayout, sizeof drill.nowayout, "unknown");
    if (!host.library.path(driver.library, drill.library, sizeof drill.library)) {
        put(drill.library, sizeof drill.library, "unknown");
        return;
    }
    Sha256 digest;
    sha256_start(digest);
    if (host.machine.read_file(drill.library, add_to_digest, &digest)) sha256_finish(digest, drill.sha256);
}

// The timeout the driver says it set, after the arm; 0 when it does not say.
int32_t timeout_set(const WatchdogDriver& driver, const Host& host, unsigned n) {
    static char description[4096];
    char timeout[32] = "";
    if (describe(driver, host.library, n, false, description, sizeof description) < 0 ||
        !field(description, "Timeout", timeout, sizeof timeout)) {
        return 0;
    }
    const long seconds = std::strtol(timeout, nullptr, 10);
    return seconds > 0 && seconds <= 65535 ? static_cast<int32_t>(seconds) : 0;
}

// Records the drill's result; a result that cannot be written is said, never passed off as kept.
void record_result(Record& record, const Host& host, const Drills& drills, unsigned n) {
    if (!write_drill(record, host, drills, 5000)) {
        say(host, Severity::error, "WDT%u: the drill's result could not be written into its record!\r\n", n);
    }
}

// Disarms after a drill that ended without a reset; answers the exit status: `ended` when the
// disarm was done, kStillArmed (said, and recorded) when it was not.
int disarm(const WatchdogDriver& driver, const Host& host, unsigned n, Drill& drill, int64_t waited_ms, int ended,
           Refusal& refusal) {
    if (disable_and_say(driver, host, n, refusal)) return ended;
    const int32_t timeout = judged_timeout(drill);
    const long left = timeout - static_cast<long>(waited_ms / 1000);
    if (left > 0) {
        say(host, Severity::error, "WDT%u is still armed: the machine resets within %ld s!\r\n", n, left);
    } else {
        say(host, Severity::error, "WDT%u is still armed: the machine may reset at any moment!\r\n", n);
    }
    put(drill.text + std::strlen(drill.text), sizeof drill.text - std::strlen(drill.text),
        ", and the disarm was not done: WDT%u was left armed", n);
    return kStillArmed;
}

}  // namespace

int run_drill(const CommandLine& line, const Host& host) {
    int32_t asked = 5;
    Refusal refusal;
    if (!only_a_drill(line, asked)) {
        say(host, Severity::refusal, "Drill Parameter error: --drill takes one W0 or W1 and at most one T, from a console, and "
                  "nothing else!\r\n");
        return 1;
    }
    if (!timeout_in_range(asked)) {
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
    static char description[4096];
    if (describe(driver, host.library, n, true, description, sizeof description) < 0) description[0] = '\0';
    if (running_already(description, host, n, refusal)) return 1;
    Record record;
    if (open_record(record, host, driver, n, line, false) == Opening::running_beside) return 1;
    static Drills drills;
    parse_drills(record.drills, drills);
    Drill& drill = add_drill(drills);
    drill.asked = asked;
    drill.armed_s = host.clock.wall_clock_s();
    fill_report(drill, host, driver, description, record);
    char now[64];
    format_utc(drill.armed_s, now);
    say(host, Severity::info, "Drill of WDT%u on %s (%s), by %s, at %s: driver %s, %s (SHA-256 %s).\r\n", n, drill.host,
        drill.machine, drill.by, now, drill.driver, drill.library, drill.sha256[0] != '\0' ? drill.sha256 : "unknown");
    if (std::strcmp(drill.nowayout, "yes") == 0) {
        say(host, Severity::warning, "Drill: WDT%u never stops once armed (nowayout): a cancel cannot disarm it, and the "
                  "machine resets when its timeout runs out, whatever happens.\r\n", n);
    }
    // How long this first write takes is how late the first marks may be: a slow disk widens the
    // window from the start, rather than be taken for a restart before the timeout.
    const int64_t writing_ms = host.clock.now_ms();
    const bool recorded = write_drill(record, host, drills, 5000);
    const int64_t took_ms = host.clock.now_ms() - writing_ms;
    drill.lag = took_ms > 200 ? static_cast<int32_t>((took_ms + 999) / 1000) : 0;
    if (!recorded) {
        say(host, Severity::error, "Drill error: the drill cannot be kept in the record of WDT%u, so its result could not be "
                  "told after the reset; nothing was armed!\r\n", n);
        // Whenever the writer gets to it, the record says that nothing was armed.
        drill.result = DrillResult::not_done;
        put(drill.text, sizeof drill.text, "not done: the drill could not be recorded before the arm");
        write_drill(record, host, drills, 5000);
        return 1;
    }
    host.clock.take_stop_requests();
    const int64_t armed_ms = host.clock.now_ms();
    drill.armed_s = host.clock.wall_clock_s();
    drill.armed_ms = armed_ms;
    if (arm(driver, n, asked) == Outcome::not_done) {
        say_not_set(host, refusal, n);
        drill.result = DrillResult::not_done;
        put(drill.text, sizeof drill.text, "not done: the arm failed");
        record_result(record, host, drills, n);
        return 1;
    }
    drill.alive = 0;
    write_drill(record, host, drills, 0);
    drill.set = timeout_set(driver, host, n);
    const int32_t timeout = judged_timeout(drill);
    if (drill.set > 0 && drill.set != asked) {
        say(host, Severity::warning, "Drill: the driver set a timeout of %ld s, not the %ld s asked for: the drill waits for "
                  "and judges against %ld s.\r\n", static_cast<long>(drill.set), static_cast<long>(asked),
            static_cast<long>(drill.set));
    }
    const int32_t waiting = waiting_seconds(timeout);
    say(host, Severity::info, "Drill: WDT%u is armed for %ld %s and is not refreshed: the machine should reset in about "
              "%ld %s (waiting up to %ld s; Ctrl-C cancels and disarms).\r\n", n, static_cast<long>(timeout),
        seconds_word(timeout), static_cast<long>(timeout), seconds_word(timeout), static_cast<long>(waiting));
    host.output.flush();

    // Once a second, a mark of life in the record: the seconds since the arm. Where the machine
    // restarts, the restart lies between the last mark on disk and the next one, later by as long
    // as the marks ever took to reach the disk: a mark is handed over only once the one before is
    // written, and each says the longest time one took so far.
    const bool terminal = host.output.is_terminal();
    const int64_t give_up = armed_ms + int64_t{waiting} * 1000;
    int32_t handed = 0;  // the mark handed over and not yet known written; -1 when none is
    for (int64_t next = armed_ms + 1000;; next += 1000) {
        if (terminal) count_down(host, host.clock.now_ms() - armed_ms, timeout, waiting);
        const Wake wake = host.clock.sleep_until_ms(next < give_up ? next : give_up);
        const int64_t waited_ms = host.clock.now_ms() - armed_ms;
        if (wake == Wake::stop_requested) {
            if (terminal) say(host, Severity::info, "\r\n");
            drill.result = DrillResult::cancelled;
            put(drill.text, sizeof drill.text, "cancelled %ld s after a T%ld arm", static_cast<long>(waited_ms / 1000),
                static_cast<long>(timeout));
            say(host, Severity::info, "Drill: cancelled.\r\n");
            const int status = disarm(driver, host, n, drill, waited_ms, kCancelled, refusal);
            record_result(record, host, drills, n);
            say_unguarded(host, n);
            return status;
        }
        const int32_t second = static_cast<int32_t>(waited_ms / 1000);
        if (handed >= 0 && host.records.written(1)) {
            if (second - handed - 1 > drill.lag) drill.lag = second - handed - 1;
            handed = -1;
        }
        if (host.clock.now_ms() < give_up) {
            if (handed < 0) {
                drill.alive = handed = second;
                write_drill(record, host, drills, 0);
            }
            continue;
        }
        drill.alive = second;
        if (terminal) say(host, Severity::info, "\r\n");
        drill.result = DrillResult::failed;
        put(drill.text, sizeof drill.text, "failed: no reset within %ld s of a T%ld arm", static_cast<long>(waiting),
            static_cast<long>(timeout));
        const int status = disarm(driver, host, n, drill, waited_ms, kNoReset, refusal);
        record_result(record, host, drills, n);
        say(host, Severity::error, "Drill error: WDT%u did not reset the machine within %ld seconds of the arm; see DRILL in the manual "
                  "for the usual causes!\r\n", n, static_cast<long>(waiting));
        say_unguarded(host, n);
        return status;
    }
}

}  // namespace wdt
