// The first process of the emulated machine that puts wdtctl before the real kernel: for each kind
// of watchdog in the plan it loads the drivers, then carries out every planned sequence of tool
// runs on it. Each step is marked in the kernel log, so that it shares the kernel's clock with the
// kernel's own lines (a watchdog firing among them), and the log is copied to the second serial
// port, where the host reads it. The plan (/oracle/plan) says what to run:
//   kind NAME            starts a kind: the modules of the kind before are unloaded, settings cleared
//   device PATH          the device that the second keeper and the reset between sequences use
//   sysfs DIR|-          the watchdog's folder in sysfs; - for a legacy driver, which has none
//   number N             the watchdog number the tool is given (W0 or W1)
//   env NAME=VALUE       set for every tool run
//   other PATH           another watchdog's device, for the race of step X
//   timeout S            the timeout the reset between sequences sets
//   legacy 0|1           a legacy driver is stopped by the magic character, not by a request
//   nowayout 0|1         the watchdog cannot be stopped: the reset waits for it to fire instead
//   load FILE [PARAMS]   loads a module at boot
//   reload NAME FILE [PARAMS]  loads the module anew before every sequence
//   hide-sysfs DIR       puts a folder with only dev, uevent and subsystem over the watchdog's DIR,
//                        as a kernel without the watchdog's sysfs files shows it; the real one
//                        stays readable at /oracle/real
//   move-sys 1           moves sysfs from /sys to /oracle/sys while the kind runs: no sysfs for the tool
//   seq ID CODES         a sequence of steps, one character each (see run_step)
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/reboot.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define TOOL "/opt/wdtctl/wdtctl"

static char device[256], sysfs[256], other[256], reload_name[64], reload_file[256], reload_params[256];
static int number, reset_timeout = 2, legacy, nowayout;
static char *tool_env[16];
static int tool_env_count;
static char loaded[8][64];  // the modules this kind loaded, to unload before the next kind
static int loaded_count;
static int kmsg_out = -1, kmsg_in = -1, serial = -1;
static char hidden[256];  // the sysfs folder hidden for this kind, if any
static int sys_moved;

static void mark(const char *format, ...) {
    char line[1000];
    int length = snprintf(line, sizeof line, "<6>ORACLE ");
    va_list args;
    va_start(args, format);
    length += vsnprintf(line + length, sizeof line - 1 - length, format, args);
    va_end(args);
    if (length >= (int)sizeof line - 1) length = sizeof line - 2;
    // A record becomes readable once it ends with a line feed.
    line[length++] = '\n';
    if (write(kmsg_out, line, length) < 0) perror("kmsg");
}

// Copies every kernel log record written since the last call to the serial port as
// "<microseconds> <text>"; a record lost to a full buffer is said.
static void drain(void) {
    char record[2048];
    for (;;) {
        ssize_t length = read(kmsg_in, record, sizeof record - 1);
        if (length < 0 && errno == EPIPE) {
            dprintf(serial, "0 LOST RECORDS\n");
            continue;
        }
        if (length <= 0) return;
        record[length] = '\0';
        char *text = strchr(record, ';');
        char *end = text ? strchr(text, '\n') : NULL;
        unsigned long long stamp = 0;
        if (!text || !end || sscanf(record, "%*u,%*u,%llu", &stamp) != 1) continue;
        *end = '\0';
        dprintf(serial, "%llu %s\n", stamp, text + 1);
    }
}

static void pause_seconds(double seconds) {
    struct timespec wait = {(time_t)seconds, (long)((seconds - (time_t)seconds) * 1e9)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &wait, &wait) == EINTR) {
    }
}

static void read_file(const char *path, char *text, size_t size) {
    text[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(text, size, "-");
        return;
    }
    ssize_t length = read(fd, text, size - 1);
    close(fd);
    text[length > 0 ? length : 0] = '\0';
    text[strcspn(text, "\n")] = '\0';
}

// The kernel's view of the watchdog after a step: its state and the status bits.
static void mark_state(const char *what) {
    char path[300], state[32] = "-", status[32] = "-";
    if (strcmp(sysfs, "-") != 0) {
        snprintf(path, sizeof path, "%s/state", sysfs);
        read_file(path, state, sizeof state);
        snprintf(path, sizeof path, "%s/status", sysfs);
        read_file(path, status, sizeof status);
    }
    mark("%s state=%s status=%s", what, state, status);
}

