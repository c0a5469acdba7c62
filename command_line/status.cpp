#include "command_line/status.h"

#include "command_line/interpreter.h"
#include "command_line/record.h"
#include "driver/watchdog_driver.h"

namespace wdt {

int show_status(int argc, const char* const* argv, const Host& host) {
    ScanState state;
    if (!select_watchdog(argc, argv, host, state)) return 1;
    const unsigned n = state.selected_watchdog;
    say(host, "Watchdog: %u\n", n);
    WatchdogDriver driver;
    const LoadResult loaded = load_driver(driver, host);
    static char text[4096];
    const bool described = loaded.status == LoadStatus::loaded && describe(driver, host, n, text, sizeof text) >= 0;
    if (described) {
        say(host, "%s", text);
    } else if (loaded.status == LoadStatus::loaded) {
        say(host, "Driver: says nothing of this watchdog\n");
    } else {
        say(host, "Driver: %s\n", loaded.status == LoadStatus::no_library ? "WDT.dll not found" : "WDT.dll lacks an entry point");
    }
    static char record[4096];
    const bool recorded = describe_record(host, n, described ? text : nullptr, record, sizeof record);
    say(host, "%s", record);
    return described || recorded ? 0 : 1;
}

}  // namespace wdt
