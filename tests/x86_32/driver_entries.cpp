// Driver entries of both 32-bit x86 conventions, as a vendor's WDT.dll may export them: the C
// convention (the caller removes the arguments) and __stdcall (the entry removes them). Each notes
// what it was called with, and whether the stack was aligned to 16 bytes at the call; each also
// changes ECX and EDX, as either convention allows. Built with frame pointers, so that the frame's
// address tells where the stack was at the call.
#include "tests/x86_32/driver_entries.h"

#include <cstdint>

namespace entries {

Seen seen;

namespace {

void note(const char* entry, int32_t first, int32_t second) {
    const uintptr_t at_call = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) + 8;
    seen = {entry, first, second, seen.calls + 1, at_call % 16 == 0, seen.answer};
    asm volatile("movl $0x5eed, %%ecx\n\tmovl $0xbad, %%edx" ::: "ecx", "edx");
}

}  // namespace

int32_t c_set(int32_t milliseconds, int32_t mode) { note("c_set", milliseconds, mode); return seen.answer; }
int32_t c_plain() { note("c_plain", 0, 0); return seen.answer; }
int32_t c_describe(int32_t n, char* text, int32_t size) {
    note("c_describe", n, size);
    text[0] = 'c';
    text[1] = '\0';
    return 1;
}
int32_t __attribute__((stdcall)) std_set(int32_t milliseconds, int32_t mode) { note("std_set", milliseconds, mode); return seen.answer; }
int32_t __attribute__((stdcall)) std_plain() { note("std_plain", 0, 0); return seen.answer; }
int32_t __attribute__((stdcall)) std_describe(int32_t n, char* text, int32_t size) {
    note("std_describe", n, size);
    text[0] = 's';
    text[1] = '\0';
    return 1;
}
int32_t __attribute__((stdcall)) std_marker() { return 0x77647402; }

}  // namespace entries