// Bytes as the log can carry them: printable ASCII as it is, anything else (and '%') as %HH.
static void escape(const char *data, size_t size, char *text, size_t room) {
    size_t used = 0;
    for (size_t i = 0; i < size && used + 5 < room; ++i) {
        unsigned char c = (unsigned char)data[i];
        if (c >= 0x20 && c < 0x7f && c != '%') {
            text[used++] = (char)c;
        } else {
            used += snprintf(text + used, room - used, "%%%02x", c);
        }
    }
    text[used] = '\0';
}

struct Run {
    pid_t pid;
    int out, err;
    char output[2][512];
    size_t length[2];
};

// Starts the tool with its output on pipes; with `closed`, standard input and output closed.
static int start_tool_with(struct Run *run, const char *const *args, int closed) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (closed) {
        posix_spawn_file_actions_addclose(&actions, 0);
        posix_spawn_file_actions_addclose(&actions, 1);
    }
    char *argv[8];
    int argc = 0;
    argv[argc++] = TOOL;
    for (; *args; ++args) argv[argc++] = (char *)*args;
    argv[argc] = NULL;
    // A service keeps its record here; each service step starts without one (see run_step).
    char *env[18];
    int envc = 0;
    for (; tool_env[envc] != NULL; ++envc) env[envc] = tool_env[envc];
    env[envc++] = "STATE_DIRECTORY=/oracle/state";
    env[envc] = NULL;
    int failed = posix_spawn(&run->pid, TOOL, &actions, NULL, argv, env);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    run->out = out[0];
    run->err = err[0];
    run->length[0] = run->length[1] = 0;
    return failed ? -1 : 0;
}

static int start_tool(struct Run *run, const char *const *args) { return start_tool_with(run, args, 0); }

// Reads the tool's output until both pipes end or `seconds` have passed; answers whether they ended.
static int collect(struct Run *run, double seconds) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double until = now.tv_sec + now.tv_nsec / 1e9 + seconds;
    struct pollfd fds[2] = {{run->out, POLLIN, 0}, {run->err, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double left = until - (now.tv_sec + now.tv_nsec / 1e9);
        if (left <= 0) return 0;
        if (poll(fds, 2, (int)(left * 1000) + 1) < 0 && errno != EINTR) return 0;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char *buffer = run->output[i] + run->length[i];
            size_t room = sizeof run->output[i] - run->length[i];
            char scratch[256];
            ssize_t got = read(fds[i].fd, room > 0 ? buffer : scratch, room > 0 ? room : sizeof scratch);
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
            } else if (room > 0) {
                run->length[i] += (size_t)got;
            }
        }
    }
    return 1;
}

static void finish(struct Run *run, int step, char code) {
    int status = 0;
    waitpid(run->pid, &status, 0);
    char out[1100], err[1100];
    escape(run->output[0], run->length[0], out, sizeof out);
    escape(run->output[1], run->length[1], err, sizeof err);
    const int exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    mark("END %d %c exit=%d out=%s err=%s", step, code, exit_code, out, err);
    if (run->out >= 0) close(run->out);
    if (run->err >= 0) close(run->err);
}

// A second keeper, as other watchdog daemons are: it opens the device and refreshes it only with
// the keep-alive request. Answers its process.
static pid_t start_keeper(const char *tag) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int fd = open(device, O_WRONLY | O_CLOEXEC);
    mark("%s open=%d", tag, fd >= 0 ? 0 : errno);
    for (;;) {
        int unused = 0;
        if (fd >= 0) mark("%s ping=%d", tag, ioctl(fd, WDIOC_KEEPALIVE, &unused) == 0 ? 0 : errno);
        pause_seconds(0.3);
    }
}

static void stop_keeper(pid_t keeper, const char *tag) {
    kill(keeper, SIGKILL);
    waitpid(keeper, NULL, 0);
    mark("%s killed", tag);
}

static const char *watchdog_argument(void) {
    static char text[8];
    snprintf(text, sizeof text, "W%d", number);
    return text;
}

