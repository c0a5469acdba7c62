#include "command_line/interpreter.h"

#include <cstdio>
#include <cstring>

#include "command_line/drill.h"
#include "command_line/guards.h"
#include "command_line/keep_alive.h"
#include "command_line/number.h"
#include "command_line/record.h"
#include "command_line/scan_state.h"
#include "command_line/status.h"
#include "command_line/text.h"
#include "command_line/usage.h"
#include "driver/watchdog_driver.h"
#include "platform/priority.h"

namespace wdt {
namespace {

// The last L that the command pass reaches (it ends at the first D or R), or nullptr when the
// pass reaches none: the loop follows, with that period, exactly when there is one.
const char* last_loop(int argc, const char* const* argv) {
    const char* found = nullptr;
    for (int i = 1; i < argc; ++i) {
        const int letter = upper(argv[i][0]);
        if (letter == 'L') found = argv[i];
        if (letter == 'D' || letter == 'R') break;
    }
    return found;
}

bool loop_follows(int argc, const char* const* argv) { return last_loop(argc, argv) != nullptr; }

// Guard options are refused, with a message, unless they are sound and a loop follows to use them.
bool guard_options_hold(int argc, const char* const* argv, const Host& host, const Guards& guards) {
    const char* problem = guards.problem;
    if (problem == nullptr && !loop_follows(argc, argv)) problem = "Guard Parameter error: guards need a loop (L)!\r\n";
    if (problem == nullptr && guards.grace_seconds != 0 &&
        guards.grace_seconds <= parse_number(last_loop(argc, argv) + 1)) {
        problem = "Guard Parameter error: the grace must be longer than the refresh period!\r\n";
    }
    if (problem != nullptr) say(host, "%s", problem);
    return problem == nullptr;
}

// Whether what a call did lasts: a call that holds only while this process holds the device counts
// only when the loop follows and keeps holding it.
bool lasts(Outcome outcome, bool loop_follows) {
    return outcome == Outcome::done || (outcome == Outcome::done_while_held && loop_follows);
}

// Carries out the commands in order, until the arguments run out or a disable or refresh ends the
// pass. Answers false, having printed why, when a timeout is out of range or a driver call failed.
bool carry_out_commands(int argc, const char* const* argv, const Host& host,
                        const WatchdogDriver& driver, ScanState& state) {
    const unsigned n = state.selected_watchdog;
    const bool held_by_loop = loop_follows(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        switch (upper(argument[0])) {
            case 'T':
                state.timer_seconds = parse_number(argument + 1);
                if (static_cast<uint32_t>(state.timer_seconds) - 1u > 511u) {
                    say(host, "Time Parameter error!\r\n");
                    return false;
                }
                if (!lasts(arm(driver, n, state.timer_seconds), held_by_loop)) {
                    say(host, "WDT%d could not be set!\r\n", static_cast<int>(n));
                    return false;
                }
                state.armed = true;
                say(host, "System will be reset after %ld seconds.\n", static_cast<long>(state.timer_seconds));
                break;
            case 'L':
                state.loop_requested = true;
                state.refresh_period_seconds = parse_number(argument + 1);
                break;
            case 'D':
                state.armed = false;
                return disable_and_say(driver, host, n);
            case 'R':
                if (!lasts(refresh(driver, n), held_by_loop)) {
                    say(host, "WDT%d could not be reset!\r\n", static_cast<int>(n));
                    return false;
                }
                say(host, "WDT%d has already been reseted!\r\n", static_cast<int>(n));
                return true;
            default:
                break;
        }
    }
    return true;
}

}  // namespace

int selection(int argc, const char* const* argv) {
    int selected = kNoWatchdog;
    for (int i = 1; i < argc; ++i) {
        if (upper(argv[i][0]) != 'W') continue;
        const auto number = static_cast<uint8_t>(argv[i][1] - '0');
        if (number > 1) return -1;
        selected = number;
    }
    return selected;
}

bool select_watchdog(int argc, const char* const* argv, const Host& host, ScanState& state) {
    const int selected = selection(argc, argv);
    if (selected < 0) {
        say(host, "Watch dog number parameter error!\n");
        return false;
    }
    if (selected == kNoWatchdog) {
        say(host, "Parameter error!\r\n");
        return false;
    }
    state.selected_watchdog = static_cast<uint8_t>(selected);
    return true;
}

bool load_or_say(WatchdogDriver& driver, const Host& host) {
    const LoadResult loaded = load_driver(driver, host);
    if (loaded.status == LoadStatus::no_library) say(host, "Not find file: WDT.dll\r\n");
    if (loaded.status == LoadStatus::missing_entry) say(host, "Not find function: %s in WDT.dll\r\n", loaded.missing_entry);
    return loaded.status == LoadStatus::loaded;
}

namespace {

// Says each argument that starts with "--" and is none of the tool's options (a misspelt option, or
// one whose value was given as an argument of its own): it is ignored, as any other argument the
// command passes do not know, but a guard that silently is not there is worse than a word.
void say_unknown_options(int argc, const char* const* argv, const Host& host) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strncmp(argument, "--", 2) != 0 || is_guard_option(argument) || std::strcmp(argument, kStatusOption) == 0 ||
            std::strcmp(argument, kDrillOption) == 0) {
            continue;
        }
        char shown[200];
        show(argument, shown, sizeof shown);
        say(host, "Ignored unknown option %s: options are --service, --status, --drill, --heartbeat=PATH, --check=COMMAND, "
            "--grace=SECONDS and --repair=COMMAND, each one argument.\r\n", shown);
    }
}

