#include "command_line/record.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wdt {
namespace {

constexpr const char* kFirstLine = "wdtctl record 1\n";
constexpr const char* kLastLine = "End\n";

// The value of the line "Name: value" in a record, copied into value; false when there is none.
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

// A record counts only whole: its first line first and its last line last, so that one cut off in
// the middle, or anything else in its place, is never taken for a good one.
bool is_whole(const char* text, size_t length) {
    const size_t first = std::strlen(kFirstLine), last = std::strlen(kLastLine);
    return length >= first + last && std::strncmp(text, kFirstLine, first) == 0 &&
           std::strcmp(text + length - last, kLastLine) == 0 && (length == first + last || text[length - last - 1] == '\n');
}

// Why the run that wrote this record ended, as the reason line says it. Answers whether it ended
// without a deliberate stop.
bool reason(const char* text, size_t length, char* out, size_t size) {
    char state[32] = "", since[64] = "", changed[64] = "", pid[32] = "", guard[400] = "";
    if (length == 0) {
        std::snprintf(out, size, "no record of an earlier run");
    } else if (!is_whole(text, length) || !field(text, "State", state, sizeof state)) {
        std::snprintf(out, size, "the record of the previous run is damaged, and is not used");
    } else if (std::strcmp(state, "stopped") == 0 && field(text, "Changed", changed, sizeof changed)) {
        std::snprintf(out, size, "the previous run ended with a deliberate stop at %s", changed);
    } else if (std::strcmp(state, "silent") == 0 && field(text, "Guard", guard, sizeof guard)) {
        std::snprintf(out, size, "the previous run stopped refreshing: %s", guard);
    } else {
        field(text, "Pid", pid, sizeof pid);
        field(text, "Started", since, sizeof since);
        std::snprintf(out, size, "the previous run (pid %s, started %s) ended without a deliberate stop", pid, since);
        return true;
    }
    return false;
}

// What the driver says of the last reset, from its description's boot status.
void join_boot_status(const WatchdogDriver& driver, const Host& host, unsigned n, char* reason, size_t size) {
    static char text[4096];
    char boot[128] = "";
    const bool said = describe(driver, host, n, text, sizeof text) >= 0 && field(text, "Boot status", boot, sizeof boot);
    const char* joined = !said || std::strcmp(boot, "unknown") == 0 ? "the driver does not say whether the watchdog reset the machine"
                         : std::strstr(boot, "card reset") != nullptr ? "the driver reports a reset by the watchdog"
                                                                      : "the driver reports no reset by the watchdog";
    const size_t used = std::strlen(reason);
    std::snprintf(reason + used, size - used, "; %s", joined);
}

}  // namespace

bool describe_record(const Host& host, unsigned n, char* out, size_t size) {
    static char text[4096];
    const size_t length = host.read_record(n, text, sizeof text);
    char state[32] = "";
    if (length == 0 || !is_whole(text, length) || !field(text, "State", state, sizeof state)) {
        std::snprintf(out, size, "Keep-alive: %s\n", length == 0 ? "none recorded" : "the record is damaged");
        return false;
    }
    char pid[32] = "", started[64] = "";
    field(text, "Pid", pid, sizeof pid);
    field(text, "Started", started, sizeof started);
    // A pid of an earlier boot may belong to anything now. The times are compared as format_utc
    // writes them, which sorts as time does; one of another shape is not taken for this boot's.
    char booted[64];
    format_utc(host.booted_at_s() - 2, booted);
    const bool this_boot = std::strlen(started) == std::strlen(booted) && std::strcmp(started, booted) >= 0;
    const bool stopped = std::strcmp(state, "stopped") == 0;
    const bool runs = !stopped && this_boot && host.process_runs(std::strtoll(pid, nullptr, 10));
    size_t used = 0;
    auto add = [&](const char* name, const char* value) {
        const int written = std::snprintf(out + used, size - used, "%s: %s\n", name, value);
        if (written > 0) used = std::min(size - 1, used + static_cast<size_t>(written));
    };
    add("Keep-alive", stopped ? "stopped"
                      : !runs ? "ended without a deliberate stop"
                      : std::strcmp(state, "silent") == 0 ? "running, refreshes held back by a guard"
                                                          : "running");
    add("Keep-alive pid", pid);
    add("Keep-alive started", started);
    char value[600];
    if (stopped && field(text, "Changed", value, sizeof value)) add("Keep-alive stopped", value);
    if (field(text, "Command line", value, sizeof value)) add("Keep-alive command line", value);
    if (field(text, "Guard", value, sizeof value)) add("Guard", value);
    if (field(text, "Previous", value, sizeof value)) add("Previous run", value);
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

void open_record(Record& record, const Host& host, const WatchdogDriver& driver, unsigned n, int argc,
                 const char* const* argv) {
    record.kept = true;
    record.n = n;
    record.started_s = host.wall_clock_s();
    size_t used = 0;
    for (int i = 1; i < argc && used + 2 < sizeof record.command; ++i) {
        if (i > 1) record.command[used++] = ' ';
        for (const char* c = argv[i]; *c != '\0' && used + 1 < sizeof record.command; ++c) {
            record.command[used++] = (*c >= 0 && *c < ' ') ? '?' : *c;  // one line, whatever it holds
        }
    }
    static char text[4096];
    const size_t length = host.read_record(n, text, sizeof text);
    if (reason(text, length, record.previous, sizeof record.previous)) {
        join_boot_status(driver, host, n, record.previous, sizeof record.previous);
    }
    say(host, "WDT%u: %s.\r\n", n, record.previous);
}

void write_record(Record& record, const Host& host, const char* state, const char* guard, int64_t silent_since_s) {
    if (!record.kept) return;
    char started[64], changed[64], silent_since[64];
    format_utc(record.started_s, started);
    format_utc(host.wall_clock_s(), changed);
    format_utc(silent_since_s, silent_since);
    char guard_line[600] = "";
    if (guard != nullptr) std::snprintf(guard_line, sizeof guard_line, "Guard: no news from %s since %s\n", guard, silent_since);
    static char text[2048];
    const int length = std::snprintf(text, sizeof text,
                                     "%sWatchdog: %u\nState: %s\nPid: %lld\nStarted: %s\nChanged: %s\nCommand line: %s\n"
                                     "%sPrevious: %s\n%s",
                                     kFirstLine, record.n, state, static_cast<long long>(host.process_id()), started,
                                     changed, record.command, guard_line, record.previous, kLastLine);
    const bool whole = length > 0 && static_cast<size_t>(length) < sizeof text;
    if ((!whole || !host.write_record(record.n, text, static_cast<size_t>(length))) && !record.unwritable_said) {
        say(host, "WDT%u: the record could not be written; the keep-alive goes on without it.\r\n", record.n);
        record.unwritable_said = true;
    }
}

}  // namespace wdt
