// The civil date and time in UTC, as the platform's C library computes it.
#pragma once

#include <cstdint>
#include <ctime>

namespace wdt::system {

// The fields of seconds since 1970, in UTC; false when the C library cannot tell them.
bool utc_fields(int64_t seconds, std::tm& fields);

}  // namespace wdt::system
