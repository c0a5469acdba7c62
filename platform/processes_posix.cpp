// The guards' side on Linux and other POSIX systems: checks and repairs run as child processes that
// the keep-alive loop never waits for; whatever checks leave behind is ended, what repairs start in
// a session of their own is left running, and every other child that ends is reaped.
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

#include <cerrno>
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

// A check, and everything it starts, carries this in its environment: that it is a check of this
// very process (its pid and its start). A process that leaves the check's group and whose parent
// ends comes back to the tool, or, where the tool is the first process of a PID namespace, any
// orphan does: the mark tells what a check left behind, to be ended, from what is not the checks'
// (a repair's daemon, anyone's orphan), which is left running. A process that drops the mark from
// its environment is left running too: nothing is ended that is not known to be a check's.
constexpr const char* kMarkName = "WDTCTL_CHECK_OF=";
char mark[64];                          // "WDTCTL_CHECK_OF=<pid>.<start>"
char** check_environment = nullptr;     // the tool's environment with the mark, made once

bool make_check_environment() {
    if (check_environment != nullptr) return true;
    std::snprintf(mark, sizeof mark, "%s%ld.%lld", kMarkName, static_cast<long>(getpid()),
                  static_cast<long long>(process_start(getpid())));
    size_t count = 0;
    while (environ[count] != nullptr) ++count;
    char** made = static_cast<char**>(std::calloc(count + 2, sizeof(char*)));
    if (made == nullptr) return false;
    size_t used = 0;
    made[used++] = mark;
    for (size_t i = 0; i < count; ++i) {
        if (std::strncmp(environ[i], kMarkName, std::strlen(kMarkName)) != 0) made[used++] = environ[i];
    }
    check_environment = made;
    return true;
}

// Whether the process's environment, as it was given to it, holds this tool's mark; unknown while
// it cannot be read (a process in the middle of its exec shows none for a moment).
enum class Mark { no, yes, unknown };
Mark carries_mark(pid_t pid) {
    char path[40], block[1024];
    std::snprintf(path, sizeof path, "/proc/%ld/environ", static_cast<long>(pid));
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return Mark::unknown;
    bool read_any = false;
    const size_t length = std::strlen(mark) + 1;  // with the NUL that ends each entry
    size_t matched = 0;
    bool matching = true, found = false;
    for (ssize_t got = read(file, block, sizeof block); got > 0 && !found; got = read(file, block, sizeof block)) {
        read_any = true;
        for (ssize_t i = 0; i < got && !found; ++i) {
            matching = matching && block[i] == mark[matched];
            found = matching && ++matched == length;
            if (block[i] == '\0') {
                matching = true;
                matched = 0;
            }
        }
    }
    close(file);
    return found ? Mark::yes : read_any ? Mark::no : Mark::unknown;
}

// Set up once, before the first child: what the tool started never outlives it by a signal; a
// child that leaves its group and whose parent ends comes back to the tool (a subreaper), to be
// ended when it is a check's; and the exit of a child is never reaped by the kernel on its own (a
// SIGCHLD ignored by whoever started the tool would do that, and the tool would lose every check's
// result).
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

// How every child is started, made once: the same for each, and each making of it asks the system
// for its descriptor limit again.
posix_spawnattr_t spawn_attributes;
posix_spawn_file_actions_t spawn_actions;
bool spawn_made = false;

bool make_spawn() {
    if (spawn_made) return true;
    if (posix_spawnattr_init(&spawn_attributes) != 0) return false;
    if (posix_spawn_file_actions_init(&spawn_actions) != 0) {
        posix_spawnattr_destroy(&spawn_attributes);
        return false;
    }
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    spawn_made = posix_spawnattr_setflags(&spawn_attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                                 POSIX_SPAWN_SETSIGDEF) == 0 &&
                 posix_spawnattr_setpgroup(&spawn_attributes, 0) == 0 &&
                 posix_spawnattr_setsigmask(&spawn_attributes, &none) == 0 &&
                 posix_spawnattr_setsigdefault(&spawn_attributes, &all) == 0 &&
                 posix_spawn_file_actions_addopen(&spawn_actions, STDIN_FILENO, "/dev/null", O_RDWR, 0) == 0 &&
                 posix_spawn_file_actions_adddup2(&spawn_actions, STDIN_FILENO, STDOUT_FILENO) == 0 &&
                 posix_spawn_file_actions_adddup2(&spawn_actions, STDIN_FILENO, STDERR_FILENO) == 0 &&
                 posix_spawn_file_actions_addclosefrom_np(&spawn_actions, STDERR_FILENO + 1) == 0;
    if (!spawn_made) {
        posix_spawn_file_actions_destroy(&spawn_actions);
        posix_spawnattr_destroy(&spawn_attributes);
    }
    return spawn_made;
}

// Children that came back to the tool and are not a check's: left running, and looked at no more
// until they end. Each is the tool's child until it is reaped, so its number stays its own.
constexpr int kMaxForeign = 64;
pid_t foreign[kMaxForeign];

bool is_foreign(pid_t pid) {
    for (pid_t each : foreign) {
        if (each == pid) return true;
    }
    return false;
}

