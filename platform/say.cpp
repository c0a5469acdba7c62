#include "platform/host.h"

namespace wdt {

void say(const Host& host, const char* format, ...) {
    va_list args;
    va_start(args, format);
    host.print(format, args);
    va_end(args);
}

}  // namespace wdt
