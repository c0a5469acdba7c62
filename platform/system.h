// What differs between operating systems: setting up the process, loading a library and looking up
// its names, the clock and the wait. One implementation per platform; the real Host is made of these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/host.h"

namespace wdt::system {

// Sets up the process before anything else runs: standard input, output and error are open (on
// the null device where they were closed), so that nothing opened later takes their numbers.
void prepare_process();
// Writes one message where the tool's messages go: standard output, or a log where a service has
// no console. Where a reader could hold the writer up (a pipe nobody reads, a stalled log), a
// message that cannot be written at once is dropped: output never holds up the keep-alive.
void write_message(const char* text, size_t length);
void* open_library(const char* file_name);
void* find_entry(void* library, const char* name);
bool is_code(void* address);
int64_t now_ms();
wdt::Wake sleep_until_ms(int64_t deadline);
void hold_memory();

// The guards' side: a file's modification time, and child processes (processes_*.cpp).
int64_t file_stamp(const char* path);
int64_t start_process(const char* command);
wdt::ProcessState poll_process(int64_t id);
void end_process(int64_t id);

// A service's record of a watchdog (records_*.cpp).
int64_t wall_clock_s();
int64_t process_id();
bool process_runs(int64_t pid);
int64_t booted_at_s();
bool write_record(unsigned n, const char* text, size_t length);
size_t read_record(unsigned n, char* buffer, size_t size);

// Runs the tool as a service of the platform's service manager, so that a deliberate stop ends
// the keep-alive loop's wait; answers the exit status.
int run_service(int argc, char** argv, int (*tool)(int argc, char** argv));

}  // namespace wdt::system
