// The binding to the watchdog driver library "WDT.dll": its six entry points, looked up by name once
// per run and called through their addresses.
#pragma once

#include <cstdint>

#include "platform/host.h"

namespace wdt {

// The driver's entry points. A vendor's library returns nothing from them. A library that also
// exports kStatusMarker (and answers 1 from it) returns 0 from each entry that did what it was
// asked, and anything else from one that did not.
using SetEntry = void (*)(int32_t milliseconds, int32_t mode);
using PlainEntry = void (*)();
using StatusSetEntry = int32_t (*)(int32_t milliseconds, int32_t mode);
using StatusPlainEntry = int32_t (*)();

// Indexed by watchdog number, 0 or 1, which the caller has already validated.
struct WatchdogDriver {
    void* library = nullptr;
    void* disable[2] = {};
    void* refresh[2] = {};
    void* set[2] = {};
    bool reports_status = false;
};

enum class LoadStatus { loaded, no_library, missing_entry };

struct LoadResult {
    LoadStatus status;
    const char* missing_entry;  // the first name not exported, when status is missing_entry
};

inline constexpr const char* kDriverFileName = "WDT.dll";
inline constexpr const char* kStatusMarker = "WDTReturnsStatus";

// Loads "WDT.dll" and looks up all six entry points, and whether it reports results. The driver is
// usable only when this answers loaded; otherwise none of its entries is ever called.
LoadResult load_driver(WatchdogDriver& driver, const Host& host);

// Each answers whether the call did what it was asked: always true for a library that does not
// report results.
// Arms watchdog n to reset the machine after the given seconds (1 to 512) without a refresh.
bool arm(const WatchdogDriver& driver, unsigned n, int32_t seconds);
bool refresh(const WatchdogDriver& driver, unsigned n);
bool disable(const WatchdogDriver& driver, unsigned n);

}  // namespace wdt
