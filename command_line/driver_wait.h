// A service may start before its driver is ready: on Windows a vendor's driver can come up late in
// the boot, and the service manager has nothing to wait on (the systemd unit waits for the device
// itself). So a service waits, for as long as the host says, while WDT.dll cannot be loaded and
// while its first arm is not done, trying again every second, and says so once; the service
// manager's restarts remain the fallback. A console never waits, and a stop ends the wait.
#pragma once

#include <cstdint>

#include "command_line/reading.h"
#include "driver/watchdog_driver.h"
#include "platform/host.h"

namespace wdt {

struct DriverWait {
    int64_t until_ms = -1;  // when the waiting ends; -1: no waiting (a console, or no longer)
    bool said = false;
    bool stopped = false;   // a stop came while waiting: nothing was armed
};

DriverWait driver_wait(const CommandLine& line, const Host& host);
// Loads the driver library, trying again while it cannot be loaded and the wait allows.
LoadResult load_waiting(WatchdogDriver& driver, const Host& host, DriverWait& wait);
// Arms watchdog n, trying again while the arm is not done and the wait allows; the first arm ends
// the waiting.
Outcome arm_waiting(const WatchdogDriver& driver, const Host& host, DriverWait& wait, unsigned n, int32_t seconds);

}  // namespace wdt
