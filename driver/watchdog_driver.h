// The binding to the watchdog driver library "WDT.dll": its six entry points, looked up by name once
// per run and called through their addresses.
#pragma once

#include <cstdint>

#include "platform/host.h"

namespace wdt {

// The driver's entry points. A vendor's library returns nothing from them. A library that also
// exports the function kResultsMarker, answering kResultsProtocol, returns a result from each entry:
// kEntryDone, kEntryDoneWhileHeld, or anything else when it did not do what it was asked.
using SetEntry = void (*)(int32_t milliseconds, int32_t mode);
using PlainEntry = void (*)();
using StatusSetEntry = int32_t (*)(int32_t milliseconds, int32_t mode);
using StatusPlainEntry = int32_t (*)();
using DescribeEntry = int32_t (*)(int32_t n, char* text, int32_t size);

// Indexed by watchdog number, 0 or 1, which the caller has already validated.
struct WatchdogDriver {
    void* library = nullptr;
    void* disable[2] = {};
    void* refresh[2] = {};
    void* set[2] = {};
    bool reports_status = false;
};

// What a driver call achieved.
enum class Outcome {
    done,
    not_done,
    // Done, but only for as long as this process holds the device: its driver stops the watchdog
    // when the device is closed, at the latest when the process exits.
    done_while_held,
};

enum class LoadStatus { loaded, no_library, missing_entry };

struct LoadResult {
    LoadStatus status;
    const char* missing_entry;  // the first name not exported, when status is missing_entry
};

inline constexpr const char* kDriverFileName = "WDT.dll";
// A name and a value that no vendor's library exports by chance.
inline constexpr const char* kResultsMarker = "wdtctl_entry_results";
inline constexpr int32_t kResultsProtocol = 0x77647402;
inline constexpr int32_t kEntryDone = 0;
inline constexpr int32_t kEntryDoneWhileHeld = 2;
// Our own libraries' optional description of a watchdog: "Name: value" lines, read-only.
inline constexpr const char* kDescribeEntry = "wdtctl_status";
// Added to the watchdog's number for a description that does not look for the process holding the
// device (a service's start, before it arms).
inline constexpr unsigned kDescribeWithoutHolder = 0x100;

// Loads "WDT.dll" and looks up all six entry points, and whether it reports results. The driver is
// usable only when this answers loaded; otherwise none of its entries is ever called.
LoadResult load_driver(WatchdogDriver& driver, const Host& host);

// Each answers what the call did: always done for a library that does not report results.
// Arms watchdog n to reset the machine after the given seconds (1 to 512) without a refresh.
Outcome arm(const WatchdogDriver& driver, unsigned n, int32_t seconds);
Outcome refresh(const WatchdogDriver& driver, unsigned n);
Outcome disable(const WatchdogDriver& driver, unsigned n);
// What the library can say of watchdog n (plus kDescribeWithoutHolder, perhaps) without touching
// it, into text (with its final NUL); the length, or -1 when the library says nothing (a vendor's
// library has no such entry, or it said nothing at all).
// Looked up only when asked, so that other runs look up what they always did.
int32_t describe(const WatchdogDriver& driver, const Host& host, unsigned n, char* text, int32_t size);

}  // namespace wdt
