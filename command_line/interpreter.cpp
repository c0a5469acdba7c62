#include "command_line/interpreter.h"

#include "command_line/drill.h"
#include "command_line/keep_alive.h"
#include "command_line/record.h"
#include "command_line/status.h"
#include "command_line/text.h"
#include "command_line/usage.h"

namespace wdt {
namespace {

// Guard options are refused, with a message, unless they are sound and a loop follows to use them.
bool guard_options_hold(const CommandLine& line, const Host& host, Refusal& refusal) {
    const char* problem = line.guards.problem;
    if (problem == nullptr && line.loop == nullptr) problem = "Guard Parameter error: guards need a loop (L)!\r\n";
    if (problem == nullptr && line.guards.grace_seconds != 0 && line.guards.grace_seconds <= line.loop->number) {
        problem = "Guard Parameter error: the grace must be longer than the refresh period!\r\n";
    }
    if (problem != nullptr) refuse(host, refusal, Severity::refusal, "%s", problem);
    return problem == nullptr;
}

// Whether what a call did lasts: a call that holds only while this process holds the device counts
// only when the loop follows and keeps holding it.
bool lasts(Outcome outcome, bool loop_follows) {
    return outcome == Outcome::done || (outcome == Outcome::done_while_held && loop_follows);
}

// Carries out the commands in order, until the arguments run out or a disable or refresh ends the
// pass. Answers false, having said why, when a timeout is out of range or a driver call failed.
bool carry_out_commands(const CommandLine& line, const Host& host, const WatchdogDriver& driver, ScanState& state,
                        Refusal& refusal, DriverWait& wait) {
    const unsigned n = state.selected_watchdog;
    const bool held_by_loop = line.loop != nullptr;
    for (int i = 0; i < line.pass_end; ++i) {
        const Argument& argument = line.arguments[i];
        switch (argument.role) {
            case Role::timeout:
                state.timer_seconds = argument.number;
                if (!timeout_in_range(state.timer_seconds)) {
                    refuse_timeout(host, refusal);
                    return false;
                }
                if (!lasts(arm_waiting(driver, host, wait, n, state.timer_seconds), held_by_loop)) {
                    if (!wait.stopped) say_not_set(host, refusal, n);
                    return false;
                }
                state.armed = true;
                say_armed(host, state.timer_seconds);
                break;
            case Role::loop:
                state.loop_requested = true;
                state.refresh_period_seconds = argument.number;
                break;
            case Role::disable:
                state.armed = false;
                return disable_and_say(driver, host, n, refusal);
            case Role::refresh:
                if (!lasts(refresh(driver, n), held_by_loop)) {
                    refuse(host, refusal, Severity::error, "WDT%u could not be reset!\r\n", n);
                    return false;
                }
                say(host, Severity::info, "WDT%u has already been reseted!\r\n", n);
                return true;
            default:
                break;
        }
    }
    return true;
}

// Says each argument that starts with "--" and is none of the tool's options (a misspelt option, or
// one whose value was given as an argument of its own): it is ignored, as any other argument the
// command passes do not know, but a guard that silently is not there is worse than a word.
void say_unknown_options(const CommandLine& line, const Host& host) {
    for (int i = 0; i < line.count; ++i) {
        if (line.arguments[i].role != Role::unknown_option) continue;
        char shown[200];
        show(line.arguments[i].text, shown, sizeof shown);
        say(host, Severity::warning, "Ignored unknown option %s: options are --service, --status, --drill, --heartbeat=PATH, "
            "--check=COMMAND, --grace=SECONDS and --repair=COMMAND, each one argument.\r\n", shown);
    }
}

// What a run of the commands came to, beside its exit status.
struct Ran {
    ScanState state;
    Record record;
    Refusal refusal;      // the line that ended it early
    bool beside = false;  // refused because another keep-alive runs for the watchdog
};

int run_commands(const CommandLine& line, const Host& host, Ran& ran) {
    // Guard options (--name=value) stand among the commands, which never take an argument that
    // starts with '-'; they do not count as commands.
    if (line.count - line.guards.options < 2) {
        print_usage(host, line.program);
        return 1;
    }
    if (line.guards.options > 0 && !guard_options_hold(line, host, ran.refusal)) return 1;
    WatchdogDriver driver;
    DriverWait wait = driver_wait(line, host);
    if (!load_or_say(driver, host, ran.refusal, &wait)) return wait.stopped ? 0 : 1;
    unsigned n = 0;
    if (!select_watchdog(line, host, ran.refusal, n)) return 1;
    ScanState& state = ran.state;
    state.selected_watchdog = static_cast<uint8_t>(n);
    if (line.service && line.loop == nullptr) {
        refuse(host, ran.refusal, Severity::refusal, "Service Parameter error: a service needs a loop (L)!\r\n");
        return 1;
    }
    // A service says why its previous run ended, and which library it drives, before it touches the
    // watchdog.
    if (line.service) {
        if (open_record(ran.record, host, driver, n, line) == Opening::running_beside) {
            ran.beside = true;
            return 1;
        }
        char path[1024];
        if (host.library.path(driver.library, path, sizeof path)) {
            char shown[1100];
            show(path, shown, sizeof shown);
            say(host, Severity::info, "WDT%u: the driver library is %s.\r\n", n, shown);
        }
    }
    int status = 1;
    if (carry_out_commands(line, host, driver, state, ran.refusal, wait)) {
        status = 0;
        if (state.loop_requested) {
            status = loop_holds(state, host, ran.refusal) ? keep_alive(state, driver, host, line.guards, ran.record) : 1;
        }
    }
    if (wait.stopped) return 0;  // stopped while it waited for the driver: nothing was armed
    if (line.service && status != 0 && state.armed) disable_and_say(driver, host, n, ran.refusal);
    return status;
}

}  // namespace

bool select_watchdog(const CommandLine& line, const Host& host, Refusal& refusal, unsigned& n) {
    if (line.selection == Selection::malformed) {
        refuse(host, refusal, Severity::refusal, "Watch dog number parameter error!\n");
        return false;
    }
    if (line.selection == Selection::none) {
        refuse(host, refusal, Severity::refusal, "Parameter error!\r\n");
        return false;
    }
    n = line.watchdog;
    return true;
}

bool load_or_say(WatchdogDriver& driver, const Host& host, Refusal& refusal, DriverWait* wait) {
    const LoadResult loaded = wait != nullptr ? load_waiting(driver, host, *wait) : load_driver(driver, host.library);
    if (wait != nullptr && wait->stopped) return false;
    if (loaded.status == LoadStatus::no_library) refuse(host, refusal, Severity::refusal, "Not find file: WDT.dll\r\n");
    if (loaded.status == LoadStatus::missing_entry) {
        refuse(host, refusal, Severity::refusal, "Not find function: %s in WDT.dll\r\n", loaded.missing_entry);
    }
    return loaded.status == LoadStatus::loaded;
}

int run(const CommandLine& line, const Host& host) {
    say_unknown_options(line, host);
    if ((line.drill || line.status) && line.count < 2) {
        print_usage(host, line.program);
        return 1;
    }
    if (line.drill) return run_drill(line, host);
    if (line.status) return show_status(line, host);
    Ran ran;
    const int status = run_commands(line, host, ran);
    // A service's start that is refused before its loop is recorded, so that the next start says so.
    if (line.service && status != 0 && !ran.state.loop_entered && !ran.beside && line.selection == Selection::made &&
        line.count >= 2) {
        record_refusal(host, line.watchdog, line, ran.refusal.line, ran.record);
    }
    return status;
}

}  // namespace wdt
