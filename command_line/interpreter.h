#pragma once

#include "command_line/driver_wait.h"
#include "command_line/messages.h"
#include "command_line/reading.h"
#include "command_line/scan_state.h"
#include "driver/watchdog_driver.h"
#include "platform/host.h"

namespace wdt {

// Carries out one command line and answers the process's exit status: 0 on success, 1 for the usage
// text and every error. A run that enters the keep-alive loop returns only if the host ends it.
// As a service (started by the platform's service manager), a command line that would not keep
// the watchdog alive is refused before anything reaches the driver, and one that fails after
// arming disarms before the end: a service that ends armed resets the machine at every start.
int run(const CommandLine& line, const Host& host);

// The watchdog the command line selects, into `n`; answers false, having said why, when a
// selector is malformed or there is none.
bool select_watchdog(const CommandLine& line, const Host& host, Refusal& refusal, unsigned& n);
// The options that only some command lines take (guards and metrics need a loop), and the numbers
// that a service reads strictly (digits alone): false, having said why, when they do not hold.
bool options_hold(const CommandLine& line, const Host& host, Refusal& refusal);
// Loads the driver library (with `wait`, as a service waits for it); answers false, having said
// why, when it cannot be used (nothing is said when a stop ended the wait).
bool load_or_say(WatchdogDriver& driver, const Host& host, Refusal& refusal, DriverWait* wait = nullptr);

}  // namespace wdt
