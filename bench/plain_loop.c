/* The plainest keep-alive loop there is, for the benchmark to hold the tool's memory against: it
 * loads WDT.dll, arms watchdog 0, locks its memory as it is touched, and refreshes the watchdog on
 * a monotonic schedule, for ever.
 *   plain_loop <path of WDT.dll> <timeout s> <period s> */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) return 1;
    int (*set)(int, int) = (int (*)(int, int))dlsym(library, "SetWDT0");
    int (*refresh)(void) = (int (*)(void))dlsym(library, "ResetWDT0");
    if (set == NULL || refresh == NULL) return 1;
    const long timeout = atol(argv[2]), period = atol(argv[3]);
    set((int)(timeout * 1000), 208);
    printf("Entering endless loop: Timer for reboot %ld seconds. Refresh each %ld seconds.\r\n", timeout, period);
    fflush(stdout);
    mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT);
    struct timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (;;) {
        due.tv_sec += period;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL);
        refresh();
    }
}
