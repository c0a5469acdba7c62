#include "command_line/number.h"

#include <cstdlib>

namespace wdt {

// strtoll reads what atol reads (white space, a sign, decimal digits) and saturates instead of
// overflowing; the value is then held to the 32-bit range.
int32_t parse_number(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace wdt
