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
    void (*work)() = nullptr;
};
Worker workers[2];

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
        worker.work();
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

bool wake_job(Job job, void (*work)()) {
    Worker& worker = of(job);
    lock_job(job);
    worker.work = work;
    if (!worker.started) {
        worker.woken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        worker.idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        worker.started = worker.woken != nullptr && worker.idle != nullptr &&
                         CreateThread(nullptr, 64 * 1024, run, &worker, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr) != nullptr;
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
