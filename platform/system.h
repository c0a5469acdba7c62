// What differs between operating systems: setting up the process, loading a library and looking up
// its names, the clock and the wait. One implementation per platform; the real Host is made of these.
#pragma once

#include <cstdint>

namespace wdt::system {

// Sets up the process before anything else runs.
void prepare_process();
void* open_library(const char* file_name);
void* find_entry(void* library, const char* name);
int64_t now_ms();
bool sleep_until_ms(int64_t deadline);

}  // namespace wdt::system
