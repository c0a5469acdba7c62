// The messages that more than one part of the tool says, each with its one text and severity, and
// how a run keeps the line that ended it.
#pragma once

#include <cstdint>

#include "command_line/reading.h"
#include "driver/watchdog_driver.h"
#include "platform/host.h"

namespace wdt {

// Why a run ended before it did all it was asked: the first line said of it, without its line end,
// so that a service's refused start can be recorded with it.
struct Refusal {
    char line[600] = "";
};

// Says a message that ends the run, and keeps it in `refusal` unless that holds one already.
[[gnu::format(printf, 4, 5)]] void refuse(const Host& host, Refusal& refusal, Severity severity, const char* format, ...);

// Refuses a command line with an argument meant as an option that is none.
void refuse_near_miss(const Host& host, Refusal& refusal, const Argument& miss);

// Whether a timeout is one the watchdog takes: 1 to 512 seconds.
bool timeout_in_range(int32_t seconds);

// "Time Parameter error!", for a timeout outside 1 to 512 seconds.
void refuse_timeout(const Host& host, Refusal& refusal);
// "System will be reset after N seconds."
void say_armed(const Host& host, int32_t seconds);
// "WDTn could not be set!", an error that ends the run.
void say_not_set(const Host& host, Refusal& refusal, unsigned n);
// Disables watchdog n and says whether it was done; answers that. A failure is kept in `refusal`.
bool disable_and_say(const WatchdogDriver& driver, const Host& host, unsigned n, Refusal& refusal);

}  // namespace wdt
