#pragma once

#include "command_line/reading.h"
#include "platform/host.h"

namespace wdt {

// --status: says what is known of the selected watchdog, one "Name: value" line each: what the
// driver library can tell without touching it, and what the service's record says of the
// keep-alive. Never arms, refreshes, stops or opens a watchdog. Answers the exit status: 0 when
// it could say anything, 1 otherwise.
int show_status(const CommandLine& line, const Host& host);

}  // namespace wdt
