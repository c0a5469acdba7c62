#include "command_line/json.h"

#include <cstdio>
#include <cstring>

#include "command_line/text.h"

namespace wdt {
namespace {

void append(Json& json, const char* text, size_t length) {
    if (json.used + length >= json.size) return;  // cut where it does not fit; the caller's room is ample
    std::memcpy(json.text + json.used, text, length);
    json.used += length;
    json.text[json.used] = '\0';
}

void append(Json& json, const char* text) { append(json, text, std::strlen(text)); }

// A comma before every value but the first of its object or array, none after a key.
void next_value(Json& json) {
    if (json.after_key) {
        json.after_key = false;
        return;
    }
    if (!json.first[json.depth]) append(json, ",");
    json.first[json.depth] = false;
}

}  // namespace

void json_open(Json& json, char bracket) {
    next_value(json);
    const char text[2] = {bracket, '\0'};
    append(json, text);
    if (json.depth + 1 < static_cast<int>(sizeof json.first)) json.first[++json.depth] = true;
}

void json_close(Json& json, char bracket) {
    const char text[2] = {bracket, '\0'};
    append(json, text);
    if (json.depth > 0) --json.depth;
}

void json_key(Json& json, const char* key) {
    json_string(json, key);
    append(json, ":");
    json.after_key = true;
}

void json_string(Json& json, const char* value) {
    if (value == nullptr) {
        json_null(json);
        return;
    }
    next_value(json);
    append(json, "\"");
    for (const auto* c = reinterpret_cast<const unsigned char*>(value); *c != '\0';) {
        char escaped[12];
        const size_t length = utf8_sequence(c);
        if (length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\\\x%02x", *c);
            append(json, escaped);
            ++c;
        } else if (*c == '"' || *c == '\\') {
            const char pair[3] = {'\\', static_cast<char>(*c), '\0'};
            append(json, pair);
            ++c;
        } else if (*c < 0x20) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", *c);
            append(json, escaped);
            ++c;
        } else {
            append(json, reinterpret_cast<const char*>(c), length);
            c += length;
        }
    }
    append(json, "\"");
}

void json_number(Json& json, int64_t value) {
    next_value(json);
    char text[24];
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    append(json, text);
}

void json_bool(Json& json, bool value) {
    next_value(json);
    append(json, value ? "true" : "false");
}

void json_null(Json& json) {
    next_value(json);
    append(json, "null");
}

}  // namespace wdt
