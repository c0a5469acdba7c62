#include <time.h>

#include "platform/utc.h"

namespace wdt::system {

// The 64-bit form, whatever the build's time_t: Windows' own reaches the year 3000.
bool utc_fields(int64_t seconds, std::tm& fields) {
    const __time64_t time = seconds;
    return _gmtime64_s(&fields, &time) == 0;
}

}  // namespace wdt::system