// Step X: a link that is switched between the watchdog's device and another watchdog's, every
// 50 microseconds, while the tool refreshes through it 200 times. The other watchdog is stopped
// and must stay so: a tool that opened anything but the file it checked would start it. Marks the
// number of runs that failed or said anything on standard error, and the first such message.
static void race(int step) {
    const char *link = "/dev/oracle-link", *temporary = "/dev/oracle-link.new";
    unlink(link);
    if (symlink(device, link) != 0) { mark("END %d X spawn-failed", step); return; }
    const pid_t flipper = fork();
    if (flipper == 0) {
        for (int i = 0;; ++i) {
            unlink(temporary);
            if (symlink(i % 2 ? device : other, temporary) == 0) rename(temporary, link);
            pause_seconds(50e-6);
        }
    }
    char variable[64];
    snprintf(variable, sizeof variable, "WDT_DEVICE%d=%s", number, link);
    tool_env[tool_env_count] = variable;
    int odd = 0;
    char first[1100] = "";
    for (int i = 0; i < 200; ++i) {
        const char *args[] = {watchdog_argument(), "R", NULL};
        struct Run run;
        if (start_tool(&run, args) != 0) { ++odd; continue; }
        collect(&run, 20);
        int status = 0;
        waitpid(run.pid, &status, 0);
        close(run.out);
        close(run.err);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || run.length[1] != 0) {
            if (odd++ == 0) escape(run.output[1], run.length[1], first, sizeof first);
        }
    }
    tool_env[tool_env_count] = NULL;
    kill(flipper, SIGKILL);
    waitpid(flipper, NULL, 0);
    unlink(link);
    mark("END %d X exit=%d out= err=%s", step, odd, first);
}

// One step of a sequence:
//   1, 3, 9  arm with 1, 3 or 9 seconds (W<n> T1, W<n> T3, W<n> T9)
//   R, D  refresh, disable
//   Q     a status (--status), which must leave the watchdog exactly as it was
//   K, S  W<n> T3 L1 for 3.5 s (past its timeout), then SIGKILL or SIGTERM
//   k, s  the same with --service
//   V     --service W<n> T3 L1 started with standard input and output closed, sent SIGVTALRM
//         after 1.5 s (which it says it ignores) and SIGKILL 1 s later
//   w     wait 1.3 s
//   X     the race of a switched link (see race)
//   H     another keeper holds the device; --service W<n> T3 L1 is started; the other keeper is
//         killed 1.2 s later, and the tool gets SIGTERM 1 s after that if it still runs
static void run_step(int step, char code) {
    const char *w = watchdog_argument();
    mark("STEP %d %c", step, code);
    struct Run run;
    if (code == 'X') {
        race(step);
        return;
    }
    if (code == 'w') {
        pause_seconds(1.3);
        mark("END %d w", step);
        return;
    }
    if (code == '1' || code == '3' || code == '9' || code == 'R' || code == 'D' || code == 'Q') {
        const char *command = code == '1' ? "T1" : code == '3' ? "T3" : code == '9' ? "T9" : code == 'R' ? "R"
                            : code == 'D' ? "D" : "--status";
        const char *args[] = {w, command, NULL};
        if (start_tool(&run, args) != 0) { mark("END %d %c spawn-failed", step, code); return; }
        if (!collect(&run, 20)) kill(run.pid, SIGKILL);
        finish(&run, step, code);
        return;
    }
    const int service = code == 'k' || code == 's' || code == 'H' || code == 'V';
    unlink("/oracle/state/watchdog0.record");
    unlink("/oracle/state/watchdog1.record");
    const char *args_service[] = {"--service", w, "T3", "L1", NULL};
    const char *args_plain[] = {w, "T3", "L1", NULL};
    pid_t holder = 0;
    if (code == 'H') {
        holder = start_keeper("HOLDER");
        pause_seconds(0.5);
    }
    if (start_tool_with(&run, service ? args_service : args_plain, code == 'V') != 0) {
        mark("END %d %c spawn-failed", step, code);
        return;
    }
    if (code == 'V') {
        collect(&run, 1.5);
        kill(run.pid, SIGVTALRM);
        collect(&run, 1.0);
        kill(run.pid, SIGKILL);
        mark("SIGNALLED %d", step);
    } else if (code == 'H') {
        collect(&run, 1.2);
        stop_keeper(holder, "HOLDER");
        collect(&run, 1.0);
        if (waitpid(run.pid, NULL, WNOHANG) == 0) kill(run.pid, SIGTERM);
        mark("SIGNALLED %d", step);
    } else {
        collect(&run, 3.5);
        kill(run.pid, code == 'K' || code == 'k' ? SIGKILL : SIGTERM);
        mark("SIGNALLED %d", step);
    }
    if (!collect(&run, 20)) kill(run.pid, SIGKILL);
    finish(&run, step, code);
}

