// What differs between operating systems: setting up the process, loading a library and looking up
// its names, the clock and the wait. One implementation per platform; the real Host is made of these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/host.h"

namespace wdt::system {

// Sets up the process before anything else runs: standard input, output and error are open (on
// the null device where they were closed), so that nothing opened later takes their numbers, and
// the signals the tool relies on are as it needs them. Answers the arguments as the tool reads
// them (on Windows, taken from the wide command line as UTF-8; elsewhere argv itself).
char** prepare_process(int& argc, char** argv);
// Why the tool cannot run on this system, as the one line it says before anything else; nullptr
// when it can.
const char* unsupported();
// Writes one message where the tool's messages go: standard output, or a log where a service has
// no console, marked with its severity where the reader ranks messages (the journal, the Event
// Log). Where a reader could hold the writer up (a pipe nobody reads, a stalled log), a message
// that cannot be written at once is dropped: output never holds up the keep-alive.
void write_message(wdt::Severity severity, const char* text, size_t length);
bool is_terminal();
void* open_library(const char* file_name);
void* find_entry(void* library, const char* name);
bool is_code(void* address);
bool library_path(void* library, char* text, size_t size);
int64_t service_wait_ms();
int64_t now_ms();
wdt::Wake sleep_until_ms(int64_t deadline);
void take_stop_requests();
void hold_memory();

// The guards' side: heartbeat files (heartbeats_*.cpp) and child processes (processes_*.cpp).
void look_up_file(int slot, const char* path, wdt::Lookup& lookup);
int64_t start_process(const char* command, wdt::ChildRole role);
bool may_run(const char* command, char* why, size_t size);
wdt::ProcessState poll_process(int64_t id);
void end_process(int64_t id);
bool end_strays(bool all);

// A service's record of a watchdog, and what tells boots and processes apart (records_*.cpp).
int64_t wall_clock_s();
int64_t process_id();
int64_t process_start(int64_t pid);
bool boot_id(char* text, size_t size);
int64_t booted_at_s();
wdt::RecordRead read_record(unsigned n, char* buffer, size_t size, char* reason, size_t reason_size);
void write_record(unsigned n, const char* text, size_t length);
bool records_written(int64_t wait_ms);
wdt::RecordLock lock_record(unsigned n, const char* keeper, char* reason, size_t reason_size);
wdt::RecordRead read_keeper(unsigned n, char* text, size_t size);
void unlock_record(unsigned n);
bool records_folder(char* text, size_t size);
// A keep-alive's metrics (record_writer.cpp, metrics_*.cpp).
void write_metrics(unsigned n, const char* folder, const char* text, size_t length);
bool metrics_written(char* reason, size_t size);
bool metrics_folder(const char* path, char* reason, size_t size);

// What a drill's report names (machine_*.cpp).
bool host_name(char* text, size_t size);
bool machine_product(char* text, size_t size);
bool user_name(char* text, size_t size);
bool read_file(const char* path, void (*each)(const void* data, size_t size, void* context), void* context);

// The platform's own commands, as messages name them.
extern const wdt::Host::Words words;

// Runs the tool as a service of the platform's service manager, so that a deliberate stop ends
// the keep-alive loop's wait; answers the exit status.
int run_service(int (*tool)());

}  // namespace wdt::system
