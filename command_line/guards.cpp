#include "command_line/guards.h"

#include <cstdio>
#include <cstring>

#include "command_line/text.h"

namespace wdt {
namespace {

constexpr const char* kOptions[] = {"--heartbeat=", "--check=", "--grace=", "--repair="};

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
        show(option, guard.shown, sizeof guard.shown);
    }
}

// Whether the whole grace has passed since `since`: a slot that comes late can only put the end of
// a grace off, never bring it forward.
bool runs_out(const Guards& guards, const Host& host, int64_t since) { return host.now_ms() - since >= guards.grace_ms; }

// A process is ended once it is done, too: whatever it left running in its group goes with it.
void end(const Host& host, int64_t& process) {
    if (process != 0) host.end_process(process);
    process = 0;
}

// Whole seconds, rounded.
long seconds(int64_t ms) { return static_cast<long>((ms + 500) / 1000); }

// What the heartbeat's look-ups have answered since the last slot: good news when the file is
// there with another modification time than the last one read. A look-up that failed, or has not
// answered, is no news, said once until news comes. `observed_ms` becomes the time up to which the
// look-ups tell anything: when the one that answered last began to read (it was asked for at the
// slot before), or now while one does not answer; news counts from when it was read.
bool heartbeat_news(Guard& guard, const Host& host, unsigned n, int slot, int64_t& observed_ms) {
    Lookup lookup;
    host.look_up_file(slot, guard.target, lookup);
    const int number = static_cast<int>(n);
    if (lookup.answers == guard.answers) {
        // The look-up asked for at the last slot (or at the start) has not answered yet.
        if (lookup.waiting_since_ms >= 0 && !guard.unanswered_said) {
            say(host, "WDT%d: %s: the file system has not answered for %ld seconds: no news from it meanwhile.\r\n",
                number, guard.shown, seconds(host.now_ms() - lookup.waiting_since_ms));
            guard.unanswered_said = true;
        }
        return false;
    }
    guard.answers = lookup.answers;
    observed_ms = lookup.read_ms;
    if (lookup.kind == FileKind::unreadable) {
        if (!guard.unreadable_said) say(host, "WDT%d: %s cannot be read: %s: no news from it until it can.\r\n", number, guard.shown, lookup.reason);
        guard.unreadable_said = true;
        return false;
    }
    const bool exists = lookup.kind == FileKind::found;
    if (!guard.read && !exists) say(host, "WDT%d: %s does not exist: no news from it until it does.\r\n", number, guard.shown);
    const bool news = guard.read && exists && (!guard.existed || !(lookup.time == guard.time));
    guard.read = true;
    guard.existed = exists;
    guard.time = lookup.time;
    if (news) guard.unreadable_said = guard.unanswered_said = false;
    return news;
}

// What the check brought: good news when it ended with status 0. One that runs for the grace is
// ended, and brings none; one whose command was not found is said, once.
bool check_news(const Guards& guards, Guard& guard, const Host& host, unsigned n) {
    if (guard.process == 0) return false;
    const ProcessState state = host.poll_process(guard.process);
    if (state == ProcessState::running && !runs_out(guards, host, guard.started_ms)) return false;
    end(host, guard.process);
    if (state == ProcessState::not_found && !guard.not_found_said) {
        say(host, "WDT%d: %s: the command was not found or cannot be run: no news from it.\r\n", static_cast<int>(n), guard.shown);
    }
    guard.not_found_said = state == ProcessState::not_found;
    return state == ProcessState::succeeded;
}

void start_repair(Guards& guards, const Host& host) {
    guards.repair_due = false;
    if (guards.repair_process != 0) return;  // one already under way serves this guard too
    guards.repair_process = host.start_process(guards.repair);
    guards.repair_started_ms = host.now_ms();
    if (guards.repair_process == 0) say(host, "%s could not be started.\r\n", guards.repair_shown);
}

}  // namespace

bool is_guard_option(const char* argument) {
    for (const char* option : kOptions) {
        if (value_of(argument, option) != nullptr) return true;
    }
    return false;
}

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
            show(argument, guards.repair_shown, sizeof guards.repair_shown);
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

void start_guards(Guards& guards, const Host& host, int32_t timer_seconds, int32_t period_seconds, int64_t announced_ms) {
    guards.grace_ms = int64_t{guards.grace_seconds != 0 ? guards.grace_seconds : timer_seconds} * 1000;
    guards.period_ms = int64_t{period_seconds} * 1000;
    restart_guards(guards, host);
    for (int i = 0; i < guards.count; ++i) guards.list[i].news_ms = guards.list[i].grace_from_ms = announced_ms;
    for (int i = 0; i < guards.count; ++i) {
        Lookup first;  // asks for the first look-up, whose answer is the time the next ones compare with
        if (!guards.list[i].is_check) host.look_up_file(i, guards.list[i].target, first);
    }
    run_checks(guards, host);
}

void restart_guards(Guards& guards, const Host& host) {
    for (int i = 0; i < guards.count; ++i) {
        Guard& guard = guards.list[i];
        guard.news_ms = host.now_ms();
        guard.grace_from_ms = guard.news_ms;
        guard.repaired = false;
        guard.silent = false;
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
        int64_t observed_ms = now;
        if (guard.is_check ? check_news(guards, guard, host, n) : heartbeat_news(guard, host, n, i, observed_ms)) {
            guard.news_ms = observed_ms > guard.news_ms ? observed_ms : guard.news_ms;
            guard.grace_from_ms = guard.news_ms;
            guard.repaired = false;
            if (guard.silent) say(host, "WDT%d: news from %s again: refreshes go on.\r\n", static_cast<int>(n), guard.shown);
            guard.silent = false;
        }
        // Out of grace once the whole grace has passed, up to what is known, since the news was seen.
        if (observed_ms - guard.grace_from_ms < guards.grace_ms) continue;
        if (guards.repair != nullptr && !guard.repaired) {
            guard.repaired = true;
            guard.grace_from_ms = now;
            guards.repair_due = true;
            say(host, "WDT%d: no news from %s for %ld seconds: running %s\r\n", static_cast<int>(n), guard.shown,
                seconds(now - guard.news_ms), guards.repair_shown);
            continue;
        }
        allow = false;
        if (!guard.silent) {
            say(host, "WDT%d: no news from %s for %ld seconds: refreshes stop, and the watchdog resets the machine in "
                "about %ld seconds!\r\n", static_cast<int>(n), guard.shown, seconds(now - guard.news_ms),
                static_cast<long>(timer_seconds));
        }
        guard.silent = true;
    }
    host.flush();
    return allow;
}

void run_checks(Guards& guards, const Host& host) {
    if (guards.count == 0) return;
    if (guards.repair_due) start_repair(guards, host);
    for (int i = 0; i < guards.count; ++i) {
        Guard& guard = guards.list[i];
        if (!guard.is_check || guard.process != 0) continue;
        guard.process = host.start_process(guard.target);
        guard.started_ms = host.now_ms();
        if (guard.process == 0 && !guard.unstartable) say(host, "%s could not be started.\r\n", guard.shown);
        guard.unstartable = guard.process == 0;
    }
    host.end_strays(false);
    host.flush();
}

const Guard* silent_guard(const Guards& guards) {
    for (int i = 0; i < guards.count; ++i) {
        if (guards.list[i].silent) return &guards.list[i];
    }
    return nullptr;
}

void end_guards(Guards& guards, const Host& host) {
    if (guards.count == 0) return;
    for (int i = 0; i < guards.count; ++i) end(host, guards.list[i].process);
    end(host, guards.repair_process);
    host.end_strays(true);
}

}  // namespace wdt
