// How each platform reads a heartbeat file's modification time (heartbeats_*.cpp), for the look-ups
// that heartbeats.cpp runs on a thread of their own.
#pragma once

#include "platform/host.h"

namespace wdt::system {

// Fills the lookup's kind, time and reason for the file; may wait as long as its file system does.
void read_file_time(const char* path, wdt::Lookup& lookup);

}  // namespace wdt::system
