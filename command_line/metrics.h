// A keep-alive's metrics, in the text format that Prometheus's textfile collectors read (UTF-8
// without a byte order mark, LF line ends, # HELP and # TYPE for each metric, label values escaped):
// composed on the loop's thread, which only formats them, and written on a thread of their own, so
// that a folder that stops answering holds up neither the loop nor the records. They are handed
// over at the start, at each change (a guard's news, a stop) and at the first slot a minute after
// the last, so that a keep-alive that died shows as a timestamp that stopped moving.
#pragma once

#include <cstddef>
#include <cstdint>

#include "command_line/guards.h"
#include "command_line/record.h"
#include "command_line/scan_state.h"
#include "platform/host.h"

namespace wdt {

struct Metrics {
    const char* folder = nullptr;  // nullptr: none are kept
    unsigned n = 0;
    char driver[160] = "";         // the driver, as its library tells it
    char library[1024] = "";
    bool recorded = false;         // a service's: the previous run and the last drill are known
    PreviousRun previous = PreviousRun::none;
    int64_t drill_armed_s = -1;    // the last drill's arm; -1 without one
    bool drill_passed = false;
    // What the loop keeps of them.
    int64_t started_s = 0;
    int64_t last_refresh_s = -1;
    uint64_t refreshes = 0;
    bool running = true;
    bool held_back = false;
    int64_t due_ms = 0;            // when they are handed over next, at the latest
    uint64_t silent_guards = 0;    // which guards were silent when they were last handed over
    bool problem_said = false;
};

// The record's facts for the metrics: the previous run and the last drill.
void metrics_from_record(Metrics& metrics, const Record& record);
// Composes the metrics as the keep-alive stands now; the length, 0 when they do not fit.
size_t compose_metrics(const Metrics& metrics, const Host& host, const ScanState& state, const Guards& guards, char* text,
                       size_t size);
// Hands them over when something changed, or a minute has passed; says once, at a later slot,
// that they could not be written. Never waits.
void keep_metrics(Metrics& metrics, const Host& host, const ScanState& state, const Guards& guards, bool changed);

}  // namespace wdt
