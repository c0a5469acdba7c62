// A stand-in for the watchdog driver library: it drives no hardware, prints nothing, and appends
// one line per call to a journal file: the time in milliseconds since the epoch (with microseconds
// after the point), the entry point's name and its arguments. The journal's path comes from
// WDT_SIM_JOURNAL, or defaults to wdt_sim_journal.txt in the system's temporary folder.
//
// Build options: SIM_CALL sets the calling convention of the entries (empty, or __stdcall for a
// 32-bit Windows variant); SIM_WITHOUT_<entry> leaves that entry out, for tests of an incomplete
// library.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/time.h>

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
    if (std::FILE* journal = std::fopen(path, "a")) {
        std::fprintf(journal, "%lld.%03ld %s%s\n", static_cast<long long>(now.tv_sec) * 1000 + now.tv_usec / 1000,
                     static_cast<long>(now.tv_usec % 1000), entry, arguments);
        std::fclose(journal);
    }
}

void record_set(const char* entry, int32_t milliseconds, int32_t mode) {
    char arguments[32];
    std::snprintf(arguments, sizeof arguments, " %ld %ld", static_cast<long>(milliseconds), static_cast<long>(mode));
    record(entry, arguments);
}

}  // namespace

extern "C" {

SIM_EXPORT void SIM_CALL SetWDT0(int32_t milliseconds, int32_t mode) { record_set("SetWDT0", milliseconds, mode); }
#ifndef SIM_WITHOUT_SetWDT1
SIM_EXPORT void SIM_CALL SetWDT1(int32_t milliseconds, int32_t mode) { record_set("SetWDT1", milliseconds, mode); }
#endif
SIM_EXPORT void SIM_CALL ResetWDT0() { record("ResetWDT0"); }
#ifndef SIM_WITHOUT_ResetWDT1
SIM_EXPORT void SIM_CALL ResetWDT1() { record("ResetWDT1"); }
#endif
SIM_EXPORT void SIM_CALL DisableWDT0() { record("DisableWDT0"); }
#ifndef SIM_WITHOUT_DisableWDT1
SIM_EXPORT void SIM_CALL DisableWDT1() { record("DisableWDT1"); }
#endif

}  // extern "C"
