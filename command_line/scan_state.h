// What the command pass carries out collects, and the keep-alive loop reads.
#pragma once

#include <cstdint>

namespace wdt {

inline constexpr uint8_t kNoWatchdog = 128;

struct ScanState {
    uint8_t selected_watchdog = kNoWatchdog;  // 0 or 1 once selected
    int32_t timer_seconds = 5;
    bool loop_requested = false;
    int32_t refresh_period_seconds = 0;  // meaningful only when loop_requested
    bool armed = false;  // this run armed the watchdog, and has not tried to disable it since
    bool loop_entered = false;  // the keep-alive loop announced itself
};

}  // namespace wdt
