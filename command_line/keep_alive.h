#pragma once

#include "command_line/guards.h"
#include "command_line/messages.h"
#include "command_line/metrics.h"
#include "command_line/reading.h"
#include "command_line/record.h"
#include "command_line/scan_state.h"
#include "driver/watchdog_driver.h"
#include "platform/host.h"

namespace wdt {

// Whether the loop can keep the watchdog alive: the timer must be longer than the refresh period,
// and the period at least a second. Says why not, and keeps it in `refusal`.
bool loop_holds(const ScanState& state, const Host& host, Refusal& refusal);

// Refreshes the selected watchdog once every refresh period for as long as the process runs. When
// the host's wait says a stop was requested, disables the watchdog, says so, and answers 0 (1 if
// the disable failed). A refresh that fails never ends the loop. With guards, a slot refreshes
// only while every guard has had good news within its grace, until the machine shuts down; a stop
// ends what the guards started.
// A service's record says when the loop runs, when guards hold the refreshes back, and when it
// stopped; the metrics, where they are kept, say the same and more.
int keep_alive(ScanState& state, const WatchdogDriver& driver, const Host& host, const GuardOptions& options,
               Record& record, Metrics& metrics);

}  // namespace wdt
