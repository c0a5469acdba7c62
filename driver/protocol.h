// What the tool and the driver libraries of this project agree on beyond the six entry points that
// every "WDT.dll" exports: one home for the binding and for each of our libraries.
#pragma once

#include <cstdint>

namespace wdt::protocol {

inline constexpr const char* kFileName = "WDT.dll";
// The arm entry's second argument: always this value.
inline constexpr int32_t kSetMode = 208;

// A library that exports the function kResultsMarker, answering kResultsProtocol, returns a result
// from each entry: kEntryDone, kEntryDoneWhileHeld, or anything else (kEntryNotDone) when it did
// not do what it was asked. A name and a value that no vendor's library exports by chance.
inline constexpr const char* kResultsMarker = "wdtctl_entry_results";
inline constexpr int32_t kResultsProtocol = 0x77647402;
inline constexpr int32_t kEntryDone = 0;
inline constexpr int32_t kEntryNotDone = 1;
// Done, but only while this process holds the device: its driver stops the watchdog at close.
inline constexpr int32_t kEntryDoneWhileHeld = 2;

// Our libraries' optional description of a watchdog: int32_t wdtctl_status(int32_t n, char* text,
// int32_t size) writes "Name: value" lines, read-only, and answers their length, or -1.
inline constexpr const char* kDescribeEntry = "wdtctl_status";
// Added to the watchdog's number for a description that does not look for the process holding the
// device (a service's start, before it arms).
inline constexpr int32_t kDescribeWithoutHolder = 0x100;
// A library that drives no hardware (the simulated one) says so in its "Driver:" line.
inline constexpr const char* kNoHardware = "drives no hardware";

}  // namespace wdt::protocol
