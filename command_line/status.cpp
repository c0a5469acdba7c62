#include "command_line/status.h"

#include "command_line/interpreter.h"
#include "command_line/record.h"
#include "driver/watchdog_driver.h"

namespace wdt {

int show_status(const CommandLine& line, const Host& host) {
    Refusal refusal;
    unsigned n = 0;
    if (!select_watchdog(line, host, refusal, n)) return 1;
    say(host, Severity::info, "Watchdog: %u\n", n);
    WatchdogDriver driver;
    const LoadResult loaded = load_driver(driver, host.library);
    static char text[4096];
    const bool described = loaded.status == LoadStatus::loaded && describe(driver, host.library, n, true, text, sizeof text) >= 0;
    if (described) {
        say(host, Severity::info, "%s", text);
    } else if (loaded.status == LoadStatus::loaded) {
        say(host, Severity::info, "Driver: says nothing of this watchdog\n");
    } else {
        say(host, Severity::info, "Driver: %s\n", loaded.status == LoadStatus::no_library ? "WDT.dll not found" : "WDT.dll lacks an entry point");
    }
    static char record[4096];
    const bool recorded = describe_record(host, n, described ? text : nullptr, record, sizeof record);
    say(host, Severity::info, "%s", record);
    return described || recorded ? 0 : 1;
}

}  // namespace wdt
