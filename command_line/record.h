// A service's record of its watchdog: what the keep-alive is doing, kept across a reset so that
// the next start can say why the previous run ended. Written only when something changes (start,
// a guard that runs out of grace or has news again, a deliberate stop, a refused start, a drill),
// never per refresh, and away from the loop's thread. Each record names its boot and its process,
// so that a keep-alive counts as running only when that very process runs in this boot.
#pragma once

#include <cstdint>

#include "command_line/reading.h"
#include "driver/watchdog_driver.h"
#include "platform/host.h"

namespace wdt {

// What the run that wrote a record was doing; one word each in the record ("State: running").
enum class KeepAlive : uint8_t { unknown, running, silent, stopped, refused, drill };

// Why the previous run ended, as a start finds it; one word each in the record ("Previous reason:
// stop"): no record; a record that cannot be used; a deliberate stop; a guard out of grace; a
// refused start; a drill; an end without a deliberate stop (the machine did not restart, or the
// driver does not say the watchdog reset it); a reset by the watchdog, as the driver says.
enum class PreviousRun : uint8_t { none, unknown, stop, guard, refused, drill, ended, reset };

const char* word_of(KeepAlive state);
const char* word_of(PreviousRun reason);

// The last drill of a watchdog, carried over by every later record until the next drill.
struct DrillRecord {
    bool present = false;
    char armed[64] = "";      // when it armed the watchdog, as said
    int64_t armed_s = 0;      // the same in seconds since 1970
    int32_t timeout = 0;
    char boot[64] = "";       // the boot it ran in
    char result[400] = "";    // what happened; empty until known
};

struct Record {
    bool kept = false;           // service mode and drills keep one; one-shot commands and consoles do not
    unsigned n = 0;
    int64_t started_s = 0;
    char boot[64] = "";          // this boot, as the system names it; empty when it cannot
    int64_t process_start = 0;   // this process's start, as the system tells it
    char command[512] = {};      // the command line, as one line
    PreviousRun previous_reason = PreviousRun::none;
    char previous[640] = {};     // why the previous run ended
    DrillRecord drill;
    bool unwritable_said = false;
};

// How a service's start stands beside the record it found.
enum class Opening {
    go_on,          // the reason is said; the start goes on
    running_beside, // another keep-alive (or a drill) runs for this watchdog: said; the start must not go on
};

// Reads the previous record of watchdog n (whose lock the caller holds, where there is one), and
// says in one line why the previous run ended: where it ended without a deliberate stop in an
// earlier boot, joined with what the driver says of the last reset; a drill, with its outcome.
// A keeper that took no lock (an earlier version) is found by its record, and refuses the start.
Opening open_record(Record& record, const Host& host, const WatchdogDriver& driver, unsigned n, const CommandLine& line,
                    bool say_reason = true);
// Hands the record over with the keep-alive's state (running, stopped, or silent with the guard
// that ran out of grace and since when). A record that cannot be written is said once.
void write_record(Record& record, const Host& host, KeepAlive state, const char* guard = nullptr,
                  int64_t silent_since_s = 0);
// A drill's record, written whole and waited for before the drill arms: when, the timeout, the
// boot; answers false when it could not be written. Then its result, once it has one.
bool record_drill(Record& record, const Host& host, int32_t timeout_seconds);
void record_drill_result(Record& record, const Host& host, const char* result);
// Says, once, that a record handed over could not be written (`failed`: this one could not even be
// handed over).
void note_unwritten(Record& record, const Host& host, bool failed = false);
// Records that a service's start was refused, and why (the line it said), so that the next start
// names it; `started` holds the reason the start said, if it got so far. `n` is the watchdog the
// command line selects, whose lock the caller holds (where there is one).
void record_refusal(const Host& host, unsigned n, const CommandLine& line, const char* why, const Record& started);

// What the last record of watchdog n says of the keep-alive, as "Name: value" lines for a status;
// `description` is what the driver said of the watchdog (for a drill's outcome). Answers whether
// there was a whole record.
bool describe_record(const Host& host, unsigned n, const char* description, char* text, size_t size);

// "YYYY-MM-DD hh:mm:ss UTC" for seconds since 1970.
void format_utc(int64_t seconds, char (&text)[64]);

}  // namespace wdt
