// Guards of the application: heartbeat files and check commands that must bring good news within a
// grace for the keep-alive loop to go on refreshing, and a repair command run once before it stops.
#pragma once

#include <cstdint>

#include "platform/host.h"

namespace wdt {

inline constexpr int kMaxGuards = 16;

struct Guard {
    bool is_check = false;      // a check command; otherwise a heartbeat file
    const char* target = nullptr;  // the file's path, or the command
    const char* option = nullptr;  // the argument that named it, to name it in messages
    int64_t news_ms = 0;        // when the last good news came
    int64_t grace_from_ms = 0;  // when its grace began: the last news, or the repair
    int64_t stamp = kNoFile;    // a heartbeat's modification time as last seen
    int64_t process = 0;        // a check under way, 0 when none
    int64_t started_ms = 0;     // when it started
    bool repaired = false;      // the repair ran in this silence
    bool silent = false;        // out of grace, and said
    bool unstartable = false;   // the check's last start failed, and that was said
};

struct Guards {
    Guard list[kMaxGuards];
    int count = 0;
    int32_t grace_seconds = 0;  // 0: the loop's timeout
    int64_t grace_ms = 0;       // as it applies, from the loop's start
    int64_t slack_ms = 0;       // half a period: what a slot may be late by
    const char* repair = nullptr;
    int64_t repair_process = 0;
    int64_t repair_started_ms = 0;
    int options = 0;               // how many arguments were guard options
    const char* problem = nullptr; // why the options are refused; nullptr when they are not
};

// Reads the guard options (--heartbeat=, --check=, --grace=, --repair=) among the arguments; every
// other argument is left to the command passes, which never take one that starts with '-'.
void read_guard_options(int argc, const char* const* argv, Guards& guards);

// Starts every guard's clock, and the first checks, at the loop's announcement.
void start_guards(Guards& guards, const Host& host, int32_t timer_seconds, int32_t period_seconds);
// The loop's one question, once per slot: may it refresh watchdog n now? Looks at the files and
// the checks, runs the repair when a guard runs out of grace, and says when refreshes stop and
// when they go on again. Never waits for a process.
bool guards_allow_refresh(Guards& guards, const Host& host, unsigned n, int32_t timer_seconds);
// After the slot's refresh: starts the checks that are not still running.
void run_checks(Guards& guards, const Host& host);
// After a sleep of the machine, the application had no chance to bring news: every clock starts again.
void restart_guards(Guards& guards, const Host& host);
// The first guard that is out of grace, or nullptr.
const Guard* silent_guard(const Guards& guards);
// Ends every check and repair still running, and all they started.
void end_guards(Guards& guards, const Host& host);

}  // namespace wdt
