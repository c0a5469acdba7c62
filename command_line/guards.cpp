#include "command_line/guards.h"

#include <cstdio>
#include <cstring>

#include "command_line/text.h"

namespace wdt {
namespace {

// Whether the whole grace has passed since `since`: a slot that comes late can only put the end of
// a grace off, never bring it forward.
bool runs_out(const Guards& guards, const Host& host, int64_t since) { return host.clock.now_ms() - since >= guards.grace_ms; }

// A process is ended once it is done, too: whatever it left running in its group goes with it.
void end(const Host& host, int64_t& process) {
    if (process != 0) host.children.end(process);
    process = 0;
}

// Whole seconds, rounded.
long seconds(int64_t ms) { return static_cast<long>((ms + 500) / 1000); }

// What the heartbeat's look-ups have answered since the last slot: good news when the file is
// there with another modification time than the last one read, whatever came between (a look-up
// that failed, or found no file). The first time read is the one the next ones are compared with.
// A look-up that failed, a missing file, and one that has not answered (at a slot, not at the
// glance after the start) are no news, each said once until news comes. `observed_ms` becomes the
// time up to which the look-ups tell anything: when the one that answered last began to read (it
// was asked for at the slot before), or now while one does not answer; news counts from when it
// was read.
bool heartbeat_news(Guard& guard, const Host& host, unsigned n, int slot, bool glance, int64_t& observed_ms) {
    Lookup lookup;
    host.files.look_up(slot, guard.target, lookup);
    const int number = static_cast<int>(n);
    if (lookup.answers == guard.answers) {
        // The look-up asked for at the last slot (or at the start) has not answered yet.
        if (lookup.waiting_since_ms >= 0 && !guard.unanswered_said && !glance) {
            const long waited = seconds(host.clock.now_ms() - lookup.waiting_since_ms);
            say(host, Severity::warning, "WDT%d: %s: the file system has not answered for %ld %s: no news from it meanwhile.\r\n",
                number, guard.shown, waited, seconds_word(waited));
            guard.unanswered_said = true;
        }
        return false;
    }
    guard.answers = lookup.answers;
    observed_ms = lookup.read_ms;
    if (lookup.kind == FileKind::unreadable) {
        if (!guard.unreadable_said) say(host, Severity::warning, "WDT%d: %s cannot be read: %s: no news from it until it can.\r\n", number, guard.shown, lookup.reason);
        guard.unreadable_said = true;
        return false;
    }
    if (lookup.kind != FileKind::found) {
        if (!guard.missing_said) say(host, Severity::warning, "WDT%d: %s does not exist: no news from it until it does.\r\n", number, guard.shown);
        guard.missing_said = true;
        return false;
    }
    const bool news = guard.has_time && !(lookup.time == guard.time);
    guard.has_time = true;
    guard.time = lookup.time;
    if (news) guard.missing_said = guard.unreadable_said = guard.unanswered_said = false;
    return news;
}

// What the check brought: good news when it ended with status 0. One that runs for the grace is
// ended, and brings none; one whose command was not found is said, once.
bool check_news(const Guards& guards, Guard& guard, const Host& host, unsigned n) {
    if (guard.process == 0) return false;
    const ProcessState state = host.children.poll(guard.process);
    if (state == ProcessState::running && !runs_out(guards, host, guard.started_ms)) return false;
    end(host, guard.process);
    if (state == ProcessState::not_found && !guard.not_found_said) {
        say(host, Severity::warning, "WDT%d: %s: the command was not found or cannot be run: no news from it.\r\n", static_cast<int>(n), guard.shown);
    }
    guard.not_found_said = state == ProcessState::not_found;
    return state == ProcessState::succeeded;
}

// Takes in what the guard's look-ups or its check brought; answers the time up to which they tell
// anything (now, or when the last look-up that answered read the file).
int64_t take_in_news(const Guards& guards, Guard& guard, const Host& host, unsigned n, int slot, bool glance) {
    int64_t observed_ms = host.clock.now_ms();
    if (guard.is_check ? check_news(guards, guard, host, n) : heartbeat_news(guard, host, n, slot, glance, observed_ms)) {
        guard.news_ms = observed_ms > guard.news_ms ? observed_ms : guard.news_ms;
        guard.grace_from_ms = guard.news_ms;
        guard.repaired = false;
        if (guard.silent) say(host, Severity::info, "WDT%d: news from %s again: refreshes go on.\r\n", static_cast<int>(n), guard.shown);
        guard.silent = false;
    }
    return observed_ms;
}

void start_repair(Guards& guards, const Host& host) {
    guards.repair_due = false;
    if (guards.repair_process != 0) return;  // one already under way serves this guard too
    guards.repair_process = host.children.start(guards.repair, ChildRole::repair);
    guards.repair_started_ms = host.clock.now_ms();
    if (guards.repair_process == 0) say(host, Severity::error, "%s could not be started.\r\n", guards.repair_shown);
}

}  // namespace

void start_guards(Guards& guards, const GuardOptions& options, const Host& host, unsigned n, int32_t timer_seconds,
                  int32_t period_seconds, int64_t announced_ms) {
    guards.count = options.count;
    for (int i = 0; i < options.count; ++i) {
        guards.list[i].is_check = options.list[i].is_check;
        guards.list[i].target = options.list[i].target;
        guards.list[i].shown = options.list[i].shown;
    }
    guards.repair = options.repair;
    guards.repair_shown = options.repair_shown;
    guards.grace_ms = int64_t{options.grace_seconds != 0 ? options.grace_seconds : timer_seconds} * 1000;
    guards.period_ms = int64_t{period_seconds} * 1000;
    restart_guards(guards, host);
    for (int i = 0; i < guards.count; ++i) guards.list[i].news_ms = guards.list[i].grace_from_ms = announced_ms;
    for (int i = 0; i < guards.count; ++i) {
        Lookup first;  // asks for the first look-up, whose answer is the time the next ones compare with
        if (!guards.list[i].is_check) host.files.look_up(i, guards.list[i].target, first);
    }
    run_checks(guards, host, n);
}

void restart_guards(Guards& guards, const Host& host) {
    for (int i = 0; i < guards.count; ++i) {
        Guard& guard = guards.list[i];
        guard.news_ms = host.clock.now_ms();
        guard.grace_from_ms = guard.news_ms;
        guard.repaired = false;
        guard.silent = false;
    }
}

bool guards_allow_refresh(Guards& guards, const Host& host, unsigned n, int32_t timer_seconds) {
    if (guards.count == 0) return true;
    if (guards.repair_process != 0 && (host.children.poll(guards.repair_process) != ProcessState::running ||
                                       runs_out(guards, host, guards.repair_started_ms))) {
        end(host, guards.repair_process);
    }
    bool allow = true;
    for (int i = 0; i < guards.count; ++i) {
        Guard& guard = guards.list[i];
        const int64_t now = host.clock.now_ms();
        const int64_t observed_ms = take_in_news(guards, guard, host, n, i, false);
        // Out of grace once the whole grace has passed, up to what is known, since the news was seen.
        if (observed_ms - guard.grace_from_ms < guards.grace_ms) continue;
        if (guards.repair != nullptr && !guard.repaired) {
            guard.repaired = true;
            guard.grace_from_ms = now;
            guards.repair_due = true;
            const long silent = seconds(now - guard.news_ms);
            say(host, Severity::warning, "WDT%d: no news from %s for %ld %s: running %s\r\n", static_cast<int>(n), guard.shown,
                silent, seconds_word(silent), guards.repair_shown);
            continue;
        }
        allow = false;
        if (!guard.silent) {
            const long silent = seconds(now - guard.news_ms);
            say(host, Severity::error, "WDT%d: no news from %s for %ld %s: refreshes stop, and the watchdog resets the machine in "
                "about %ld %s!\r\n", static_cast<int>(n), guard.shown, silent, seconds_word(silent),
                static_cast<long>(timer_seconds), seconds_word(timer_seconds));
        }
        guard.silent = true;
    }
    host.output.flush();
    return allow;
}

void glance_at_guards(Guards& guards, const Host& host, unsigned n) {
    for (int i = 0; i < guards.count; ++i) take_in_news(guards, guards.list[i], host, n, i, true);
    host.output.flush();
}

void run_checks(Guards& guards, const Host& host, unsigned n) {
    if (guards.count == 0) return;
    if (guards.repair_due) start_repair(guards, host);
    for (int i = 0; i < guards.count; ++i) {
        Guard& guard = guards.list[i];
        if (!guard.is_check || guard.process != 0) continue;
        guard.process = host.children.start(guard.target, ChildRole::check);
        guard.started_ms = host.clock.now_ms();
        if (guard.process == 0 && !guard.unstartable) say(host, Severity::error, "%s could not be started.\r\n", guard.shown);
        guard.unstartable = guard.process == 0;
    }
    if (!host.children.end_strays(false) && !guards.children_unlisted_said) {
        say(host, Severity::warning, "WDT%u: the kernel lists no process's children here (no /proc/PID/task/TID/children): what "
            "checks leave behind is looked for among all processes.\r\n", n);
        guards.children_unlisted_said = true;
    }
    host.output.flush();
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
    host.children.end_strays(true);  // that the list is missing was said, if it mattered, at a slot
}

}  // namespace wdt
