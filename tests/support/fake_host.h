// A stand-in for the operating system and the driver library, for in-process tests and fuzzing.
// The driver's entries are plain functions without context, so the recorded world is global.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/host.h"

namespace fake {

struct DriverCall {
    std::string entry;
    int32_t milliseconds = 0;  // SetWDTn only
    int32_t mode = 0;          // SetWDTn only
    int64_t at_ms = 0;         // fake clock at the call
    // The time is checked on its own where it matters.
    bool operator==(const DriverCall& other) const {
        return entry == other.entry && milliseconds == other.milliseconds && mode == other.mode;
    }
};

// A check or repair the tool started.
struct Process {
    std::string command;
    int64_t started_ms = 0;
    int64_t ended_ms = -1;  // when the tool ended it; -1 while it has not
    wdt::ChildRole role = wdt::ChildRole::check;
};

// How a command behaves once started: it runs for a while (-1: never ends), then exits 0 or not,
// or is found not to exist.
struct Command {
    int64_t runs_ms = 0;
    bool succeeds = true;
    bool not_found = false;
};

struct World {
    // What the fake system offers.
    bool library_present = true;
    int64_t library_from_ms = 0;            // before then (the fake clock) the library cannot be loaded
    int64_t service_wait_ms = 0;            // how long a service waits for its driver (Windows: 120 s)
    std::set<std::string> missing_entries;
    bool reports_status = true;             // exports the status marker, as our own libraries do
    int32_t marker_answer = 0x77647402;     // what the status marker answers
    bool marker_is_data = false;            // the marker's name is a variable's, not a function's
    std::set<std::string> failing_entries;  // answer 1 (not done) from each call
    std::set<std::string> held_only_entries; // answer 2 (done while the device is held)
    std::set<size_t> failing_calls;         // the same for these calls, counted from 0
    int rounds = 3;                         // waits granted before the process is ended, as if killed
    int stop_at_round = -1;                 // the wait, from 0, during which a stop is requested
    std::map<int, wdt::Wake> wakes;         // per wait, from 0: how it ends instead of at its deadline
    std::vector<int64_t> late_by_ms;        // per wait: how long past its deadline it wakes
    int64_t driver_call_ms = 0;             // how long each driver call takes
    // Heartbeat files: the spans of time [from, to) during which the application keeps touching
    // each; a file without any span does not exist, nor one during a span in `missing` (it comes
    // back with the time it had). A look-up answers at once what the file was when it was asked for
    // (the tool sees that at its next slot), except one of a file in `hung`, which never answers,
    // and during a span in `unreadable`, which fails.
    std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> touched;
    std::set<std::string> hung;
    std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> unreadable;
    std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> missing;  // spans when the file is gone
    std::map<std::string, Command> commands;  // unknown commands cannot be started
    std::map<std::string, std::string> unsafe;  // commands a service may not run, and why
    std::map<unsigned, std::string> records;  // a service's record of each watchdog
    std::map<unsigned, std::string> refused_records;  // what is there instead of a record, and is not taken
    bool records_writable = true;
    bool records_denied = false;             // this process may not read the records
    int record_writes = 0;
    std::vector<std::string> record_states;  // the State of each record written, in order
    std::map<unsigned, std::string> handed;  // the last record handed over, written or not
    std::map<unsigned, std::string> metrics; // the last metrics handed over, and how many times
    int metrics_writes = 0;
    std::string metrics_problem;             // why the metrics cannot be written; empty when they can
    std::set<unsigned> locked_elsewhere;     // watchdogs that another process keeps
    bool locks_unavailable = false;          // no lock can be had (a process without the rights)
    std::map<unsigned, std::string> keepers; // what each watchdog's keeper said of itself in its lock
    bool keepers_denied = false;             // this process may not read what keepers said
    std::set<unsigned> held;                 // the watchdogs whose lock this process holds
    bool children_listed = true;             // the system lists the tool's children
    std::string description;                 // what wdtctl_status answers; none exported when empty
    unsigned last_description_n = 0;         // the number it was last asked with
    int64_t pid = 4242;                      // the tool's own
    std::map<int64_t, int64_t> processes_running{{4242, 777}};  // pid -> its start
    std::string boot = "boot-1";             // this boot's id; empty: it cannot be told
    int64_t wall_clock_s = 1796000000;        // moves with now_ms
    int64_t booted_at_s = 1795999000;
    std::string library_path;                // where WDT.dll was loaded from; empty: cannot be told
    bool terminal = false;                   // standard output is a terminal
    std::string host_name = "plant-7", product = "Maker Box 3000, serial S-1", user = "root";
    std::map<std::string, std::string> files;  // what read_file finds
    int stop_requests_taken = 0;

    // What the tool did.
    int library_loads = 0;
    std::vector<std::string> lookups;
    std::vector<DriverCall> calls;
    std::string output;
    std::vector<std::pair<wdt::Severity, std::string>> severities;  // each message, with its severity
    size_t flushed_bytes = 0;               // output length at the last flush
    std::vector<int64_t> wait_deadlines;
    std::vector<size_t> flushed_at_wait;    // flushed_bytes at the start of each wait
    std::vector<size_t> output_at_wait;     // output length at the start of each wait
    int memory_holds = 0;
    std::vector<int> holds_at_wait;         // memory_holds at the start of each wait
    int64_t now_ms = 1000;
    std::vector<Process> processes;          // in the order they were started
    std::vector<bool> strays_ended;          // each call to end strays: whether it was at the end
    std::vector<std::pair<unsigned, size_t>> unlocked;  // each unlock: the watchdog, and how many driver calls came before
};

World& world();
void reset();
const wdt::Host& host();

// What run answers for a run that the world ended as if the process were killed.
inline constexpr int kKilled = -9;

// Runs the tool on the given user arguments (argument 0 is "wdtctl"), as a service if asked.
int run(const std::vector<std::string>& user_arguments, bool service = false);
// The same on an argument vector as the process gets it.
int run_argv(int argc, const char* const* argv);

// Shorthands for expected calls.
DriverCall set(int n, int32_t milliseconds);
DriverCall reset_entry(int n);
DriverCall disable(int n);

}  // namespace fake
