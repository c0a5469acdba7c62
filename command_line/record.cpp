#include "command_line/record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_line/keeper.h"
#include "command_line/text.h"

namespace wdt {
namespace {

constexpr const char* kFirstLine = "wdtctl record 1\n";
constexpr const char* kLastLine = "End\n";
constexpr size_t kRecordSize = 16384;

constexpr const char* kStateWords[] = {"unknown", "running", "silent", "stopped", "refused", "drill"};
constexpr const char* kReasonWords[] = {"none", "unknown", "stop", "guard", "refused", "drill", "ended", "reset"};

// A record counts only whole: its first line first and its last line last, so that one cut off in
// the middle, or anything else in its place, is never taken for a good one.
bool is_whole(const char* text, size_t length) {
    const size_t first = std::strlen(kFirstLine), last = std::strlen(kLastLine);
    return length >= first + last && std::strncmp(text, kFirstLine, first) == 0 &&
           std::strcmp(text + length - last, kLastLine) == 0 && (length == first + last || text[length - last - 1] == '\n');
}

// What a whole record says, and its text (the reader's own buffer, until the next read).
struct Parsed {
    KeepAlive state = KeepAlive::unknown;
    char pid[32] = "", started[64] = "", changed[64] = "", boot[64] = "";
    char guard[600] = "", refused[600] = "", command[600] = "", previous[700] = "";
    PreviousRun previous_reason = PreviousRun::unknown;
    int64_t process_start = 0;
    const char* text = "";
};

void parse(const char* text, Parsed& record) {
    char word[32] = "";
    field(text, "State", word, sizeof word);
    record.state = from_word<KeepAlive>(word, kStateWords);
    field(text, "Pid", record.pid, sizeof record.pid);
    field(text, "Started", record.started, sizeof record.started);
    field(text, "Changed", record.changed, sizeof record.changed);
    field(text, "Boot", record.boot, sizeof record.boot);
    field(text, "Guard", record.guard, sizeof record.guard);
    field(text, "Refused", record.refused, sizeof record.refused);
    field(text, "Command line", record.command, sizeof record.command);
    field(text, "Previous", record.previous, sizeof record.previous);
    if (field(text, "Previous reason", word, sizeof word)) record.previous_reason = from_word<PreviousRun>(word, kReasonWords);
    char start[32] = "";
    if (field(text, "Process start", start, sizeof start)) record.process_start = std::strtoll(start, nullptr, 10);
    record.text = text;
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

// What the driver says of watchdog n, read only when a reason needs it, and without looking for the
// process that holds the device (which can take long on a machine with many files open).
// Without a driver (a start refused before it was loaded), nothing.
struct Description {
    const WatchdogDriver* driver;
    const Host& host;
    unsigned n;
    bool read = false;
    char text[4096] = "";
    const char* get() {
        if (!read && (driver == nullptr || describe(*driver, host.library, n, false, text, sizeof text) < 0)) text[0] = '\0';
        read = true;
        return text;
    }
};

// The drills a record carries, those that the machine answered settled; answers whether any was.
bool settled_drills(const Host& host, const char* record, const char* description, Drills& drills) {
    parse_drills(record, drills);
    bool settled = false;
    for (int i = 0; i < drills.count; ++i) settled = settle_drill(drills.list[i], host, description) || settled;
    return settled;
}

// Why the run that wrote this record ended, as the reason line says it.
PreviousRun reason(const Host& host, Description& description, Parsed& previous, const Drills& drills, char* out,
                   size_t size) {
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
    if (state == KeepAlive::drill && drills.count > 0) {
        char drill[1400];
        report_drill(drills.list[drills.count - 1], drill, sizeof drill);
        put(out, size, "the previous run was a drill at %s", drill);
        return PreviousRun::drill;
    }
    if (boot_of(host, previous.boot) == Boot::same) {
        put(out, size, "the previous run (pid %s, started %s) ended without a deliberate stop, in this boot: "
                      "the machine did not restart", previous.pid, previous.started);
        return PreviousRun::ended;
    }
    char cause[300];
    const bool reset = describe_reset(description.get(), cause, sizeof cause, true) == ResetSaid::by_watchdog;
    put(out, size, "the previous run (pid %s, started %s) ended without a deliberate stop; %s",
                  previous.pid, previous.started, cause);
    return reset ? PreviousRun::reset : PreviousRun::ended;
}

// The record's text: every value on a line of its own, whatever it holds.
size_t compose(const Record& record, const Host& host, KeepAlive state, const char* extra, char* text, size_t size) {
    char started[64], changed[64];
    format_utc(record.started_s, started);
    format_utc(host.clock.wall_clock_s(), changed);
    const int length = std::snprintf(text, size,
                                     "%sWatchdog: %u\nState: %s\nPid: %lld\nProcess start: %lld\nBoot: %s\n"
                                     "Started: %s\nChanged: %s\nCommand line: %s\n%s%sPrevious reason: %s\nPrevious: %s\n%s%s",
                                     kFirstLine, record.n, word_of(state), static_cast<long long>(host.process.id()),
                                     static_cast<long long>(record.process_start), record.boot, started, changed,
                                     record.command, record.watched, extra, word_of(record.previous_reason),
                                     record.previous, record.drills, kLastLine);
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
    record.drills[0] = '\0';
    size_t used = 0;
    record.watched[0] = '\0';
    for (int i = 0; i < line.guards.count; ++i) {
        put(record.watched + used, sizeof record.watched - used, "Watching: %s\n", line.guards.list[i].shown);
        used += std::strlen(record.watched + used);
    }
}

// A record as it was written, with its drill lines in place of the ones it had: the rest of it,
// its writer's pid and times among them, stays as it was.
size_t with_drills(const char* record, const char* drills, char* out, size_t size) {
    size_t used = 0;
    for (const char* line = record; *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        const size_t length = end != nullptr ? static_cast<size_t>(end - line) + 1 : std::strlen(line);
        const bool drill = std::strncmp(line, "Drill", 5) == 0 || std::strncmp(line, kLastLine, length) == 0;
        if (!drill && used + length < size) {
            std::memcpy(out + used, line, length);
            used += length;
        }
        line += length;
    }
    const int added = std::snprintf(out + used, size - used, "%s%s", drills, kLastLine);
    return added > 0 && used + static_cast<size_t>(added) < size ? used + static_cast<size_t>(added) : 0;
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
        Description description{&driver, host, n};
        static Drills drills;
        settled_drills(host, previous.text, description.get(), drills);
        compose_drills(drills, record.drills, sizeof record.drills);
        record.previous_reason = reason(host, description, previous, drills, record.previous, sizeof record.previous);
        const PreviousRun why = record.previous_reason;
        const DrillResult drilled = drills.count > 0 ? drills.list[drills.count - 1].result : DrillResult::passed;
        if (why == PreviousRun::guard || why == PreviousRun::refused || why == PreviousRun::ended || why == PreviousRun::reset ||
            (why == PreviousRun::drill && (drilled == DrillResult::failed || drilled == DrillResult::unknown))) {
            severity = Severity::warning;
        }
    }
    if (say_reason) {
        // A line that ends in its own mark (a refusal's "!") takes no full stop after it.
        const size_t length = std::strlen(record.previous);
        const bool marked = length > 0 && std::strchr("!.?", record.previous[length - 1]) != nullptr;
        say(host, severity, "WDT%u: %s%s\r\n", n, record.previous, marked ? "" : ".");
    }
    return Opening::go_on;
}

bool write_drill(Record& record, const Host& host, const Drills& drills, int64_t wait_ms) {
    compose_drills(drills, record.drills, sizeof record.drills);
    return hand_over(record, host, KeepAlive::drill, "") && host.records.written(wait_ms);
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
    if (started.kept) {
        std::memcpy(record.drills, started.drills, std::strlen(started.drills) + 1);
        record.previous_reason = started.previous_reason;
        std::memcpy(record.previous, started.previous, sizeof record.previous);
    } else {
        // Refused before the record was opened: why the run before ended is told as the start
        // would have told it (without the driver's word), and the drills are carried over.
        Parsed previous;
        char problem[300];
        static Drills drills;
        drills.count = 0;
        record.previous_reason = PreviousRun::none;
        put(record.previous, sizeof record.previous, "no record of an earlier run");
        if (read(host, n, previous, problem, sizeof problem) == Found::whole) {
            parse_drills(previous.text, drills);
            Description description{nullptr, host, n};
            record.previous_reason = reason(host, description, previous, drills, record.previous, sizeof record.previous);
        }
        compose_drills(drills, record.drills, sizeof record.drills);
    }
    char shown[600], extra[700];
    show(why, shown, sizeof shown);
    put(extra, sizeof extra, "Refused: %s\n", shown);
    hand_over(record, host, KeepAlive::refused, extra);
    host.records.written(2000);
}

void view_record(const Host& host, unsigned n, const char* description, RecordView& view) {
    view = RecordView{};
    Parsed record;
    const Found found = read(host, n, record, view.problem, sizeof view.problem);
    if (found != Found::whole) {
        view.keeping = found == Found::none ? Keeping::none : found == Found::denied ? Keeping::cannot_tell : Keeping::unusable;
        view.damaged = found == Found::damaged;
        return;
    }
    const KeepAlive state = record.state;
    const Runs runs = keeps_running(record) ? still_runs(host, record) : Runs::no;
    view.keeping = state == KeepAlive::stopped                  ? Keeping::stopped
                   : state == KeepAlive::refused                ? Keeping::refused
                   : state == KeepAlive::drill && runs == Runs::yes ? Keeping::drilling
                   : state == KeepAlive::drill                  ? Keeping::drilled
                   : runs == Runs::unknown                      ? Keeping::cannot_tell
                   : runs == Runs::no                           ? Keeping::ended
                   : state == KeepAlive::silent                 ? Keeping::silent
                                                                : Keeping::running;
    std::memcpy(view.pid, record.pid, sizeof view.pid);
    std::memcpy(view.started, record.started, sizeof view.started);
    std::memcpy(view.changed, record.changed, sizeof view.changed);
    std::memcpy(view.command, record.command, sizeof view.command);
    std::memcpy(view.guard, record.guard, sizeof view.guard);
    std::memcpy(view.refused, record.refused, sizeof view.refused);
    std::memcpy(view.previous, record.previous, sizeof view.previous);
    view.previous_reason = record.previous_reason;
    for (const char* at = std::strstr(record.text, "\nWatching: "); at != nullptr && view.watched_count < kMaxGuards;
         at = std::strstr(at + 1, "\nWatching: ")) {
        const size_t length = std::strcspn(at + 11, "\n");
        put(view.watched[view.watched_count++], sizeof view.watched[0], "%.*s", static_cast<int>(length), at + 11);
    }
    if (!settled_drills(host, record.text, description, view.drills)) return;
    // Settled here: written back where nobody else keeps the watchdog, the rest as it was.
    static char lines[kDrillLines], text[kRecordSize];
    compose_drills(view.drills, lines, sizeof lines);
    const size_t length = with_drills(record.text, lines, text, sizeof text);
    if (length > 0 && try_to_keep(host, n, KeeperKind::status)) {
        host.records.write(n, text, length);
        host.records.written(1000);
        host.records.unlock(n);  // a moment only: a start waits for it
    }
}

const char* word_of(KeepAlive state) { return kStateWords[static_cast<int>(state)]; }

const char* word_of(PreviousRun reason) { return kReasonWords[static_cast<int>(reason)]; }

}  // namespace wdt
