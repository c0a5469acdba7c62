// The 32-bit x86 call into a driver library (driver/entry_call_x86_32.cpp), where the 32-bit Wine
// cannot be installed: the same routine built for 32-bit Linux and run under QEMU's user-mode
// emulation, against entries of either convention. Each kind of call is made many times over, so
// that a stack pointer left off by one call (8 bytes for a __stdcall entry called as a C one) would
// crash this program or spoil what it checks; and through the binding, which finds entries under
// their plain names or, for a library built without a list of them, under the decorated ones.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "driver/entry_call.h"
#include "driver/protocol.h"
#include "driver/watchdog_driver.h"
#include "tests/x86_32/driver_entries.h"

namespace {

int passed = 0, failed = 0;

void check(bool ok, const char* what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what);
    }
}

template <typename Entry, typename Function>
Entry as(Function* function) {
    return reinterpret_cast<Entry>(reinterpret_cast<void*>(function));
}

bool saw(const char* entry, int32_t first, int32_t second, int calls) {
    const entries::Seen& seen = entries::seen;
    return std::strcmp(seen.entry, entry) == 0 && seen.first == first && seen.second == second && seen.calls == calls &&
           seen.aligned;
}

void every_kind_of_call_many_times() {
    bool ok = true;
    int calls = 0;
    char text[8];
    for (int32_t round = 0; round < 50000 && ok; ++round) {
        entries::seen.answer = round % 3;
        ok = wdt::call_status_set_entry(as<wdt::StatusSetEntry>(&entries::std_set), 1000 * round, 208) == round % 3 &&
             saw("std_set", 1000 * round, 208, ++calls);
        ok = ok && wdt::call_status_set_entry(as<wdt::StatusSetEntry>(&entries::c_set), round, 208) == round % 3 &&
             saw("c_set", round, 208, ++calls);
        ok = ok && wdt::call_status_entry(as<wdt::StatusPlainEntry>(&entries::std_plain)) == round % 3 &&
             saw("std_plain", 0, 0, ++calls);
        ok = ok && wdt::call_status_entry(as<wdt::StatusPlainEntry>(&entries::c_plain)) == round % 3 &&
             saw("c_plain", 0, 0, ++calls);
        ok = ok && wdt::call_describe_entry(as<wdt::DescribeEntry>(&entries::std_describe), round % 2, text, 8) == 1 &&
             saw("std_describe", round % 2, 8, ++calls) && std::strcmp(text, "s") == 0;
        ok = ok && wdt::call_describe_entry(as<wdt::DescribeEntry>(&entries::c_describe), round % 2, text, 8) == 1 &&
             saw("c_describe", round % 2, 8, ++calls) && std::strcmp(text, "c") == 0;
        wdt::call_set_entry(as<wdt::SetEntry>(&entries::std_set), 512000, 208);
        ok = ok && saw("std_set", 512000, 208, ++calls);
        wdt::call_plain_entry(as<wdt::PlainEntry>(&entries::std_plain));
        ok = ok && saw("std_plain", 0, 0, ++calls);
    }
    check(ok, "each kind of call, of either convention, 50000 times: its arguments, its result, the stack aligned");
}

// A library as the loader shows it: its names and their addresses.
struct Export {
    const char* name;
    void* address;
};
const Export* exports = nullptr;
int library_token;

void* open_library(const char*) { return &library_token; }
void* find(void*, const char* name) {
    for (const Export* entry = exports; entry->name != nullptr; ++entry) {
        if (std::strcmp(entry->name, name) == 0) return entry->address;
    }
    return nullptr;
}
bool is_code(void*) { return true; }
bool no_path(void*, char*, size_t) { return false; }
int64_t no_wait() { return 0; }
const wdt::Host::Library library{open_library, find, is_code, no_path, no_wait};

void *c_set = reinterpret_cast<void*>(&entries::c_set), *c_plain = reinterpret_cast<void*>(&entries::c_plain),
     *std_set = reinterpret_cast<void*>(&entries::std_set), *std_plain = reinterpret_cast<void*>(&entries::std_plain),
     *std_describe = reinterpret_cast<void*>(&entries::std_describe), *std_marker = reinterpret_cast<void*>(&entries::std_marker);

