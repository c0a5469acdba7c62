// The binding to the watchdog driver library "WDT.dll": its six entry points, looked up by name once
// per run and called through their addresses.
#pragma once

#include <cstdint>

#include "platform/host.h"

namespace wdt {

// The driver's entry points. Whatever they return is never read.
using SetEntry = void (*)(int32_t milliseconds, int32_t mode);
using PlainEntry = void (*)();

// Indexed by watchdog number, 0 or 1, which the caller has already validated.
struct WatchdogDriver {
    void* library = nullptr;
    PlainEntry disable[2] = {};
    PlainEntry refresh[2] = {};
    SetEntry set[2] = {};
};

enum class LoadStatus { loaded, no_library, missing_entry };

struct LoadResult {
    LoadStatus status;
    const char* missing_entry;  // the first name not exported, when status is missing_entry
};

inline constexpr const char* kDriverFileName = "WDT.dll";

// Loads "WDT.dll" and looks up all six entry points. The driver is usable only when this answers
// loaded; otherwise none of its entries is ever called.
LoadResult load_driver(WatchdogDriver& driver, const Host& host);

// Arms watchdog n to reset the machine after the given seconds (1 to 512) without a refresh.
void arm(const WatchdogDriver& driver, unsigned n, int32_t seconds);
void refresh(const WatchdogDriver& driver, unsigned n);
void disable(const WatchdogDriver& driver, unsigned n);

}  // namespace wdt
