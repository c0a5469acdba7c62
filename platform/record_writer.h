// How each platform writes a record whole (records_*.cpp), for the writer that runs on a thread of
// its own (record_writer.cpp).
#pragma once

#include <cstddef>

namespace wdt::system {

// Writes the record of watchdog n whole (a temporary file, flushed to disk, renamed over the old
// one), or not at all; may wait as long as the disk does.
bool write_record_now(unsigned n, const char* text, size_t length);

// Writes watchdog n's metrics whole into the folder (metrics_*.cpp), or not at all, with why.
bool write_metrics_now(unsigned n, const char* folder, const char* text, size_t length, char* reason, size_t size);

}  // namespace wdt::system
