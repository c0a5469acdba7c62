#include "command_line/text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/utc.h"

namespace wdt {

void show(const char* text, char* shown, size_t size) {
    if (size == 0) return;
    size_t used = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        const bool control = byte < ' ' || byte == 0x7f;
        if (used + (control ? 4 : 1) + 4 > size) {
            // Cut between characters: never in the middle of a UTF-8 sequence.
            size_t lead = used;
            while (lead > 0 && (static_cast<unsigned char>(shown[lead - 1]) & 0xc0) == 0x80) --lead;
            const auto first = lead > 0 ? static_cast<unsigned char>(shown[lead - 1]) : 0;
            const size_t whole = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : first >= 0xc0 ? 2 : 1;
            if (first >= 0xc0 && used - (lead - 1) < whole) used = lead - 1;
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

void format_utc(int64_t seconds, char (&text)[64]) {
    std::tm fields{};
    if (!system::utc_fields(seconds, fields)) {
        put(text, sizeof text, "an unknown time");
        return;
    }
    put(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", fields.tm_year + 1900, fields.tm_mon + 1,
        fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
}

void put(char* out, size_t size, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (size > 0 && std::vsnprintf(out, size, format, arguments) < 0) out[0] = '\0';
    va_end(arguments);
}

size_t utf8_sequence(const unsigned char* c) {
    if (c[0] < 0x80) return 1;
    const size_t length = c[0] >= 0xf0 ? (c[0] <= 0xf4 ? 4 : 0) : c[0] >= 0xe0 ? 3 : c[0] >= 0xc2 ? 2 : 0;
    if (length == 0) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((c[i] & 0xc0) != 0x80) return 0;
    }
    const unsigned second = c[1];
    if ((c[0] == 0xe0 && second < 0xa0) || (c[0] == 0xed && second >= 0xa0) || (c[0] == 0xf0 && second < 0x90) ||
        (c[0] == 0xf4 && second >= 0x90)) {
        return 0;  // an overlong form, a surrogate, or beyond U+10FFFF
    }
    return length;
}

}  // namespace wdt