// In service mode the last error said is kept, so that a start that is refused is recorded with it.
const Host* said_through = nullptr;
char last_said[600];

void print_and_keep(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char line[sizeof last_said];
    std::vsnprintf(line, sizeof line, format, copy);
    va_end(copy);
    if (priority_of(line, std::strlen(line)) == Priority::error) {
        line[std::strcspn(line, "\r\n")] = '\0';
        std::memcpy(last_said, line, sizeof line);
    }
    said_through->print(format, args);
}

int run_commands(int argc, const char* const* argv, const Host& host, bool service, ScanState& state,
                 Record& record, bool& beside) {
    // Guard options (--name=value) stand among the commands, which never take an argument that
    // starts with '-'; they do not count as commands.
    Guards guards;
    read_guard_options(argc, argv, guards);
    if (argc - guards.options < 3) {
        // A process may be started with no arguments at all, not even its own name.
        print_usage(host, (argc > 0 && argv[0] != nullptr) ? argv[0] : "");
        return 1;
    }
    if (guards.options > 0 && !guard_options_hold(argc, argv, host, guards)) return 1;
    WatchdogDriver driver;
    if (!load_or_say(driver, host)) return 1;

    if (!select_watchdog(argc, argv, host, state)) return 1;
    if (service && !loop_follows(argc, argv)) {
        say(host, "Service Parameter error: a service needs a loop (L)!\r\n");
        return 1;
    }
    // A service says why its previous run ended, and which library it drives, before it touches the
    // watchdog.
    if (service) {
        if (open_record(record, host, driver, state.selected_watchdog, argc, argv) == Opening::running_beside) {
            beside = true;
            return 1;
        }
        char path[1024];
        if (host.library_path(driver.library, path, sizeof path)) {
            char shown[1100];
            show(path, shown, sizeof shown);
            say(host, "WDT%u: the driver library is %s.\r\n", state.selected_watchdog, shown);
        }
    }
    int status = 1;
    if (carry_out_commands(argc, argv, host, driver, state)) {
        status = state.loop_requested ? keep_alive(state, driver, host, guards, record) : 0;
    }
    if (service && status != 0 && state.armed) disable_and_say(driver, host, state.selected_watchdog);
    return status;
}

}  // namespace

int run(int argc, const char* const* argv, const Host& host, bool service) {
    say_unknown_options(argc, argv, host);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kDrillOption) != 0) continue;
        if (argc < 3) {
            print_usage(host, argv[0] != nullptr ? argv[0] : "");
            return 1;
        }
        return run_drill(argc, argv, host, service);
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kStatusOption) != 0) continue;
        if (argc < 3) {
            print_usage(host, argv[0] != nullptr ? argv[0] : "");
            return 1;
        }
        return show_status(argc, argv, host);
    }
    ScanState state;
    Record record;
    bool beside = false;
    if (!service) return run_commands(argc, argv, host, false, state, record, beside);
    // A service's start that is refused before its loop is recorded, so that the next start says so.
    said_through = &host;
    last_said[0] = '\0';
    Host keeping = host;
    keeping.print = print_and_keep;
    const int status = run_commands(argc, argv, keeping, true, state, record, beside);
    const int selected = selection(argc, argv);
    if (status != 0 && !state.loop_entered && !beside && selected >= 0 && selected != kNoWatchdog && argc >= 3) {
        record_refusal(host, static_cast<unsigned>(selected), argc, argv, last_said, record.previous);
    }
    return status;
}

}  // namespace wdt
