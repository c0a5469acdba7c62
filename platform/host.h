// Everything the tool takes from the operating system and the C runtime, gathered in one record of
// function addresses so that tests and the fuzzer can stand in for the real system.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace wdt {

struct Host {
    // Loads a dynamic library by file name; nullptr when it cannot be loaded.
    void* (*open_library)(const char* file_name);
    // Looks up an exported name; nullptr when the library does not export it.
    void* (*find_entry)(void* library, const char* name);
    // Formats a message onto standard output.
    void (*print)(const char* format, va_list args);
    // Pushes everything printed so far out of the process.
    void (*flush)();
    // Milliseconds on a clock that only moves forwards and ignores changes of the wall clock.
    int64_t (*now_ms)();
    // Blocks until now_ms() reaches the deadline. The real system always answers true; a test
    // stand-in answers false to end the keep-alive loop after as many rounds as it wants.
    bool (*sleep_until_ms)(int64_t deadline);
};

// The real operating system; one implementation per platform.
const Host& system_host();

// printf onto the host's standard output.
[[gnu::format(printf, 2, 3)]] void say(const Host& host, const char* format, ...);

}  // namespace wdt
