#pragma once

#include "command_line/scan_state.h"
#include "driver/watchdog_driver.h"
#include "platform/host.h"

namespace wdt {

// Refreshes the selected watchdog once every refresh period for as long as the process runs.
// Answers 1 when the timer and period are refused. When the host's wait says a stop was requested,
// disables the watchdog, says so, and answers 0.
int keep_alive(const ScanState& state, const WatchdogDriver& driver, const Host& host);

}  // namespace wdt
