// On 32-bit x86 a driver library may be built with the C convention (the caller removes the
// arguments from the stack) or with __stdcall (the callee removes them), and nothing in the library
// tells which. Calling through a pointer of either type is wrong for the other kind: the stack
// pointer ends up 8 bytes off and the tool crashes or corrupts its own frame.
//
// So the call is made in a few instructions of our own: the stack pointer is saved in EDI, which
// both conventions require the callee to preserve, the arguments are pushed, the entry is called,
// and the stack pointer is then restored from EDI. Whether the callee popped its arguments or not,
// the stack is exactly as before the call. Both conventions return a result in EAX; ECX and EDX may
// be changed by the callee under either and are declared clobbered. The stack is also aligned to
// 16 bytes at the call, which is what current compilers expect of a caller.
#include "driver/entry_call.h"

#include <cstdio>

namespace wdt {

namespace {

// Up to three arguments of 4 bytes each (a pointer is 4 bytes here), pushed last first. An entry
// that takes fewer never looks at the rest, and the stack pointer is restored whatever it popped.
int32_t call_with_three(const void* entry, const int32_t (&arguments)[3]) {
    int32_t result;
    asm volatile(
        "movl %%esp, %%edi\n\t"
        "andl $-16, %%esp\n\t"
        "subl $4, %%esp\n\t"
        "pushl 8(%1)\n\t"
        "pushl 4(%1)\n\t"
        "pushl 0(%1)\n\t"
        "call *%2\n\t"
        "movl %%edi, %%esp\n\t"
        : "=a"(result)
        : "r"(arguments), "r"(entry)
        : "ecx", "edx", "edi", "memory", "cc");
    return result;
}

int32_t call_with_none(const void* entry) {
    int32_t result;
    asm volatile(
        "movl %%esp, %%edi\n\t"
        "andl $-16, %%esp\n\t"
        "call *%1\n\t"
        "movl %%edi, %%esp\n\t"
        : "=a"(result)
        : "r"(entry)
        : "ecx", "edx", "edi", "memory", "cc");
    return result;
}

}  // namespace

int32_t call_status_set_entry(StatusSetEntry entry, int32_t milliseconds, int32_t mode) {
    return call_with_three(reinterpret_cast<const void*>(entry), {milliseconds, mode, 0});
}

int32_t call_status_entry(StatusPlainEntry entry) { return call_with_none(reinterpret_cast<const void*>(entry)); }

int32_t call_describe_entry(DescribeEntry entry, int32_t n, char* text, int32_t size) {
    const int32_t arguments[3] = {n, static_cast<int32_t>(reinterpret_cast<uintptr_t>(text)), size};
    return call_with_three(reinterpret_cast<const void*>(entry), arguments);
}

// An entry that returns nothing leaves EAX as it pleases; that value is simply not used.
void call_set_entry(SetEntry entry, int32_t milliseconds, int32_t mode) {
    call_with_three(reinterpret_cast<const void*>(entry), {milliseconds, mode, 0});
}

void call_plain_entry(PlainEntry entry) { call_with_none(reinterpret_cast<const void*>(entry)); }

int decorated_names(const char* name, int argument_bytes, char (&names)[2][48]) {
    std::snprintf(names[0], sizeof names[0], "%s@%d", name, argument_bytes);
    std::snprintf(names[1], sizeof names[1], "_%s@%d", name, argument_bytes);
    return 2;
}

}  // namespace wdt
