// A service's record of its watchdog: what the keep-alive is doing, kept across a reset so that
// the next start can say why the previous run ended. Written only when something changes (start,
// a guard that runs out of grace or has news again, a deliberate stop, a refused start, a drill
// and its marks of life), never per refresh, and away from the loop's thread. Each record names its
// boot and its process, so that a keep-alive counts as running only when that very process runs
// in this boot. Every record carries the watchdog's last drills (drills.h).
#pragma once

#include <cstdint>

#include "command_line/drills.h"
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

// The room for a record's drill lines: ten drills with all their report.
inline constexpr size_t kDrillLines = 12288;
// The room for the guards a keep-alive watches, one line each.
inline constexpr size_t kWatchedLines = 16 * 220;

struct Record {
    bool kept = false;           // service mode and drills keep one; one-shot commands and consoles do not
    unsigned n = 0;
    int64_t started_s = 0;
    char boot[64] = "";          // this boot, as the system names it; empty when it cannot
    int64_t process_start = 0;   // this process's start, as the system tells it
    char command[512] = {};      // the command line, as one line
    PreviousRun previous_reason = PreviousRun::none;
    char previous[640] = {};     // why the previous run ended
    // The drills' lines, carried over by every record. Set when the record is opened; left
    // without an initializer so that the room it does not use never comes into memory.
    char drills[kDrillLines];
    char watched[kWatchedLines];  // "Watching: <guard>" lines, set likewise
    bool unwritable_said = false;
};

// How a service's start stands beside the record it found.
enum class Opening {
    go_on,          // the reason is said; the start goes on
    running_beside, // another keep-alive (or a drill) runs for this watchdog: said; the start must not go on
};

// Reads the previous record of watchdog n (whose lock the caller holds, where there is one), and
// says in one line why the previous run ended: where it ended without a deliberate stop in an
// earlier boot, joined with what the driver says of the last reset; a drill, with its result,
// settled here where the machine restarted during it. A keeper that took no lock (an earlier
// version) is found by its record, and refuses the start.
Opening open_record(Record& record, const Host& host, const WatchdogDriver& driver, unsigned n, const CommandLine& line,
                    bool say_reason = true);
// Hands the record over with the keep-alive's state (running, stopped, or silent with the guard
// that ran out of grace and since when). A record that cannot be written is said once.
void write_record(Record& record, const Host& host, KeepAlive state, const char* guard = nullptr,
                  int64_t silent_since_s = 0);
// A drill's record: the drills given, the last being this drill, handed over with the state
// "drill"; answers whether it was written within `wait_ms` (0: not waited for).
bool write_drill(Record& record, const Host& host, const Drills& drills, int64_t wait_ms);
// Says, once, that a record handed over could not be written (`failed`: this one could not even be
// handed over).
void note_unwritten(Record& record, const Host& host, bool failed = false);
// Records that a service's start was refused, and why (the line it said), so that the next start
// names it; `started` holds the reason the start said, if it got so far. `n` is the watchdog the
// command line selects, whose lock the caller holds (where there is one).
void record_refusal(const Host& host, unsigned n, const CommandLine& line, const char* why, const Record& started);

// What a status reads of a watchdog's record.
enum class Keeping {
    none,          // no record
    unusable,      // a record that is damaged, or not the tool's own
    cannot_tell,   // it, or the processes, cannot be read by this user
    running,
    silent,        // running, and guards hold the refreshes back
    stopped,       // by a deliberate stop
    ended,         // without a deliberate stop
    refused,       // its last start was refused
    drilling,      // a drill is under way
    drilled,       // none since the last drill
};
struct RecordView {
    Keeping keeping = Keeping::none;
    bool damaged = false;
    char problem[300] = "";     // why a record is not used
    char pid[32] = "", started[64] = "", changed[64] = "";
    char command[600] = "", guard[600] = "", refused[600] = "";
    PreviousRun previous_reason = PreviousRun::none;
    char previous[700] = "";
    char watched[kMaxGuards][200] = {};  // the guards the keep-alive watches
    int watched_count = 0;
    Drills drills;              // oldest first
};
// Reads the last record of watchdog n for a status. A drill that the machine answered with a
// restart is settled by what the driver says now (`description`), and, where this process may
// keep the watchdog (nobody else does), written back, so that later boots keep it as it is.
void view_record(const Host& host, unsigned n, const char* description, RecordView& view);

}  // namespace wdt
