#include "command_line/interpreter.h"

#include <cstring>

#include "command_line/drill.h"
#include "command_line/keep_alive.h"
#include "command_line/keeper.h"
#include "command_line/record.h"
#include "command_line/status.h"
#include "command_line/text.h"
#include "command_line/usage.h"
#include "command_line/verify.h"

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

// What a service would run as checks and repairs, each a program that it may run.
bool commands_may_run(const CommandLine& line, const Host& host, Refusal& refusal) {
    char why[1400];
    for (int i = 0; i <= line.guards.count; ++i) {
        const bool repair = i == line.guards.count;
        const char* command = repair ? line.guards.repair : line.guards.list[i].is_check ? line.guards.list[i].target : nullptr;
        if (command == nullptr || host.children.may_run(command, why, sizeof why)) continue;
        refuse(host, refusal, Severity::refusal, "Guard Parameter error: %s is not run: %s!\r\n",
               repair ? line.guards.repair_shown : line.guards.list[i].shown, why);
        return false;
    }
    return true;
}

}  // namespace

bool options_hold(const CommandLine& line, const Host& host, Refusal& refusal) {
    if (line.guards.options > 0 && !guard_options_hold(line, host, refusal)) return false;
    if ((line.service || line.verify) && !commands_may_run(line, host, refusal)) return false;
    if (line.metrics != nullptr && (line.loop == nullptr || line.metrics[0] == '\0')) {
        refuse(host, refusal, Severity::refusal, "Metrics Parameter error: --metrics=DIR needs a folder, and a loop (L)!\r\n");
        return false;
    }
    // A service reads its numbers and its watchdog strictly: a typo in a setting must change neither
    // the timeout nor the watchdog; and it disarms only when it is stopped.
    for (int i = 0; (line.service || line.verify) && i < line.count; ++i) {
        const Argument& argument = line.arguments[i];
        const char* text = argument.text;
        if (argument.role == Role::selector && !((text[1] == '0' || text[1] == '1') && text[2] == '\0')) {
            char shown[200];
            show(text, shown, sizeof shown);
            refuse(host, refusal, Severity::refusal, "Service Parameter error: %s is not W0 or W1!\r\n", shown);
            return false;
        }
        if (argument.role == Role::disable && i < line.pass_end) {
            refuse(host, refusal, Severity::refusal, "Service Parameter error: a service disarms when it is stopped, never "
                   "with D!\r\n");
            return false;
        }
        if (i >= line.pass_end) continue;
        if ((argument.role == Role::timeout || argument.role == Role::loop) && !argument.strict) {
            char shown[200];
            show(argument.text, shown, sizeof shown);
            refuse(host, refusal, Severity::refusal, "Service Parameter error: %s is not a whole number of seconds (digits "
                   "alone after the letter)!\r\n", shown);
            return false;
        }
    }
    return true;
}

namespace {

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

// What keeps the watchdog while this command line runs: a keep-alive, or a command that arms or
// disarms it; nothing for one that only refreshes it (a refresh beside a keep-alive is harmless).
bool keeps(const CommandLine& line, KeeperKind& kind) {
    kind = line.service ? KeeperKind::service : line.loop != nullptr ? KeeperKind::console : KeeperKind::command;
    if (kind != KeeperKind::command) return true;
    for (int i = 0; i < line.pass_end; ++i) {
        if (line.arguments[i].role == Role::timeout || line.arguments[i].role == Role::disable) return true;
    }
    return false;
}

// What the keep-alive's metrics name of the driver, read once before the loop; a service says, as a
// warning at every start, that the simulated driver drives no hardware.
void describe_driver(const CommandLine& line, const Host& host, const WatchdogDriver& driver, unsigned n, const Record& record,
                     Metrics& metrics) {
    metrics = Metrics{};
    metrics.folder = line.metrics;
    metrics.n = n;
    if (!host.library.path(driver.library, metrics.library, sizeof metrics.library)) metrics.library[0] = '\0';
    static char description[4096];
    if (describe(driver, host.library, n, false, description, sizeof description) < 0 ||
        !field(description, "Driver", metrics.driver, sizeof metrics.driver)) {
        put(metrics.driver, sizeof metrics.driver, "unknown");
    }
    if (line.service && drives_no_hardware(metrics.driver)) {
        say(host, Severity::warning, "WDT%u: the driver library is the simulated one: it drives no hardware, and this machine "
            "is not guarded!\r\n", n);
    }
    if (line.service) metrics_from_record(metrics, record);
}

// What a run of the commands came to, beside its exit status.
struct Ran {
    ScanState state;
    Record record;
    Refusal refusal;      // the line that ended it early
    bool beside = false;  // refused because another keep-alive's record says that it runs
};

int run_commands(const CommandLine& line, const Host& host, Ran& ran) {
    if (!options_hold(line, host, ran.refusal)) return 1;
    // The watchdog is this run's before anything of the driver is loaded. A line without a sound
    // selector takes nothing, and is refused below as ever.
    KeeperKind kind = KeeperKind::command;
    if (line.selection == Selection::made && keeps(line, kind) &&
        !keep_watchdog(host, line.watchdog, kind, ran.refusal, line.guards.count > 0)) {
        return 1;
    }
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
    static Metrics metrics;
    if (line.loop != nullptr) describe_driver(line, host, driver, n, ran.record, metrics);
    int status = 1;
    if (carry_out_commands(line, host, driver, state, ran.refusal, wait)) {
        status = 0;
        if (state.loop_requested) {
            status = loop_holds(state, host, ran.refusal) ? keep_alive(state, driver, host, line.guards, ran.record, metrics) : 1;
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
    if (line.help || line.version) {
        if (line.help) print_help(host, line.program);
        if (!line.help) print_version(host);
        return 0;
    }
    // Options (--name=value) stand among the commands, which never take an argument that starts
    // with '-'; they do not count as commands.
    if (line.count - (line.drill || line.status ? 0 : line.options) < 2) {
        print_usage(host, line.program);
        return 1;
    }
    Ran ran;
    int status = 1;
    if (const Argument* miss = first_near_miss(line)) {
        refuse_near_miss(host, ran.refusal, *miss);
    } else if (line.json && !line.status) {
        refuse(host, ran.refusal, Severity::refusal, "Option error: --json goes with --status alone, and nothing was done!\r\n");
    } else if (line.verify && (line.drill || line.status)) {
        refuse(host, ran.refusal, Severity::refusal, "Option error: --verify takes a service's command line, not --drill "
               "or --status!\r\n");
    } else if (line.drill) {
        return run_drill(line, host);
    } else if (line.status) {
        return show_status(line, host);
    } else if (line.verify) {
        return verify_service(line, host);
    } else {
        status = run_commands(line, host, ran);
    }
    // A service's start that is refused before its loop is recorded, so that the next start says so.
    if (line.service && status != 0 && !ran.state.loop_entered && !ran.beside && line.selection == Selection::made &&
        may_record(host, line.watchdog)) {
        record_refusal(host, line.watchdog, line, ran.refusal.line, ran.record);
    }
    return status;
}

}  // namespace wdt
