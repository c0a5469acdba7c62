#include "command_line/guards.h"

#include <cstring>

namespace wdt {
namespace {

// The value after "--name=" when the argument is that option; nullptr otherwise.
const char* value_of(const char* argument, const char* option) {
    const size_t length = std::strlen(option);
    return std::strncmp(argument, option, length) == 0 ? argument + length : nullptr;
}

// A whole number of seconds, digits only, from 1 to 999999999; 0 when it is not one.
int32_t seconds_of(const char* text) {
    int32_t value = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9' && digits < 9; ++text, ++digits) value = value * 10 + (*text - '0');
    return (*text == '\0' && digits > 0) ? value : 0;  // a tenth digit is not the end
}

constexpr const char* kNoValue =
    "Guard Parameter error: --heartbeat=PATH, --check=COMMAND and --repair=COMMAND need a value!\r\n";

void add_guard(Guards& guards, bool is_check, const char* target, const char* option) {
    if (*target == '\0') {
        guards.problem = kNoValue;
    } else if (guards.count == kMaxGuards) {
        guards.problem = "Guard Parameter error: at most 16 guards!\r\n";
    } else {
        Guard& guard = guards.list[guards.count++];
        guard.is_check = is_check;
        guard.target = target;
        guard.option = option;
    }
}

// Whether the grace has run out since `since`. Slots come a whole number of periods apart, and a
// few milliseconds late: a grace that is a whole number of periods runs out exactly at a slot,
// and half a period of slack makes that slot count every time, never the next one by chance.
bool runs_out(const Guards& guards, const Host& host, int64_t since) {
    return host.now_ms() - since > guards.grace_ms - guards.slack_ms;
}

// A process is ended once it is done, too: whatever it left running in its group goes with it.
void end(const Host& host, int64_t& process) {
    if (process != 0) host.end_process(process);
    process = 0;
}

// Looks at a guard's file or check; answers whether it brought good news since the last slot.
bool has_news(Guards& guards, Guard& guard, const Host& host) {
    if (!guard.is_check) {
        const int64_t stamp = host.file_stamp(guard.target);
        const bool changed = stamp != kNoFile && stamp != guard.stamp;
        guard.stamp = stamp;
        return changed;
    }
    if (guard.process == 0) return false;
    const ProcessState state = host.poll_process(guard.process);
    if (state == ProcessState::running && !runs_out(guards, host, guard.started_ms)) return false;
    end(host, guard.process);
    return state == ProcessState::succeeded;
}

// Whole seconds, rounded: a slot may come a millisecond early as well as late.
long seconds(int64_t ms) { return static_cast<long>((ms + 500) / 1000); }

void start_repair(Guards& guards, const Host& host, unsigned n, const Guard& guard) {
    say(host, "WDT%d: no news from %s for %ld seconds: running --repair=%s\r\n", static_cast<int>(n), guard.option,
        seconds(host.now_ms() - guard.news_ms), guards.repair);
    if (guards.repair_process != 0) return;  // one already under way serves this guard too
    guards.repair_process = host.start_process(guards.repair);
    guards.repair_started_ms = host.now_ms();
    if (guards.repair_process == 0) say(host, "--repair=%s could not be started.\r\n", guards.repair);  // flushed with the slot's
}

}  // namespace

void read_guard_options(int argc, const char* const* argv, Guards& guards) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const char* value = nullptr;
        if ((value = value_of(argument, "--heartbeat=")) != nullptr) {
            add_guard(guards, false, value, argument);
        } else if ((value = value_of(argument, "--check=")) != nullptr) {
            add_guard(guards, true, value, argument);
        } else if ((value = value_of(argument, "--grace=")) != nullptr) {
            guards.grace_seconds = seconds_of(value);
            if (guards.grace_seconds == 0) {
                guards.problem = "Guard Parameter error: --grace=SECONDS takes a whole number of seconds, at least 1!\r\n";
            }
        } else if ((value = value_of(argument, "--repair=")) != nullptr) {
            guards.repair = value;
            if (*value == '\0') guards.problem = kNoValue;
        } else {
            continue;
        }
        ++guards.options;
    }
    if (guards.problem == nullptr && guards.options > 0 && guards.count == 0) {
        guards.problem = "Guard Parameter error: --grace and --repair need a guard (--heartbeat= or --check=)!\r\n";
    }
}

void start_guards(Guards& guards, const Host& host, int32_t timer_seconds, int32_t period_seconds) {
    guards.grace_ms = int64_t{guards.grace_seconds != 0 ? guards.grace_seconds : timer_seconds} * 1000;
    guards.slack_ms = int64_t{period_seconds} * 500;
    restart_guards(guards, host);
    for (int i = 0; i < guards.count; ++i) {
        Guard& guard = guards.list[i];
        if (!guard.is_check) guard.stamp = host.file_stamp(guard.target);
    }
    run_checks(guards, host);
}

void restart_guards(Guards& guards, const Host& host) {
    for (int i = 0; i < guards.count; ++i) {
        Guard& guard = guards.list[i];
        guard.news_ms = host.now_ms();
        guard.grace_from_ms = guard.news_ms;
        guard.repaired = false;
    }
}

bool guards_allow_refresh(Guards& guards, const Host& host, unsigned n, int32_t timer_seconds) {
    if (guards.count == 0) return true;
    if (guards.repair_process != 0 && (host.poll_process(guards.repair_process) != ProcessState::running ||
                                       runs_out(guards, host, guards.repair_started_ms))) {
        end(host, guards.repair_process);
    }
    bool allow = true;
    for (int i = 0; i < guards.count; ++i) {
        Guard& guard = guards.list[i];
        const int64_t now = host.now_ms();
        if (has_news(guards, guard, host)) {
            guard.news_ms = now;
            guard.grace_from_ms = now;
            guard.repaired = false;
            if (guard.silent) say(host, "WDT%d: news from %s again: refreshes go on.\r\n", static_cast<int>(n), guard.option);
            guard.silent = false;
        }
        if (!runs_out(guards, host, guard.grace_from_ms)) continue;
        if (guards.repair != nullptr && !guard.repaired) {
            guard.repaired = true;
            guard.grace_from_ms = now;
            start_repair(guards, host, n, guard);
            continue;
        }
        allow = false;
        if (!guard.silent) {
            say(host, "WDT%d: no news from %s for %ld seconds: refreshes stop, and the watchdog resets the machine in "
                "about %ld seconds!\r\n", static_cast<int>(n), guard.option, seconds(now - guard.news_ms),
                static_cast<long>(timer_seconds));
        }
        guard.silent = true;
    }
    host.flush();
    return allow;
}

void run_checks(Guards& guards, const Host& host) {
    for (int i = 0; i < guards.count; ++i) {
        Guard& guard = guards.list[i];
        if (!guard.is_check || guard.process != 0) continue;
        guard.process = host.start_process(guard.target);
        guard.started_ms = host.now_ms();
        if (guard.process == 0 && !guard.unstartable) {
            say(host, "%s could not be started.\r\n", guard.option);
            host.flush();
        }
        guard.unstartable = guard.process == 0;
    }
}

const Guard* silent_guard(const Guards& guards) {
    for (int i = 0; i < guards.count; ++i) {
        if (guards.list[i].silent) return &guards.list[i];
    }
    return nullptr;
}

void end_guards(Guards& guards, const Host& host) {
    for (int i = 0; i < guards.count; ++i) end(host, guards.list[i].process);
    end(host, guards.repair_process);
}

}  // namespace wdt
