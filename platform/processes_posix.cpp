// The guards' side on Linux and other POSIX systems: checks and repairs run as child processes that
// the keep-alive loop never waits for, and whatever they leave behind ended.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/system.h"

extern char** environ;

namespace wdt::system {
namespace {

// The children started: each keeps its slot, and so its process group, until it is reaped. An
// ended child that the kernel could not kill yet (held in an uninterruptible wait) is reaped when
// it can, without the loop waiting for it; until then its slot stays taken.
constexpr int kMaxChildren = 64;
struct Child {
    pid_t pid;
    bool ended;  // ended by the tool, waiting to be reaped
};
volatile Child children[kMaxChildren];

void reap_ended() {
    for (volatile Child& child : children) {
        if (child.pid != 0 && child.ended && waitpid(child.pid, nullptr, WNOHANG) != 0) child.pid = 0;
    }
}

bool is_tracked(pid_t pid) {
    for (volatile Child& child : children) {
        if (child.pid == pid) return true;
    }
    return false;
}

// Whatever ends the tool by a signal (a stop from a terminal, SIGTERM outside service mode) ends
// the groups it started first; the signal then does what it did before. Each group's leader is
// still unreaped, so its number cannot belong to anyone else.
void end_groups_and_die(int signal_number) {
    for (volatile Child& child : children) {
        if (child.pid != 0) kill(-child.pid, SIGKILL);
    }
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Set up once, before the first child: what the tool started never outlives it by a signal; a
// child that leaves its group and whose parent ends comes back to the tool (a subreaper), to be
// ended; and the exit of a child is never reaped by the kernel on its own (a SIGCHLD ignored by
// whoever started the tool would do that, and the tool would lose every check's result).
bool prepared = false;

void prepare_children() {
    if (prepared) return;
    prepared = true;
    signal(SIGCHLD, SIG_DFL);
#ifdef __linux__
    prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
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

// Checks run with the default out-of-memory score, not the tool's own (the unit gives it -1000):
// a check that runs away must be the one the kernel picks. The score is raised by a shell that
// then becomes the check; raising it needs no privilege.
int score_lowered = -1;  // not looked at yet
bool own_score_is_lowered() {
    char text[16] = "";
    const int file = open("/proc/self/oom_score_adj", O_RDONLY | O_CLOEXEC);
    const ssize_t length = file >= 0 ? read(file, text, sizeof text - 1) : -1;
    if (file >= 0) close(file);
    return length > 0 && std::atoi(text) < 0;
}

bool prepare_spawn(posix_spawnattr_t& attributes, posix_spawn_file_actions_t& actions) {
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                     POSIX_SPAWN_SETSIGDEF) == 0 &&
           posix_spawnattr_setpgroup(&attributes, 0) == 0 && posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
           posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
           posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDWR, 0) == 0 &&
           posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO) == 0 &&
           posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO) == 0 &&
           posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
}

// Kills a child that the tool does not keep (it left its group, and its parent has gone), with
// the group it leads, and reaps it once it has ended.
void end_stray(pid_t pid) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
        waitpid(pid, nullptr, WNOHANG);
        return;
    }
    if (getpgid(pid) == pid) kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, WNOHANG);
}

// Ends the children that are not the tool's own; answers how many there were.
int end_strays_once() {
    int found = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return 0;
    while (const dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        char path[64], text[4096];
        std::snprintf(path, sizeof path, "/proc/self/task/%.20s/children", task->d_name);
        const int file = open(path, O_RDONLY | O_CLOEXEC);
        if (file < 0) continue;
        const ssize_t length = read(file, text, sizeof text - 1);
        close(file);
        if (length <= 0) continue;
        text[length] = '\0';
        for (char* next = text; *next != '\0';) {
            char* end = nullptr;
            const long pid = std::strtol(next, &end, 10);
            if (end == next) break;
            next = end;
            if (pid > 0 && !is_tracked(static_cast<pid_t>(pid))) {
                end_stray(static_cast<pid_t>(pid));
                ++found;
            }
        }
    }
    closedir(tasks);
    return found;
}

}  // namespace

// posix_spawn starts the child without copying the tool's pages (its memory stays locked and
// small). The child gets a group of its own, every signal at its default and none blocked (the
// service blocks and ignores some), the null device as its standard streams, and no other
// descriptor of the tool's: a watchdog device it inherited would outlive the tool's own close.
// The signals that end the tool wait while the child is started and noted, so that it is never
// left running unnoted.
int64_t start_process(const char* command) {
    prepare_children();
    reap_ended();
    int slot = 0;
    while (slot < kMaxChildren && children[slot].pid != 0) ++slot;
    if (slot == kMaxChildren) return 0;
    if (score_lowered < 0) score_lowered = own_score_is_lowered() ? 1 : 0;
    const bool lowered = score_lowered == 1;

    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    if (posix_spawnattr_init(&attributes) != 0) return 0;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        return 0;
    }
    char shell[] = "/bin/sh", option[] = "-c", name[] = "wdtctl-check";
    char raise_score[] = "echo 0 >/proc/self/oom_score_adj; exec /bin/sh -c \"$1\"";
    char* plain[] = {shell, option, const_cast<char*>(command), nullptr};
    char* raised[] = {shell, option, raise_score, name, const_cast<char*>(command), nullptr};
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int each : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, each);
    sigprocmask(SIG_BLOCK, &ending, &before);
    pid_t pid = 0;
    const bool started = prepare_spawn(attributes, actions) &&
                         posix_spawn(&pid, shell, &actions, &attributes, lowered ? raised : plain, environ) == 0;
    if (started) {
        children[slot].pid = pid;
        children[slot].ended = false;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return started ? pid : 0;
}

// Looks without reaping: the ended process keeps its number, so its group can still be ended.
wdt::ProcessState poll_process(int64_t id) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(id), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return wdt::ProcessState::failed;
    if (info.si_pid == 0) return wdt::ProcessState::running;
    if (info.si_code != CLD_EXITED) return wdt::ProcessState::failed;
    if (info.si_status == 127 || info.si_status == 126) return wdt::ProcessState::not_found;
    return info.si_status == 0 ? wdt::ProcessState::succeeded : wdt::ProcessState::failed;
}

void end_process(int64_t id) {
    const auto pid = static_cast<pid_t>(id);
    kill(-pid, SIGKILL);
    for (volatile Child& child : children) {
        if (child.pid == pid) child.ended = true;
    }
    reap_ended();
}

// A child that left its group (setsid, a shell with job control) is the tool's own once its
// parent has gone, and is ended then. At the tool's end every group is ended, and what comes back
// meanwhile as the groups' members die, until nothing is left (or a second has passed).
void end_strays(bool all) {
    if (!prepared) return;  // no child was ever started: nothing can have come back
    if (!all) {
        end_strays_once();
        return;
    }
    for (volatile Child& child : children) {
        if (child.pid != 0 && !child.ended) end_process(child.pid);
    }
    for (int round = 0; round < 100 && end_strays_once() > 0; ++round) {
        const timespec pause{0, 10 * 1000000};
        nanosleep(&pause, nullptr);
    }
    reap_ended();
}

}  // namespace wdt::system
