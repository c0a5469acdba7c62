#pragma once

#include "command_line/reading.h"
#include "platform/host.h"

namespace wdt {

// --verify W0|W1 T<s> L<s> [guards] [--metrics=DIR]: reads the command line as a service would
// (its numbers strictly), says what it would do (the watchdog, timeout and period, the guards, the
// record's and the metrics' folders, the driver library and whether it drives hardware) and who
// keeps the watchdog now, and touches no watchdog. Answers 0 only when a service would start.
int verify_service(const CommandLine& line, const Host& host);

}  // namespace wdt
