#include "tests/support/fake_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "command_line/interpreter.h"

namespace fake {
namespace {

World the_world;
int library_token;

int32_t record(const std::string& entry, int32_t milliseconds = 0, int32_t mode = 0) {
    const bool fails = the_world.failing_entries.count(entry) != 0 || the_world.failing_calls.count(the_world.calls.size()) != 0;
    the_world.calls.push_back({entry, milliseconds, mode, the_world.now_ms});
    the_world.now_ms += the_world.driver_call_ms;
    if (fails) return 1;
    return the_world.held_only_entries.count(entry) != 0 ? 2 : 0;
}

template <int N>
int32_t set_entry(int32_t milliseconds, int32_t mode) { return record("SetWDT" + std::to_string(N), milliseconds, mode); }
template <int N>
int32_t reset_entry() { return record("ResetWDT" + std::to_string(N)); }
template <int N>
int32_t disable_entry() { return record("DisableWDT" + std::to_string(N)); }
int32_t status_marker() { return the_world.marker_answer; }
int32_t describe_entry(int32_t, char* text, int32_t size) {
    const std::string& description = the_world.description;
    if (static_cast<int32_t>(description.size()) >= size) return -1;
    std::memcpy(text, description.c_str(), description.size() + 1);
    return static_cast<int32_t>(description.size());
}

void* open_library(const char* file_name) {
    ++the_world.library_loads;
    return (the_world.library_present && std::string(file_name) == "WDT.dll") ? &library_token : nullptr;
}

void* find_entry(void* library, const char* name) {
    if (library != &library_token) return nullptr;
    the_world.lookups.push_back(name);
    if (the_world.missing_entries.count(name) != 0) return nullptr;
    const std::string entry = name;
    if (entry == "SetWDT0") return reinterpret_cast<void*>(&set_entry<0>);
    if (entry == "SetWDT1") return reinterpret_cast<void*>(&set_entry<1>);
    if (entry == "ResetWDT0") return reinterpret_cast<void*>(&reset_entry<0>);
    if (entry == "ResetWDT1") return reinterpret_cast<void*>(&reset_entry<1>);
    if (entry == "DisableWDT0") return reinterpret_cast<void*>(&disable_entry<0>);
    if (entry == "DisableWDT1") return reinterpret_cast<void*>(&disable_entry<1>);
    if (entry == "wdtctl_entry_results" && the_world.marker_is_data) return &the_world.marker_answer;
    if (entry == "wdtctl_entry_results" && the_world.reports_status) return reinterpret_cast<void*>(&status_marker);
    if (entry == "wdtctl_status" && !the_world.description.empty()) return reinterpret_cast<void*>(&describe_entry);
    return nullptr;
}

bool is_code(void* address) { return address != &the_world.marker_answer; }

void print(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.pop_back();
    the_world.output += text;
}

void flush() { the_world.flushed_bytes = the_world.output.size(); }

int64_t now_ms() { return the_world.now_ms; }

wdt::Wake sleep_until_ms(int64_t deadline) {
    const size_t round = the_world.wait_deadlines.size();
    the_world.wait_deadlines.push_back(deadline);
    the_world.flushed_at_wait.push_back(the_world.flushed_bytes);
    the_world.output_at_wait.push_back(the_world.output.size());
    the_world.holds_at_wait.push_back(the_world.memory_holds);
    if (static_cast<int>(round) == the_world.stop_at_round) return wdt::Wake::stop_requested;
    if (the_world.wakes.count(static_cast<int>(round)) != 0) return the_world.wakes[static_cast<int>(round)];
    if (static_cast<int>(round) >= the_world.rounds) return wdt::Wake::ended;
    const int64_t late = round < the_world.late_by_ms.size() ? the_world.late_by_ms[round] : 0;
    if (deadline > the_world.now_ms) the_world.now_ms = deadline;
    the_world.now_ms += late;
    return wdt::Wake::due;
}

void hold_memory() { ++the_world.memory_holds; }

// The time of the last touch so far; a file touched during a span is touched at every instant of it.
int64_t file_stamp(const char* path) {
    int64_t stamp = wdt::kNoFile;
    for (const auto& [from, to] : the_world.touched[path]) {
        if (from <= the_world.now_ms) stamp = std::max(stamp, std::min(the_world.now_ms, to - 1));
    }
    return stamp;
}

int64_t start_process(const char* command) {
    if (the_world.commands.count(command) == 0) return 0;
    the_world.processes.push_back({command, the_world.now_ms});
    return static_cast<int64_t>(the_world.processes.size());
}

wdt::ProcessState poll_process(int64_t id) {
    const Process& process = the_world.processes.at(static_cast<size_t>(id - 1));
    const Command& command = the_world.commands[process.command];
    if (process.ended_ms >= 0) throw std::logic_error("polled after it was ended: " + process.command);
    if (command.runs_ms < 0 || the_world.now_ms - process.started_ms < command.runs_ms) return wdt::ProcessState::running;
    return command.succeeds ? wdt::ProcessState::succeeded : wdt::ProcessState::failed;
}

void end_process(int64_t id) {
    Process& process = the_world.processes.at(static_cast<size_t>(id - 1));
    if (process.ended_ms >= 0) throw std::logic_error("ended twice: " + process.command);
    process.ended_ms = the_world.now_ms;
}

int64_t wall_clock_s() { return the_world.wall_clock_s + (the_world.now_ms - 1000) / 1000; }
int64_t process_id() { return 4242; }
bool process_runs(int64_t pid) { return the_world.running_pids.count(pid) != 0; }
int64_t booted_at_s() { return the_world.booted_at_s; }

bool write_record(unsigned n, const char* text, size_t length) {
    ++the_world.record_writes;
    if (the_world.records_writable) the_world.records[n] = std::string(text, length);
    return the_world.records_writable;
}

size_t read_record(unsigned n, char* buffer, size_t size) {
    const std::string& record = the_world.records[n];
    const size_t length = std::min(record.size(), size - 1);
    std::memcpy(buffer, record.data(), length);
    buffer[length] = '\0';
    return length;
}

const wdt::Host the_host{open_library, find_entry, is_code, print, flush, now_ms, sleep_until_ms, hold_memory,
                         file_stamp, start_process, poll_process, end_process, wall_clock_s, process_id, process_runs, booted_at_s,
                         write_record, read_record};

}  // namespace

World& world() { return the_world; }
void reset() { the_world = World{}; }
const wdt::Host& host() { return the_host; }

int run(const std::vector<std::string>& user_arguments, bool service) {
    std::vector<const char*> argv{"wdtctl"};
    for (const std::string& argument : user_arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    return wdt::run(static_cast<int>(argv.size()) - 1, argv.data(), the_host, service);
}

DriverCall set(int n, int32_t milliseconds) { return {"SetWDT" + std::to_string(n), milliseconds, 208, 0}; }
DriverCall reset_entry(int n) { return {"ResetWDT" + std::to_string(n), 0, 0, 0}; }
DriverCall disable(int n) { return {"DisableWDT" + std::to_string(n), 0, 0, 0}; }

}  // namespace fake
