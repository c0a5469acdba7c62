// A JSON text written by hand (RFC 8259), for the machine-readable status: UTF-8 copied as it is,
// control characters escaped, and a byte that is no part of UTF-8 written as the six characters
// \\xHH (a backslash escaped, then x and two hexadecimal digits), never raw.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wdt {

struct Json {
    char* text;
    size_t size;
    size_t used = 0;
    int depth = 0;
    bool first[16] = {true};  // per depth: nothing written in it yet
    bool after_key = false;
};

void json_open(Json& json, char bracket);   // '{' or '['
void json_close(Json& json, char bracket);  // '}' or ']'
void json_key(Json& json, const char* key);
void json_string(Json& json, const char* value);  // null for nullptr
void json_number(Json& json, int64_t value);
void json_bool(Json& json, bool value);
void json_null(Json& json);

}  // namespace wdt
