// Threads of their own for work that may wait on a disk or a file system (a record's write, the
// metrics' write, a heartbeat's look-up), so that such a wait never holds up the keep-alive loop or a stop request.
// Each heartbeat file has a thread of its own: a file system that stops answering holds up the
// look-ups of its own files alone. One implementation per platform; the work itself, and the state
// it shares with its callers, belong to whoever uses the worker.
#pragma once

#include <cstdint>

namespace wdt::system {

// The records' writer, the metrics' writer, then one job per heartbeat file (look_up_job(0) to
// look_up_job(15)).
enum class Job : int { records = 0, metrics = 1 };
inline constexpr int kLookUpJobs = 16;
inline constexpr int kJobs = 2 + kLookUpJobs;
constexpr Job look_up_job(int slot) { return static_cast<Job>(2 + slot); }
constexpr int look_up_slot(Job job) { return static_cast<int>(job) - 2; }

// Runs work(job) on the job's thread, which is started the first time, each time after a wake;
// work runs with every signal blocked. False when the thread cannot be started (it is tried again
// at the next wake).
bool wake_job(Job job, void (*work)(Job));
// Guard the state that work() shares with the job's callers.
void lock_job(Job job);
void unlock_job(Job job);
// Waits, at most so long, until work() has run since the last wake; answers whether it has.
bool wait_for_job(Job job, int64_t wait_ms);

}  // namespace wdt::system
