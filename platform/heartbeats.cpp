// Heartbeat files: their modification times, each file's looked up on a thread of its own, so
// that a file system that stops answering (a network share, a FUSE file system, whose path lookup
// no flag can make return) holds up its own file's look-ups alone, never the loop or another
// file's. How a time is read is the platform's.
#include <cstdio>

#include "platform/heartbeats.h"
#include "platform/system.h"
#include "platform/worker.h"

namespace wdt::system {
namespace {

struct Slot {
    const char* path = nullptr;
    bool asked = false;   // a look-up is asked for and has not answered
    int64_t asked_ms = 0;
    wdt::Lookup found;    // what the last one answered
};
Slot slots[kLookUpJobs];  // each shared with its worker, under its job's lock

void work(Job job) {
    Slot& slot = slots[look_up_slot(job)];
    lock_job(job);
    const bool asked = slot.asked;
    const char* path = slot.path;
    unlock_job(job);
    if (!asked) return;
    wdt::Lookup lookup;
    lookup.read_ms = now_ms();
    read_file_time(path, lookup);
    lock_job(job);
    lookup.answers = slot.found.answers + 1;
    slot.found = lookup;
    slot.asked = false;
    unlock_job(job);
}

}  // namespace

void look_up_file(int index, const char* path, wdt::Lookup& lookup) {
    if (index < 0 || index >= kLookUpJobs) return;
    Slot& slot = slots[index];
    const Job job = look_up_job(index);
    lock_job(job);
    lookup = slot.found;
    lookup.waiting_since_ms = slot.asked ? slot.asked_ms : -1;
    const bool ask = !slot.asked;
    if (ask) {
        slot.path = path;
        slot.asked = true;
        slot.asked_ms = now_ms();
    }
    unlock_job(job);
    if (ask && !wake_job(job, work)) {
        // No thread to look it up on (a process limit, no memory for its stack): the file cannot be
        // read now, which is no news, as a look-up that failed now.
        lock_job(job);
        slot.asked = false;
        slot.found = wdt::Lookup{};
        slot.found.answers = lookup.answers + 1;
        slot.found.kind = wdt::FileKind::unreadable;
        slot.found.read_ms = now_ms();
        std::snprintf(slot.found.reason, sizeof slot.found.reason, "no thread can be made to look it up");
        unlock_job(job);
    }
}

}  // namespace wdt::system
