// Heartbeat files: their modification times, looked up on a thread of their own, so that a file
// system that stops answering (a network share, a FUSE file system, whose path lookup no flag can
// make return) holds up that thread alone, never the loop. How a time is read is the platform's.
#include <cstdio>

#include "platform/heartbeats.h"
#include "platform/system.h"
#include "platform/worker.h"

namespace wdt::system {
namespace {

constexpr int kSlots = 16;
struct Slot {
    const char* path = nullptr;
    bool asked = false;   // a look-up is asked for and has not answered
    int64_t asked_ms = 0;
    wdt::Lookup found;    // what the last one answered
};
Slot slots[kSlots];  // shared with the worker, under its lock

void work() {
    for (Slot& slot : slots) {
        lock_job(Job::look_ups);
        const bool asked = slot.asked;
        const char* path = slot.path;
        unlock_job(Job::look_ups);
        if (!asked) continue;
        wdt::Lookup lookup;
        lookup.read_ms = now_ms();
        read_file_time(path, lookup);
        lock_job(Job::look_ups);
        lookup.answers = slot.found.answers + 1;
        slot.found = lookup;
        slot.asked = false;
        unlock_job(Job::look_ups);
    }
}

}  // namespace

void look_up_file(int index, const char* path, wdt::Lookup& lookup) {
    if (index < 0 || index >= kSlots) return;
    Slot& slot = slots[index];
    lock_job(Job::look_ups);
    lookup = slot.found;
    lookup.waiting_since_ms = slot.asked ? slot.asked_ms : -1;
    const bool ask = !slot.asked;
    if (ask) {
        slot.path = path;
        slot.asked = true;
        slot.asked_ms = now_ms();
    }
    unlock_job(Job::look_ups);
    if (ask && !wake_job(Job::look_ups, work)) {
        // No thread for it: the file cannot be looked up, which is no news.
        lock_job(Job::look_ups);
        slot.asked = false;
        slot.found.kind = wdt::FileKind::unreadable;
        std::snprintf(slot.found.reason, sizeof slot.found.reason, "no thread to look it up on");
        ++slot.found.answers;
        unlock_job(Job::look_ups);
    }
}

}  // namespace wdt::system
