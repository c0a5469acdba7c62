/* Preloaded into the tool by the end-to-end tests to make the machine unfriendly:
 *   WDT_TEST_FSYNC_MS=N   every fsync takes N ms longer (a slow disk)
 *   WDT_TEST_CLOCK_S=N    the wall clock (time, clock_gettime's CLOCK_REALTIME, gettimeofday) is N
 *                         seconds ahead (a clock stepped after the start)
 *   WDT_TEST_BOOT_S=N     the boot clock (CLOCK_BOOTTIME) is N seconds ahead (a later boot)
 *   WDT_TEST_BOOT_ID=ID   the kernel's boot id reads ID (another boot)
 *   WDT_TEST_NO_CHILDREN=1  /proc/.../children does not exist (a kernel built without it) */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static long from_environment(const char* name) {
    const char* value = getenv(name);
    return value != NULL ? atol(value) : 0;
}

int fsync(int fd) {
    const long delay = from_environment("WDT_TEST_FSYNC_MS");
    const struct timespec pause = {delay / 1000, (delay % 1000) * 1000000};
    if (delay > 0) nanosleep(&pause, NULL);
    return (int)syscall(SYS_fsync, fd);
}

int clock_gettime(clockid_t clock, struct timespec* now) {
    int (*real)(clockid_t, struct timespec*) = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    const int result = real(clock, now);
    if (result == 0 && clock == CLOCK_REALTIME) now->tv_sec += from_environment("WDT_TEST_CLOCK_S");
    if (result == 0 && clock == CLOCK_BOOTTIME) now->tv_sec += from_environment("WDT_TEST_BOOT_S");
    return result;
}

time_t time(time_t* out) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (out != NULL) *out = now.tv_sec;
    return now.tv_sec;
}

int gettimeofday(struct timeval* now, void* zone) {
    struct timespec real;
    (void)zone;
    clock_gettime(CLOCK_REALTIME, &real);
    now->tv_sec = real.tv_sec;
    now->tv_usec = real.tv_nsec / 1000;
    return 0;
}

/* The kernel's list of a task's children, hidden: every way the C library offers to open a file. */
static int hidden(const char* path) {
    const size_t length = strlen(path);
    return from_environment("WDT_TEST_NO_CHILDREN") != 0 && length >= 9 && strcmp(path + length - 9, "/children") == 0;
}

/* The boot id, when one is given, from a pipe that holds it; -1 for every other file. */
static int boot_id(const char* path) {
    const char* boot = getenv("WDT_TEST_BOOT_ID");
    int ends[2];
    if (boot == NULL || strcmp(path, "/proc/sys/kernel/random/boot_id") != 0 || pipe(ends) != 0) return -1;
    if (write(ends[1], boot, strlen(boot)) < 0 || write(ends[1], "\n", 1) < 0) {
        /* an empty pipe reads as no boot id */
    }
    close(ends[1]);
    return ends[0];
}

static int open_mode(int flags, va_list* rest) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(*rest, int) : 0;
}

// Every open of a path goes through here: a hidden path is not there, and the boot id is ours.
static int open_in(int folder, const char* path, int flags, int mode) {
    if (hidden(path)) {
        errno = ENOENT;
        return -1;
    }
    const int boot = boot_id(path);
    if (boot >= 0) return boot;
    return (int)syscall(SYS_openat, folder, path, flags, mode);
}
#define OPEN_AT(name)                                                                              \
    int name(int folder, const char* path, int flags, ...) {                                       \
        va_list rest;                                                                              \
        va_start(rest, flags);                                                                     \
        const int mode = open_mode(flags, &rest);                                                  \
        va_end(rest);                                                                              \
        return open_in(folder, path, flags, mode);                                                 \
    }
#define OPEN(name)                                                                                 \
    int name(const char* path, int flags, ...) {                                                   \
        va_list rest;                                                                              \
        va_start(rest, flags);                                                                     \
        const int mode = open_mode(flags, &rest);                                                  \
        va_end(rest);                                                                              \
        return open_in(AT_FDCWD, path, flags, mode);                                               \
    }
OPEN(open)
OPEN(open64)
OPEN_AT(openat)
OPEN_AT(openat64)
