#include "command_line/record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_line/text.h"

namespace wdt {
namespace {

constexpr const char* kFirstLine = "wdtctl record 1\n";
constexpr const char* kLastLine = "End\n";
constexpr size_t kRecordSize = 8192;

// The value of the line "Name: value" in a record, copied into value (cut where it does not fit);
// false when there is none.
bool field(const char* record, const char* name, char* value, size_t size) {
    const size_t length = std::strlen(name);
    for (const char* line = record; line != nullptr && *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        if (end == nullptr) return false;
        if (std::strncmp(line, name, length) == 0 && line[length] == ':' && line[length + 1] == ' ') {
            const size_t taken = std::min(static_cast<size_t>(end - line) - length - 2, size - 1);
            std::memcpy(value, line + length + 2, taken);
            value[taken] = '\0';
            return true;
        }
        line = end + 1;
    }
    return false;
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
    char state[32] = "", pid[32] = "", started[64] = "", changed[64] = "", boot[64] = "";
    char guard[600] = "", refused[600] = "", command[600] = "", previous[700] = "";
    int64_t process_start = 0;
    DrillRecord drill;
};

void parse(const char* text, Parsed& record) {
    field(text, "State", record.state, sizeof record.state);
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
enum class Found { none, refused, damaged, whole };
Found read(const Host& host, unsigned n, Parsed& record, char* reason, size_t reason_size) {
    static char text[kRecordSize];
    const RecordRead got = host.read_record(n, text, sizeof text, reason, reason_size);
    if (got == RecordRead::none) return Found::none;
    if (got == RecordRead::refused) return Found::refused;
    if (!is_whole(text, std::strlen(text)) || !field(text, "State", record.state, sizeof record.state)) return Found::damaged;
    parse(text, record);
    return Found::whole;
}

// Whether the record and this process name the same boot: yes, no, or cannot be told (an older
// record names none).
enum class Boot { same, earlier, unknown };
Boot boot_of(const Host& host, const char* recorded) {
    char now[64];
    if (recorded[0] == '\0' || !host.boot_id(now, sizeof now)) return Boot::unknown;
    return std::strcmp(now, recorded) == 0 ? Boot::same : Boot::earlier;
}

// Whether the process that wrote the record still runs: the same pid, with the same start, in
// this boot. 1 yes, 0 no, -1 cannot be told.
int still_runs(const Host& host, const Parsed& record) {
    const int64_t pid = std::strtoll(record.pid, nullptr, 10);
    if (pid <= 0 || boot_of(host, record.boot) == Boot::earlier) return 0;
    const int64_t start = host.process_start(pid);
    if (start < 0) return -1;
    return start != 0 && (record.process_start == 0 || start == record.process_start) ? 1 : 0;
}

bool keeps_running(const Parsed& record) {
    return std::strcmp(record.state, "running") == 0 || std::strcmp(record.state, "silent") == 0 ||
           std::strcmp(record.state, "drill") == 0;
}

// What the driver's description says of the last reset, from its boot status, as the end of a
// reason line; empty when it says nothing.
void reset_cause(const char* description, char* out, size_t size, bool when_silent) {
    char boot[200] = "";
    const bool said = description != nullptr && field(description, "Boot status", boot, sizeof boot) &&
                      std::strcmp(boot, "unknown") != 0;
    if (!said) {
        put(out, size, "%s", when_silent ? "the driver does not say whether the watchdog reset the machine" : "");
    } else if (std::strstr(boot, "card reset") != nullptr) {
        put(out, size, "the driver reports a reset by the watchdog");
    } else if (std::strcmp(boot, "none") == 0) {
        put(out, size, "the driver reports no reset by the watchdog");
    } else {
        put(out, size, "the driver reports a reset for another cause: %s", boot);
    }
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
        if (!read && describe(driver, host, n | kDescribeWithoutHolder, text, sizeof text) < 0) text[0] = '\0';
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
    const int64_t seconds = host.booted_at_s() - drill.armed_s;
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
void reason(const Host& host, Description& description, Parsed& previous, char* out, size_t size) {
    const char* state = previous.state;
    if (std::strcmp(state, "stopped") == 0) {
        put(out, size, "the previous run ended with a deliberate stop at %s", previous.changed);
    } else if (std::strcmp(state, "silent") == 0 && previous.guard[0] != '\0') {
        put(out, size, "the previous run stopped refreshing: %s", previous.guard);
    } else if (std::strcmp(state, "refused") == 0) {
        put(out, size, "the previous start (pid %s, at %s) was refused: %s", previous.pid, previous.changed,
                      previous.refused);
    } else if (std::strcmp(state, "drill") == 0 && previous.drill.present) {
        resolve_drill(previous.drill, host, description.get());
        char drill[600];
        say_drill(previous.drill, drill, sizeof drill);
        put(out, size, "the previous run was a drill at %s", drill);
    } else if (boot_of(host, previous.boot) == Boot::same) {
        put(out, size, "the previous run (pid %s, started %s) ended without a deliberate stop, in this boot: "
                      "the machine did not restart", previous.pid, previous.started);
    } else {
        char cause[300];
        reset_cause(description.get(), cause, sizeof cause, true);
        put(out, size, "the previous run (pid %s, started %s) ended without a deliberate stop; %s",
                      previous.pid, previous.started, cause);
    }
}

void copy_command(int argc, const char* const* argv, char* command, size_t size) {
    static char line[4096];
    size_t used = 0;
    for (int i = 1; i < argc && used + 2 < sizeof line; ++i) {
        if (i > 1) line[used++] = ' ';
        const size_t length = std::min(std::strlen(argv[i]), sizeof line - 1 - used);
        std::memcpy(line + used, argv[i], length);
        used += length;
    }
    line[used] = '\0';
    show(line, command, size);
}

// The record's text: every value on a line of its own, whatever it holds.
size_t compose(const Record& record, const Host& host, const char* state, const char* extra, char* text, size_t size) {
    char started[64], changed[64];
    format_utc(record.started_s, started);
    format_utc(host.wall_clock_s(), changed);
    char drill[1200] = "";
    const DrillRecord& d = record.drill;
    if (d.present) {
        put(drill, sizeof drill, "Drill: %s\nDrill armed: %lld\nDrill timeout: %d\nDrill boot: %s\n%s%s%s",
                      d.armed, static_cast<long long>(d.armed_s), static_cast<int>(d.timeout), d.boot,
                      d.result[0] != '\0' ? "Drill result: " : "", d.result, d.result[0] != '\0' ? "\n" : "");
    }
    const int length = std::snprintf(text, size,
                                     "%sWatchdog: %u\nState: %s\nPid: %lld\nProcess start: %lld\nBoot: %s\n"
                                     "Started: %s\nChanged: %s\nCommand line: %s\n%sPrevious: %s\n%s%s",
                                     kFirstLine, record.n, state, static_cast<long long>(host.process_id()),
                                     static_cast<long long>(record.process_start), record.boot, started, changed,
                                     record.command, extra, record.previous, drill, kLastLine);
    return length > 0 && static_cast<size_t>(length) < size ? static_cast<size_t>(length) : 0;
}

// Composes the record and hands it to the writer; false when it could not be composed.
bool hand_over(const Record& record, const Host& host, const char* state, const char* extra) {
    static char text[kRecordSize];
    const size_t length = compose(record, host, state, extra, text, sizeof text);
    if (length > 0) host.write_record(record.n, text, length);
    return length > 0;
}

void prepare(Record& record, const Host& host, unsigned n, int argc, const char* const* argv) {
    record.kept = true;
    record.n = n;
    record.started_s = host.wall_clock_s();
    record.process_start = host.process_start(host.process_id());
    if (!host.boot_id(record.boot, sizeof record.boot)) record.boot[0] = '\0';
    copy_command(argc, argv, record.command, sizeof record.command);
}

}  // namespace

Opening open_record(Record& record, const Host& host, const WatchdogDriver& driver, unsigned n, int argc,
                    const char* const* argv, bool say_reason) {
    prepare(record, host, n, argc, argv);
    Parsed previous;
    char problem[300] = "";
    const Found found = read(host, n, previous, problem, sizeof problem);
    const int runs = found == Found::whole && keeps_running(previous) ? still_runs(host, previous) : 0;
    const RecordLock lock = host.lock_record(n);
    if (runs == 1 || lock == RecordLock::held_elsewhere) {
        const bool drill = std::strcmp(previous.state, "drill") == 0;
        if (runs == 1) {
            say(host, "WDT%u: %s (pid %s, started %s) still runs for this watchdog: this start is refused; stop it "
                "first (systemctl stop wdtctl; on Windows, sc stop wdtctl).\r\n", n, drill ? "a drill" : "a keep-alive",
                previous.pid, previous.started);
        } else {
            say(host, "WDT%u: another process keeps this watchdog's record (a keep-alive or a drill): this start is "
                "refused; stop it first (systemctl stop wdtctl; on Windows, sc stop wdtctl).\r\n", n);
        }
        record.kept = false;  // the other one's record stays as it is
        return Opening::running_beside;
    }
    if (found == Found::none) {
        put(record.previous, sizeof record.previous, "no record of an earlier run");
    } else if (found == Found::refused) {
        put(record.previous, sizeof record.previous, "the record is not the tool's own, and is not used: %s", problem);
    } else if (found == Found::damaged) {
        put(record.previous, sizeof record.previous, "the record of the previous run is damaged, and is not used");
    } else {
        Description description{driver, host, n};
        reason(host, description, previous, record.previous, sizeof record.previous);
        record.drill = previous.drill;
        if (record.drill.present) resolve_drill(record.drill, host, description.get());
    }
    if (say_reason) say(host, "WDT%u: %s.\r\n", n, record.previous);
    return Opening::go_on;
}

bool record_drill(Record& record, const Host& host, int32_t timeout_seconds) {
    DrillRecord& drill = record.drill;
    drill = DrillRecord{};
    drill.present = true;
    drill.armed_s = host.wall_clock_s();
    format_utc(drill.armed_s, drill.armed);
    drill.timeout = timeout_seconds;
    put(drill.boot, sizeof drill.boot, "%s", record.boot);
    return hand_over(record, host, "drill", "") && host.records_written(5000);
}

void record_drill_result(Record& record, const Host& host, const char* result) {
    put(record.drill.result, sizeof record.drill.result, "%s", result);
    hand_over(record, host, "drill", "");
    host.records_written(5000);
}

void write_record(Record& record, const Host& host, const char* state, const char* guard, int64_t silent_since_s) {
    if (!record.kept) return;
    char extra[700] = "", since[64];
    if (guard != nullptr) {
        format_utc(silent_since_s, since);
        put(extra, sizeof extra, "Guard: no news from %s since %s\n", guard, since);
    }
    note_unwritten(record, host, !hand_over(record, host, state, extra));
}

void note_unwritten(Record& record, const Host& host, bool failed) {
    if (!record.kept || record.unwritable_said || (!failed && host.records_written(0))) return;
    say(host, "WDT%u: the record could not be written; the keep-alive goes on without it.\r\n", record.n);
    record.unwritable_said = true;
}

void record_refusal(const Host& host, unsigned n, int argc, const char* const* argv, const char* why,
                    const char* previous_reason) {
    if (host.lock_record(n) == RecordLock::held_elsewhere) return;  // another keep-alive's record stays as it is
    Record record;
    prepare(record, host, n, argc, argv);
    Parsed previous;
    char problem[300];
    if (read(host, n, previous, problem, sizeof problem) == Found::whole) record.drill = previous.drill;
    put(record.previous, sizeof record.previous, "%s", previous_reason[0] != '\0' ? previous_reason : "not said: the start was refused first");
    char line[600], extra[700];
    show(why, line, sizeof line);
    put(extra, sizeof extra, "Refused: %s\n", line);
    hand_over(record, host, "refused", extra);
    host.records_written(2000);
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
    if (found != Found::whole) {
        add("Keep-alive", found == Found::none      ? "none recorded"
                          : found == Found::damaged ? "the record is damaged"
                                                    : "the record is not the tool's own, and is not used");
        if (found == Found::refused) add("Record", problem);
        return false;
    }
    const char* state = record.state;
    const bool drill = std::strcmp(state, "drill") == 0;
    const int runs = keeps_running(record) ? still_runs(host, record) : 0;
    add("Keep-alive", std::strcmp(state, "stopped") == 0   ? "stopped"
                      : std::strcmp(state, "refused") == 0 ? "its last start was refused"
                      : drill && runs == 1                 ? "none: a drill is under way"
                      : drill                              ? "none since the last drill"
                      : runs < 0                           ? "cannot be told whether it still runs"
                      : runs == 0                          ? "ended without a deliberate stop"
                      : std::strcmp(state, "silent") == 0  ? "running, refreshes held back by a guard"
                                                           : "running");
    add(drill ? "Drill pid" : "Keep-alive pid", record.pid);
    add(drill ? "Drill started" : "Keep-alive started", record.started);
    if (std::strcmp(state, "stopped") == 0) add("Keep-alive stopped", record.changed);
    if (!drill && record.command[0] != '\0') add("Keep-alive command line", record.command);
    if (record.guard[0] != '\0') add("Guard", record.guard);
    if (record.refused[0] != '\0') add("Refused", record.refused);
    if (record.previous[0] != '\0') add("Previous run", record.previous);
    if (record.drill.present) {
        if (!(drill && runs == 1)) resolve_drill(record.drill, host, description);
        char line[600];
        say_drill(record.drill, line, sizeof line);
        add("Last drill", drill && runs == 1 ? "under way" : line);
    }
    return true;
}

void format_utc(int64_t seconds, char (&text)[64]) {
    // Days since 1970 to a civil date (the proleptic Gregorian calendar).
    const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const int64_t of_day = seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t day_of_era = z - era * 146097;
    const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_index = (5 * day_of_year + 2) / 153;
    const int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
    const int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
    const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    const int length = std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(of_day / 3600),
                  static_cast<long long>(of_day / 60 % 60), static_cast<long long>(of_day % 60));
    if (length < 0) text[0] = '\0';
}

}  // namespace wdt
