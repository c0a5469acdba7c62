#include "command_line/number.h"

namespace wdt {

int32_t parse_number(const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;

    // One past the largest magnitude either sign can hold; reading stops growing there.
    constexpr int64_t kCeiling = int64_t{INT32_MAX} + 2;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude < kCeiling) magnitude = magnitude * 10 + (*p - '0');
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace wdt
