#pragma once

#include "command_line/guards.h"
#include "command_line/record.h"
#include "command_line/scan_state.h"
#include "driver/watchdog_driver.h"
#include "platform/host.h"

namespace wdt {

// Disables watchdog n and says whether it was done; answers that.
bool disable_and_say(const WatchdogDriver& driver, const Host& host, unsigned n);

// Refreshes the selected watchdog once every refresh period for as long as the process runs.
// Answers 1 when the timer and period are refused. When the host's wait says a stop was requested,
// disables the watchdog, says so, and answers 0 (1 if the disable failed). A refresh that fails
// never ends the loop. With guards, a slot refreshes only while every guard has had good news
// within its grace; a stop ends what the guards started. A service's record says when the loop
// runs, when guards hold the refreshes back, and when it stopped.
int keep_alive(ScanState& state, const WatchdogDriver& driver, const Host& host, Guards& guards, Record& record);

}  // namespace wdt
