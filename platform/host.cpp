// The real system: messages through the C runtime (standard output, or a service's log), and the
// platform's own library loading, clock and wait.
#include <cstdio>

#include "platform/host.h"
#include "platform/system.h"

namespace wdt {
namespace {

void print(const char* format, va_list args) { std::vfprintf(system::messages(), format, args); }

void flush() { std::fflush(system::messages()); }

}  // namespace

const Host& system_host() {
    static const Host host{system::open_library, system::find_entry, print, flush, system::now_ms,
                           system::sleep_until_ms, system::hold_memory};
    return host;
}

}  // namespace wdt
