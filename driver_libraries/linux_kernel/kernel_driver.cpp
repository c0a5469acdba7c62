// The kernel driver library: the six entry points of "WDT.dll", on the Linux watchdog devices.
// A device, once opened, stays open for the life of the process and is only closed by a disable,
// so an armed watchdog stays armed when the process ends or is killed.
//
// Unlike a vendor's library, each entry answers what it did: 0 when it did what it was asked, 2
// when that lasts only while this process holds the device (a driver that stops at close), 1 when
// it did not (having said why on standard error). wdtctl_entry_results tells the tool so.
#include <cstdint>

#include "driver/protocol.h"
#include "real_kernel.h"

namespace {

kwd::Watchdogs watchdogs;

using namespace wdt::protocol;

int status(kwd::Result result) {
    if (result != kwd::Result::not_done) kwd::forget_complaint();
    return result == kwd::Result::done ? kEntryDone : result == kwd::Result::done_while_held ? kEntryDoneWhileHeld : kEntryNotDone;
}

}  // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int wdtctl_entry_results() { return kResultsProtocol; }
EXPORT int SetWDT0(int32_t milliseconds, int32_t) { return status(kwd::arm(watchdogs, kwd::real_kernel(), 0, milliseconds)); }
EXPORT int SetWDT1(int32_t milliseconds, int32_t) { return status(kwd::arm(watchdogs, kwd::real_kernel(), 1, milliseconds)); }
EXPORT int ResetWDT0() { return status(kwd::refresh(watchdogs, kwd::real_kernel(), 0)); }
EXPORT int ResetWDT1() { return status(kwd::refresh(watchdogs, kwd::real_kernel(), 1)); }
EXPORT int DisableWDT0() { return status(kwd::disable(watchdogs, kwd::real_kernel(), 0)); }
EXPORT int DisableWDT1() { return status(kwd::disable(watchdogs, kwd::real_kernel(), 1)); }
// What sysfs shows of watchdog n (0 or 1), as "Name: value" lines, and which process holds it
// unless kDescribeWithoutHolder is added to n; the length, or -1.
EXPORT int wdtctl_status(int32_t n, char* text, int32_t size) {
    const int32_t watchdog = n & ~kDescribeWithoutHolder;
    if ((watchdog != 0 && watchdog != 1) || text == nullptr || size <= 0) return -1;
    return kwd::describe(kwd::real_kernel(), watchdog, (n & kDescribeWithoutHolder) == 0, text, static_cast<size_t>(size));
}