static int load_module(const char *file, const char *params) {
    const int fd = open(file, O_RDONLY | O_CLOEXEC);
    const int result = fd >= 0 ? (int)syscall(SYS_finit_module, fd, params, 0) : -1;
    const int error = errno;
    if (fd >= 0) close(fd);
    mark("LOADED %s %s result=%d", file, params, result == 0 ? 0 : error);
    return result;
}

static void unload_module(const char *name) {
    if (syscall(SYS_delete_module, name, O_NONBLOCK) != 0 && errno != ENOENT) mark("UNLOAD %s failed=%d", name, errno);
}

// The module's name, as the kernel knows it, from its file: /modules/i6300esb.ko -> i6300esb.
static void module_name(const char *file, char *name, size_t size) {
    const char *base = strrchr(file, '/');
    snprintf(name, size, "%s", base ? base + 1 : file);
    name[strcspn(name, ".")] = '\0';
}

// Hides the watchdog's sysfs folder behind one with only what a kernel without the watchdog's
// sysfs files shows; the real folder stays readable at /oracle/real for the marks.
static void hide_sysfs(const char *folder) {
    char path[300], text[64];
    snprintf(path, sizeof path, "%s/dev", folder);
    read_file(path, text, sizeof text);
    mkdir("/oracle/real", 0755);
    if (mount(folder, "/oracle/real", NULL, MS_BIND, NULL) != 0 || mount("hidden", folder, "tmpfs", 0, "mode=0755") != 0) {
        mark("HIDE failed=%d", errno);
        return;
    }
    snprintf(hidden, sizeof hidden, "%s", folder);
    const char *names[] = {"dev", "uevent"};
    for (int i = 0; i < 2; ++i) {
        snprintf(path, sizeof path, "%s/%s", folder, names[i]);
        const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0444);
        if (fd >= 0) dprintf(fd, "%s\n", i == 0 ? text : "");
        if (fd >= 0) close(fd);
    }
    snprintf(path, sizeof path, "%s/subsystem", folder);
    if (symlink("../../../../class/watchdog", path) != 0) mark("HIDE failed=%d", errno);
}

static void move_sys(int away) {
    mkdir("/oracle/sys", 0755);
    if (mount(away ? "/sys" : "/oracle/sys", away ? "/oracle/sys" : "/sys", NULL, MS_MOVE, NULL) != 0) {
        mark("MOVE failed=%d", errno);
    }
    sys_moved = away;
}

// Notes that the library keeps of watchdogs it left running are dropped when the watchdog is
// stopped between sequences, as they would be at a restart of the machine.
static void drop_notes(void) {
    DIR *notes = opendir("/run/wdtctl");
    if (notes == NULL) return;
    for (struct dirent *entry; (entry = readdir(notes)) != NULL;) {
        if (entry->d_name[0] != '.') unlinkat(dirfd(notes), entry->d_name, 0);
    }
    closedir(notes);
}

static void start_kind(const char *name) {
    if (hidden[0] != '\0') {
        umount2(hidden, MNT_DETACH);
        umount2("/oracle/real", MNT_DETACH);
        hidden[0] = '\0';
    }
    if (sys_moved) move_sys(0);
    while (loaded_count > 0) unload_module(loaded[--loaded_count]);
    if (reload_name[0] != '\0') unload_module(reload_name);
    device[0] = sysfs[0] = other[0] = reload_name[0] = '\0';
    number = legacy = nowayout = 0;
    reset_timeout = 2;
    while (tool_env_count > 0) free(tool_env[--tool_env_count]);
    tool_env[0] = NULL;
    mark("KIND %s", name);
}

// Stops the watchdog and sets the timeout the next sequence starts with, by the drivers' own
// rules: a legacy driver stops at a close after the magic character, a watchdog of the kernel's
// core at the request to stop. The write clears a magic character left behind.
static void stop_watchdog(void) {
    const int fd = open(device, O_WRONLY | O_CLOEXEC);
    // A driver that is loaded anew for each sequence is not there before the first one.
    if (fd < 0 && !(errno == ENOENT && reload_name[0] != '\0')) mark("RESET open=%d", errno);
    if (fd < 0) return;
    int timeout = reset_timeout, stop = WDIOS_DISABLECARD;
    int result = ioctl(fd, WDIOC_SETTIMEOUT, &timeout) == 0 ? 0 : errno;
    if (legacy) {
        if (write(fd, "V", 1) != 1) result = errno;
    } else {
        if (write(fd, "\n", 1) != 1 || ioctl(fd, WDIOC_SETOPTIONS, &stop) != 0) result = errno;
    }
    close(fd);
    if (result != 0) mark("RESET failed=%d", result);
}

