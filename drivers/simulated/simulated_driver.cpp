// A stand-in for the watchdog driver library: it drives no hardware, prints nothing, and appends
// one line per call to a journal file: the time in milliseconds since the epoch (with microseconds
// after the point), the entry point's name and its arguments. The journal's path comes from
// WDT_SIM_JOURNAL, or defaults to wdt_sim_journal.txt in the system's temporary folder.
//
// Build options: SIM_CALL sets the calling convention of the entries (empty, or __stdcall for a
// 32-bit Windows variant); SIM_WITHOUT_<entry> leaves that entry out, for tests of an incomplete
// library.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef SIM_CALL
#define SIM_CALL
#endif
#ifndef SIM_EXPORT
#define SIM_EXPORT __attribute__((visibility("default")))
#endif

namespace {

std::string journal_path() {
    if (const char* path = std::getenv("WDT_SIM_JOURNAL"); path != nullptr && *path != '\0') return path;
    std::error_code ignored;
    return (std::filesystem::temp_directory_path(ignored) / "wdt_sim_journal.txt").string();
}

// Opened and closed on every call so that each line is on disk even if the process is killed.
void record(const char* entry, const char* arguments = "") {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const long long micros = std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
    if (std::FILE* journal = std::fopen(journal_path().c_str(), "a")) {
        std::fprintf(journal, "%lld.%03lld %s%s\n", micros / 1000, micros % 1000, entry, arguments);
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
