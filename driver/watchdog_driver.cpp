#include "driver/watchdog_driver.h"

#include "driver/entry_call.h"

namespace wdt {
namespace {

// The arm entry's second argument: always this value.
constexpr int32_t kSetMode = 208;

// Lookup order; the first name missing in this order is the one reported.
constexpr const char* kEntryNames[6] = {"SetWDT0",   "SetWDT1",     "ResetWDT0",
                                        "ResetWDT1", "DisableWDT0", "DisableWDT1"};
constexpr int kArgumentBytes[6] = {8, 8, 0, 0, 0, 0};

// The entry under its plain name, or else under a name the compiler may have decorated it with.
void* find(const Host& host, void* library, const char* name, int argument_bytes) {
    if (void* entry = host.find_entry(library, name)) return entry;
    char names[2][48];
    const int count = decorated_names(name, argument_bytes, names);
    for (int k = 0; k < count; ++k) {
        if (void* entry = host.find_entry(library, names[k])) return entry;
    }
    return nullptr;
}

Outcome outcome_of(int32_t result) {
    if (result == kEntryDone) return Outcome::done;
    return result == kEntryDoneWhileHeld ? Outcome::done_while_held : Outcome::not_done;
}

Outcome call_plain(const WatchdogDriver& driver, void* entry) {
    if (driver.reports_status) return outcome_of(call_status_entry(reinterpret_cast<StatusPlainEntry>(entry)));
    call_plain_entry(reinterpret_cast<PlainEntry>(entry));
    return Outcome::done;
}

// Only a function of that name is called: a data symbol would crash the call.
bool reports_results(const Host& host, void* library) {
    void* marker = find(host, library, kResultsMarker, 0);
    return marker != nullptr && host.is_code(marker) &&
           call_status_entry(reinterpret_cast<StatusPlainEntry>(marker)) == kResultsProtocol;
}

}  // namespace

LoadResult load_driver(WatchdogDriver& driver, const Host& host) {
    driver = WatchdogDriver{};
    void* library = host.open_library(kDriverFileName);
    if (library == nullptr) return {LoadStatus::no_library, nullptr};

    void* found[6];
    for (int i = 0; i < 6; ++i) found[i] = find(host, library, kEntryNames[i], kArgumentBytes[i]);
    for (int i = 0; i < 6; ++i) {
        if (found[i] == nullptr) return {LoadStatus::missing_entry, kEntryNames[i]};
    }
    driver.library = library;
    driver.set[0] = found[0];
    driver.set[1] = found[1];
    driver.refresh[0] = found[2];
    driver.refresh[1] = found[3];
    driver.disable[0] = found[4];
    driver.disable[1] = found[5];
    driver.reports_status = reports_results(host, library);
    return {LoadStatus::loaded, nullptr};
}

Outcome arm(const WatchdogDriver& driver, unsigned n, int32_t seconds) {
    if (driver.reports_status) {
        return outcome_of(call_status_set_entry(reinterpret_cast<StatusSetEntry>(driver.set[n]), seconds * 1000, kSetMode));
    }
    call_set_entry(reinterpret_cast<SetEntry>(driver.set[n]), seconds * 1000, kSetMode);
    return Outcome::done;
}

Outcome refresh(const WatchdogDriver& driver, unsigned n) { return call_plain(driver, driver.refresh[n]); }

Outcome disable(const WatchdogDriver& driver, unsigned n) { return call_plain(driver, driver.disable[n]); }

int32_t describe(const WatchdogDriver& driver, const Host& host, unsigned n, char* text, int32_t size) {
    void* entry = driver.reports_status ? find(host, driver.library, kDescribeEntry, 12) : nullptr;
    if (entry == nullptr || !host.is_code(entry) || size <= 0) return -1;
    text[0] = '\0';
    const int32_t length = call_describe_entry(reinterpret_cast<DescribeEntry>(entry), static_cast<int32_t>(n), text, size);
    if (length <= 0 || length >= size) return -1;
    text[length] = '\0';
    return length;
}

}  // namespace wdt
