#include "tests/support/fake_host.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "command_line/interpreter.h"
#include "command_line/reading.h"

namespace fake {
namespace {

World the_world;
int library_token;
// Where a run ends as if the process were killed: the tool keeps nothing that must be undone on
// the way out (its objects are plain data), as a killed process leaves nothing undone either.
std::jmp_buf killed;

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
int32_t describe_entry(int32_t n, char* text, int32_t size) {
    the_world.last_description_n = static_cast<unsigned>(n);
    const std::string& description = the_world.description;
    if (static_cast<int32_t>(description.size()) >= size) return -1;
    std::memcpy(text, description.c_str(), description.size() + 1);
    return static_cast<int32_t>(description.size());
}

void* open_library(const char* file_name) {
    ++the_world.library_loads;
    const bool ready = the_world.library_present && the_world.now_ms >= the_world.library_from_ms;
    return (ready && std::string(file_name) == "WDT.dll") ? &library_token : nullptr;
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

void print(wdt::Severity severity, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.pop_back();
    the_world.output += text;
    the_world.severities.push_back({severity, text});
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
    if (static_cast<int>(round) >= the_world.rounds) std::longjmp(killed, 1);
    const int64_t late = round < the_world.late_by_ms.size() ? the_world.late_by_ms[round] : 0;
    if (deadline > the_world.now_ms) the_world.now_ms = deadline;
    the_world.now_ms += late;
    return wdt::Wake::due;
}

void hold_memory() { ++the_world.memory_holds; }

bool within(const std::vector<std::pair<int64_t, int64_t>>& spans, int64_t at) {
    for (const auto& [from, to] : spans) {
        if (from <= at && at < to) return true;
    }
    return false;
}

// What a look-up of the file finds at that time: a file touched during a span is touched at every
// instant of it.
void look_up_at(const std::string& path, int64_t at, wdt::Lookup& lookup) {
    if (within(the_world.unreadable[path], at)) {
        lookup.kind = wdt::FileKind::unreadable;
        std::snprintf(lookup.reason, sizeof lookup.reason, "Input/output error");
        return;
    }
    int64_t touched = INT64_MIN;
    for (const auto& [from, to] : the_world.touched[path]) {
        if (from <= at) touched = std::max(touched, std::min(at, to - 1));
    }
    lookup.kind = touched == INT64_MIN || within(the_world.missing[path], at) ? wdt::FileKind::absent : wdt::FileKind::found;
    lookup.time = {touched / 1000, touched % 1000 * 1000000};
}

struct Asked {
    bool waiting = false;
    int64_t asked_ms = 0;
    wdt::Lookup found;
};
std::map<int, Asked> asked;

void look_up_file(int slot, const char* path, wdt::Lookup& lookup) {
    Asked& it = asked[slot];
    if (it.waiting && the_world.hung.count(path) == 0) {
        const uint32_t answers = it.found.answers + 1;
        it.found = wdt::Lookup{};
        look_up_at(path, it.asked_ms, it.found);
        it.found.answers = answers;
        it.found.read_ms = it.asked_ms;
        it.waiting = false;
    }
    lookup = it.found;
    lookup.waiting_since_ms = it.waiting ? it.asked_ms : -1;
    if (!it.waiting) it = {true, the_world.now_ms, it.found};
}

int64_t start_process(const char* command, wdt::ChildRole role) {
    if (the_world.commands.count(command) == 0) return 0;
    the_world.processes.push_back({command, the_world.now_ms, -1, role});
    return static_cast<int64_t>(the_world.processes.size());
}

bool may_run(const char* command, char* why, size_t size) {
    const auto found = the_world.unsafe.find(command);
    if (found == the_world.unsafe.end()) return true;
    std::snprintf(why, size, "%s", found->second.c_str());
    return false;
}

wdt::ProcessState poll_process(int64_t id) {
    const Process& process = the_world.processes.at(static_cast<size_t>(id - 1));
    const Command& command = the_world.commands[process.command];
    if (process.ended_ms >= 0) throw std::logic_error("polled after it was ended: " + process.command);
    if (command.runs_ms < 0 || the_world.now_ms - process.started_ms < command.runs_ms) return wdt::ProcessState::running;
    if (command.not_found) return wdt::ProcessState::not_found;
    return command.succeeds ? wdt::ProcessState::succeeded : wdt::ProcessState::failed;
}

void end_process(int64_t id) {
    Process& process = the_world.processes.at(static_cast<size_t>(id - 1));
    if (process.ended_ms >= 0) throw std::logic_error("ended twice: " + process.command);
    process.ended_ms = the_world.now_ms;
}

bool end_strays(bool all) {
    the_world.strays_ended.push_back(all);
    return the_world.children_listed;
}

int64_t wall_clock_s() { return the_world.wall_clock_s + (the_world.now_ms - 1000) / 1000; }
int64_t process_id() { return the_world.pid; }
int64_t process_start(int64_t pid) {
    const auto found = the_world.processes_running.find(pid);
    return found != the_world.processes_running.end() ? found->second : 0;
}
bool boot_id(char* text, size_t size) {
    std::snprintf(text, size, "%s", the_world.boot.c_str());
    return !the_world.boot.empty();
}
int64_t booted_at_s() { return the_world.booted_at_s; }

wdt::RecordRead read_record(unsigned n, char* buffer, size_t size, char* reason, size_t reason_size) {
    if (the_world.records_denied) return wdt::RecordRead::denied;
    if (the_world.refused_records.count(n) != 0) {
        std::snprintf(reason, reason_size, "%s", the_world.refused_records[n].c_str());
        return wdt::RecordRead::refused;
    }
    if (the_world.records.count(n) == 0) return wdt::RecordRead::none;
    const std::string& record = the_world.records[n];
    const size_t length = std::min(record.size(), size - 1);
    std::memcpy(buffer, record.data(), length);
    buffer[length] = '\0';
    return wdt::RecordRead::read;
}

void write_record(unsigned n, const char* text, size_t length) {
    ++the_world.record_writes;
    const std::string record(text, length);
    const size_t state = record.find("State: ");
    if (state != std::string::npos) the_world.record_states.push_back(record.substr(state + 7, record.find('\n', state) - state - 7));
    if (the_world.records_writable) the_world.records[n] = std::string(text, length);
    the_world.handed[n] = std::string(text, length);
}

bool records_written(int64_t) { return the_world.records_writable; }

// As the real lock: another process's is not taken; this process's own, once taken, stays taken.
wdt::RecordLock lock_record(unsigned n, const char* keeper, char* reason, size_t reason_size) {
    if (the_world.held.count(n) != 0) return wdt::RecordLock::taken;
    if (the_world.locked_elsewhere.count(n) != 0) return wdt::RecordLock::held_elsewhere;
    if (the_world.locks_unavailable) {
        std::snprintf(reason, reason_size, "/run/wdtctl/watchdog%u.lock is a FIFO", n);
        return wdt::RecordLock::unavailable;
    }
    the_world.held.insert(n);
    the_world.keepers[n] = keeper;
    return wdt::RecordLock::taken;
}

void unlock_record(unsigned n) {
    the_world.held.erase(n);
    the_world.unlocked.push_back({n, the_world.calls.size()});
}

wdt::RecordRead read_keeper(unsigned n, char* text, size_t size) {
    if (the_world.keepers_denied) return wdt::RecordRead::denied;
    if (the_world.keepers.count(n) == 0) return wdt::RecordRead::none;
    std::snprintf(text, size, "%s", the_world.keepers[n].c_str());
    return wdt::RecordRead::read;
}

bool copy(const std::string& value, char* text, size_t size);
bool records_folder(char* text, size_t size) { return copy("/var/lib/wdtctl", text, size); }
void write_metrics(unsigned n, const char*, const char* text, size_t length) {
    the_world.metrics[n] = std::string(text, length);
    ++the_world.metrics_writes;
}
bool metrics_written(char* reason, size_t size) { return !copy(the_world.metrics_problem, reason, size); }
bool metrics_folder(const char*, char* reason, size_t size) { return !copy(the_world.metrics_problem, reason, size); }

bool library_path(void*, char* text, size_t size) {
    std::snprintf(text, size, "%s", the_world.library_path.c_str());
    return !the_world.library_path.empty();
}
bool is_terminal() { return the_world.terminal; }

bool copy(const std::string& value, char* text, size_t size) {
    std::snprintf(text, size, "%s", value.c_str());
    return !value.empty();
}
bool host_name(char* text, size_t size) { return copy(the_world.host_name, text, size); }
bool product(char* text, size_t size) { return copy(the_world.product, text, size); }
bool user(char* text, size_t size) { return copy(the_world.user, text, size); }
bool read_file(const char* path, void (*each)(const void*, size_t, void*), void* context) {
    const auto found = the_world.files.find(path);
    if (found == the_world.files.end()) return false;
    each(found->second.data(), found->second.size(), context);
    return true;
}
int64_t service_wait_ms() { return the_world.service_wait_ms; }
void take_stop_requests() { ++the_world.stop_requests_taken; }

const wdt::Host::Words words{.stop_service = "systemctl stop wdtctl", .start_service = "systemctl start wdtctl",
                             .end_process = "kill", .privileged = "run as root"};

const wdt::Host the_host{
    .library = {.open = open_library, .find = find_entry, .is_code = is_code, .path = library_path,
                .service_wait_ms = service_wait_ms},
    .output = {.print = print, .flush = flush, .is_terminal = is_terminal},
    .clock = {.now_ms = now_ms, .sleep_until_ms = sleep_until_ms, .take_stop_requests = take_stop_requests,
              .wall_clock_s = wall_clock_s, .booted_at_s = booted_at_s},
    .process = {.id = process_id, .start_of = process_start, .boot_id = boot_id, .hold_memory = hold_memory},
    .files = {.look_up = look_up_file},
    .children = {.start = start_process, .may_run = may_run, .poll = poll_process, .end = end_process, .end_strays = end_strays},
    .records = {.read = read_record, .write = write_record, .written = records_written, .lock = lock_record,
                .unlock = unlock_record, .keeper = read_keeper, .folder = records_folder, .write_metrics = write_metrics,
                .metrics_written = metrics_written, .metrics_folder = metrics_folder},
    .machine = {.host_name = host_name, .product = product, .user = user, .read_file = read_file},
    .words = words,
};

}  // namespace

World& world() { return the_world; }
void reset() {
    the_world = World{};
    asked.clear();
}
const wdt::Host& host() { return the_host; }

int run(const std::vector<std::string>& user_arguments, bool service) {
    std::vector<const char*> argv{"wdtctl"};
    if (service) argv.push_back("--service");
    for (const std::string& argument : user_arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    return run_argv(static_cast<int>(argv.size()) - 1, argv.data());
}

int run_argv(int argc, const char* const* argv) {
    static wdt::CommandLine line;  // not on the stack that a kill jumps over
    if (!wdt::read_command_line(argc, argv, line)) throw std::bad_alloc();
    if (setjmp(killed) != 0) {
        wdt::forget_command_line(line);
        return kKilled;
    }
    const int status = wdt::run(line, the_host);
    wdt::forget_command_line(line);
    return status;
}

DriverCall set(int n, int32_t milliseconds) { return {"SetWDT" + std::to_string(n), milliseconds, 208, 0}; }
DriverCall reset_entry(int n) { return {"ResetWDT" + std::to_string(n), 0, 0, 0}; }
DriverCall disable(int n) { return {"DisableWDT" + std::to_string(n), 0, 0, 0}; }

}  // namespace fake
