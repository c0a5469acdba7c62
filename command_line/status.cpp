#include "command_line/status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_line/interpreter.h"
#include "command_line/json.h"
#include "command_line/keeper.h"
#include "command_line/record.h"
#include "command_line/text.h"
#include "driver/watchdog_driver.h"

namespace wdt {
namespace {

// What a keep-alive of the watchdog is doing, as the status tells it; one word each in JSON.
enum class Keep : uint8_t { none, running, silent, stopped, ended, refused, unknown };
constexpr const char* kKeepWords[] = {"none", "running", "silent", "stopped", "ended", "refused", "unknown"};

enum class Protection : uint8_t { unknown, yes, no };
constexpr const char* kProtectionWords[] = {"unknown", "yes", "no"};

// Everything a status says, gathered before any of it is said.
struct Facts {
    unsigned n = 0;
    LoadStatus loaded{};  // told by gather() before it is read (zero by default, like every member)
    char library[1024] = "";
    bool described = false;
    char description[4096] = "";
    RecordView view;
    Kept kept = Kept::nobody;
    Keeper keeper;  // who holds the watchdog's lock, when it runs
    Keep keep = Keep::none;
    KeeperKind runner = KeeperKind::unknown;  // the running keep-alive's: service or console
    char pid[32] = "";
    Protection protection = Protection::unknown;
    char why[700] = "";
};

bool simulated(const Facts& facts) {
    char driver[200] = "";
    return facts.described && field(facts.description, "Driver", driver, sizeof driver) && drives_no_hardware(driver);
}

// The keep-alive, from the record and from the watchdog's lock (a console's loop keeps no record).
void find_keep_alive(Facts& facts) {
    const RecordView& view = facts.view;
    if (view.keeping == Keeping::running || view.keeping == Keeping::silent) {
        facts.keep = view.keeping == Keeping::running ? Keep::running : Keep::silent;
        facts.runner = KeeperKind::service;
        std::memcpy(facts.pid, view.pid, sizeof facts.pid);
        return;
    }
    if (facts.kept == Kept::running && facts.keeper.kind == KeeperKind::console) {
        facts.keep = Keep::running;
        facts.runner = KeeperKind::console;
        put(facts.pid, sizeof facts.pid, "%lld", static_cast<long long>(facts.keeper.pid));
        return;
    }
    switch (view.keeping) {
        case Keeping::stopped: facts.keep = Keep::stopped; break;
        case Keeping::ended: facts.keep = Keep::ended; break;
        case Keeping::refused: facts.keep = Keep::refused; break;
        case Keeping::none:
        case Keeping::drilling:
        case Keeping::drilled: facts.keep = Keep::none; break;
        default: facts.keep = Keep::unknown; break;
    }
    // Where this user cannot see a console's keeper, nothing can be said to run or not.
    if (facts.kept == Kept::cannot_tell && facts.keep != Keep::unknown) facts.keep = Keep::unknown;
}

// Yes: a keep-alive of this watchdog runs, its refreshes are not held back, and the driver library
// drives hardware (and the last drill did not fail); otherwise the first reason why not.
void judge(Facts& facts, const Host& host) {
    const RecordView& view = facts.view;
    const Drill* drill = view.drills.count > 0 ? &view.drills.list[view.drills.count - 1] : nullptr;
    facts.protection = Protection::no;
    if (facts.keep == Keep::unknown) {
        facts.protection = Protection::unknown;
        put(facts.why, sizeof facts.why, "cannot be told: %s", host.words.privileged);
    } else if (view.keeping == Keeping::drilling) {
        put(facts.why, sizeof facts.why, "no keep-alive runs: a drill is under way");
    } else if (facts.keep != Keep::running && facts.keep != Keep::silent) {
        put(facts.why, sizeof facts.why, "no keep-alive runs%s",
            facts.keep == Keep::stopped   ? ": it was stopped"
            : facts.keep == Keep::ended   ? ": it ended without a deliberate stop"
            : facts.keep == Keep::refused ? ": its last start was refused"
                                          : "");
    } else if (facts.keep == Keep::silent) {
        put(facts.why, sizeof facts.why, "guards hold the refreshes back: %s", view.guard);
    } else if (facts.loaded != LoadStatus::loaded) {
        facts.protection = Protection::unknown;
        put(facts.why, sizeof facts.why, "the driver library cannot be loaded here, so what it drives cannot be told");
    } else if (simulated(facts)) {
        put(facts.why, sizeof facts.why, "the simulated driver drives no hardware");
    } else if (drill != nullptr && drill->result == DrillResult::failed) {
        put(facts.why, sizeof facts.why, "the last drill failed: %s", drill->text);
    } else if (facts.runner == KeeperKind::console && facts.keeper.guarded) {
        facts.protection = Protection::unknown;
        put(facts.why, sizeof facts.why, "a loop in a console does not say whether its guards hold the refreshes back");
    } else {
        facts.protection = Protection::yes;
    }
}

void gather(Facts& facts, const Host& host, unsigned n) {
    facts.n = n;
    WatchdogDriver driver;
    facts.loaded = load_driver(driver, host.library).status;
    if (facts.loaded == LoadStatus::loaded) {
        if (!host.library.path(driver.library, facts.library, sizeof facts.library)) facts.library[0] = '\0';
        facts.described = describe(driver, host.library, n, true, facts.description, sizeof facts.description) >= 0;
    }
    view_record(host, n, facts.described ? facts.description : nullptr, facts.view);
    facts.kept = who_keeps(host, n, facts.keeper);
    find_keep_alive(facts);
    judge(facts, host);
}

void line(const Host& host, const char* name, const char* value) { say(host, Severity::info, "%s: %s\n", name, value); }

void say_text(const Facts& facts, const Host& host) {
    if (facts.protection == Protection::yes) {
        line(host, "Protected", "yes");
    } else {
        say(host, Severity::info, "Protected: %s (%s)\n", kProtectionWords[static_cast<int>(facts.protection)], facts.why);
    }
    say(host, Severity::info, "Watchdog: %u\n", facts.n);
    if (facts.described) {
        say(host, Severity::info, "%s", facts.description);
    } else if (facts.loaded == LoadStatus::loaded) {
        line(host, "Driver", "says nothing of this watchdog");
    } else {
        line(host, "Driver", facts.loaded == LoadStatus::no_library ? "WDT.dll not found" : "WDT.dll lacks an entry point");
    }
    const RecordView& view = facts.view;
    char cannot_tell[96];
    put(cannot_tell, sizeof cannot_tell, "cannot be told: %s", host.words.privileged);
    const bool console = facts.runner == KeeperKind::console;
    if (console) {
        // A console's loop keeps no record: what the record says is of the service's last run.
        line(host, "Keep-alive", "running, in a console (it keeps no record)");
        line(host, "Keep-alive pid", facts.pid);
    } else {
        line(host, "Keep-alive", view.keeping == Keeping::none          ? "none recorded"
                                 : view.keeping == Keeping::unusable    ? (view.damaged ? "the record is damaged"
                                                                                        : "the record is not the tool's own, and is not used")
                                 : view.keeping == Keeping::cannot_tell ? cannot_tell
                                 : view.keeping == Keeping::running     ? "running"
                                 : view.keeping == Keeping::silent      ? "running, refreshes held back by a guard"
                                 : view.keeping == Keeping::stopped     ? "stopped"
                                 : view.keeping == Keeping::ended       ? "ended without a deliberate stop"
                                 : view.keeping == Keeping::refused     ? "its last start was refused"
                                 : view.keeping == Keeping::drilling    ? "none: a drill is under way"
                                                                        : "none since the last drill");
    }
    if (view.keeping == Keeping::unusable && !view.damaged) line(host, "Record", view.problem);
    if (view.pid[0] == '\0') return;
    const bool drill = view.keeping == Keeping::drilling || view.keeping == Keeping::drilled;
    if (!console) {
        line(host, drill ? "Drill pid" : "Keep-alive pid", view.pid);
        line(host, drill ? "Drill started" : "Keep-alive started", view.started);
        if (view.keeping == Keeping::stopped) line(host, "Keep-alive stopped", view.changed);
        if (!drill && view.command[0] != '\0') line(host, "Keep-alive command line", view.command);
    }
    if (view.guard[0] != '\0') line(host, "Guard", view.guard);
    if (view.refused[0] != '\0') line(host, "Refused", view.refused);
    if (view.previous[0] != '\0') line(host, "Previous run", view.previous);
    if (view.drills.count > 0) {
        static char text[1400];
        report_drill(view.drills.list[view.drills.count - 1], text, sizeof text);
        line(host, "Last drill", text);
    }
}

// "YYYY-MM-DD hh:mm:ss UTC" as RFC 3339 ("YYYY-MM-DDThh:mm:ssZ"); null when it is not one.
const char* rfc3339(const char* said, char (&out)[32]) {
    if (std::strlen(said) != 23 || said[10] != ' ' || std::strcmp(said + 19, " UTC") != 0) return nullptr;
    put(out, sizeof out, "%.10sT%.8sZ", said, said + 11);
    return out;
}

void json_seconds(Json& json, const char* description, const char* name) {
    char value[32];
    char* end = nullptr;
    const long seconds = field(description, name, value, sizeof value) ? std::strtol(value, &end, 10) : -1;
    if (end != nullptr && end != value && seconds >= 0) {
        json_number(json, seconds);
    } else {
        json_null(json);
    }
}

void json_driver(Json& json, const Facts& facts) {
    json_key(json, "driver");
    json_open(json, '{');
    json_key(json, "library");
    json_string(json, facts.library[0] != '\0' ? facts.library : nullptr);
    const char* d = facts.described ? facts.description : "";
    char value[1024];
    json_key(json, "name");
    json_string(json, field(d, "Driver", value, sizeof value) ? value : nullptr);
    json_key(json, "state");
    json_string(json, field(d, "State", value, sizeof value) && std::strcmp(value, "unknown") != 0 ? value : nullptr);
    json_key(json, "timeout_s");
    json_seconds(json, d, "Timeout");
    json_key(json, "time_left_s");
    json_seconds(json, d, "Time left");
    json_key(json, "nowayout");
    if (field(d, "Nowayout", value, sizeof value) && (std::strcmp(value, "yes") == 0 || std::strcmp(value, "no") == 0)) {
        json_bool(json, value[0] == 'y');
    } else {
        json_null(json);
    }
    json_key(json, "boot_status");
    if (field(d, "Boot status", value, sizeof value) && std::strcmp(value, "unknown") != 0) {
        json_open(json, '[');
        for (char* word = std::strcmp(value, "none") == 0 ? nullptr : value; word != nullptr;) {
            char* next = std::strstr(word, ", ");
            if (next != nullptr) *next = '\0';
            json_string(json, word);
            word = next != nullptr ? next + 2 : nullptr;
        }
        json_close(json, ']');
    } else {
        json_null(json);
    }
    json_key(json, "held_by");
    long pid = 0;
    char name[200] = "";
    value[0] = '\0';
    if (field(d, "Held by", value, sizeof value) && std::strcmp(value, "nobody") == 0) {
        json_open(json, '[');
        json_close(json, ']');
    } else if (std::sscanf(value, "pid %ld (%199[^)])", &pid, name) == 2) {
        json_open(json, '[');
        json_open(json, '{');
        json_key(json, "pid");
        json_number(json, pid);
        json_key(json, "name");
        json_string(json, name);
        json_close(json, '}');
        json_close(json, ']');
    } else {
        json_null(json);
    }
    json_close(json, '}');
}

void json_keep_alive(Json& json, const Facts& facts) {
    const RecordView& view = facts.view;
    // What the record says of the service's last run, unless a console's loop is what runs now.
    const bool console = facts.runner == KeeperKind::console;
    const bool from_record = !console && view.pid[0] != '\0' && view.keeping != Keeping::drilling &&
                             view.keeping != Keeping::drilled;
    char time[32];
    json_key(json, "keepalive");
    json_open(json, '{');
    json_key(json, "state");
    json_string(json, kKeepWords[static_cast<int>(facts.keep)]);
    json_key(json, "kind");
    json_string(json, facts.runner == KeeperKind::service   ? "service"
                      : facts.runner == KeeperKind::console ? "console"
                                                            : nullptr);
    json_key(json, "pid");
    if (facts.pid[0] != '\0') {
        json_number(json, std::strtoll(facts.pid, nullptr, 10));
    } else {
        json_null(json);
    }
    json_key(json, "started");
    json_string(json, from_record ? rfc3339(view.started, time) : nullptr);
    json_key(json, "command_line");
    json_string(json, from_record ? view.command : nullptr);
    json_key(json, "guards");
    json_open(json, '[');
    for (int i = 0; from_record && i < view.watched_count; ++i) {
        // Only the guard that holds the refreshes back is known by its news; the rest are healthy
        // while the refreshes go on, and not known while they are held back.
        // "no news from <guard> since <time>", the guard whole (a guard whose name begins another's is not it).
        const size_t length = std::strlen(view.watched[i]);
        const char* after = view.guard + 13;
        const bool silent_one = std::strncmp(view.guard, "no news from ", 13) == 0 &&
                                std::strncmp(after, view.watched[i], length) == 0 && std::strncmp(after + length, " since ", 7) == 0;
        char since[64] = "";
        if (silent_one) put(since, sizeof since, "%s", after + length + 7);
        json_open(json, '{');
        json_key(json, "guard");
        json_string(json, view.watched[i]);
        json_key(json, "healthy");
        if (facts.keep == Keep::running) {
            json_bool(json, true);
        } else if (silent_one) {
            json_bool(json, false);
        } else {
            json_null(json);
        }
        json_key(json, "last_news");
        json_string(json, silent_one ? rfc3339(since, time) : nullptr);
        json_close(json, '}');
    }
    json_close(json, ']');
    json_close(json, '}');
}

void json_drills(Json& json, const Facts& facts) {
    json_key(json, "drills");
    json_open(json, '[');
    for (int i = 0; i < facts.view.drills.count; ++i) {
        const Drill& drill = facts.view.drills.list[i];
        char armed[64], time[32];
        format_utc(drill.armed_s, armed);
        json_open(json, '{');
        json_key(json, "armed");
        json_string(json, rfc3339(armed, time));
        json_key(json, "timeout_s");
        json_number(json, judged_timeout(drill));
        json_key(json, "result");
        json_string(json, word_of(drill.result));
        json_key(json, "reset_after_s");
        if (drill.low >= 0) {
            json_open(json, '[');
            json_number(json, drill.low);
            json_number(json, drill.high);
            json_close(json, ']');
        } else {
            json_null(json);
        }
        json_key(json, "text");
        json_string(json, result_text(drill));
        json_close(json, '}');
    }
    json_close(json, ']');
}

void say_json(const Facts& facts, const Host& host) {
    static char text[65536];
    Json json{text, sizeof text};
    json_open(json, '{');
    json_key(json, "watchdog");
    json_number(json, facts.n);
    json_key(json, "protected");
    json_string(json, kProtectionWords[static_cast<int>(facts.protection)]);
    json_key(json, "protected_why");
    json_string(json, facts.protection == Protection::yes ? nullptr : facts.why);
    json_driver(json, facts);
    json_keep_alive(json, facts);
    json_key(json, "previous_run");
    json_open(json, '{');
    const bool recorded = facts.view.keeping != Keeping::none && facts.view.keeping != Keeping::unusable &&
                          facts.view.keeping != Keeping::cannot_tell;
    json_key(json, "reason");
    json_string(json, recorded ? word_of(facts.view.previous_reason) : nullptr);
    json_key(json, "text");
    json_string(json, recorded && facts.view.previous[0] != '\0' ? facts.view.previous : nullptr);
    json_close(json, '}');
    json_drills(json, facts);
    json_close(json, '}');
    say(host, Severity::info, "%s\n", text);
}

}  // namespace

int show_status(const CommandLine& line, const Host& host) {
    Refusal refusal;
    unsigned n = 0;
    if (!select_watchdog(line, host, refusal, n)) return 1;
    static Facts facts;
    facts = Facts{};
    gather(facts, host, n);
    if (line.json) {
        say_json(facts, host);
    } else {
        say_text(facts, host);
    }
    return facts.protection == Protection::yes ? 0 : facts.protection == Protection::no ? 3 : 4;
}

}  // namespace wdt
