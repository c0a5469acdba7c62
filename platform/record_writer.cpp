// A service's records, written on a thread of their own, so that a slow disk (an fsync that takes
// seconds) never holds up a refresh or a stop: the latest text handed over for each watchdog is
// the one written. How a record is written whole is the platform's.
#include <cstring>

#include "platform/record_writer.h"
#include "platform/system.h"
#include "platform/worker.h"

namespace wdt::system {
namespace {

struct Pending {
    char text[16384];
    size_t length = 0;
    bool waiting = false;
};
Pending pending[2];
bool write_failed = false;

void work(Job) {
    static char text[sizeof Pending::text];
    for (unsigned n = 0; n < 2; ++n) {
        lock_job(Job::records);
        const bool waiting = pending[n].waiting;
        const size_t length = pending[n].length;
        if (waiting) std::memcpy(text, pending[n].text, length);
        pending[n].waiting = false;
        unlock_job(Job::records);
        if (!waiting) continue;
        const bool written = write_record_now(n, text, length);
        lock_job(Job::records);
        write_failed = write_failed || !written;
        unlock_job(Job::records);
    }
}

}  // namespace

void write_record(unsigned n, const char* text, size_t length) {
    if (n > 1) return;
    lock_job(Job::records);
    const bool fits = length <= sizeof pending[n].text;
    if (fits) {
        std::memcpy(pending[n].text, text, length);
        pending[n].length = length;
        pending[n].waiting = true;
    }
    write_failed = write_failed || !fits;
    unlock_job(Job::records);
    if (fits && !wake_job(Job::records, work)) {
        lock_job(Job::records);
        write_failed = true;
        unlock_job(Job::records);
    }
}

// The metrics handed over last (a stop's) are waited for too, within the same time.
bool records_written(int64_t wait_ms) {
    const int64_t until = now_ms() + wait_ms;
    const bool finished = wait_ms <= 0 || wait_for_job(Job::records, wait_ms);
    if (wait_ms > 0 && now_ms() < until) wait_for_job(Job::metrics, until - now_ms());
    lock_job(Job::records);
    const bool failed = write_failed;
    unlock_job(Job::records);
    return finished && !failed;
}

}  // namespace wdt::system
