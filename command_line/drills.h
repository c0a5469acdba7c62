// A watchdog's drills as its record keeps them: the last ten, oldest first, each with what its
// report named, the marks of life it left while it waited, and its result. Where the machine
// restarted during a drill, the result is measured from those marks (seconds since the arm on the
// monotonic clock), never from a wall clock or a boot's start, so it is the same whichever boot
// reads it first, and once settled it is kept as it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/host.h"

namespace wdt {

// A drill's result, by the word its text begins with.
enum class DrillResult : uint8_t { under_way, passed, failed, cancelled, not_done, unknown };
const char* word_of(DrillResult result);

inline constexpr int kDrillsKept = 10;

// Every member is zero by default, so that the lists lie in zero-filled memory, which a process
// takes only where it writes; add_drill() starts a new drill with -1 where the comments say so.
inline constexpr int32_t kNoMark = -1;
struct Drill {
    int64_t armed_s = 0;        // when it armed, on the wall clock (only to say when)
    int64_t armed_ms = 0;       // the same on the monotonic clock, which every process of its boot shares
    char boot[64] = "";         // the boot it ran in
    int64_t pid = 0;            // its process, and that process's start
    int64_t process_start = 0;
    int32_t asked = 0;          // the timeout asked for, and the one the driver set (0: not told)
    int32_t set = 0;
    char nowayout[16] = "";     // as the driver says it: yes, no, unknown
    char by[96] = "";           // who ran it
    char host[96] = "";
    char machine[160] = "";
    char driver[160] = "";      // the driver's identity, as the library tells it
    char library[320] = "";     // the library's path
    char sha256[65] = "";       // the library's digest
    int32_t alive = 0;          // the last mark: seconds since the arm; -1 before the first
    int32_t lag = 0;            // how many seconds its marks ran late at most
    DrillResult result = DrillResult::under_way;
    int32_t low = 0;            // a restart's window, in seconds after the arm; -1 without one
    int32_t high = 0;
    char text[400] = "";        // the result as said, beginning with its word
};

struct Drills {
    Drill list[kDrillsKept];
    int count = 0;
};

// What a drill's result says: its text, or "under way" while it has none.
inline const char* result_text(const Drill& drill) {
    return drill.result == DrillResult::under_way ? word_of(drill.result) : drill.text;
}

// A new drill at the end, the oldest dropped beyond ten.
Drill& add_drill(Drills& drills);

// The drills' lines of a record ("Drill: key=value<TAB>..."), into text; and read back from a
// record's text (an older record's single drill too).
void compose_drills(const Drills& drills, char* text, size_t size);
void parse_drills(const char* record, Drills& drills);

// The timeout a drill is judged against: the one the driver set, or else the one asked for.
int32_t judged_timeout(const Drill& drill);
// The verdict for a restart between `low` and `high` seconds after the arm: passed within
// [T - max(1 s, 10 %), T + max(2 s, 10 %)], failed wholly outside it, unknown across its edge.
DrillResult judge_restart(int32_t timeout, int32_t low, int32_t high);

// What a driver's description says of the last reset, from its boot status, for the end of a
// line; empty (or, `when_silent`, that it says nothing) when it says nothing.
enum class ResetSaid { nothing, by_watchdog, otherwise };
ResetSaid describe_reset(const char* description, char* out, size_t size, bool when_silent);

// Settles a drill without a result, as a start or a status reads it: under way while its process
// runs in this boot; otherwise measured from its marks, and joined with what the driver says now of
// the last reset (`description`). Answers whether it settled it.
bool settle_drill(Drill& drill, const Host& host, const char* description);

// "<when> UTC, T<t>: <result>", as a status and a start's line say a drill.
void say_drill(const Drill& drill, char* out, size_t size);
// The same, with what its report named: who ran it, on which machine, with which driver.
void report_drill(const Drill& drill, char* out, size_t size);

}  // namespace wdt
