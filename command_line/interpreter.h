#pragma once

#include "command_line/scan_state.h"
#include "driver/watchdog_driver.h"
#include "platform/host.h"

namespace wdt {

// Carries out one command line and answers the process's exit status: 0 on success, 1 for the usage
// text and every error. A run that enters the keep-alive loop returns only if the host ends it.
// As a service (started by the platform's service manager), a command line that would not keep
// the watchdog alive is refused before anything reaches the driver, and one that fails after
// arming disarms before the end: a service that ends armed resets the machine at every start.
int run(int argc, const char* const* argv, const Host& host, bool service = false);

// Finds the watchdog the command line selects; the last selector wins. Answers false, having
// printed why, when a selector is malformed or there is none.
bool select_watchdog(int argc, const char* const* argv, const Host& host, ScanState& state);
// The same without a word: 0 or 1, kNoWatchdog when there is no selector, -1 when one is malformed.
int selection(int argc, const char* const* argv);
// Loads the driver library; answers false, having printed why, when it cannot be used.
bool load_or_say(WatchdogDriver& driver, const Host& host);

// An argument's first letter, upper case: what names a command.
inline int upper(char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

}  // namespace wdt
