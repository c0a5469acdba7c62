// Guards of the application: heartbeat files and check commands that must bring good news within a
// grace for the keep-alive loop to go on refreshing, and a repair command run once before it stops.
#pragma once

#include <cstdint>

#include "command_line/reading.h"
#include "platform/host.h"

namespace wdt {

// What the loop knows of one guard.
struct Guard {
    bool is_check = false;         // a check command; otherwise a heartbeat file
    const char* target = nullptr;  // the file's path, or the command
    const char* shown = "";        // the option as messages show it
    int64_t news_ms = 0;           // when the last good news was seen
    int64_t grace_from_ms = 0;     // when its grace began: the last news, or the repair
    bool repaired = false;         // the repair ran in this silence
    bool silent = false;           // out of grace, and said
    // A heartbeat: what its look-ups have read.
    uint32_t answers = 0;          // how many answers have been taken in
    bool has_time = false;         // one has read the file's time
    FileTime time;                 // the last time read
    bool missing_said = false, unreadable_said = false, unanswered_said = false;
    // A check.
    int64_t process = 0;           // under way, 0 when none
    int64_t started_ms = 0;
    bool unstartable = false;      // the last start failed, and that was said
    bool not_found_said = false;
};

struct Guards {
    Guard list[kMaxGuards];
    int count = 0;
    int64_t grace_ms = 0;          // as it applies, from the loop's start
    int64_t period_ms = 0;
    const char* repair = nullptr;
    const char* repair_shown = "";
    int64_t repair_process = 0;
    int64_t repair_started_ms = 0;
    bool repair_due = false;       // to start after the slot's refresh
    bool children_unlisted_said = false;
};

// Takes the guards that the command line gives, starts every guard's clock at the loop's
// announcement (the time its schedule counts from), and the first look-ups and checks.
void start_guards(Guards& guards, const GuardOptions& options, const Host& host, unsigned n, int32_t timer_seconds,
                  int32_t period_seconds, int64_t announced_ms);
// How long after the start the loop glances at what the first look-ups and checks have brought,
// when its first slot comes later: a missing file, a file that cannot be read, and a check whose
// command is not found are said within the first second, not a period late.
inline constexpr int64_t kGlanceAfterMs = 500;
// Takes in what the look-ups and checks have brought so far, and says what is to be said at once;
// decides nothing of the refreshes.
void glance_at_guards(Guards& guards, const Host& host, unsigned n);
// The loop's one question, once per slot: may it refresh watchdog n now? Looks at what the files'
// look-ups and the checks have brought, and says when refreshes stop and when they go on again. A
// guard runs out of grace only once the whole grace has passed since its last news was seen.
// Never waits for a process or a file system.
bool guards_allow_refresh(Guards& guards, const Host& host, unsigned n, int32_t timer_seconds);
// After the slot's refresh: starts the repair when it is due, and the checks that are not still
// running, and ends what checks left behind.
void run_checks(Guards& guards, const Host& host, unsigned n);
// After a sleep of the machine, the application had no chance to bring news: every clock starts
// again, and no guard is silent any more.
void restart_guards(Guards& guards, const Host& host);
// The first guard that is out of grace, or nullptr.
const Guard* silent_guard(const Guards& guards);
// Ends every check and repair still running, and all they started.
void end_guards(Guards& guards, const Host& host);

}  // namespace wdt
