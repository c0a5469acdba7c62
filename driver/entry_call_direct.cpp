// On 64-bit targets there is a single calling convention, so the entries are called directly.
#include "driver/entry_call.h"

namespace wdt {

void call_set_entry(SetEntry entry, int32_t milliseconds, int32_t mode) { entry(milliseconds, mode); }

void call_plain_entry(PlainEntry entry) { entry(); }

int32_t call_status_set_entry(StatusSetEntry entry, int32_t milliseconds, int32_t mode) {
    return entry(milliseconds, mode);
}

int32_t call_status_entry(StatusPlainEntry entry) { return entry(); }

int32_t call_describe_entry(DescribeEntry entry, int32_t n, char* text, int32_t size) { return entry(n, text, size); }

int decorated_names(const char*, int, char (&)[2][48]) { return 0; }

}  // namespace wdt
