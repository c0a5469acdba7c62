#include "command_line/text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

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

bool field(const char* text, const char* name, char* value, size_t size) {
    const size_t length = std::strlen(name);
    for (const char* line = text; line != nullptr && *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        if (end == nullptr) return false;
        if (std::strncmp(line, name, length) == 0 && line[length] == ':' && line[length + 1] == ' ') {
            const size_t taken = std::min(static_cast<size_t>(end - line) - length - 2, size - 1);
            std::memcpy(value, line + length + 2, taken);
            value[taken] = '\0';
            return true;
        }
        line = end + 1;
    }
    return false;
}

void put(char* out, size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (size > 0 && std::vsnprintf(out, size, format, arguments) < 0) out[0] = '\0';
    va_end(arguments);
}

}  // namespace wdt
