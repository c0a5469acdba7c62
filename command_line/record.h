// A service's record of its watchdog: what the keep-alive is doing, kept across a reset so that
// the next start can say why the previous run ended. Written only when something changes (start,
// a guard that runs out of grace or has news again, a deliberate stop), never per refresh.
#pragma once

#include <cstdint>

#include "driver/watchdog_driver.h"
#include "platform/host.h"

namespace wdt {

struct Record {
    bool kept = false;           // service mode keeps one; one-shot commands and consoles do not
    unsigned n = 0;
    int64_t started_s = 0;
    char command[512] = {};      // the command line, as given
    char previous[512] = {};     // why the previous run ended
    bool unwritable_said = false;
};

// Reads the previous run's record of watchdog n and says in one line why that run ended; where it
// ended without a deliberate stop, joined with what the driver says of the last reset.
void open_record(Record& record, const Host& host, const WatchdogDriver& driver, unsigned n, int argc,
                 const char* const* argv);
// Writes the record with the keep-alive's state ("running", "stopped", or "silent" with the guard
// that ran out of grace and since when). A record that cannot be written is said once.
void write_record(Record& record, const Host& host, const char* state, const char* guard = nullptr,
                  int64_t silent_since_s = 0);

// What the last record of watchdog n says of the keep-alive, as "Name: value" lines for a status;
// answers whether there was a whole record.
bool describe_record(const Host& host, unsigned n, char* text, size_t size);

// "YYYY-MM-DD hh:mm:ss UTC" for seconds since 1970.
void format_utc(int64_t seconds, char (&text)[64]);

}  // namespace wdt
