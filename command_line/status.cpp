#include "command_line/status.h"

#include <cstdio>

#include "command_line/interpreter.h"
#include "command_line/record.h"
#include "command_line/text.h"
#include "driver/watchdog_driver.h"

namespace wdt {
namespace {

const char* keeping_text(const Host& host, const RecordView& view, char* cannot_tell, size_t size) {
    put(cannot_tell, size, "cannot be told: %s", host.words.privileged);
    switch (view.keeping) {
        case Keeping::none: return "none recorded";
        case Keeping::unusable:
            return view.damaged ? "the record is damaged" : "the record is not the tool's own, and is not used";
        case Keeping::cannot_tell: return cannot_tell;
        case Keeping::running: return "running";
        case Keeping::silent: return "running, refreshes held back by a guard";
        case Keeping::stopped: return "stopped";
        case Keeping::ended: return "ended without a deliberate stop";
        case Keeping::refused: return "its last start was refused";
        case Keeping::drilling: return "none: a drill is under way";
        case Keeping::drilled: return "none since the last drill";
    }
    return "";
}

void line(const Host& host, const char* name, const char* value) { say(host, Severity::info, "%s: %s\n", name, value); }

// What the record says, one "Name: value" line each.
void say_record(const Host& host, const RecordView& view) {
    char cannot_tell[96];
    line(host, "Keep-alive", keeping_text(host, view, cannot_tell, sizeof cannot_tell));
    if (view.keeping == Keeping::unusable && !view.damaged) line(host, "Record", view.problem);
    if (view.pid[0] == '\0') return;
    const bool drill = view.keeping == Keeping::drilling || view.keeping == Keeping::drilled;
    line(host, drill ? "Drill pid" : "Keep-alive pid", view.pid);
    line(host, drill ? "Drill started" : "Keep-alive started", view.started);
    if (view.keeping == Keeping::stopped) line(host, "Keep-alive stopped", view.changed);
    if (!drill && view.command[0] != '\0') line(host, "Keep-alive command line", view.command);
    if (view.guard[0] != '\0') line(host, "Guard", view.guard);
    if (view.refused[0] != '\0') line(host, "Refused", view.refused);
    if (view.previous[0] != '\0') line(host, "Previous run", view.previous);
    if (view.drills.count > 0) {
        static char text[1400];
        report_drill(view.drills.list[view.drills.count - 1], text, sizeof text);
        line(host, "Last drill", text);
    }
}

}  // namespace

int show_status(const CommandLine& line, const Host& host) {
    Refusal refusal;
    unsigned n = 0;
    if (!select_watchdog(line, host, refusal, n)) return 1;
    say(host, Severity::info, "Watchdog: %u\n", n);
    WatchdogDriver driver;
    const LoadResult loaded = load_driver(driver, host.library);
    static char text[4096];
    const bool described = loaded.status == LoadStatus::loaded && describe(driver, host.library, n, true, text, sizeof text) >= 0;
    if (described) {
        say(host, Severity::info, "%s", text);
    } else if (loaded.status == LoadStatus::loaded) {
        say(host, Severity::info, "Driver: says nothing of this watchdog\n");
    } else {
        say(host, Severity::info, "Driver: %s\n", loaded.status == LoadStatus::no_library ? "WDT.dll not found" : "WDT.dll lacks an entry point");
    }
    static RecordView view;
    view_record(host, n, described ? text : nullptr, view);
    say_record(host, view);
    const bool recorded = view.keeping != Keeping::none && view.keeping != Keeping::unusable && view.keeping != Keeping::cannot_tell;
    return described || recorded ? 0 : 1;
}

}  // namespace wdt
