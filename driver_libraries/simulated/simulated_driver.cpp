// A stand-in for the watchdog driver library: it drives no hardware, prints nothing, and appends
// one line per call to a journal file: the time in milliseconds since the epoch (with microseconds
// after the point), the entry point's name and its arguments. The journal's path comes from
// WDT_SIM_JOURNAL, or defaults to wdt_sim_journal.txt in the system's temporary folder.
//
// Like the kernel driver library, it tells the tool whether each call was done (wdtctl_entry_results):
// every entry returns 0, except those named in WDT_SIM_FAIL (e.g. "ResetWDT0 DisableWDT1"), which
// return 1 as a call that could not be done would; and wdtctl_status tells the last call to each
// watchdog, from the journal.
//
// Build options: SIM_CALL sets the calling convention of the entries (empty, or __stdcall for a
// 32-bit Windows variant); SIM_WITHOUT_<entry> leaves that entry out, for tests of an incomplete
// library; SIM_WITHOUT_STATUS leaves out wdtctl_entry_results, as a vendor's library has none;
// SIM_WITH_HELPER makes it need helper.dll, a library of its own (Windows tests of the search);
// SIM_LOADS_AT_RUN_TIME makes it load wdtio.dll at its first call, as a vendor's library may, and
// note in the journal what that library's wdtio_mark() answers ("Helper 0" where none was found).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

#include "driver/protocol.h"

#ifndef SIM_CALL
#define SIM_CALL
#endif
#ifndef SIM_EXPORT
#define SIM_EXPORT __attribute__((visibility("default")))
#endif

// Only the C library is used, so that loading the driver adds as little as possible to the tool.
namespace {

void journal_path(char* path, size_t size) {
    if (const char* chosen = std::getenv("WDT_SIM_JOURNAL"); chosen != nullptr && *chosen != '\0') {
        std::snprintf(path, size, "%s", chosen);
        return;
    }
    // The temporary folder: TMPDIR on POSIX systems, TEMP or TMP on Windows.
    const char* folder = nullptr;
    const char* const variables[] = {"TMPDIR", "TEMP", "TMP"};
    for (const char* name : variables) {
        if (folder == nullptr || *folder == '\0') folder = std::getenv(name);
    }
    std::snprintf(path, size, "%s/wdt_sim_journal.txt", (folder != nullptr && *folder != '\0') ? folder : "/tmp");
}

// Opened and closed on every call so that each line is on disk even if the process is killed.
void record(const char* entry, const char* arguments = "") {
    timeval now{};
    gettimeofday(&now, nullptr);  // offered by both the POSIX and the mingw-w64 C library
    char path[4096];
    journal_path(path, sizeof path);
    // The three digits after the point are made here: a zero-padded field would take the C library
    // through pages that only some calls touch, which blurs the memory that benchmarks compare.
    const long micro = static_cast<long>(now.tv_usec % 1000);
    const char fraction[4] = {static_cast<char>('0' + micro / 100), static_cast<char>('0' + micro / 10 % 10),
                              static_cast<char>('0' + micro % 10), '\0'};
    if (std::FILE* journal = std::fopen(path, "a")) {
        std::fprintf(journal, "%lld.%s %s%s\n", static_cast<long long>(now.tv_sec) * 1000 + now.tv_usec / 1000,
                     fraction, entry, arguments);
        std::fclose(journal);
    }
}

#ifdef SIM_WITH_HELPER
extern "C" __declspec(dllimport) int wdt_helper();
#endif

#ifdef SIM_LOADS_AT_RUN_TIME
}  // namespace
#include <windows.h>
namespace {
void load_at_run_time() {
    static bool loaded = false;
    if (loaded) return;
    loaded = true;
    HMODULE helper = LoadLibraryA("wdtio.dll");
    auto mark = helper != nullptr ? reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(helper, "wdtio_mark")))
                                  : nullptr;
    char found[16];
    std::snprintf(found, sizeof found, " %d", mark != nullptr ? mark() : 0);
    record("Helper", found);
}
#endif

// 1 when WDT_SIM_FAIL names the entry (as a whole word), else 0.
int32_t result(const char* entry) {
#ifdef SIM_WITH_HELPER
    if (wdt_helper() != 42) return 1;
#endif
#ifdef SIM_LOADS_AT_RUN_TIME
    load_at_run_time();
#endif
    const char* fail = std::getenv("WDT_SIM_FAIL");
    const size_t length = std::strlen(entry);
    for (const char* found = fail; found != nullptr && (found = std::strstr(found, entry)) != nullptr; found += length) {
        const bool starts = found == fail || found[-1] == ' ' || found[-1] == ',';
        const bool ends = found[length] == '\0' || found[length] == ' ' || found[length] == ',';
        if (starts && ends) return 1;
    }
    return 0;
}

int32_t call(const char* entry) {
    record(entry);
    return result(entry);
}

int32_t call_set(const char* entry, int32_t milliseconds, int32_t mode) {
    char arguments[32];
    std::snprintf(arguments, sizeof arguments, " %ld %ld", static_cast<long>(milliseconds), static_cast<long>(mode));
    record(entry, arguments);
    return result(entry);
}

#ifndef SIM_WITHOUT_STATUS
// Its own state, from its journal: the last call made to watchdog n, as "Name: value" lines.
int32_t describe(int32_t n, char* text, int32_t size) {
    char path[4096], line[256], last[256] = "none";
    journal_path(path, sizeof path);
    if (std::FILE* journal = std::fopen(path, "r")) {
        while (std::fgets(line, sizeof line, journal) != nullptr) {
            char* entry = std::strchr(line, ' ');
            if (entry == nullptr) continue;
            ++entry;
            entry[std::strcspn(entry, "\n")] = '\0';
            const size_t name = std::strcspn(entry, " ");
            if (name > 0 && entry[name - 1] - '0' == n) std::snprintf(last, sizeof last, "%s", entry);
        }
        std::fclose(journal);
    }
    const int length = std::snprintf(text, static_cast<size_t>(size), "Driver: simulated (%s)\nLast call: %s\n",
                                     wdt::protocol::kNoHardware, last);
    return length >= 0 && length < size ? length : -1;
}
#endif

}  // namespace

extern "C" {

#ifndef SIM_WITHOUT_STATUS
SIM_EXPORT int32_t SIM_CALL wdtctl_entry_results() { return wdt::protocol::kResultsProtocol; }
SIM_EXPORT int32_t SIM_CALL wdtctl_status(int32_t n, char* text, int32_t size) { return describe(n, text, size); }
#endif
SIM_EXPORT int32_t SIM_CALL SetWDT0(int32_t milliseconds, int32_t mode) { return call_set("SetWDT0", milliseconds, mode); }
#ifndef SIM_WITHOUT_SetWDT1
SIM_EXPORT int32_t SIM_CALL SetWDT1(int32_t milliseconds, int32_t mode) { return call_set("SetWDT1", milliseconds, mode); }
#endif
SIM_EXPORT int32_t SIM_CALL ResetWDT0() { return call("ResetWDT0"); }
#ifndef SIM_WITHOUT_ResetWDT1
SIM_EXPORT int32_t SIM_CALL ResetWDT1() { return call("ResetWDT1"); }
#endif
SIM_EXPORT int32_t SIM_CALL DisableWDT0() { return call("DisableWDT0"); }
#ifndef SIM_WITHOUT_DisableWDT1
SIM_EXPORT int32_t SIM_CALL DisableWDT1() { return call("DisableWDT1"); }
#endif

}  // extern "C"
