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

// A keep-alive's metrics, beside its records.
struct Metrics {
    char folder[1024];
    char text[8192];
    size_t length = 0;
    bool waiting = false;
};
Metrics metrics[2];
bool metrics_failed = false;
char metrics_reason[400] = "";

void write_metrics_waiting(unsigned n) {
    static char folder[sizeof Metrics::folder], text[sizeof Metrics::text], reason[sizeof metrics_reason];
    lock_job(Job::records);
    const bool waiting = metrics[n].waiting;
    const size_t length = metrics[n].length;
    if (waiting) {
        std::memcpy(folder, metrics[n].folder, sizeof folder);
        std::memcpy(text, metrics[n].text, length);
    }
    metrics[n].waiting = false;
    unlock_job(Job::records);
    if (!waiting) return;
    reason[0] = '\0';
    const bool written = write_metrics_now(n, folder, text, length, reason, sizeof reason);
    lock_job(Job::records);
    metrics_failed = !written;
    if (!written) std::memcpy(metrics_reason, reason, sizeof reason);
    unlock_job(Job::records);
}

void work(Job) {
    static char text[sizeof Pending::text];
    for (unsigned n = 0; n < 2; ++n) write_metrics_waiting(n);
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

void write_metrics(unsigned n, const char* folder, const char* text, size_t length) {
    if (n > 1) return;
    lock_job(Job::records);
    const bool fits = length <= sizeof metrics[n].text && std::strlen(folder) < sizeof metrics[n].folder;
    if (fits) {
        std::memcpy(metrics[n].folder, folder, std::strlen(folder) + 1);
        std::memcpy(metrics[n].text, text, length);
        metrics[n].length = length;
        metrics[n].waiting = true;
    }
    unlock_job(Job::records);
    if (fits) wake_job(Job::records, work);
}

bool metrics_written(char* reason, size_t size) {
    lock_job(Job::records);
    const bool failed = metrics_failed;
    if (failed && size > 0) {
        std::strncpy(reason, metrics_reason, size - 1);
        reason[size - 1] = '\0';
    }
    unlock_job(Job::records);
    return !failed;
}

bool records_written(int64_t wait_ms) {
    const bool finished = wait_ms <= 0 || wait_for_job(Job::records, wait_ms);
    lock_job(Job::records);
    const bool failed = write_failed;
    unlock_job(Job::records);
    return finished && !failed;
}

}  // namespace wdt::system
