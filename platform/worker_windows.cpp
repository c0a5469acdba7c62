#include <windows.h>

#include "platform/worker.h"

namespace wdt::system {
namespace {

struct Worker {
    INIT_ONCE made = INIT_ONCE_STATIC_INIT;
    CRITICAL_SECTION lock;
    HANDLE woken = nullptr;  // set when work() is to run (again)
    HANDLE idle = nullptr;   // set while work() has run since the last wake
    bool started = false;
    Job job = Job::records;
    void (*work)(Job) = nullptr;
};
Worker workers[kJobs];

Worker& of(Job job) { return workers[static_cast<int>(job)]; }

BOOL CALLBACK make(INIT_ONCE*, void* argument, void**) {
    Worker& worker = *static_cast<Worker*>(argument);
    InitializeCriticalSection(&worker.lock);
    return TRUE;
}

DWORD WINAPI run(void* argument) {
    Worker& worker = *static_cast<Worker*>(argument);
    for (;;) {
        WaitForSingleObject(worker.woken, INFINITE);
        worker.work(worker.job);
        EnterCriticalSection(&worker.lock);
        if (WaitForSingleObject(worker.woken, 0) == WAIT_TIMEOUT) SetEvent(worker.idle);
        else SetEvent(worker.woken);  // woken again meanwhile: once more
        LeaveCriticalSection(&worker.lock);
    }
}

}  // namespace

void lock_job(Job job) {
    Worker& worker = of(job);
    InitOnceExecuteOnce(&worker.made, make, &worker, nullptr);
    EnterCriticalSection(&worker.lock);
}

void unlock_job(Job job) { LeaveCriticalSection(&of(job).lock); }

// A small stack: what a worker does needs a few pages of it, and those stay in the working set.
bool wake_job(Job job, void (*work)(Job)) {
    Worker& worker = of(job);
    lock_job(job);
    worker.job = job;
    worker.work = work;
    if (!worker.started) {
        if (worker.woken == nullptr) worker.woken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (worker.idle == nullptr) worker.idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        HANDLE thread = worker.woken != nullptr && worker.idle != nullptr
                            ? CreateThread(nullptr, 64 * 1024, run, &worker, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                            : nullptr;
        worker.started = thread != nullptr;
        if (thread != nullptr) CloseHandle(thread);  // it runs to the process's end
    }
    if (worker.started) {
        ResetEvent(worker.idle);
        SetEvent(worker.woken);
    }
    unlock_job(job);
    return worker.started;
}

bool wait_for_job(Job job, int64_t wait_ms) {
    Worker& worker = of(job);
    lock_job(job);
    const bool started = worker.started;
    unlock_job(job);
    return !started || WaitForSingleObject(worker.idle, static_cast<DWORD>(wait_ms)) == WAIT_OBJECT_0;
}

}  // namespace wdt::system
