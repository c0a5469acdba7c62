#include "driver/watchdog_driver.h"

#include <cstring>

#include "driver/entry_call.h"
#include "driver/protocol.h"

namespace wdt {
namespace {

using namespace protocol;

// Lookup order; the first name missing in this order is the one reported.
constexpr const char* kEntryNames[6] = {"SetWDT0",   "SetWDT1",     "ResetWDT0",
                                        "ResetWDT1", "DisableWDT0", "DisableWDT1"};
constexpr int kArgumentBytes[6] = {8, 8, 0, 0, 0, 0};

// The entry under its plain name, or else under a name the compiler may have decorated it with.
void* find(const Host::Library& library, void* handle, const char* name, int argument_bytes) {
    if (void* entry = library.find(handle, name)) return entry;
    char names[2][48];
    const int count = decorated_names(name, argument_bytes, names);
    for (int k = 0; k < count; ++k) {
        if (void* entry = library.find(handle, names[k])) return entry;
    }
    return nullptr;
}

// What the loader answered, as the function it is.
template <typename Entry>
Entry as_entry(void* address) {
    return reinterpret_cast<Entry>(address);
}

Outcome outcome_of(int32_t result) {
    if (result == kEntryDone) return Outcome::done;
    return result == kEntryDoneWhileHeld ? Outcome::done_while_held : Outcome::not_done;
}

Outcome call_plain(const WatchdogDriver& driver, const PlainSlot& entry) {
    if (driver.reports_status) return outcome_of(call_status_entry(entry.reporting));
    call_plain_entry(entry.plain);
    return Outcome::done;
}

// Only a function of that name is called: a data symbol would crash the call.
bool reports_results(const Host::Library& library, void* handle) {
    void* marker = find(library, handle, kResultsMarker, 0);
    return marker != nullptr && library.is_code(marker) &&
           call_status_entry(as_entry<StatusPlainEntry>(marker)) == kResultsProtocol;
}

void fill(PlainSlot& slot, void* address, bool reporting) {
    if (reporting) {
        slot.reporting = as_entry<StatusPlainEntry>(address);
    } else {
        slot.plain = as_entry<PlainEntry>(address);
    }
}

}  // namespace

LoadResult load_driver(WatchdogDriver& driver, const Host::Library& library) {
    driver = WatchdogDriver{};
    void* handle = library.open(kFileName);
    if (handle == nullptr) return {LoadStatus::no_library, nullptr};

    void* found[6];
    for (int i = 0; i < 6; ++i) found[i] = find(library, handle, kEntryNames[i], kArgumentBytes[i]);
    for (int i = 0; i < 6; ++i) {
        if (found[i] == nullptr) return {LoadStatus::missing_entry, kEntryNames[i]};
    }
    driver.library = handle;
    driver.reports_status = reports_results(library, handle);
    for (unsigned n = 0; n < 2; ++n) {
        if (driver.reports_status) {
            driver.set[n].reporting = as_entry<StatusSetEntry>(found[n]);
        } else {
            driver.set[n].plain = as_entry<SetEntry>(found[n]);
        }
        fill(driver.refresh[n], found[2 + n], driver.reports_status);
        fill(driver.disable[n], found[4 + n], driver.reports_status);
    }
    return {LoadStatus::loaded, nullptr};
}

Outcome arm(const WatchdogDriver& driver, unsigned n, int32_t seconds) {
    if (driver.reports_status) return outcome_of(call_status_set_entry(driver.set[n].reporting, seconds * 1000, kSetMode));
    call_set_entry(driver.set[n].plain, seconds * 1000, kSetMode);
    return Outcome::done;
}

Outcome refresh(const WatchdogDriver& driver, unsigned n) { return call_plain(driver, driver.refresh[n]); }

Outcome disable(const WatchdogDriver& driver, unsigned n) { return call_plain(driver, driver.disable[n]); }

int32_t describe(const WatchdogDriver& driver, const Host::Library& library, unsigned n, bool with_holder, char* text,
                 int32_t size) {
    void* entry = driver.reports_status ? find(library, driver.library, kDescribeEntry, 12) : nullptr;
    if (entry == nullptr || !library.is_code(entry) || size <= 0) return -1;
    text[0] = '\0';
    const int32_t asked = static_cast<int32_t>(n) + (with_holder ? 0 : kDescribeWithoutHolder);
    const int32_t length = call_describe_entry(as_entry<DescribeEntry>(entry), asked, text, size);
    if (length <= 0 || length >= size) return -1;
    text[length] = '\0';
    return length;
}

bool drives_no_hardware(const char* driver_name) { return std::strstr(driver_name, kNoHardware) != nullptr; }

}  // namespace wdt
