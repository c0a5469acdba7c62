#include <gtest/gtest.h>
#include <linux/watchdog.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kernel_watchdog.h"

namespace {

// A fake kernel with the rules of Linux's watchdog core that the library depends on, each of them
// seen on the real kernel in the emulated machines: opening a watchdog starts it; a write
// refreshes it and forgets an earlier magic character, then notes one if it holds a 'V'; the
// close of a running watchdog stops it only after the magic character (or always, for a driver
// without magic close), uses the character up, and otherwise refreshes it; the close of a stopped
// one keeps the character for the next holder; nowayout refuses every stop; a device has one
// holder at a time; sysfs calls a watchdog that runs before anyone opened it "inactive"; the
// keep-alive request is refused by a driver that does not offer it. A legacy driver on 10:130
// (when the core has no watchdog 0) has no sysfs, stops at a close after a 'V', and is refreshed
// by any other close.
struct Watchdog {
    bool active = false;        // what sysfs calls active: started through the device
    bool runs_unseen = false;   // running although nobody started it through the device
    bool nowayout = false, magic_close = true, keepalive_request = true, state_file = true;
    int timeout = 30, max_timeout = 255;
    bool clamps = false;        // takes a too-long timeout as its largest instead of refusing it
    int stop_request_error = 0; // the stop request fails with this (an I2C watchdog's EIO); a magic close still stops
    int write_error = 0;        // every write fails with this
    bool held = false, mark = false;
    int refreshes = 0;
    std::map<std::string, std::string> attributes;  // further sysfs attributes, by name
    bool running() const { return active || runs_unseen; }
};

struct FakeKernel {
    std::map<std::string, std::string> environment;
    std::map<std::string, kwd::Node> paths;  // what a path resolves to; links resolve to the same node
    std::map<std::string, std::string> links;  // a link's path, and the path it resolves to
    std::map<std::string, std::string> classes{{"248:0", "watchdog"}, {"248:1", "watchdog"}, {"1:3", "mem"}};
    std::map<std::string, Watchdog> watchdogs;  // by "major:minor"; "10:130" is a legacy driver's
    std::map<int, std::string> path_fds, open_fds;  // descriptor -> "major:minor"
    int next_fd = 10;
    std::vector<std::string> opened, written, complaints;
    std::string switch_path_to;  // when set, the path of the next open_path resolves here afterwards
    bool sysfs_mounted = true, proc_mounted = true;
    std::set<std::string> notes;  // "major:minor" of the watchdogs noted as left running
    long legacy_module_references = 0;  // the legacy driver's module: one per open file, one more per nowayout open
    // Other processes, as /proc shows them: their descriptors' link targets and flags (octal, as
    // fdinfo writes them), and whether this process may look at them.
    struct Descriptor {
        std::string target, flags = "0100001";
    };
    struct Process {
        std::string name;
        std::map<std::string, Descriptor> descriptors;
        bool hidden = false;
    };
    std::map<std::string, Process> processes;
    std::map<int, std::string> path_fd_paths;  // the path each O_PATH descriptor was opened by
};
FakeKernel fake;

std::string number(const kwd::Node& node) { return std::to_string(node.major) + ":" + std::to_string(node.minor); }

bool core_has_watchdog0() { return fake.watchdogs.count("248:0") != 0; }

// The watchdog a device number reaches: the legacy node is the core's watchdog 0 when there is one.
Watchdog* watchdog_at(std::string id) {
    if (id == "10:130" && core_has_watchdog0()) id = "248:0";
    return fake.watchdogs.count(id) != 0 ? &fake.watchdogs[id] : nullptr;
}

bool is_legacy(const std::string& id) { return id == "10:130" && !core_has_watchdog0(); }

int fail(int error) {
    errno = error;
    return -1;
}

void refresh(Watchdog& w) {
    if (w.running()) ++w.refreshes;
}

bool stop(Watchdog& w) {
    if (w.nowayout) return false;
    w.active = w.runs_unseen = false;
    return true;
}

// The watchdog a sysfs path names, and the attribute asked for.
Watchdog* from_sysfs(const std::string& path, std::string& attribute) {
    const std::string prefixes[] = {"/sys/dev/char/", "/sys/class/watchdog/watchdog"};
    for (const std::string& prefix : prefixes) {
        if (path.rfind(prefix, 0) != 0) continue;
        const std::string rest = path.substr(prefix.size());
        const size_t slash = rest.find('/');
        std::string id = rest.substr(0, slash);
        if (prefix != prefixes[0]) id = "248:" + id;
        attribute = rest.substr(slash + 1);
        return id != "10:130" && fake.watchdogs.count(id) != 0 ? &fake.watchdogs[id] : nullptr;
    }
    return nullptr;
}

long copy_out(const std::string& text, char* buffer, size_t size) {
    const size_t length = std::min(size, text.size());
    std::memcpy(buffer, text.data(), length);
    return static_cast<long>(length);
}

// /proc/<pid>/fdinfo/<fd> and /proc/<pid>/comm of the other processes.
bool proc_file(const std::string& path, std::string& text) {
    for (const auto& [pid, process] : fake.processes) {
        const std::string folder = "/proc/" + pid + "/";
        if (path.rfind(folder, 0) != 0) continue;
        const std::string rest = path.substr(folder.size());
        if (rest == "comm") text = process.name + "\n";
        if (rest.rfind("fdinfo/", 0) == 0 && process.descriptors.count(rest.substr(7)) != 0) {
            text = "pos:\t0\nflags:\t" + process.descriptors.at(rest.substr(7)).flags + "\nmnt_id:\t21\n";
        }
        return true;
    }
    return false;
}

// /proc/self/fd/<n> of this process's O_PATH descriptors, and /proc/<pid>/fd/<fd> of the others.
bool proc_link(const std::string& path, std::string& target) {
    const std::string self = "/proc/self/fd/";
    if (path.rfind(self, 0) == 0) {
        const int fd = std::stoi(path.substr(self.size()));
        if (fake.path_fd_paths.count(fd) == 0) return false;
        target = fake.path_fd_paths[fd];
        return true;
    }
    for (const auto& [pid, process] : fake.processes) {
        const std::string folder = "/proc/" + pid + "/fd/";
        if (path.rfind(folder, 0) != 0 || process.descriptors.count(path.substr(folder.size())) == 0) continue;
        target = process.descriptors.at(path.substr(folder.size())).target;
        return true;
    }
    return false;
}

const kwd::Kernel kFakeKernel{
    [](const char* path) {
        if (fake.paths.count(path) == 0) return fail(ENOENT);
        const int fd = fake.next_fd++;
        fake.path_fds[fd] = number(fake.paths[path]);
        fake.path_fd_paths[fd] = fake.links.count(path) != 0 ? fake.links[path] : path;
        if (!fake.switch_path_to.empty()) fake.paths[path] = fake.paths[fake.switch_path_to];
        return fd;
    },
    [](int fd, kwd::Node* node) {
        const std::string& id = fake.path_fds.count(fd) != 0 ? fake.path_fds[fd] : fake.open_fds[fd];
        for (const auto& [path, found] : fake.paths) {
            if (number(found) == id) *node = found;
        }
        return 0;
    },
    [](int path_fd) {
        if (!fake.proc_mounted) return fail(ENOENT);  // the reopen goes through /proc/self/fd
        const std::string id = fake.path_fds.at(path_fd);
        fake.opened.push_back(id);
        if (Watchdog* w = watchdog_at(id)) {
            if (w->held) return fail(EBUSY);
            w->held = true;
            if (is_legacy(id)) {
                w->active = true;
                ++w->refreshes;
                fake.legacy_module_references += w->nowayout ? 2 : 1;
            } else if (!w->active) {
                w->active = true;
                w->runs_unseen = false;
            }
        }
        const int fd = fake.next_fd++;
        fake.open_fds[fd] = id;
        return fd;
    },
    [](int fd, unsigned long request, void* argument) {
        Watchdog* w = fake.open_fds.count(fd) != 0 ? watchdog_at(fake.open_fds[fd]) : nullptr;
        if (w == nullptr) return fail(ENOTTY);
        int* value = static_cast<int*>(argument);
        if (request == WDIOC_GETSUPPORT) {
            static_cast<watchdog_info*>(argument)->options = WDIOF_SETTIMEOUT | (w->magic_close ? WDIOF_MAGICCLOSE : 0) |
                                                             (w->keepalive_request ? WDIOF_KEEPALIVEPING : 0);
        } else if (request == WDIOC_SETOPTIONS && *value == WDIOS_DISABLECARD) {
            if (w->stop_request_error != 0) return fail(w->stop_request_error);
            if (is_legacy(fake.open_fds[fd])) w->active = w->runs_unseen = false;  // whatever nowayout says
            else if (!stop(*w)) return fail(EBUSY);
        } else if (request == WDIOC_KEEPALIVE) {
            if (!w->keepalive_request) return fail(EOPNOTSUPP);
            refresh(*w);
        } else if (request == WDIOC_SETTIMEOUT) {
            if (*value > w->max_timeout && !w->clamps) return fail(EINVAL);
            w->timeout = std::min(*value, w->max_timeout);
            refresh(*w);
        } else if (request == WDIOC_GETTIMEOUT) {
            *value = w->timeout;
        }
        return 0;
    },
    [](int fd, const char* data, size_t size) {
        const std::string text(data, size);
        fake.written.push_back(text);
        if (Watchdog* w = watchdog_at(fake.open_fds[fd])) {
            if (w->write_error != 0) return static_cast<long>(fail(w->write_error));
            w->mark = text.find('V') != std::string::npos && !(w->nowayout && is_legacy(fake.open_fds[fd]));
            refresh(*w);
        }
        return static_cast<long>(size);
    },
    [](int fd) {
        if (fake.path_fds.erase(fd) != 0) return 0;
        const std::string id = fake.open_fds[fd];
        fake.open_fds.erase(fd);
        Watchdog* w = watchdog_at(id);
        if (w == nullptr) return 0;
        w->held = false;
        if (is_legacy(id)) {
            if (!(w->mark && stop(*w))) {
                w->active = true;  // its close without the magic character starts it, stopped or not
                ++w->refreshes;
            }
            w->mark = false;
            --fake.legacy_module_references;
        } else if (w->active) {
            const bool release = w->mark || !w->magic_close;
            w->mark = false;
            if (!(release && stop(*w))) refresh(*w);
        }
        return 0;
    },
    [](const char* path, char* buffer, size_t size) -> long {
        std::string text;
        if (proc_file(path, text)) return copy_out(text, buffer, size);
        if (!fake.sysfs_mounted) return fail(ENOENT);
        std::string attribute;
        Watchdog* w = from_sysfs(path, attribute);
        if (std::string(path) == "/sys/class/misc/watchdog/dev") text = "10:130\n";
        if (w != nullptr && attribute == "state" && w->state_file) text = w->active ? "active\n" : "inactive\n";
        if (w != nullptr && attribute == "nowayout" && w->state_file) text = w->nowayout ? "1\n" : "0\n";
        if (w != nullptr && attribute == "dev") text = std::string(path).find("watchdog0") != std::string::npos ? "248:0\n" : "";
        if (w != nullptr && w->attributes.count(attribute) != 0) text = w->attributes[attribute];
        if (text.empty()) return fail(ENOENT);
        return copy_out(text, buffer, size);
    },
    [](const char* path, char* buffer, size_t size) -> long {
        std::string resolved;
        if (proc_link(path, resolved)) return copy_out(resolved, buffer, size);
        if (!fake.sysfs_mounted) return fail(ENOENT);
        std::string link = path;
        const std::string prefix = "/sys/dev/char/", suffix = "/subsystem";
        if (link.rfind(prefix, 0) != 0) return fail(ENOENT);
        const std::string id = link.substr(prefix.size(), link.size() - prefix.size() - suffix.size());
        if (fake.classes.count(id) == 0) return fail(ENOENT);
        return copy_out("../../../../class/" + fake.classes[id], buffer, size);
    },
    [](const char* name) -> const char* {
        return fake.environment.count(name) != 0 ? fake.environment[name].c_str() : nullptr;
    },
    [](const char* line) { fake.complaints.push_back(line); },
    [](kwd::ModuleReferences* counts, int size) {
        if (size < 2) return -1;
        counts[0] = {"other", 3};
        counts[1] = {"legacy_wdt", fake.legacy_module_references};
        return 2;
    },
    [](const kwd::Node& device, bool running) {
        if (running) fake.notes.insert(number(device)); else fake.notes.erase(number(device));
        return true;
    },
    [](const kwd::Node& device) { return fake.notes.count(number(device)) != 0; },
    [](const char* folder, void (*each)(const char* name, void* context), void* context) {
        const std::string path = folder;
        std::vector<std::string> names;
        if (path == "/proc") {
            for (const auto& [pid, process] : fake.processes) names.push_back(pid);
        } else if (path.rfind("/proc/", 0) == 0 && path.size() > 9 && path.compare(path.size() - 3, 3, "/fd") == 0) {
            const std::string pid = path.substr(6, path.size() - 9);
            if (fake.processes.count(pid) == 0) return fail(ENOENT);
            if (fake.processes[pid].hidden) return fail(EACCES);
            for (const auto& [fd, descriptor] : fake.processes[pid].descriptors) names.push_back(fd);
        } else {
            return fail(ENOENT);
        }
        for (const std::string& name : names) each(name.c_str(), context);
        return 0;
    },
};

using Lines = std::vector<std::string>;
enum Operation { kArm, kRefresh, kDisable };

class KernelWatchdog : public ::testing::Test {
protected:
    void SetUp() override { start_over(); }
    void start_over() {
        fake = FakeKernel{};
        fake.paths["/dev/watchdog0"] = {true, 248, 0};
        fake.paths["/dev/watchdog1"] = {true, 248, 1};
        fake.paths["/dev/watchdog"] = {true, 10, 130};
        fake.watchdogs["248:0"] = {};
        fake.watchdogs["248:1"] = {};
        watchdogs = kwd::Watchdogs{};
    }
    kwd::Result result(Operation operation, int n, int32_t milliseconds = 5000) {
        if (operation == kArm) return kwd::arm(watchdogs, kFakeKernel, n, milliseconds);
        if (operation == kRefresh) return kwd::refresh(watchdogs, kFakeKernel, n);
        return kwd::disable(watchdogs, kFakeKernel, n);
    }
    // Whether the operation did what it was asked, also where that lasts only while held.
    bool run(Operation operation, int n, int32_t milliseconds = 5000) {
        return result(operation, n, milliseconds) != kwd::Result::not_done;
    }
    // Ends the process: every held device is closed without the magic character.
    void exit_process() {
        for (int& fd : watchdogs.fd) {
            if (fd >= 0) kFakeKernel.close(fd);
            fd = -1;
        }
    }
    // Another keeper opens the device, refreshes it with the request only, and is killed.
    void second_keeper_killed(const std::string& path) {
        const int path_fd = kFakeKernel.open_path(path.c_str());
        const int fd = kFakeKernel.reopen(path_fd);
        kFakeKernel.close(path_fd);
        int unused = 0;
        kFakeKernel.ioctl(fd, WDIOC_KEEPALIVE, &unused);
        kFakeKernel.close(fd);
    }
    Watchdog& w0() { return fake.watchdogs["248:0"]; }
    kwd::Watchdogs watchdogs;
};

TEST_F(KernelWatchdog, WhatIsNotAWatchdogIsNeverOpened) {
    const std::string too_long = "/tmp/" + std::string(600, 'x');
    const struct {
        const char* name;
        std::string path;
        kwd::Node node;
        std::string complaint;
    } cases[] = {
        {"regular file", "/tmp/f", {false, 0, 0}, "WDT.dll: /tmp/f: not a watchdog device; not touched"},
        {"/dev/null", "/dev/null", {true, 1, 3}, "WDT.dll: /dev/null: not a watchdog device; not touched"},
        {"unknown class", "/dev/pts/3", {true, 136, 3}, "WDT.dll: /dev/pts/3: not a watchdog device; not touched"},
        {"missing", "/dev/nothing", {}, std::string("WDT.dll: /dev/nothing: ") + std::strerror(ENOENT) +
                                            ": load the watchdog's driver module (modprobe), or name its device in WDT_DEVICE0"},
        {"too long", too_long, {false, 0, 0},
         "WDT.dll: " + too_long.substr(0, 64) + "...: the path is longer than 511 characters; not touched"},
    };
    for (const auto& c : cases) {
        for (Operation operation : {kArm, kRefresh, kDisable}) {
            start_over();
            fake.environment["WDT_DEVICE0"] = c.path;
            if (std::string(c.name) != "missing") fake.paths[c.path] = c.node;
            if (std::string(c.name) == "too long") fake.paths[c.path.substr(0, 511)] = c.node;
            EXPECT_FALSE(run(operation, 0)) << c.name << " " << operation;
            EXPECT_EQ(fake.opened, Lines{}) << c.name << " " << operation;
            EXPECT_EQ(fake.written, Lines{}) << c.name << " " << operation;
            EXPECT_EQ(fake.complaints, Lines{c.complaint}) << c.name << " " << operation;
            EXPECT_TRUE(fake.path_fds.empty()) << c.name << " " << operation;
        }
    }
}

TEST_F(KernelWatchdog, OpensExactlyTheFileItChecked) {
    // Listed as a watchdog, but the open device does not answer as one: closed untouched.
    fake.paths["/dev/odd"] = {true, 248, 5};
    fake.classes["248:5"] = "watchdog";
    fake.environment["WDT_DEVICE0"] = "/dev/odd";
    EXPECT_FALSE(run(kArm, 0));
    EXPECT_EQ(fake.opened, Lines{"248:5"});
    EXPECT_TRUE(fake.open_fds.empty() && fake.path_fds.empty());
    EXPECT_EQ(fake.complaints, Lines{"WDT.dll: /dev/odd: not a watchdog device; not touched"});

    // A link switched to another watchdog right after it was checked: the checked one is opened.
    for (Operation operation : {kArm, kRefresh, kDisable}) {
        start_over();
        fake.paths["/dev/link"] = fake.paths["/dev/watchdog1"];
        fake.environment["WDT_DEVICE1"] = "/dev/link";
        fake.watchdogs["248:1"].active = true;
        fake.switch_path_to = "/dev/watchdog0";
        EXPECT_TRUE(run(operation, 1)) << operation;
        EXPECT_EQ(fake.opened, Lines{"248:1"}) << operation;
        EXPECT_FALSE(w0().active) << operation;
    }
}

TEST_F(KernelWatchdog, DisableLeavesTheWatchdogStoppedWithoutAMark) {
    const struct {
        const char* name;
        bool active, runs_unseen, nowayout, held_by_other;
        bool done, running_after;
        Lines opened;
    } cases[] = {
        {"stopped", false, false, false, false, true, false, {"248:0"}},
        {"stopped, nowayout: opening would start it for good", false, false, true, false, true, false, {}},
        {"running", true, false, false, false, true, false, {"248:0"}},
        {"running before anyone opened it", false, true, false, false, true, false, {"248:0"}},
        {"stopped, held by another process", false, false, false, true, true, false, {"248:0"}},
        {"running, nowayout", true, false, true, false, false, true, {"248:0"}},
    };
    for (const auto& c : cases) {
        start_over();
        w0().active = c.active;
        w0().runs_unseen = c.runs_unseen;
        w0().nowayout = c.nowayout;
        w0().held = c.held_by_other;
        w0().mark = true;  // left by whoever closed it last
        EXPECT_EQ(run(kDisable, 0), c.done) << c.name;
        exit_process();
        EXPECT_EQ(w0().running(), c.running_after) << c.name;
        EXPECT_EQ(fake.opened, c.opened) << c.name;
        EXPECT_EQ(fake.complaints.size(), c.done ? 0u : 1u) << c.name;
        if (!c.opened.empty() && !c.held_by_other) {
            EXPECT_FALSE(w0().mark) << c.name;
        }
        for (const std::string& text : fake.written) EXPECT_EQ(text.find('V'), std::string::npos) << c.name;
    }
    EXPECT_EQ(fake.complaints[0], "WDT.dll: /dev/watchdog0: cannot stop the watchdog: it keeps running (nowayout "
                                  "is set, or the driver cannot stop it)");
}

TEST_F(KernelWatchdog, ASecondKeeperThatIsKilledIsNeverStoppedByWhatTheToolLeft) {
    // The kernel keeps a mark over the close of a stopped watchdog, and stops the next holder's
    // watchdog when it closes. Whatever the tool did before, a killed keeper must leave it running.
    const std::vector<std::vector<Operation>> histories = {
        {kArm, kDisable}, {kDisable}, {kArm}, {kRefresh}, {kArm, kRefresh, kDisable}};
    for (const auto& history : histories) {
        start_over();
        for (Operation operation : history) {
            run(operation, 0);
            exit_process();
            watchdogs = kwd::Watchdogs{};
        }
        second_keeper_killed("/dev/watchdog0");
        EXPECT_TRUE(w0().active) << history.size();
    }
}

TEST_F(KernelWatchdog, ArmNeverLeavesAShorterTimeout) {
    const struct {
        const char* name;
        bool running_before, nowayout, clamps;
        int asked;
        bool done, active_after;
        int timeout_after;
        std::string complaint;
    } cases[] = {
        {"fits", false, false, false, 100, true, true, 100, ""},
        {"refused", false, false, false, 300, false, false, 30,
         "cannot set a timeout of 300 s: Invalid argument; the watchdog is stopped again, as it was"},
        {"set shorter", false, false, true, 300, false, false, 255,
         "the driver set a timeout of 255 s, shorter than the 300 s asked for; the watchdog is stopped again, as it was"},
        {"refused, was running", true, false, false, 300, false, true, 30,
         "cannot set a timeout of 300 s: Invalid argument; the watchdog keeps running with the timeout it had"},
        {"refused, nowayout", false, true, false, 300, false, true, 30,
         "cannot set a timeout of 300 s: Invalid argument; the watchdog cannot be stopped again and runs with its old "
         "timeout: it keeps running (nowayout is set, or the driver cannot stop it)"},
    };
    for (const auto& c : cases) {
        start_over();
        w0().active = c.running_before;
        w0().nowayout = c.nowayout;
        w0().clamps = c.clamps;
        EXPECT_EQ(run(kArm, 0, c.asked * 1000), c.done) << c.name;
        EXPECT_EQ(watchdogs.fd[0] >= 0, c.done) << c.name << ": a failed arm keeps nothing open";
        exit_process();
        EXPECT_EQ(w0().active, c.active_after) << c.name;
        EXPECT_EQ(w0().timeout, c.timeout_after) << c.name;
        EXPECT_EQ(fake.complaints, c.complaint.empty() ? Lines{} : Lines{"WDT.dll: /dev/watchdog0: " + c.complaint})
            << c.name;
    }
}

TEST_F(KernelWatchdog, TimeoutIsRoundedUpToWholeSeconds) {
    const struct {
        int32_t milliseconds;
        int seconds;
    } cases[] = {{1000, 1}, {1001, 2}, {512000, 512}, {1, 1}, {0, 1}, {-5, 1}};
    for (const auto& c : cases) {
        start_over();
        w0().max_timeout = 1000;
        run(kArm, 0, c.milliseconds);
        EXPECT_EQ(w0().timeout, c.seconds) << c.milliseconds;
    }
}

TEST_F(KernelWatchdog, SaysWhenClosingWillStopTheWatchdog) {
    const struct {
        bool magic_close, nowayout;
        bool said;
    } cases[] = {{true, false, false}, {false, false, true}, {false, true, false}};
    for (const auto& c : cases) {
        start_over();
        w0().magic_close = c.magic_close;
        w0().nowayout = c.nowayout;
        EXPECT_TRUE(run(kArm, 0));
        EXPECT_TRUE(run(kArm, 0));  // once per device, not per call
        const Lines said{"WDT.dll: /dev/watchdog0: this driver stops the watchdog whenever its device is closed, "
                         "so it stops when the tool exits"};
        EXPECT_EQ(fake.complaints, c.said ? said : Lines{});
    }
}

TEST_F(KernelWatchdog, RefreshOpensOnlyARunningWatchdogAndWritesWhereTheRequestIsRefused) {
    // The legacy node (when the core has a watchdog 0) and a link of any name reach watchdog 0's
    // state; a stopped one stays closed. A driver without the keep-alive request gets a write.
    for (const char* path : {"/dev/watchdog", "/dev/my-board-watchdog"}) {
        for (bool active : {false, true}) {
            for (bool request : {true, false}) {
                start_over();
                fake.paths["/dev/my-board-watchdog"] = fake.paths["/dev/watchdog0"];
                fake.environment["WDT_DEVICE0"] = path;
                w0().active = active;
                w0().keepalive_request = request;
                EXPECT_TRUE(run(kRefresh, 0)) << path;
                EXPECT_EQ(w0().refreshes, active ? 1 : 0) << path << request;
                exit_process();
                EXPECT_EQ(fake.opened, active ? Lines{number(fake.paths[path])} : Lines{}) << path;
                EXPECT_EQ(fake.written, active && !request ? Lines{"\n"} : Lines{}) << path;
                EXPECT_EQ(w0().active, active) << path;
                EXPECT_EQ(fake.complaints, Lines{}) << path;
            }
        }
    }
}

TEST_F(KernelWatchdog, WithoutStateInSysfsNothingStartedIsLeftRunningAndANoteStandsForTheState) {
    w0().state_file = false;  // a kernel without the watchdog's sysfs files
    const std::string hidden = "sysfs shows no state for this watchdog (a kernel built without CONFIG_WATCHDOG_SYSFS)";
    for (Operation operation : {kRefresh, kDisable}) {
        EXPECT_FALSE(run(operation, 0));  // nothing noted: it may be stopped, and opening would start it
        EXPECT_EQ(fake.opened, Lines{});
        ASSERT_EQ(fake.complaints.size(), 1u);
        EXPECT_NE(fake.complaints[0].find(hidden), std::string::npos) << fake.complaints[0];
        fake.complaints.clear();
    }
    EXPECT_FALSE(run(kArm, 0, 300000));  // refused: the watchdog this open started is stopped again
    EXPECT_FALSE(w0().running());
    EXPECT_EQ(fake.complaints, Lines{"WDT.dll: /dev/watchdog0: cannot set a timeout of 300 s: Invalid argument; the "
                                     "watchdog is stopped (sysfs does not show whether it ran before)"});
    EXPECT_TRUE(fake.notes.empty());

    const auto next_process = [&] {
        exit_process();
        watchdogs = kwd::Watchdogs{};
    };
    EXPECT_TRUE(run(kArm, 0, 60000));
    next_process();
    EXPECT_TRUE(w0().running());
    EXPECT_EQ(fake.notes, std::set<std::string>{"248:0"});
    fake.complaints.clear();
    EXPECT_FALSE(run(kArm, 0, 300000));  // noted as running: it keeps its timeout
    EXPECT_EQ(fake.complaints, Lines{"WDT.dll: /dev/watchdog0: cannot set a timeout of 300 s: Invalid argument; the "
                                     "watchdog keeps running with the timeout it had"});
    next_process();
    EXPECT_TRUE(w0().running());
    const int refreshes = w0().refreshes;
    EXPECT_TRUE(run(kRefresh, 0));
    EXPECT_EQ(w0().refreshes, refreshes + 1);
    next_process();
    EXPECT_TRUE(run(kDisable, 0));
    next_process();
    EXPECT_FALSE(w0().running());
    EXPECT_TRUE(fake.notes.empty());
}

TEST_F(KernelWatchdog, WithoutSysfsTheLegacyNodeIsNotTouched) {
    fake.sysfs_mounted = false;
    w0().nowayout = true;
    fake.environment["WDT_DEVICE0"] = "/dev/watchdog";
    for (Operation operation : {kArm, kRefresh, kDisable}) {
        fake.complaints.clear();
        watchdogs = kwd::Watchdogs{};
        EXPECT_FALSE(run(operation, 0));
        EXPECT_EQ(fake.opened, Lines{});
        EXPECT_EQ(fake.complaints, Lines{"WDT.dll: /dev/watchdog: cannot tell whether a legacy driver or the kernel's "
                                         "watchdog 0 owns it: sysfs shows neither (is sysfs mounted at /sys?); not touched"});
    }
    EXPECT_FALSE(w0().running());
}

TEST_F(KernelWatchdog, WithoutProcTheLineBlamesProc) {
    fake.proc_mounted = false;
    EXPECT_FALSE(run(kArm, 0));
    EXPECT_EQ(fake.complaints, Lines{"WDT.dll: /dev/watchdog0: cannot open the checked device through /proc/self/fd: "
                                     "is /proc mounted?"});
}

TEST_F(KernelWatchdog, ACallThatStartedTheWatchdogAndFailedStopsItAgain) {
    // The stop request fails (an I2C watchdog's EIO) where a disable opened a stopped watchdog; a
    // refreshing write fails after an arm: either way the watchdog that the call started is stopped.
    const struct {
        const char* name;
        Operation operation;
        int stop_request_error, write_error;
        std::string last_complaint;
    } cases[] = {
        {"disable, stop request fails", kDisable, EIO, 0, "cannot stop the watchdog: Input/output error"},
        {"arm, refresh fails", kArm, 0, EIO,
         "cannot refresh the watchdog: Input/output error; the watchdog is stopped again, as it was"},
    };
    for (const auto& c : cases) {
        start_over();
        w0().stop_request_error = c.stop_request_error;
        w0().write_error = c.write_error;
        EXPECT_FALSE(run(c.operation, 0)) << c.name;
        exit_process();
        EXPECT_FALSE(w0().running()) << c.name;
        EXPECT_FALSE(w0().mark) << c.name;
        ASSERT_FALSE(fake.complaints.empty()) << c.name;
        EXPECT_EQ(fake.complaints.back(), "WDT.dll: /dev/watchdog0: " + c.last_complaint) << c.name;
    }
}

TEST_F(KernelWatchdog, ADriverThatStopsAtCloseIsDoneOnlyWhileHeld) {
    for (bool nowayout : {false, true}) {
        start_over();
        w0().magic_close = false;
        w0().nowayout = nowayout;
        const kwd::Result expected = nowayout ? kwd::Result::done : kwd::Result::done_while_held;
        EXPECT_EQ(result(kArm, 0), expected);
        EXPECT_EQ(result(kRefresh, 0), expected);
        EXPECT_EQ(result(kDisable, 0), nowayout ? kwd::Result::not_done : kwd::Result::done);
    }
}

TEST_F(KernelWatchdog, HeldDeviceIsUsedAndReleasedOnlyByDisable) {
    EXPECT_TRUE(run(kArm, 1));
    EXPECT_TRUE(run(kRefresh, 1));
    EXPECT_EQ(fake.opened, Lines{"248:1"});
    EXPECT_TRUE(run(kDisable, 1));
    EXPECT_EQ(fake.written, (Lines{"\n", "\n"}));
    EXPECT_FALSE(fake.watchdogs["248:1"].active);
    EXPECT_EQ(watchdogs.fd[1], -1);
}

TEST_F(KernelWatchdog, AfterAFailedArmAWatchdogOfAnotherKeeperIsNeverTakenOver) {
    w0().held = w0().active = true;
    EXPECT_FALSE(run(kArm, 0));
    EXPECT_EQ(fake.complaints, Lines{"WDT.dll: /dev/watchdog0: another process holds the device (a watchdog daemon, "
                                     "or systemd's RuntimeWatchdogSec); stop it, or name another device in WDT_DEVICE0"});
    w0().held = false;  // the other keeper dies; its watchdog runs on
    EXPECT_FALSE(run(kRefresh, 0));
    EXPECT_EQ(fake.opened, Lines{"248:0"});
    EXPECT_EQ(w0().refreshes, 0);
    EXPECT_TRUE(run(kArm, 0));  // an arm that works takes it, as asked
    EXPECT_TRUE(run(kRefresh, 0));
}

TEST_F(KernelWatchdog, LegacyDriverArmsStopsAndNeverStartsOnARefresh) {
    fake.watchdogs.clear();  // no watchdog of the core: a legacy driver owns /dev/watchdog
    fake.watchdogs["10:130"] = {};
    Watchdog& legacy = fake.watchdogs["10:130"];
    legacy.max_timeout = 30;
    fake.environment["WDT_DEVICE0"] = "/dev/watchdog";

    EXPECT_FALSE(run(kRefresh, 0));  // it cannot be known to run, and opening would start it
    EXPECT_EQ(fake.opened, Lines{});
    EXPECT_TRUE(run(kArm, 0, 10000));
    EXPECT_TRUE(run(kRefresh, 0));
    exit_process();
    EXPECT_TRUE(legacy.active);
    watchdogs = kwd::Watchdogs{};
    EXPECT_TRUE(run(kDisable, 0));
    EXPECT_FALSE(legacy.active);
    EXPECT_EQ(fake.written.back(), "V");
    EXPECT_FALSE(run(kArm, 0, 40000));  // refused: stopped again, whatever it was before
    EXPECT_FALSE(legacy.active);
    EXPECT_EQ(watchdogs.fd[0], -1);
    EXPECT_EQ(fake.complaints.back(), "WDT.dll: /dev/watchdog: cannot set a timeout of 40 s: Invalid argument; the "
                                      "watchdog is stopped (a legacy driver does not show whether it ran before)");
}

TEST_F(KernelWatchdog, LegacyDisableIsDoneOnlyWhenTheStopLasts) {
    // A legacy driver with nowayout ignores the magic character and starts the watchdog again when
    // its device is closed, even after a stop request it accepted; its module then keeps a reference.
    for (bool nowayout : {false, true}) {
        start_over();
        fake.watchdogs.clear();
        fake.watchdogs["10:130"] = {};
        Watchdog& legacy = fake.watchdogs["10:130"];
        legacy.nowayout = nowayout;
        legacy.active = true;
        fake.environment["WDT_DEVICE0"] = "/dev/watchdog";
        EXPECT_EQ(run(kDisable, 0), !nowayout);
        exit_process();
        EXPECT_EQ(legacy.running(), nowayout);
        EXPECT_EQ(fake.complaints, nowayout ? Lines{"WDT.dll: /dev/watchdog: cannot stop the watchdog: it keeps running "
                                                    "(nowayout is set, or the driver cannot stop it)"}
                                            : Lines{});
    }
}

// A status reads sysfs alone: no open, no write, no request, no mark, also while the device is held;
// every bit of the boot status is said, those without a name by their value.
TEST_F(KernelWatchdog, StatusReadsSysfsAloneAndDecodesTheBootStatus) {
    fake.watchdogs["248:0"].attributes = {
        {"identity", "i6300ESB timer\n"}, {"timeout", "5\n"}, {"timeleft", "3\n"}, {"bootstatus", "32\n"}};
    fake.watchdogs["248:1"].attributes = {{"bootstatus", "0x1041\n"}};
    ASSERT_TRUE(run(kArm, 0));
    const FakeKernel before = fake;
    char text[512];
    int length = kwd::describe(kFakeKernel, 0, false, text, sizeof text);
    EXPECT_EQ(std::string(text, length > 0 ? length : 0),
              "Device: /dev/watchdog0\nDriver: i6300ESB timer\nState: active\nTimeout: 5 s\nTime left: 3 s\n"
              "Nowayout: no\nBoot status: card reset\n");
    length = kwd::describe(kFakeKernel, 1, true, text, sizeof text);
    EXPECT_EQ(std::string(text, length > 0 ? length : 0),
              "Device: /dev/watchdog1\nDriver: unknown\nState: inactive\nTimeout: unknown\nTime left: unknown\n"
              "Nowayout: no\nBoot status: overheat, power over, 0x1000\nHeld by: nobody\n");
    EXPECT_EQ(fake.opened, before.opened);
    EXPECT_EQ(fake.written, before.written);
    EXPECT_EQ(fake.open_fds, before.open_fds);
    EXPECT_EQ(fake.watchdogs["248:0"].mark, before.watchdogs.at("248:0").mark);
    EXPECT_FALSE(fake.watchdogs["248:1"].running());
    EXPECT_EQ(kwd::describe(kFakeKernel, 0, true, text, 0), -1);
}

// The holder is found by the link targets of other processes' descriptors, under either node of
// watchdog 0 and through the link a setting names; a descriptor opened with O_PATH holds nothing;
// where some processes cannot be looked at, and none was found, it is unknown.
TEST_F(KernelWatchdog, TheHolderIsFoundByTheDescriptorsLinks) {
    const auto held_by = [](int n) {
        char text[512];
        const int length = kwd::describe(kFakeKernel, n, true, text, sizeof text);
        const std::string all(text, length > 0 ? length : 0);
        const size_t at = all.find("Held by: ");
        return at == std::string::npos ? all : all.substr(at);
    };
    fake.processes["31"] = {"sshd", {{"0", {"/dev/null"}}, {"3", {"socket:[1234]"}}}};
    fake.processes["40"] = {"snoop", {{"5", {"/dev/watchdog0", "010000000"}}}};  // O_PATH
    EXPECT_EQ(held_by(0), "Held by: nobody\n");
    fake.processes["77"] = {"daemon", {{"4", {"/dev/watchdog"}}}};
    EXPECT_EQ(held_by(0), "Held by: pid 77 (daemon)\n");
    EXPECT_EQ(held_by(1), "Held by: nobody\n");
    fake.processes.erase("77");
    fake.processes["78"] = {"keeper", {{"4", {"/dev/watchdog1"}}}};
    fake.paths["/dev/board-watchdog"] = fake.paths["/dev/watchdog1"];
    fake.links["/dev/board-watchdog"] = "/dev/watchdog1";
    fake.environment["WDT_DEVICE1"] = "/dev/board-watchdog";
    EXPECT_EQ(held_by(1), "Held by: pid 78 (keeper)\n");
    fake.processes["12"] = {"other user's", {}, true};
    EXPECT_EQ(held_by(0), "Held by: unknown (the descriptors of some processes cannot be looked at)\n");
    EXPECT_TRUE(fake.opened.empty());
}

}  // namespace
