#include "command_line/record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_line/keeper.h"
#include "command_line/text.h"
#include "platform/utc.h"

namespace wdt {
namespace {

constexpr const char* kFirstLine = "wdtctl record 1\n";
constexpr const char* kLastLine = "End\n";
constexpr size_t kRecordSize = 8192;

constexpr const char* kStateWords[] = {"unknown", "running", "silent", "stopped", "refused", "drill"};
constexpr const char* kReasonWords[] = {"none", "unknown", "stop", "guard", "refused", "drill", "ended", "reset"};

template <typename Enum, size_t count>
Enum from_word(const char* word, const char* const (&words)[count]) {
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(word, words[i]) == 0) return static_cast<Enum>(i);
    }
    return static_cast<Enum>(0);
}

int64_t number_field(const char* record, const char* name) {
    char value[32] = "";
    return field(record, name, value, sizeof value) ? std::strtoll(value, nullptr, 10) : 0;
}

// A record counts only whole: its first line first and its last line last, so that one cut off in
// the middle, or anything else in its place, is never taken for a good one.
bool is_whole(const char* text, size_t length) {
    const size_t first = std::strlen(kFirstLine), last = std::strlen(kLastLine);
    return length >= first + last && std::strncmp(text, kFirstLine, first) == 0 &&
           std::strcmp(text + length - last, kLastLine) == 0 && (length == first + last || text[length - last - 1] == '\n');
}

// What a whole record says.
struct Parsed {
    KeepAlive state = KeepAlive::unknown;
    char pid[32] = "", started[64] = "", changed[64] = "", boot[64] = "";
    char guard[600] = "", refused[600] = "", command[600] = "", previous[700] = "";
    int64_t process_start = 0;
    DrillRecord drill;
};

void parse(const char* text, Parsed& record) {
    char state[32] = "";
    field(text, "State", state, sizeof state);
    record.state = from_word<KeepAlive>(state, kStateWords);
    field(text, "Pid", record.pid, sizeof record.pid);
    field(text, "Started", record.started, sizeof record.started);
    field(text, "Changed", record.changed, sizeof record.changed);
    field(text, "Boot", record.boot, sizeof record.boot);
    field(text, "Guard", record.guard, sizeof record.guard);
    field(text, "Refused", record.refused, sizeof record.refused);
    field(text, "Command line", record.command, sizeof record.command);
    field(text, "Previous", record.previous, sizeof record.previous);
    record.process_start = number_field(text, "Process start");
    DrillRecord& drill = record.drill;
    drill.present = field(text, "Drill", drill.armed, sizeof drill.armed);
    drill.armed_s = number_field(text, "Drill armed");
    drill.timeout = static_cast<int32_t>(number_field(text, "Drill timeout"));
    field(text, "Drill boot", drill.boot, sizeof drill.boot);
    field(text, "Drill result", drill.result, sizeof drill.result);
}

// Reads watchdog n's record; answers how it went, with what it says when it is whole.
enum class Found { none, refused, denied, damaged, whole };
Found read(const Host& host, unsigned n, Parsed& record, char* reason, size_t reason_size) {
    static char text[kRecordSize];
    const RecordRead got = host.records.read(n, text, sizeof text, reason, reason_size);
    if (got == RecordRead::none) return Found::none;
    if (got == RecordRead::refused) return Found::refused;
    if (got == RecordRead::denied) {
        put(reason, reason_size, "this process may not read it");
        return Found::denied;
    }
    char state[32];
    if (!is_whole(text, std::strlen(text)) || !field(text, "State", state, sizeof state)) return Found::damaged;
    parse(text, record);
    return Found::whole;
}

// Whether the process that wrote the record still runs.
Runs still_runs(const Host& host, const Parsed& record) {
    return still_runs(host, std::strtoll(record.pid, nullptr, 10), record.process_start, record.boot);
}

// Whether the run that wrote the record was still going when it wrote it.
bool keeps_running(const Parsed& record) {
    return record.state == KeepAlive::running || record.state == KeepAlive::silent || record.state == KeepAlive::drill;
}

