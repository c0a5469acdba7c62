// The binding to the watchdog driver library "WDT.dll": its six entry points, looked up by name once
// per run and called through their addresses.
#pragma once

#include <cstdint>

#include "platform/host.h"

namespace wdt {

// The driver's entry points. A vendor's library returns nothing from them; ours return a result
// (see driver/protocol.h).
using SetEntry = void (*)(int32_t milliseconds, int32_t mode);
using PlainEntry = void (*)();
using StatusSetEntry = int32_t (*)(int32_t milliseconds, int32_t mode);
using StatusPlainEntry = int32_t (*)();
using DescribeEntry = int32_t (*)(int32_t n, char* text, int32_t size);

// An entry of either kind; the member in use is the one `reports_status` names.
union SetSlot {
    SetEntry plain;
    StatusSetEntry reporting;
};
union PlainSlot {
    PlainEntry plain;
    StatusPlainEntry reporting;
};

// Indexed by watchdog number, 0 or 1, which the caller has already validated.
struct WatchdogDriver {
    void* library = nullptr;
    PlainSlot disable[2] = {};
    PlainSlot refresh[2] = {};
    SetSlot set[2] = {};
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

// Loads "WDT.dll" and looks up all six entry points, and whether it reports results. The driver is
// usable only when this answers loaded; otherwise none of its entries is ever called.
LoadResult load_driver(WatchdogDriver& driver, const Host::Library& library);

// Each answers what the call did: always done for a library that does not report results.
// Arms watchdog n to reset the machine after the given seconds (1 to 512) without a refresh.
Outcome arm(const WatchdogDriver& driver, unsigned n, int32_t seconds);
Outcome refresh(const WatchdogDriver& driver, unsigned n);
Outcome disable(const WatchdogDriver& driver, unsigned n);
// What the library can say of watchdog n without touching it, into text (with its final NUL); the
// length, or -1 when the library says nothing (a vendor's library has no such entry, or it said
// nothing at all). `with_holder`: also which process holds the device, which can take long on a
// machine with many files open. Looked up only when asked, so that other runs look up what they
// always did.
int32_t describe(const WatchdogDriver& driver, const Host::Library& library, unsigned n, bool with_holder, char* text,
                 int32_t size);
// Whether a driver, as its library's description names it, says that it drives no hardware.
bool drives_no_hardware(const char* driver_name);

}  // namespace wdt
