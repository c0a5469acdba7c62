#include "command_line/keep_alive.h"

#include "command_line/text.h"

namespace wdt {

namespace {

// While the machine sleeps or hibernates no refresh can come, and a watchdog armed by this run
// would reset it, or count on a firmware that left it off: it is disarmed first, and armed again
// with the same timeout when the machine wakes. Answers how the wait for the wake ended.
Wake sleep_through(ScanState& state, const WatchdogDriver& driver, const Host& host) {
    const unsigned n = state.selected_watchdog;
    const bool armed = state.armed;
    Refusal unused;
    if (armed) disable_and_say(driver, host, n, unused);
    Wake wake = Wake::suspending;
    while (wake == Wake::suspending || wake == Wake::due) wake = host.clock.sleep_until_ms(host.clock.now_ms() + 3600 * 1000);
    if (wake != Wake::resumed || !armed) return wake;
    if (arm(driver, n, state.timer_seconds) == Outcome::not_done) {
        say_not_set(host, unused, n);
    } else {
        say_armed(host, state.timer_seconds);
    }
    host.output.flush();
    return wake;
}

// Answers whether the refresh was done.
bool refresh_and_say(const WatchdogDriver& driver, const Host& host, const ScanState& state, bool& failing) {
    const unsigned n = state.selected_watchdog;
    const bool refreshed = refresh(driver, n) != Outcome::not_done;
    if (refreshed != failing) return refreshed;
    failing = !refreshed;
    if (failing) {
        say(host, Severity::error, "WDT%d could not be reset! Trying again every %ld %s.\r\n", static_cast<int>(n),
            static_cast<long>(state.refresh_period_seconds), seconds_word(state.refresh_period_seconds));
    } else {
        say(host, Severity::info, "WDT%d is reset again.\r\n", static_cast<int>(n));
    }
    host.output.flush();
    return refreshed;
}

// Keeps in the record whether guards hold the refreshes back, which guard and since when.
void note_guards(Record& record, const Host& host, const Guards& guards) {
    const Guard* silent = silent_guard(guards);
    if (silent == nullptr) {
        write_record(record, host, KeepAlive::running);
        return;
    }
    const int64_t silent_for_s = (host.clock.now_ms() - silent->news_ms) / 1000;
    write_record(record, host, KeepAlive::silent, silent->shown, host.clock.wall_clock_s() - silent_for_s);
}

// The slot after `due`; when the process was held up past it, one period from now.
int64_t next_due(const Host& host, int64_t due, int64_t period_ms) {
    const int64_t now = host.clock.now_ms();
    due += period_ms;
    return now >= due ? now + period_ms : due;
}

}  // namespace

bool loop_holds(const ScanState& state, const Host& host, Refusal& refusal) {
    if (state.timer_seconds <= state.refresh_period_seconds) {
        refuse(host, refusal, Severity::refusal, "Time Parameter error: time for loop reset must be smaller then timer time!\r\n");
        return false;
    }
    // A period below one second would refresh without pause, or hand the wait a negative time.
    if (state.refresh_period_seconds < 1) {
        refuse(host, refusal, Severity::refusal, "Loop Time Parameter error!\r\n");
        return false;
    }
    return true;
}

int keep_alive(ScanState& state, const WatchdogDriver& driver, const Host& host, const GuardOptions& options,
               Record& record, Metrics& metrics) {
    say(host, Severity::info, "Entering endless loop: Timer for reboot %ld seconds. Refresh each %ld seconds.\r\n",
        static_cast<long>(state.timer_seconds), static_cast<long>(state.refresh_period_seconds));
    // The loop never ends normally, so whatever is still buffered would otherwise never be seen
    // when standard output is a file or a pipe.
    host.output.flush();
    state.loop_entered = true;
    // Refresh k is due k periods after the announcement, so the time the driver call takes does
    // not add up. When the process was held up past a due time, it refreshes once at once and the
    // schedule starts again from that refresh: never a burst of catch-up refreshes.
    const int64_t period_ms = int64_t{state.refresh_period_seconds} * 1000;
    const int64_t announced_ms = host.clock.now_ms();
    int64_t due = announced_ms + period_ms;
    const unsigned n = state.selected_watchdog;
    // The guards' first look-ups and checks, and the record's first write, start the threads and
    // processes they need before memory is locked: a thread's stack that the lock's limit leaves
    // no room for could not be made afterwards.
    Guards guards;
    start_guards(guards, options, host, n, state.timer_seconds, state.refresh_period_seconds, announced_ms);
    write_record(record, host, KeepAlive::running);
    metrics.started_s = metrics.last_refresh_s = host.clock.wall_clock_s();  // the arm counts as the first refresh
    keep_metrics(metrics, host, state, guards, true);
    host.process.hold_memory();
    // Once, before a first slot that comes later than that: a glance at what the guards' first
    // look-ups and checks brought.
    int64_t glance = guards.count > 0 && announced_ms + kGlanceAfterMs < due ? announced_ms + kGlanceAfterMs : -1;
    bool failing = false, shutting_down = false;
    bool& held_back = metrics.held_back;  // whether guards hold the refreshes back, as the metrics say too
    held_back = false;
    for (;;) {
        const bool glancing = glance >= 0;
        Wake wake = host.clock.sleep_until_ms(glancing ? glance : due);
        glance = -1;
        if (wake == Wake::suspending) wake = sleep_through(state, driver, host);
        if (wake == Wake::shutting_down) {
            // Sessions have logged off, and updates may be installed for many minutes: an
            // application's silence is no fault now, and a reset would break the servicing. The
            // refreshes go on until the stop, which disarms.
            if (!shutting_down && guards.count > 0) {
                say(host, Severity::info, "WDT%u: the machine is shutting down: the guards no longer hold the refreshes back.\r\n", n);
            }
            shutting_down = true;
            if (held_back) write_record(record, host, KeepAlive::running);
            held_back = false;
            keep_metrics(metrics, host, state, guards, true);
            continue;
        }
        if (wake == Wake::resumed) {
            restart_guards(guards, host);
            if (held_back) {
                held_back = false;
                note_guards(record, host, guards);
            }
            keep_metrics(metrics, host, state, guards, true);
            due = host.clock.now_ms() + period_ms;
            continue;
        }
        if (wake == Wake::stop_requested) {
            // A deliberate stop: the watchdog must not reset the machine once the tool is gone.
            state.armed = false;
            Refusal unused;
            const bool disabled = disable_and_say(driver, host, n, unused);
            end_guards(guards, host);
            if (disabled) write_record(record, host, KeepAlive::stopped);
            metrics.running = false;
            keep_metrics(metrics, host, state, guards, true);
            host.records.written(5000);  // the device is released: a disk that stalls holds up nothing else
            // All that a next start needs is let go here, on the loop's thread: the disable closed
            // the device, the record is written, and the record's lock goes now. The process then
            // ends without waiting for a look-up that a file system holds: that thread keeps the
            // process from ending, but nothing a next start needs.
            host.records.unlock(n);
            return disabled ? 0 : 1;
        }
        if (glancing) {
            glance_at_guards(guards, host, n);
            continue;
        }
        // A refresh that fails never ends the loop: the next one may work (a driver that was busy).
        // Each change between working and failing is said once, not every period.
        const bool allowed = shutting_down || guards_allow_refresh(guards, host, n, state.timer_seconds);
        if (allowed && refresh_and_say(driver, host, state, failing)) {
            ++metrics.refreshes;
            metrics.last_refresh_s = host.clock.wall_clock_s();
        }
        if (!shutting_down) run_checks(guards, host, n);
        const bool changed = allowed == held_back;
        if (changed) {
            held_back = !allowed;
            note_guards(record, host, guards);
        }
        keep_metrics(metrics, host, state, guards, changed);
        note_unwritten(record, host);
        due = next_due(host, due, period_ms);
    }
}

}  // namespace wdt
