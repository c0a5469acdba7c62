#pragma once

#include <cstdint>

namespace entries {

// What the last entry called saw.
struct Seen {
    const char* entry = "";
    int32_t first = 0, second = 0;
    int calls = 0;
    bool aligned = false;
    int32_t answer = 0;  // what the entries answer (set by the test)
};
extern Seen seen;

int32_t c_set(int32_t milliseconds, int32_t mode);
int32_t c_plain();
int32_t c_describe(int32_t n, char* text, int32_t size);
int32_t __attribute__((stdcall)) std_set(int32_t milliseconds, int32_t mode);
int32_t __attribute__((stdcall)) std_plain();
int32_t __attribute__((stdcall)) std_describe(int32_t n, char* text, int32_t size);
int32_t __attribute__((stdcall)) std_marker();

}  // namespace entries
