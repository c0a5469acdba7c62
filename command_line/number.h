#pragma once

#include <cstdint>

namespace wdt {

// Reads a decimal number as atol does: leading white space, an optional sign, then digits up to the
// first other character; no digits gives 0. A value beyond the signed 32-bit range saturates to its
// nearest end instead of wrapping, so a huge number can never turn into a small valid one.
int32_t parse_number(const char* text);

}  // namespace wdt
