// A thread of its own for work that may wait on a disk or a file system (a heartbeat's look-up, a
// record's write), so that such a wait never holds up the keep-alive loop or a stop request. One
// implementation per platform; the work itself, and the state it shares with its callers, belong
// to whoever uses the worker.
#pragma once

#include <cstdint>

namespace wdt::system {

enum class Job { look_ups, records };

// Runs work() on the job's thread, which is started the first time, each time after a wake; work
// runs with every signal blocked. False when the thread cannot be started.
bool wake_job(Job job, void (*work)());
// Guard the state that work() shares with the job's callers.
void lock_job(Job job);
void unlock_job(Job job);
// Waits, at most so long, until work() has run since the last wake; answers whether it has.
bool wait_for_job(Job job, int64_t wait_ms);

}  // namespace wdt::system