// What the driver's description says of the last reset, from its boot status, as the end of a
// reason line; empty when it says nothing. Answers whether it says the watchdog reset the machine.
bool reset_cause(const char* description, char* out, size_t size, bool when_silent) {
    char boot[200] = "";
    const bool said = description != nullptr && field(description, "Boot status", boot, sizeof boot) &&
                      std::strcmp(boot, "unknown") != 0;
    if (!said) {
        put(out, size, "%s", when_silent ? "the driver does not say whether the watchdog reset the machine" : "");
    } else if (std::strstr(boot, "card reset") != nullptr) {
        put(out, size, "the driver reports a reset by the watchdog");
        return true;
    } else if (std::strcmp(boot, "none") == 0) {
        put(out, size, "the driver reports no reset by the watchdog");
    } else {
        put(out, size, "the driver reports a reset for another cause: %s", boot);
    }
    return false;
}

// What the driver says of watchdog n, read only when a reason needs it, and without looking for the
// process that holds the device (which can take long on a machine with many files open).
struct Description {
    const WatchdogDriver& driver;
    const Host& host;
    unsigned n;
    bool read = false;
    char text[4096] = "";
    const char* get() {
        if (!read && describe(driver, host.library, n, false, text, sizeof text) < 0) text[0] = '\0';
        read = true;
        return text;
    }
};

// The outcome of a drill that has none yet: the machine restarted (the drill was of an earlier
// boot), or the drill ended in this boot without one. About how long after the arm the machine
// restarted comes from the wall clock, which cannot be trusted when it says something impossible.
void resolve_drill(DrillRecord& drill, const Host& host, const char* description) {
    if (drill.result[0] != '\0') return;
    const Boot boot = boot_of(host, drill.boot);
    if (boot == Boot::same) {
        put(drill.result, sizeof drill.result, "ended before the watchdog fired (the drill was killed), "
                      "and the machine did not restart");
        return;
    }
    char after[64], cause[300];
    const int64_t seconds = host.clock.booted_at_s() - drill.armed_s;
    if (seconds >= 0 && seconds <= 86400) {
        put(after, sizeof after, "about %lld s", static_cast<long long>(seconds));
    } else {
        put(after, sizeof after, "an unknown time (the clock cannot be trusted)");
    }
    reset_cause(description, cause, sizeof cause, false);
    put(drill.result, sizeof drill.result, "the machine restarted %s after the drill armed the watchdog%s%s",
                  after, cause[0] != '\0' ? "; " : "", cause);
}

void say_drill(const DrillRecord& drill, char* out, size_t size) {
    put(out, size, "%s, T%d: %s", drill.armed, static_cast<int>(drill.timeout), drill.result);
}

// Why the run that wrote this record ended, as the reason line says it.
PreviousRun reason(const Host& host, Description& description, Parsed& previous, char* out, size_t size) {
    const KeepAlive state = previous.state;
    if (state == KeepAlive::stopped) {
        put(out, size, "the previous run ended with a deliberate stop at %s", previous.changed);
        return PreviousRun::stop;
    }
    if (state == KeepAlive::silent && previous.guard[0] != '\0') {
        put(out, size, "the previous run stopped refreshing: %s", previous.guard);
        return PreviousRun::guard;
    }
    if (state == KeepAlive::refused) {
        put(out, size, "the previous start (pid %s, at %s) was refused: %s", previous.pid, previous.changed,
                      previous.refused);
        return PreviousRun::refused;
    }
    if (state == KeepAlive::drill && previous.drill.present) {
        resolve_drill(previous.drill, host, description.get());
        char drill[600];
        say_drill(previous.drill, drill, sizeof drill);
        put(out, size, "the previous run was a drill at %s", drill);
        return PreviousRun::drill;
    }
    if (boot_of(host, previous.boot) == Boot::same) {
        put(out, size, "the previous run (pid %s, started %s) ended without a deliberate stop, in this boot: "
                      "the machine did not restart", previous.pid, previous.started);
        return PreviousRun::ended;
    }
    char cause[300];
    const bool reset = reset_cause(description.get(), cause, sizeof cause, true);
    put(out, size, "the previous run (pid %s, started %s) ended without a deliberate stop; %s",
                  previous.pid, previous.started, cause);
    return reset ? PreviousRun::reset : PreviousRun::ended;
}

