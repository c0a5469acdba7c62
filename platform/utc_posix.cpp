#include <time.h>

#include "platform/utc.h"

namespace wdt::system {

bool utc_fields(int64_t seconds, std::tm& fields) {
    const auto time = static_cast<time_t>(seconds);
    return static_cast<int64_t>(time) == seconds && gmtime_r(&time, &fields) != nullptr;
}

}  // namespace wdt::system