void note_foreign(pid_t pid, bool is) {
    for (pid_t& each : foreign) {
        if (is ? each == 0 : each == pid) {
            each = is ? pid : 0;
            return;
        }
    }
}

// One child that the tool does not keep: reaped when it has ended; ended, with the group it leads,
// when a check left it behind; left running otherwise. Answers whether it was a check's.
bool end_stray(pid_t pid) {
    if (is_tracked(pid)) return false;
    if (waitpid(pid, nullptr, WNOHANG) != 0) {
        note_foreign(pid, false);
        return false;
    }
    if (is_foreign(pid)) return false;
    const Mark marked = carries_mark(pid);
    if (marked != Mark::yes) {
        if (marked == Mark::no) note_foreign(pid, true);  // one that cannot be read yet is looked at again
        return false;
    }
    if (getpgid(pid) == pid) kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, WNOHANG);
    return true;
}

// The tool's children, as the kernel lists those of its first thread (an orphan comes back to the
// first thread of its new parent, and only the loop's thread, the first, starts children). Answers
// false when the kernel keeps no such list (built without it).
bool each_listed_child(int& found) {
    const int file = open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
    if (file < 0) return errno != ENOENT;
    char text[4096];
    const ssize_t length = read(file, text, sizeof text - 1);
    close(file);
    text[length > 0 ? length : 0] = '\0';
    for (char* next = text; *next != '\0';) {
        char* end = nullptr;
        const long pid = std::strtol(next, &end, 10);
        if (end == next) break;
        next = end;
        if (pid > 0 && end_stray(static_cast<pid_t>(pid))) ++found;
    }
    return true;
}

// The same found among all processes, by the parent each names (the 4th field of /proc/<pid>/stat).
void each_child_of_all(int& found) {
    DIR* all = opendir("/proc");
    if (all == nullptr) return;
    const long self = static_cast<long>(getpid());
    while (const dirent* entry = readdir(all)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        char path[40], text[512];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        const int file = open(path, O_RDONLY | O_CLOEXEC);
        if (file < 0) continue;
        const ssize_t length = read(file, text, sizeof text - 1);
        close(file);
        if (length <= 0) continue;
        text[length] = '\0';
        const char* after_name = std::strrchr(text, ')');  // the name before it may hold anything
        long parent = 0;
        if (after_name != nullptr && std::sscanf(after_name + 1, " %*c %ld", &parent) == 1 && parent == self &&
            end_stray(static_cast<pid_t>(pid))) {
            ++found;
        }
    }
    closedir(all);
}

// Ends what checks left behind among the tool's children; answers how many there were, and in
// `listed` whether the kernel listed the children.
int end_strays_once(bool& listed) {
    int found = 0;
    listed = each_listed_child(found);
    if (!listed) each_child_of_all(found);
    return found;
}

}  // namespace

// posix_spawn starts the child without copying the tool's pages (its memory stays locked and
// small). The child gets a group of its own, every signal at its default and none blocked (the
// service blocks and ignores some), the null device as its standard streams, and no other
// descriptor of the tool's: a watchdog device it inherited would outlive the tool's own close.
// The signals that end the tool wait while the child is started and noted, so that it is never
// left running unnoted.
// Root runs what root chose: the programs' folders are the administrator's to keep.
bool may_run(const char*, char*, size_t) { return true; }

int64_t start_process(const char* command, wdt::ChildRole role) {
    prepare_children();
    if (!make_check_environment()) return 0;
    reap_ended();
    int slot = 0;
    while (slot < kMaxChildren && children[slot].pid != 0) ++slot;
    if (slot == kMaxChildren) return 0;
    if (score_lowered < 0) score_lowered = own_score_is_lowered() ? 1 : 0;
    const bool lowered = score_lowered == 1;
    if (!make_spawn()) return 0;
    char shell[] = "/bin/sh", option[] = "-c", name[] = "wdtctl-check";
    char raise_score[] = "echo 0 >/proc/self/oom_score_adj; exec /bin/sh -c \"$1\"";
    char* plain[] = {shell, option, const_cast<char*>(command), nullptr};
    char* raised[] = {shell, option, raise_score, name, const_cast<char*>(command), nullptr};
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int each : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, each);
    sigprocmask(SIG_BLOCK, &ending, &before);
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, shell, &spawn_actions, &spawn_attributes, lowered ? raised : plain,
                                     role == wdt::ChildRole::check ? check_environment : environ) == 0;
    if (started) {
        children[slot].pid = pid;
        children[slot].ended = false;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
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

// A child that a check left outside its group (setsid, a shell with job control) is the tool's
// once its parent has gone, and is ended then. At the tool's end every group is ended, and what
// comes back meanwhile as the groups' members die, until nothing of the checks' is left (or a
// second has passed).
bool end_strays(bool all) {
    if (!prepared) return true;  // no child was ever started: nothing can have come back
    bool listed = true;
    if (!all) {
        end_strays_once(listed);
        return listed;
    }
    for (volatile Child& child : children) {
        if (child.pid != 0 && !child.ended) end_process(child.pid);
    }
    for (int round = 0; round < 100 && end_strays_once(listed) > 0; ++round) {
        const timespec pause{0, 10 * 1000000};
        nanosleep(&pause, nullptr);
    }
    reap_ended();
    return listed;
}

}  // namespace wdt::system
