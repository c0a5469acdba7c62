// How serious each of the tool's messages is, as syslog and the journal rank them.
#pragma once

#include <cstddef>

namespace wdt {

enum class Priority { error = 3, warning = 4, info = 6 };

// An error: a call the driver did not do, a command line or library refused. A warning: a signal
// that was ignored. Anything else (a confirmation, the loop's announcement) is information.
Priority priority_of(const char* text, size_t length);

}  // namespace wdt
