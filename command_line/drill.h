#pragma once

#include "command_line/reading.h"
#include "platform/host.h"

namespace wdt {

// --drill W0|W1 [T<seconds>]: proves that the watchdog resets the machine. Writes the drill into
// the watchdog's record, arms the watchdog with the timeout (5 s without a T) and never refreshes
// it; the next start of the service and a status then say what came of it. If the machine is
// still running after twice the timeout (ten seconds more at least), the drill has failed: it
// disarms, says so, and answers 1; a stop request cancels it: it disarms and answers 1. Refused
// before anything reaches the driver beside commands, guards, a status, service mode, or a
// keep-alive that runs for the watchdog.
int run_drill(const CommandLine& line, const Host& host);

}  // namespace wdt
