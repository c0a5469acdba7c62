#include "driver/watchdog_driver.h"

#include "driver/entry_call.h"

namespace wdt {
namespace {

// The arm entry's second argument: always this value.
constexpr int32_t kSetMode = 208;

// Lookup order; the first name missing in this order is the one reported.
constexpr const char* kEntryNames[6] = {"SetWDT0",   "SetWDT1",     "ResetWDT0",
                                        "ResetWDT1", "DisableWDT0", "DisableWDT1"};

}  // namespace

LoadResult load_driver(WatchdogDriver& driver, const Host& host) {
    driver = WatchdogDriver{};
    void* library = host.open_library(kDriverFileName);
    if (library == nullptr) return {LoadStatus::no_library, nullptr};

    void* found[6];
    for (int i = 0; i < 6; ++i) found[i] = host.find_entry(library, kEntryNames[i]);
    for (int i = 0; i < 6; ++i) {
        if (found[i] == nullptr) return {LoadStatus::missing_entry, kEntryNames[i]};
    }
    driver.library = library;
    driver.set[0] = reinterpret_cast<SetEntry>(found[0]);
    driver.set[1] = reinterpret_cast<SetEntry>(found[1]);
    driver.refresh[0] = reinterpret_cast<PlainEntry>(found[2]);
    driver.refresh[1] = reinterpret_cast<PlainEntry>(found[3]);
    driver.disable[0] = reinterpret_cast<PlainEntry>(found[4]);
    driver.disable[1] = reinterpret_cast<PlainEntry>(found[5]);
    return {LoadStatus::loaded, nullptr};
}

void arm(const WatchdogDriver& driver, unsigned n, int32_t seconds) {
    call_set_entry(driver.set[n], seconds * 1000, kSetMode);
}

void refresh(const WatchdogDriver& driver, unsigned n) { call_plain_entry(driver.refresh[n]); }

void disable(const WatchdogDriver& driver, unsigned n) { call_plain_entry(driver.disable[n]); }

}  // namespace wdt