// A vendor's library of the C convention, exported under plain names, whose results are not read.
const Export kPlain[] = {{"SetWDT0", c_set}, {"SetWDT1", c_set}, {"ResetWDT0", c_plain}, {"ResetWDT1", c_plain},
                         {"DisableWDT0", c_plain}, {"DisableWDT1", c_plain}, {nullptr, nullptr}};
// __stdcall entries exported under their decorated names only, as built without a list of plain
// names, in both forms such a library has; with the results marker and the description.
const Export kDecorated[] = {{"SetWDT0@8", std_set}, {"SetWDT1@8", std_set}, {"ResetWDT0@0", std_plain},
                             {"ResetWDT1@0", std_plain}, {"DisableWDT0@0", std_plain}, {"DisableWDT1@0", std_plain},
                             {"wdtctl_entry_results@0", std_marker}, {"wdtctl_status@12", std_describe}, {nullptr, nullptr}};
const Export kUnderscored[] = {{"_SetWDT0@8", std_set}, {"_SetWDT1@8", std_set}, {"_ResetWDT0@0", std_plain},
                               {"_ResetWDT1@0", std_plain}, {"_DisableWDT0@0", std_plain}, {"_DisableWDT1@0", std_plain},
                               {nullptr, nullptr}};

void through_the_binding() {
    wdt::WatchdogDriver driver;
    char names[2][48];
    check(wdt::decorated_names("SetWDT0", 8, names) == 2 && std::strcmp(names[0], "SetWDT0@8") == 0 &&
              std::strcmp(names[1], "_SetWDT0@8") == 0,
          "the decorated names of an entry with 8 bytes of arguments");

    exports = kPlain;
    entries::seen = {};
    entries::seen.answer = 1;  // not read from a vendor's library
    check(wdt::load_driver(driver, library).status == wdt::LoadStatus::loaded && !driver.reports_status,
          "a C library under plain names loads, without results");
    check(wdt::arm(driver, 1, 9) == wdt::Outcome::done && saw("c_set", 9000, wdt::protocol::kSetMode, 1) &&
              wdt::refresh(driver, 0) == wdt::Outcome::done && saw("c_plain", 0, 0, 2),
          "its arm and refresh are made, and taken as done");

    for (const Export* library_exports : {kDecorated, kUnderscored}) {
        exports = library_exports;
        entries::seen = {};
        const bool reports = library_exports == kDecorated;
        check(wdt::load_driver(driver, library).status == wdt::LoadStatus::loaded && driver.reports_status == reports,
              reports ? "a __stdcall library under decorated names loads, with results"
                      : "a __stdcall library under underscored decorated names loads");
        entries::seen.answer = wdt::protocol::kEntryDone;
        const wdt::Outcome armed = wdt::arm(driver, 0, 5);
        const bool arm_seen = saw("std_set", 5000, 208, 1);
        entries::seen.answer = wdt::protocol::kEntryNotDone;
        const wdt::Outcome refreshed = wdt::refresh(driver, 1);
        const bool refresh_seen = saw("std_plain", 0, 0, 2);
        const wdt::Outcome disabled = wdt::disable(driver, 0);
        check(armed == wdt::Outcome::done && arm_seen && refresh_seen && saw("std_plain", 0, 0, 3) &&
                  refreshed == (reports ? wdt::Outcome::not_done : wdt::Outcome::done) && disabled == refreshed,
              "its arm, refresh and disable are made, with their results where it reports them");
    }
    exports = kDecorated;
    wdt::load_driver(driver, library);
    char text[16];
    check(wdt::describe(driver, library, 1, true, text, sizeof text) == 1 && std::strcmp(text, "s") == 0 &&
              entries::seen.first == 1 && entries::seen.second == 16,
          "its description, a __stdcall entry of three arguments");
}

}  // namespace

int main() {
    every_kind_of_call_many_times();
    through_the_binding();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
