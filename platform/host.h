// Everything the tool takes from the operating system and the C runtime, gathered in one record of
// function addresses so that tests and the fuzzer can stand in for the real system.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace wdt {

// How a wait of the keep-alive loop ended.
enum class Wake {
    due,             // the deadline was reached
    stop_requested,  // a deliberate stop (service mode): the loop ends and disarms the watchdog
    ended,           // the process ends here, as if killed; only test stand-ins answer this
    suspending,      // the machine is about to sleep or hibernate (service mode): the loop disarms
    resumed,         // the machine woke up again: the loop arms again and goes on
};

// How a child process that the tool started stands.
enum class ProcessState {
    running,
    succeeded,  // ended with exit status 0
    failed,     // ended otherwise
};

// What file_stamp answers when there is no such file.
inline constexpr int64_t kNoFile = INT64_MIN;

struct Host {
    // Loads a dynamic library by file name; nullptr when it cannot be loaded.
    void* (*open_library)(const char* file_name);
    // Looks up an exported name; nullptr when the library does not export it.
    void* (*find_entry)(void* library, const char* name);
    // Whether an address that find_entry answered is a function's, not data's.
    bool (*is_code)(void* address);
    // Formats a message onto standard output.
    void (*print)(const char* format, va_list args);
    // Pushes everything printed so far out of the process.
    void (*flush)();
    // Milliseconds on a clock that only moves forwards and ignores changes of the wall clock.
    int64_t (*now_ms)();
    // Blocks until now_ms() reaches the deadline, a deliberate stop is requested, or the machine is
    // about to sleep or has woken up. After `suspending`, the next call lets the machine sleep.
    Wake (*sleep_until_ms)(int64_t deadline);
    // Keeps the process's memory in RAM from now on, so that a wake never waits for pages read
    // back from disk; quietly does nothing where the system refuses.
    void (*hold_memory)();
    // When the file was last modified, as a number that changes whenever that time does; kNoFile
    // when it cannot be read.
    int64_t (*file_stamp)(const char* path);
    // Starts a command as a child process (POSIX: /bin/sh -c COMMAND; Windows: a command line as
    // CreateProcess takes it) in a process group (a job) of its own, with no input and its output
    // discarded, and never waits for it. Answers an id above 0; 0 when it could not be started.
    int64_t (*start_process)(const char* command);
    ProcessState (*poll_process)(int64_t id);
    // Ends the process and everything it started, and forgets it; never waits for them.
    void (*end_process)(int64_t id);
    // Seconds since 1970 on the wall clock: only for saying when something happened.
    int64_t (*wall_clock_s)();
    int64_t (*process_id)();
    bool (*process_runs)(int64_t pid);
    // When the machine last started, in seconds since 1970 on the wall clock.
    int64_t (*booted_at_s)();
    // A service's record of watchdog n, kept where the system keeps a service's state: written whole
    // (a temporary file, flushed to disk, renamed over the old one), or not at all (answers false);
    // read into the buffer, answering its length (0 when there is none, at most size - 1).
    bool (*write_record)(unsigned n, const char* text, size_t length);
    size_t (*read_record)(unsigned n, char* buffer, size_t size);
};

// The real operating system; one implementation per platform.
const Host& system_host();

// printf onto the host's standard output.
[[gnu::format(printf, 2, 3)]] void say(const Host& host, const char* format, ...);

}  // namespace wdt
