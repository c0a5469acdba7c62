#include "command_line/drills.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "command_line/keeper.h"
#include "command_line/text.h"

namespace wdt {
namespace {

constexpr const char* kResultWords[] = {"under way", "passed", "failed", "cancelled", "not done", "unknown"};

// One drill's line: its fields as key=value, separated by tabs. Every value is shown on one line
// (a tab in it as \x09), so a tab never stands inside one.
void compose_one(const Drill& drill, char* out, size_t size) {
    char by[200], host[200], machine[330], driver[330], library[650], text[810];
    show(drill.by, by, sizeof by);
    show(drill.host, host, sizeof host);
    show(drill.machine, machine, sizeof machine);
    show(drill.driver, driver, sizeof driver);
    show(drill.library, library, sizeof library);
    show(drill.text, text, sizeof text);
    put(out, size,
        "Drill: armed=%lld\tarmed_ms=%lld\tboot=%s\tpid=%lld\tstart=%lld\tasked=%d\tset=%d\tnowayout=%s\tby=%s\thost=%s\t"
        "machine=%s\tdriver=%s\tlibrary=%s\tsha256=%s\talive=%d\tlag=%d\tresult=%s\tlow=%d\thigh=%d\ttext=%s\n",
        static_cast<long long>(drill.armed_s), static_cast<long long>(drill.armed_ms), drill.boot, static_cast<long long>(drill.pid),
        static_cast<long long>(drill.process_start), static_cast<int>(drill.asked), static_cast<int>(drill.set),
        drill.nowayout, by, host, machine, driver, library, drill.sha256, static_cast<int>(drill.alive),
        static_cast<int>(drill.lag), kResultWords[static_cast<int>(drill.result)], static_cast<int>(drill.low),
        static_cast<int>(drill.high), text);
}

// The value of key=value in a drill's line (the line's text up to its end), or nullptr.
bool value_of(const char* line, const char* key, char* value, size_t size) {
    const size_t length = std::strlen(key);
    for (const char* field = line; field != nullptr && *field != '\0' && *field != '\n';) {
        const size_t field_length = std::strcspn(field, "\t\n");
        if (field_length > length && std::strncmp(field, key, length) == 0 && field[length] == '=') {
            put(value, size, "%.*s", static_cast<int>(field_length - length - 1), field + length + 1);
            return true;
        }
        field = field[field_length] == '\t' ? field + field_length + 1 : nullptr;
    }
    return false;
}

// A whole number, or `otherwise` where the field is missing or is not one (an edited "alive=abc"
// is no mark at 0 s).
int64_t number_of(const char* line, const char* key, int64_t otherwise) {
    char value[32];
    if (!value_of(line, key, value, sizeof value)) return otherwise;
    char* end = nullptr;
    errno = 0;
    const int64_t number = std::strtoll(value, &end, 10);
    return end != value && *end == '\0' && errno == 0 ? number : otherwise;
}

// A number of a record that may have been edited: within its range, or `otherwise`.
int32_t bounded(const char* line, const char* key, int64_t low, int64_t high, int32_t otherwise) {
    const int64_t value = number_of(line, key, otherwise);
    return value >= low && value <= high ? static_cast<int32_t>(value) : otherwise;
}

void parse_one(const char* line, Drill& drill) {
    drill.armed_s = number_of(line, "armed", 0);
    drill.armed_ms = number_of(line, "armed_ms", 0);
    value_of(line, "boot", drill.boot, sizeof drill.boot);
    drill.pid = number_of(line, "pid", 0);
    drill.process_start = number_of(line, "start", 0);
    drill.asked = bounded(line, "asked", 0, 65535, 0);
    drill.set = bounded(line, "set", 0, 65535, 0);
    value_of(line, "nowayout", drill.nowayout, sizeof drill.nowayout);
    value_of(line, "by", drill.by, sizeof drill.by);
    value_of(line, "host", drill.host, sizeof drill.host);
    value_of(line, "machine", drill.machine, sizeof drill.machine);
    value_of(line, "driver", drill.driver, sizeof drill.driver);
    value_of(line, "library", drill.library, sizeof drill.library);
    value_of(line, "sha256", drill.sha256, sizeof drill.sha256);
    drill.alive = bounded(line, "alive", -1, 200000, -1);
    drill.lag = bounded(line, "lag", 0, 3600, 3600);
    char word[32] = "";
    value_of(line, "result", word, sizeof word);  // none leaves "", which is no result's word
    drill.result = from_word(word, kResultWords, DrillResult::unknown);
    drill.low = bounded(line, "low", -1, 200000, -1);
    drill.high = bounded(line, "high", -1, 300000, -1);
    value_of(line, "text", drill.text, sizeof drill.text);
}

// A record of the version before kept one drill in lines of its own; its result was said, not
// measured: kept as it was, by its first word.
void parse_older(const char* record, Drills& drills) {
    char armed[32] = "";
    if (!field(record, "Drill armed", armed, sizeof armed)) return;
    Drill& drill = add_drill(drills);
    drill.armed_s = std::strtoll(armed, nullptr, 10);
    char timeout[32] = "";
    field(record, "Drill timeout", timeout, sizeof timeout);
    drill.asked = static_cast<int32_t>(std::strtol(timeout, nullptr, 10));
    field(record, "Drill boot", drill.boot, sizeof drill.boot);
    char said[sizeof drill.text] = "";
    if (!field(record, "Drill result", said, sizeof said)) put(said, sizeof said, "an older version's drill, without a result");
    drill.result = std::strncmp(said, "cancelled", 9) == 0  ? DrillResult::cancelled
                   : std::strncmp(said, "failed", 6) == 0   ? DrillResult::failed
                   : std::strncmp(said, "not done", 8) == 0 ? DrillResult::not_done
                                                            : DrillResult::unknown;
    // Its result begins with its word as every result does; an older guess is kept, as unknown.
    put(drill.text, sizeof drill.text, "%s%s", drill.result == DrillResult::unknown ? "unknown: " : "", said);
}

// The restart's window of a drill whose machine restarted: from its last mark to the next one,
// wider by as long as its marks ran late.
void settle_restart(Drill& drill, const char* description) {
    const int32_t timeout = judged_timeout(drill);
    char cause[300];
    const ResetSaid said = describe_reset(description, cause, sizeof cause, false);
    const char* joined = cause[0] != '\0' ? "; " : "";
    if (drill.alive < 0) {
        drill.result = DrillResult::unknown;
        put(drill.text, sizeof drill.text, "unknown: the record holds no mark that this T%d drill armed the watchdog, so it "
            "tells nothing of a reset%s%s", static_cast<int>(timeout), joined, cause);
        return;
    }
    drill.low = drill.alive;
    drill.high = drill.alive + 1 + drill.lag;
    drill.result = judge_restart(timeout, drill.low, drill.high);
    const char* why = "";
    if (drill.result == DrillResult::passed && said == ResetSaid::otherwise) {
        // In time, but the driver names another cause: the marks alone do not make it a pass.
        drill.result = DrillResult::unknown;
        why = ", in time, but not by the watchdog as the driver tells it";
    } else if (drill.result == DrillResult::failed) {
        why = drill.low >= timeout ? ": the watchdog counts long"
                                   : ": before the timeout; not the watchdog, or a timer that counts short";
    } else if (drill.result == DrillResult::unknown) {
        why = ": a window too wide to judge (the record's marks ran late)";
    }
    put(drill.text, sizeof drill.text, "%s: the machine restarted %d to %d s after a T%d arm%s%s%s", word_of(drill.result),
        static_cast<int>(drill.low), static_cast<int>(drill.high), static_cast<int>(timeout), why, joined, cause);
}

}  // namespace

const char* word_of(DrillResult result) { return kResultWords[static_cast<int>(result)]; }

Drill& add_drill(Drills& drills) {
    if (drills.count == kDrillsKept) {
        for (int i = 1; i < kDrillsKept; ++i) drills.list[i - 1] = drills.list[i];
        --drills.count;
    }
    Drill& drill = drills.list[drills.count++];
    drill = Drill{};
    drill.alive = drill.low = drill.high = kNoMark;
    return drill;
}

void compose_drills(const Drills& drills, char* text, size_t size) {
    size_t used = 0;
    if (size > 0) text[0] = '\0';
    for (int i = 0; i < drills.count && used + 1 < size; ++i) {
        compose_one(drills.list[i], text + used, size - used);
        used += std::strlen(text + used);
    }
}

void parse_drills(const char* record, Drills& drills) {
    drills.count = 0;
    parse_older(record, drills);
    for (const char* line = record; line != nullptr && *line != '\0';) {
        if (std::strncmp(line, "Drill: armed=", 13) == 0) parse_one(line + 7, add_drill(drills));
        line = std::strchr(line, '\n');
        if (line != nullptr) ++line;
    }
}

int32_t judged_timeout(const Drill& drill) { return drill.set > 0 ? drill.set : drill.asked; }

DrillResult judge_restart(int32_t timeout, int32_t low, int32_t high) {
    // In tenths of a second: 10 % of T may fall between whole seconds.
    const int64_t t = int64_t{timeout} * 10;
    const int64_t earliest = t - (timeout > 10 ? timeout : 10);
    const int64_t latest = t + (timeout > 20 ? timeout : 20);
    const int64_t from = int64_t{low} * 10, to = int64_t{high} * 10;
    if (from >= earliest && to <= latest) return DrillResult::passed;
    if (to <= earliest || from >= latest) return DrillResult::failed;
    return DrillResult::unknown;
}

ResetSaid describe_reset(const char* description, char* out, size_t size, bool when_silent) {
    char boot[200] = "";
    const bool said = description != nullptr && field(description, "Boot status", boot, sizeof boot) &&
                      std::strcmp(boot, "unknown") != 0;
    if (!said) {
        put(out, size, "%s", when_silent ? "the driver does not say whether the watchdog reset the machine" : "");
        return ResetSaid::nothing;
    }
    if (std::strstr(boot, "card reset") != nullptr) {
        put(out, size, "the driver reports a reset by the watchdog");
        return ResetSaid::by_watchdog;
    }
    if (std::strcmp(boot, "none") == 0) {
        put(out, size, "the driver reports no reset by the watchdog");
    } else {
        put(out, size, "the driver reports a reset for another cause: %s", boot);
    }
    return ResetSaid::otherwise;
}

bool settle_drill(Drill& drill, const Host& host, const char* description) {
    if (drill.result != DrillResult::under_way) return false;
    const int32_t timeout = judged_timeout(drill);
    const Boot boot = boot_of(host, drill.boot);
    if (boot == Boot::unknown) {
        drill.result = DrillResult::unknown;
        put(drill.text, sizeof drill.text, "unknown: whether the machine restarted cannot be told (no boot is named)");
        return true;
    }
    if (boot == Boot::earlier) {
        settle_restart(drill, description);
        return true;
    }
    if (still_runs(host, drill.pid, drill.process_start, drill.boot) != Runs::no) return false;
    // Ended in this boot without its result (killed), while the watchdog it armed may still reset
    // the machine: settled only once that time has passed.
    const int32_t latest = timeout + (timeout > 20 ? (timeout + 9) / 10 : 2);
    if (drill.armed_ms > 0 && host.clock.now_ms() - drill.armed_ms < int64_t{latest + 1} * 1000) return false;
    if (drill.alive > latest) {
        drill.result = DrillResult::failed;
        put(drill.text, sizeof drill.text, "failed: the machine still ran %d s after a T%d arm (the drill then ended "
            "without its result)", static_cast<int>(drill.alive), static_cast<int>(timeout));
    } else if (drill.alive < 0) {
        // Refused before the arm while its record was slow to write, or ended between the arm and
        // its first mark: nothing tells which, and no restart followed.
        drill.result = DrillResult::unknown;
        put(drill.text, sizeof drill.text, "unknown: the drill ended before its record held a mark that it armed the "
            "watchdog (T%d), and the machine did not restart", static_cast<int>(timeout));
    } else {
        drill.result = DrillResult::unknown;
        put(drill.text, sizeof drill.text, "unknown: the drill ended without its result %d s after a T%d arm, and the "
            "machine did not restart", static_cast<int>(drill.alive), static_cast<int>(timeout));
    }
    return true;
}

void say_drill(const Drill& drill, char* out, size_t size) {
    char armed[64];
    format_utc(drill.armed_s, armed);
    const char* text = result_text(drill);
    if (drill.set > 0 && drill.set != drill.asked) {
        put(out, size, "%s, T%d (the driver set %d s): %s", armed, static_cast<int>(drill.asked), static_cast<int>(drill.set),
            text);
    } else {
        put(out, size, "%s, T%d: %s", armed, static_cast<int>(drill.asked), text);
    }
}

// A drill as a start's line and a status name it, with what its report named.
void report_drill(const Drill& drill, char* out, size_t size) {
    char said[600];
    say_drill(drill, said, sizeof said);
    if (drill.by[0] == '\0' && drill.driver[0] == '\0') {
        put(out, size, "%s", said);
        return;
    }
    put(out, size, "%s (by %s on %s, %s; driver %s, %s, SHA-256 %s)", said, drill.by, drill.host,
        drill.machine[0] != '\0' ? drill.machine : "machine unknown", drill.driver[0] != '\0' ? drill.driver : "unknown",
        drill.library, drill.sha256[0] != '\0' ? drill.sha256 : "unknown");
}

}  // namespace wdt
