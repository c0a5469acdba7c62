// The guards' side on Linux and other POSIX systems: a file's modification time, and checks and
// repairs run as child processes that the keep-alive loop never waits for.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>

#include "platform/system.h"

extern char** environ;

namespace wdt::system {
namespace {

// Process groups started and not yet ended; and ended processes still to be reaped (one killed in
// an uninterruptible wait goes when it can, without the loop waiting for it).
constexpr int kMaxChildren = 64;
volatile pid_t groups[kMaxChildren];
pid_t unreaped[kMaxChildren];

void reap_ended() {
    for (pid_t& pid : unreaped) {
        if (pid != 0 && waitpid(pid, nullptr, WNOHANG) != 0) pid = 0;
    }
}

// Whatever ends the tool by a signal (a stop from a terminal, SIGTERM outside service mode) ends
// the groups it started first; the signal then does what it did before.
void end_groups_and_die(int signal_number) {
    for (volatile pid_t& group : groups) {
        if (group != 0) kill(-group, SIGKILL);
    }
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void end_groups_at_signals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (int each : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction action {};
        sigaction(each, nullptr, &action);
        if (action.sa_handler != SIG_DFL) continue;  // ignored by whoever started the tool: stays so
        action.sa_handler = end_groups_and_die;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(each, &action, nullptr);
    }
}

}  // namespace

// The time is read without asking a network file system's server, which may not answer.
int64_t file_stamp(const char* path) {
    struct statx status {};
    if (statx(AT_FDCWD, path, AT_STATX_DONT_SYNC, STATX_MTIME, &status) != 0) return wdt::kNoFile;
    return int64_t{status.stx_mtime.tv_sec} * 1000000000 + status.stx_mtime.tv_nsec;
}

// posix_spawn starts the child without copying the tool's pages (its memory stays locked and
// small). The child gets a group of its own, every signal at its default and none blocked (the
// service blocks and ignores some), the null device as its standard streams, and no other
// descriptor of the tool's: a watchdog device it inherited would outlive the tool's own close.
int64_t start_process(const char* command) {
    reap_ended();
    int slot = 0;
    while (slot < kMaxChildren && groups[slot] != 0) ++slot;
    if (slot == kMaxChildren) return 0;
    end_groups_at_signals();

    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    if (posix_spawnattr_init(&attributes) != 0) return 0;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        return 0;
    }
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    char shell[] = "/bin/sh", option[] = "-c";
    char* arguments[] = {shell, option, const_cast<char*>(command), nullptr};
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, shell, &actions, &attributes, arguments, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (!started) return 0;
    groups[slot] = pid;
    return pid;
}

// Looks without reaping: the ended process keeps its number, so its group can still be ended.
wdt::ProcessState poll_process(int64_t id) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(id), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return wdt::ProcessState::failed;
    if (info.si_pid == 0) return wdt::ProcessState::running;
    return info.si_code == CLD_EXITED && info.si_status == 0 ? wdt::ProcessState::succeeded : wdt::ProcessState::failed;
}

void end_process(int64_t id) {
    const auto pid = static_cast<pid_t>(id);
    kill(-pid, SIGKILL);
    for (volatile pid_t& group : groups) {
        if (group == pid) group = 0;
    }
    if (waitpid(pid, nullptr, WNOHANG) != 0) return;
    for (pid_t& each : unreaped) {
        if (each == 0) {
            each = pid;
            return;
        }
    }
}

}  // namespace wdt::system
