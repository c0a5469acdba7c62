#include "command_line/text.h"

#include <cstdarg>
#include <cstdio>

namespace wdt {

void show(const char* text, char* shown, size_t size) {
    if (size == 0) return;
    size_t used = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        const bool control = byte < ' ' || byte == 0x7f;
        if (used + (control ? 4 : 1) + 4 > size) {
            std::snprintf(shown + used, size - used, "...");
            return;
        }
        if (control) {
            used += static_cast<size_t>(std::snprintf(shown + used, size - used, "\\x%02x", byte));
        } else {
            shown[used++] = *c;
        }
    }
    shown[used] = '\0';
}

void put(char* out, size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (size > 0 && std::vsnprintf(out, size, format, arguments) < 0) out[0] = '\0';
    va_end(arguments);
}

}  // namespace wdt
