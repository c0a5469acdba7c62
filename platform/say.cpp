#include "platform/host.h"

namespace wdt {

void say(const Host& host, Severity severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    host.output.print(severity, format, args);
    va_end(args);
}

}  // namespace wdt
