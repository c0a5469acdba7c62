#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include "platform/worker.h"

namespace wdt::system {
namespace {

struct Worker {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed;  // on the monotonic clock, made before the thread
    bool made = false;       // `changed` is
    bool started = false;
    bool woken = false;  // work() is to run (again)
    bool busy = false;
    Job job = Job::records;
    void (*work)(Job) = nullptr;
};
Worker workers[kJobs];

Worker& of(Job job) { return workers[static_cast<int>(job)]; }

void* run(void* argument) {
    Worker& worker = *static_cast<Worker*>(argument);
    pthread_mutex_lock(&worker.mutex);
    for (;;) {
        while (!worker.woken) pthread_cond_wait(&worker.changed, &worker.mutex);
        worker.woken = false;
        worker.busy = true;
        pthread_mutex_unlock(&worker.mutex);
        worker.work(worker.job);
        pthread_mutex_lock(&worker.mutex);
        worker.busy = false;
        pthread_cond_broadcast(&worker.changed);
    }
}

// The thread starts with every signal blocked, so that signals meant for the tool reach the
// loop's thread, and with a small stack: what it does (a statx, a write, a message's formatting)
// needs a few pages of it, and those stay locked.
constexpr size_t kStackSize = 32 * 1024;

bool start(Worker& worker) {
    if (!worker.made) {
        pthread_condattr_t clock;
        pthread_condattr_init(&clock);
        pthread_condattr_setclock(&clock, CLOCK_MONOTONIC);
        worker.made = pthread_cond_init(&worker.changed, &clock) == 0;
        pthread_condattr_destroy(&clock);
        if (!worker.made) return false;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (pthread_attr_setstacksize(&attributes, kStackSize) != 0) pthread_attr_setstacksize(&attributes, PTHREAD_STACK_MIN);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t thread;
    worker.started = pthread_create(&thread, &attributes, run, &worker) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_attr_destroy(&attributes);
    return worker.started;
}

}  // namespace

bool wake_job(Job job, void (*work)(Job)) {
    Worker& worker = of(job);
    pthread_mutex_lock(&worker.mutex);
    worker.job = job;
    worker.work = work;
    const bool running = worker.started || start(worker);
    worker.woken = running;
    pthread_mutex_unlock(&worker.mutex);
    // Woken once the lock is free, so that the worker does not wake only to wait for it.
    if (running) pthread_cond_broadcast(&worker.changed);
    return running;
}

void lock_job(Job job) { pthread_mutex_lock(&of(job).mutex); }

void unlock_job(Job job) { pthread_mutex_unlock(&of(job).mutex); }

bool wait_for_job(Job job, int64_t wait_ms) {
    Worker& worker = of(job);
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(wait_ms / 1000);
    until.tv_nsec += static_cast<long>(wait_ms % 1000) * 1000000;
    if (until.tv_nsec >= 1000000000) {
        ++until.tv_sec;
        until.tv_nsec -= 1000000000;
    }
    pthread_mutex_lock(&worker.mutex);
    int waited = 0;
    while (worker.started && (worker.woken || worker.busy) && waited == 0) {
        waited = pthread_cond_timedwait(&worker.changed, &worker.mutex, &until);
    }
    const bool done = !worker.woken && !worker.busy;
    pthread_mutex_unlock(&worker.mutex);
    return done;
}

}  // namespace wdt::system