// The record's text: every value on a line of its own, whatever it holds.
size_t compose(const Record& record, const Host& host, KeepAlive state, const char* extra, char* text, size_t size) {
    char started[64], changed[64];
    format_utc(record.started_s, started);
    format_utc(host.clock.wall_clock_s(), changed);
    char drill[1200] = "";
    const DrillRecord& d = record.drill;
    if (d.present) {
        put(drill, sizeof drill, "Drill: %s\nDrill armed: %lld\nDrill timeout: %d\nDrill boot: %s\n%s%s%s",
                      d.armed, static_cast<long long>(d.armed_s), static_cast<int>(d.timeout), d.boot,
                      d.result[0] != '\0' ? "Drill result: " : "", d.result, d.result[0] != '\0' ? "\n" : "");
    }
    const int length = std::snprintf(text, size,
                                     "%sWatchdog: %u\nState: %s\nPid: %lld\nProcess start: %lld\nBoot: %s\n"
                                     "Started: %s\nChanged: %s\nCommand line: %s\n%sPrevious reason: %s\nPrevious: %s\n%s%s",
                                     kFirstLine, record.n, word_of(state), static_cast<long long>(host.process.id()),
                                     static_cast<long long>(record.process_start), record.boot, started, changed,
                                     record.command, extra, word_of(record.previous_reason), record.previous, drill,
                                     kLastLine);
    return length > 0 && static_cast<size_t>(length) < size ? static_cast<size_t>(length) : 0;
}

// Composes the record and hands it to the writer; false when it could not be composed.
bool hand_over(const Record& record, const Host& host, KeepAlive state, const char* extra) {
    static char text[kRecordSize];
    const size_t length = compose(record, host, state, extra, text, sizeof text);
    if (length > 0) host.records.write(record.n, text, length);
    return length > 0;
}

void prepare(Record& record, const Host& host, unsigned n, const CommandLine& line) {
    record.kept = true;
    record.n = n;
    record.started_s = host.clock.wall_clock_s();
    record.process_start = host.process.start_of(host.process.id());
    if (!host.process.boot_id(record.boot, sizeof record.boot)) record.boot[0] = '\0';
    join_arguments(line, record.command, sizeof record.command);
}

}  // namespace

Opening open_record(Record& record, const Host& host, const WatchdogDriver& driver, unsigned n, const CommandLine& line,
                    bool say_reason) {
    prepare(record, host, n, line);
    Parsed previous;
    char problem[300] = "";
    const Found found = read(host, n, previous, problem, sizeof problem);
    // A keeper of a version that took no lock of this kind is found by its record.
    const Runs runs = found == Found::whole && keeps_running(previous) ? still_runs(host, previous) : Runs::no;
    if (runs == Runs::yes) {
        const bool drill = previous.state == KeepAlive::drill;
        say(host, Severity::refusal, "WDT%u: %s (pid %s, started %s) still runs for this watchdog: this start is refused; stop it "
            "first (%s).\r\n", n, drill ? "a drill" : "a keep-alive", previous.pid, previous.started, host.words.stop_service);
        record.kept = false;  // the other one's record stays as it is
        return Opening::running_beside;
    }
    Severity severity = Severity::info;
    if (found == Found::none) {
        record.previous_reason = PreviousRun::none;
        put(record.previous, sizeof record.previous, "no record of an earlier run");
    } else if (found == Found::refused || found == Found::denied) {
        record.previous_reason = PreviousRun::unknown;
        severity = Severity::warning;
        put(record.previous, sizeof record.previous, "the record is not the tool's own, and is not used: %s", problem);
    } else if (found == Found::damaged) {
        record.previous_reason = PreviousRun::unknown;
        severity = Severity::warning;
        put(record.previous, sizeof record.previous, "the record of the previous run is damaged, and is not used");
    } else {
        Description description{driver, host, n};
        record.previous_reason = reason(host, description, previous, record.previous, sizeof record.previous);
        const PreviousRun why = record.previous_reason;
        if (why == PreviousRun::guard || why == PreviousRun::refused || why == PreviousRun::ended || why == PreviousRun::reset) {
            severity = Severity::warning;
        }
        record.drill = previous.drill;
        if (record.drill.present) resolve_drill(record.drill, host, description.get());
    }
    if (say_reason) say(host, severity, "WDT%u: %s.\r\n", n, record.previous);
    return Opening::go_on;
}

bool record_drill(Record& record, const Host& host, int32_t timeout_seconds) {
    DrillRecord& drill = record.drill;
    drill = DrillRecord{};
    drill.present = true;
    drill.armed_s = host.clock.wall_clock_s();
    format_utc(drill.armed_s, drill.armed);
    drill.timeout = timeout_seconds;
    put(drill.boot, sizeof drill.boot, "%s", record.boot);
    return hand_over(record, host, KeepAlive::drill, "") && host.records.written(5000);
}

void record_drill_result(Record& record, const Host& host, const char* result) {
    put(record.drill.result, sizeof record.drill.result, "%s", result);
    hand_over(record, host, KeepAlive::drill, "");
    host.records.written(5000);
}