static void reset(void) {
    if (!nowayout) stop_watchdog();
    drop_notes();
    if (reload_name[0] != '\0') {
        // A running softdog holds its module; one that cannot be stopped is waited for until it fires.
        char path[128], count[16];
        snprintf(path, sizeof path, "/sys/module/%s/refcnt", reload_name);
        for (int i = 0; i < 100; ++i) {
            read_file(path, count, sizeof count);
            if (strcmp(count, "0") == 0 || strcmp(count, "-") == 0) break;
            pause_seconds(0.1);
        }
        unload_module(reload_name);
        load_module(reload_file, reload_params);
    }
    mark_state("RESET");
}

static void run_sequence(const char *id, const char *codes) {
    mark("SEQ %s %s", id, codes);
    reset();
    mark("START");
    for (int i = 0; codes[i] != '\0'; ++i) {
        run_step(i, codes[i]);
        char what[24];
        snprintf(what, sizeof what, "STATE %d", i);
        mark_state(what);
    }
    // Held past a timeout of 1 s: a driver that its refreshes cannot reach fires meanwhile.
    const pid_t keeper = start_keeper("KEEPER");
    pause_seconds(1.3);
    stop_keeper(keeper, "KEEPER");
    pause_seconds(4.6);
    mark("SEQEND");
    drain();
}

static void split_first(char *text, char **first, char **rest) {
    *first = text;
    *rest = strchr(text, ' ');
    if (*rest) *(*rest)++ = '\0'; else *rest = text + strlen(text);
}

int main(void) {
    mount("proc", "/proc", "proc", 0, NULL);
    mount("sys", "/sys", "sysfs", 0, NULL);
    mount("dev", "/dev", "devtmpfs", 0, NULL);
    mkdir("/run", 0755);
    mkdir("/oracle/state", 0755);
    mount("run", "/run", "tmpfs", 0, "mode=0755");
    kmsg_out = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    kmsg_in = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    serial = open("/dev/ttyS1", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    FILE *plan = fopen("/oracle/plan", "r");
    if (kmsg_out < 0 || kmsg_in < 0 || serial < 0 || plan == NULL) {
        fprintf(stderr, "ORACLE cannot start: %s\n", strerror(errno));
    } else {
        char line[4096];
        while (fgets(line, sizeof line, plan)) {
            line[strcspn(line, "\n")] = '\0';
            char *key, *value;
            split_first(line, &key, &value);
            if (strcmp(key, "kind") == 0) start_kind(value);
            if (strcmp(key, "device") == 0) snprintf(device, sizeof device, "%s", value);
            if (strcmp(key, "sysfs") == 0) snprintf(sysfs, sizeof sysfs, "%s", value);
            if (strcmp(key, "other") == 0) snprintf(other, sizeof other, "%s", value);
            if (strcmp(key, "number") == 0) number = atoi(value);
            if (strcmp(key, "timeout") == 0) reset_timeout = atoi(value);
            if (strcmp(key, "legacy") == 0) legacy = atoi(value);
            if (strcmp(key, "nowayout") == 0) nowayout = atoi(value);
            if (strcmp(key, "hide-sysfs") == 0) hide_sysfs(value);
            if (strcmp(key, "move-sys") == 0) move_sys(1);
            if (strcmp(key, "env") == 0 && tool_env_count < 15) tool_env[tool_env_count++] = strdup(value);
            if (strcmp(key, "load") == 0) {
                char *file, *params;
                split_first(value, &file, &params);
                if (load_module(file, params) == 0 && loaded_count < 8) {
                    module_name(file, loaded[loaded_count], sizeof loaded[0]);
                    if (strcmp(loaded[loaded_count], "watchdog") != 0) ++loaded_count;
                }
            }
            if (strcmp(key, "reload") == 0) {
                char *name, *rest, *file, *params;
                split_first(value, &name, &rest);
                split_first(rest, &file, &params);
                snprintf(reload_name, sizeof reload_name, "%s", name);
                snprintf(reload_file, sizeof reload_file, "%s", file);
                snprintf(reload_params, sizeof reload_params, "%s", params);
            }
            if (strcmp(key, "seq") == 0) {
                char *id, *codes;
                split_first(value, &id, &codes);
                run_sequence(id, codes);
            }
        }
        mark("DONE");
        drain();
        tcdrain(serial);
    }
    sync();
    reboot(RB_POWER_OFF);
    return 0;
}
