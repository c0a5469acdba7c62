// A keep-alive's metrics, written on a thread of their own: a folder on a file system that stops
// answering holds up neither the loop nor the records' writer. The latest text handed over for each
// watchdog is the one written.
#include <cstring>

#include "platform/record_writer.h"
#include "platform/system.h"
#include "platform/worker.h"

namespace wdt::system {
namespace {

struct Metrics {
    char folder[1024];
    char text[32768];
    size_t length = 0;
    bool waiting = false;
};
Metrics metrics[2];
bool metrics_failed = false;
char metrics_reason[400] = "";

void write_metrics_waiting(unsigned n) {
    static char folder[sizeof Metrics::folder], text[sizeof Metrics::text], reason[sizeof metrics_reason];
    lock_job(Job::metrics);
    const bool waiting = metrics[n].waiting;
    const size_t length = metrics[n].length;
    if (waiting) {
        std::memcpy(folder, metrics[n].folder, sizeof folder);
        std::memcpy(text, metrics[n].text, length);
    }
    metrics[n].waiting = false;
    unlock_job(Job::metrics);
    if (!waiting) return;
    reason[0] = '\0';
    const bool written = write_metrics_now(n, folder, text, length, reason, sizeof reason);
    lock_job(Job::metrics);
    metrics_failed = !written;
    if (!written) std::memcpy(metrics_reason, reason, sizeof reason);
    unlock_job(Job::metrics);
}

void work(Job) {
    for (unsigned n = 0; n < 2; ++n) write_metrics_waiting(n);
}

}  // namespace

void write_metrics(unsigned n, const char* folder, const char* text, size_t length) {
    if (n > 1) return;
    lock_job(Job::metrics);
    const bool fits = length <= sizeof metrics[n].text && std::strlen(folder) < sizeof metrics[n].folder;
    if (fits) {
        std::memcpy(metrics[n].folder, folder, std::strlen(folder) + 1);
        std::memcpy(metrics[n].text, text, length);
        metrics[n].length = length;
        metrics[n].waiting = true;
    }
    unlock_job(Job::metrics);
    if (fits) wake_job(Job::metrics, work);
}

bool metrics_written(char* reason, size_t size) {
    lock_job(Job::metrics);
    const bool failed = metrics_failed;
    if (failed && size > 0) {
        std::strncpy(reason, metrics_reason, size - 1);
        reason[size - 1] = '\0';
    }
    unlock_job(Job::metrics);
    return !failed;
}

}  // namespace wdt::system