void write_record(Record& record, const Host& host, KeepAlive state, const char* guard, int64_t silent_since_s) {
    if (!record.kept) return;
    char extra[700] = "", since[64];
    if (guard != nullptr) {
        format_utc(silent_since_s, since);
        put(extra, sizeof extra, "Guard: no news from %s since %s\n", guard, since);
    }
    note_unwritten(record, host, !hand_over(record, host, state, extra));
}

void note_unwritten(Record& record, const Host& host, bool failed) {
    if (!record.kept || record.unwritable_said || (!failed && host.records.written(0))) return;
    say(host, Severity::error, "WDT%u: the record could not be written; the keep-alive goes on without it.\r\n", record.n);
    record.unwritable_said = true;
}

void record_refusal(const Host& host, unsigned n, const CommandLine& line, const char* why, const Record& started) {
    Record record;
    prepare(record, host, n, line);
    Parsed previous;
    char problem[300];
    if (read(host, n, previous, problem, sizeof problem) == Found::whole) record.drill = previous.drill;
    const bool said = started.previous[0] != '\0';
    record.previous_reason = said ? started.previous_reason : PreviousRun::unknown;
    put(record.previous, sizeof record.previous, "%s", said ? started.previous : "not said: the start was refused first");
    char shown[600], extra[700];
    show(why, shown, sizeof shown);
    put(extra, sizeof extra, "Refused: %s\n", shown);
    hand_over(record, host, KeepAlive::refused, extra);
    host.records.written(2000);
}

bool describe_record(const Host& host, unsigned n, const char* description, char* out, size_t size) {
    Parsed record;
    char problem[300] = "";
    const Found found = read(host, n, record, problem, sizeof problem);
    size_t used = 0;
    auto add = [&](const char* name, const char* value) {
        const int written = std::snprintf(out + used, size - used, "%s: %s\n", name, value);
        if (written > 0) used = std::min(size - 1, used + static_cast<size_t>(written));
    };
    char cannot_tell[96];
    put(cannot_tell, sizeof cannot_tell, "cannot be told: %s", host.words.privileged);
    if (found != Found::whole) {
        add("Keep-alive", found == Found::none      ? "none recorded"
                          : found == Found::damaged ? "the record is damaged"
                          : found == Found::denied  ? cannot_tell
                                                    : "the record is not the tool's own, and is not used");
        if (found == Found::refused) add("Record", problem);
        return false;
    }
    const KeepAlive state = record.state;
    const bool drill = state == KeepAlive::drill;
    const Runs runs = keeps_running(record) ? still_runs(host, record) : Runs::no;
    add("Keep-alive", state == KeepAlive::stopped   ? "stopped"
                      : state == KeepAlive::refused ? "its last start was refused"
                      : drill && runs == Runs::yes  ? "none: a drill is under way"
                      : drill                       ? "none since the last drill"
                      : runs == Runs::unknown       ? cannot_tell
                      : runs == Runs::no            ? "ended without a deliberate stop"
                      : state == KeepAlive::silent  ? "running, refreshes held back by a guard"
                                                    : "running");
    add(drill ? "Drill pid" : "Keep-alive pid", record.pid);
    add(drill ? "Drill started" : "Keep-alive started", record.started);
    if (state == KeepAlive::stopped) add("Keep-alive stopped", record.changed);
    if (!drill && record.command[0] != '\0') add("Keep-alive command line", record.command);
    if (record.guard[0] != '\0') add("Guard", record.guard);
    if (record.refused[0] != '\0') add("Refused", record.refused);
    if (record.previous[0] != '\0') add("Previous run", record.previous);
    if (record.drill.present) {
        const bool under_way = drill && runs == Runs::yes;
        if (!under_way) resolve_drill(record.drill, host, description);
        char line[600];
        say_drill(record.drill, line, sizeof line);
        add("Last drill", under_way ? "under way" : line);
    }
    return true;
}

void format_utc(int64_t seconds, char (&text)[64]) {
    std::tm fields{};
    if (!system::utc_fields(seconds, fields)) {
        put(text, sizeof text, "an unknown time");
        return;
    }
    put(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", fields.tm_year + 1900, fields.tm_mon + 1,
        fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
}

const char* word_of(KeepAlive state) { return kStateWords[static_cast<int>(state)]; }

const char* word_of(PreviousRun reason) { return kReasonWords[static_cast<int>(reason)]; }

}  // namespace wdt
