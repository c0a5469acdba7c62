#include "command_line/metrics.h"

#include <cstdio>
#include <cstring>

#include "command_line/drills.h"
#include "command_line/text.h"

namespace wdt {
namespace {

constexpr int64_t kAtLeastEvery = 60000;
constexpr size_t kMostText = 32768;

struct Out {
    char* text;
    size_t size;
    size_t used;
    bool fits;
};

[[gnu::format(printf, 2, 3)]] void add(Out& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = out.used < out.size ? std::vsnprintf(out.text + out.used, out.size - out.used, format, args) : -1;
    va_end(args);
    if (length < 0 || out.used + static_cast<size_t>(length) >= out.size) {
        out.fits = false;
        return;
    }
    out.used += static_cast<size_t>(length);
}

// A label's value: backslash, double quote and line feed escaped, and any byte that is no part of
// UTF-8 as U+FFFD, so that the file stays valid UTF-8 whatever a path holds.
void add_label(Out& out, const char* value) {
    for (const auto* c = reinterpret_cast<const unsigned char*>(value); *c != '\0';) {
        const size_t length = utf8_sequence(c);
        if (length == 0) {
            add(out, "\xef\xbf\xbd");
            ++c;
        } else if (*c == '\\' || *c == '"') {
            add(out, "\\%c", *c);
            ++c;
        } else if (*c == '\n') {
            add(out, "\\n");
            ++c;
        } else {
            add(out, "%.*s", static_cast<int>(length), reinterpret_cast<const char*>(c));
            c += length;
        }
    }
}

void family(Out& out, const char* name, const char* type, const char* help) {
    add(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void sample(Out& out, const Metrics& metrics, const char* name, int64_t value) {
    add(out, "%s{watchdog=\"%u\"} %lld\n", name, metrics.n, static_cast<long long>(value));
}

// Seconds since 1970 of a moment on the loop's monotonic clock.
int64_t wall_of(const Host& host, int64_t at_ms) { return host.clock.wall_clock_s() - (host.clock.now_ms() - at_ms) / 1000; }

}  // namespace

void metrics_from_record(Metrics& metrics, const Record& record) {
    metrics.recorded = record.kept;
    metrics.previous = record.previous_reason;
    static Drills drills;
    parse_drills(record.drills, drills);
    if (drills.count > 0) {
        const Drill& last = drills.list[drills.count - 1];
        metrics.drill_armed_s = last.armed_s;
        metrics.drill_passed = last.result == DrillResult::passed;
    }
}

size_t compose_metrics(const Metrics& metrics, const Host& host, const ScanState& state, const Guards& guards, char* text,
                       size_t size) {
    Out out{text, size, 0, true};
    family(out, "wdtctl_info", "gauge", "The tool's version, and the driver library that its keep-alive drives.");
    add(out, "wdtctl_info{watchdog=\"%u\",version=\"%s\",driver=\"", metrics.n, WDT_VERSION);
    add_label(out, metrics.driver);
    add(out, "\",library=\"");
    add_label(out, metrics.library);
    add(out, "\"} 1\n");
    family(out, "wdtctl_keepalive_running", "gauge", "Whether a keep-alive refreshes the watchdog (0 after a deliberate stop).");
    sample(out, metrics, "wdtctl_keepalive_running", metrics.running ? 1 : 0);
    family(out, "wdtctl_keepalive_start_time_seconds", "gauge", "When the keep-alive started, in seconds since 1970.");
    sample(out, metrics, "wdtctl_keepalive_start_time_seconds", metrics.started_s);
    if (metrics.last_refresh_s >= 0) {
        family(out, "wdtctl_last_refresh_timestamp_seconds", "gauge",
               "When the watchdog was last refreshed (or armed, before the first refresh), in seconds since 1970.");
        sample(out, metrics, "wdtctl_last_refresh_timestamp_seconds", metrics.last_refresh_s);
    }
    family(out, "wdtctl_refreshes_total", "counter", "How many refreshes the keep-alive made.");
    sample(out, metrics, "wdtctl_refreshes_total", static_cast<int64_t>(metrics.refreshes));
    family(out, "wdtctl_timeout_seconds", "gauge", "The timeout the keep-alive armed the watchdog with.");
    sample(out, metrics, "wdtctl_timeout_seconds", state.timer_seconds);
    family(out, "wdtctl_refresh_period_seconds", "gauge", "How often the keep-alive refreshes the watchdog.");
    sample(out, metrics, "wdtctl_refresh_period_seconds", state.refresh_period_seconds);
    family(out, "wdtctl_refresh_held_back", "gauge", "Whether guards hold the refreshes back.");
    sample(out, metrics, "wdtctl_refresh_held_back", metrics.held_back ? 1 : 0);
    if (guards.count > 0) {
        family(out, "wdtctl_guard_healthy", "gauge", "Whether a guard has had news within its grace.");
        for (int i = 0; i < guards.count; ++i) {
            add(out, "wdtctl_guard_healthy{watchdog=\"%u\",guard=\"", metrics.n);
            add_label(out, guards.list[i].shown);
            add(out, "\"} %d\n", guards.list[i].silent ? 0 : 1);
        }
        family(out, "wdtctl_guard_last_news_timestamp_seconds", "gauge", "When a guard last had news, in seconds since 1970.");
        for (int i = 0; i < guards.count; ++i) {
            add(out, "wdtctl_guard_last_news_timestamp_seconds{watchdog=\"%u\",guard=\"", metrics.n);
            add_label(out, guards.list[i].shown);
            add(out, "\"} %lld\n", static_cast<long long>(wall_of(host, guards.list[i].news_ms)));
        }
    }
    if (metrics.recorded) {
        family(out, "wdtctl_previous_run_info", "gauge", "Why the run before this keep-alive ended, as its record says.");
        add(out, "wdtctl_previous_run_info{watchdog=\"%u\",reason=\"%s\"} 1\n", metrics.n, word_of(metrics.previous));
        if (metrics.drill_armed_s >= 0) {
            family(out, "wdtctl_last_drill_timestamp_seconds", "gauge", "When the last drill armed the watchdog, in seconds since 1970.");
            sample(out, metrics, "wdtctl_last_drill_timestamp_seconds", metrics.drill_armed_s);
            family(out, "wdtctl_last_drill_passed", "gauge", "Whether the last drill passed.");
            sample(out, metrics, "wdtctl_last_drill_passed", metrics.drill_passed ? 1 : 0);
        }
    }
    return out.fits ? out.used : 0;
}

void keep_metrics(Metrics& metrics, const Host& host, const ScanState& state, const Guards& guards, bool changed) {
    if (metrics.folder == nullptr) return;
    char reason[400];
    if (!metrics.problem_said && !host.records.metrics_written(reason, sizeof reason)) {
        say(host, Severity::warning, "WDT%u: the metrics cannot be written (%s): the keep-alive goes on without them.\r\n",
            metrics.n, reason);
        metrics.problem_said = true;
    }
    uint64_t silent = 0;
    for (int i = 0; i < guards.count && i < 64; ++i) silent |= guards.list[i].silent ? uint64_t{1} << i : 0;
    changed = changed || silent != metrics.silent_guards;
    const int64_t now = host.clock.now_ms();
    if (!changed && now < metrics.due_ms) return;
    metrics.due_ms = now + kAtLeastEvery;
    metrics.silent_guards = silent;
    static char text[kMostText];
    const size_t length = compose_metrics(metrics, host, state, guards, text, sizeof text);
    if (length > 0) {
        host.records.write_metrics(metrics.n, metrics.folder, text, length);
    } else if (!metrics.problem_said) {
        say(host, Severity::warning, "WDT%u: the metrics cannot be written (they take more than %lu bytes): the keep-alive "
            "goes on without them.\r\n", metrics.n, static_cast<unsigned long>(kMostText));
        metrics.problem_said = true;
    }
}

}  // namespace wdt
