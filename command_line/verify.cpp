#include "command_line/verify.h"

#include "command_line/interpreter.h"
#include "command_line/keep_alive.h"
#include "command_line/keeper.h"
#include "command_line/messages.h"
#include "command_line/text.h"
#include "driver/protocol.h"
#include "driver/watchdog_driver.h"

namespace wdt {
namespace {

int would_not_start(const Host& host) {
    say(host, Severity::refusal, "Verify: a service would not start with this command line; nothing was touched.\r\n");
    return 1;
}

// What the command pass would do, without doing it: every timeout in range, and the loop's
// timer and period as the service would check them.
bool plan(const CommandLine& line, const Host& host, ScanState& state, Refusal& refusal) {
    for (int i = 0; i < line.pass_end; ++i) {
        const Argument& argument = line.arguments[i];
        if (argument.role == Role::timeout) {
            state.timer_seconds = argument.number;
            if (!timeout_in_range(argument.number)) {
                refuse_timeout(host, refusal);
                return false;
            }
        } else if (argument.role == Role::loop) {
            state.loop_requested = true;
            state.refresh_period_seconds = argument.number;
        }
    }
    return loop_holds(state, host, refusal);
}

}  // namespace

int verify_service(const CommandLine& line, const Host& host) {
    Refusal refusal;
    CommandLine as_service = line;
    as_service.service = true;
    if (!options_hold(as_service, host, refusal)) return would_not_start(host);
    WatchdogDriver driver;
    if (!load_or_say(driver, host, refusal)) return would_not_start(host);
    unsigned n = 0;
    if (!select_watchdog(line, host, refusal, n)) return would_not_start(host);
    if (line.loop == nullptr) {
        refuse(host, refusal, Severity::refusal, "Service Parameter error: a service needs a loop (L)!\r\n");
        return would_not_start(host);
    }
    ScanState state;
    if (!plan(line, host, state, refusal)) return would_not_start(host);

    say(host, Severity::info, "Watchdog: %u\nTimeout: %ld s\nRefresh period: %ld s\n", n, static_cast<long>(state.timer_seconds),
        static_cast<long>(state.refresh_period_seconds));
    const GuardOptions& guards = line.guards;
    for (int i = 0; i < guards.count; ++i) say(host, Severity::info, "Guard: %s\n", guards.list[i].shown);
    if (guards.count > 0) {
        say(host, Severity::info, "Grace: %ld s\n",
            static_cast<long>(guards.grace_seconds != 0 ? guards.grace_seconds : state.timer_seconds));
    }
    if (guards.repair != nullptr) say(host, Severity::info, "Repair: %s\n", guards.repair_shown);
    char text[1024], shown[1100], reason[400];
    if (host.records.folder(text, sizeof text)) {
        show(text, shown, sizeof shown);
        say(host, Severity::info, "Record folder: %s\n", shown);
    }
    if (line.metrics != nullptr) {
        show(line.metrics, shown, sizeof shown);
        const bool usable = host.records.metrics_folder(line.metrics, reason, sizeof reason);
        say(host, usable ? Severity::info : Severity::warning, "Metrics folder: %s (%s)\n", shown,
            usable ? "usable" : reason);
    }
    static char description[4096];
    char driver_name[200] = "";
    const bool described = describe(driver, host.library, n, false, description, sizeof description) >= 0 &&
                           field(description, "Driver", driver_name, sizeof driver_name);
    const bool simulated = described && drives_no_hardware(driver_name);
    // A library of our own that says nothing of the watchdog cannot drive it (its device is missing, or
    // is no watchdog): it has said why, and the service's arm would fail.
    if (!described && host.library.find(driver.library, protocol::kDescribeEntry) != nullptr) {
        say(host, Severity::refusal, "Driver library: says nothing of WDT%u, so a service could not arm it\n", n);
        return would_not_start(host);
    }
    if (!host.library.path(driver.library, text, sizeof text)) put(text, sizeof text, "unknown");
    show(text, shown, sizeof shown);
    say(host, simulated ? Severity::warning : Severity::info, "Driver library: %s (%s)\n", shown,
        simulated ? "the simulated one: it drives no hardware" : described ? driver_name : "a vendor's library");
    Keeper keeper;
    if (who_keeps(host, n, keeper) == Kept::running) {
        say(host, Severity::info, "Kept now by: pid %lld, which a service's start would wait for or be refused by\n",
            static_cast<long long>(keeper.pid));
    }
    say(host, Severity::info, "Verify: a service would start with this command line; nothing was touched.\r\n");
    return 0;
}

}  // namespace wdt
