// Calls into the driver library. Kept apart because on 32-bit x86 the driver's calling convention
// is unknown and the call needs care; everywhere else these are plain calls.
#pragma once

#include "driver/watchdog_driver.h"

namespace wdt {

void call_set_entry(SetEntry entry, int32_t milliseconds, int32_t mode);
void call_plain_entry(PlainEntry entry);
// The same for a library whose entries return a result: answers it.
int32_t call_status_set_entry(StatusSetEntry entry, int32_t milliseconds, int32_t mode);
int32_t call_status_entry(StatusPlainEntry entry);
int32_t call_describe_entry(DescribeEntry entry, int32_t n, char* text, int32_t size);

// The other names under which a library for this processor may export an entry that takes
// `argument_bytes` bytes of arguments: a 32-bit x86 __stdcall entry exported without a list of
// plain names is "name@bytes" or "_name@bytes"; elsewhere there are none. Writes them into `names`
// and answers how many.
int decorated_names(const char* name, int argument_bytes, char (&names)[2][48]);

}  // namespace wdt
