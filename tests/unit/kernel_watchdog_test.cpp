#include <gtest/gtest.h>
#include <linux/watchdog.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kernel_watchdog.h"

namespace {

// A fake kernel that behaves as Linux does where it matters: opening a watchdog starts it, a
// close stops it only after the magic character (or always, for a driver without magic close),
// nowayout refuses every stop, and a driver has a largest timeout.
struct Watchdog {
    bool active = false, nowayout = false, magic_close = true, state_file = true;
    int timeout = 30, max_timeout = 255;
    bool clamps = false;  // takes a too-long timeout as its largest instead of refusing it
    bool held = false, release_allowed = false;
};

struct FakeKernel {
    std::map<std::string, std::string> environment;
    std::map<std::string, kwd::Node> paths;  // what stat() finds; links resolve to the same node
    std::map<std::string, std::string> classes{{"248:0", "watchdog"}, {"248:1", "watchdog"}, {"1:3", "mem"}};
    std::map<std::string, Watchdog> watchdogs;  // by "major:minor"
    std::map<int, std::string> open_fds;        // descriptor -> "major:minor"
    int next_fd = 10;
    std::vector<std::string> opened, written, complaints;
};
FakeKernel fake;

std::string number(const kwd::Node& node) { return std::to_string(node.major) + ":" + std::to_string(node.minor); }

Watchdog* watchdog_of(int fd) {
    auto found = fake.open_fds.find(fd);
    if (found == fake.open_fds.end()) return nullptr;
    std::string id = found->second == "10:130" ? "248:0" : found->second;
    return fake.watchdogs.count(id) != 0 ? &fake.watchdogs[id] : nullptr;
}

int fail(int error) {
    errno = error;
    return -1;
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
        return fake.watchdogs.count(id) != 0 ? &fake.watchdogs[id] : nullptr;
    }
    return nullptr;
}

const kwd::Kernel kFakeKernel{
    [](const char* path, kwd::Node* node) {
        if (fake.paths.count(path) == 0) return fail(ENOENT);
        *node = fake.paths[path];
        return 0;
    },
    [](const char* path) {
        fake.opened.push_back(path);
        const std::string id = number(fake.paths[path]);
        const int fd = fake.next_fd++;
        fake.open_fds[fd] = id;
        if (Watchdog* w = watchdog_of(fd)) {
            if (w->held) {
                fake.open_fds.erase(fd);
                return fail(EBUSY);
            }
            w->held = w->active = true;
        }
        return fd;
    },
    [](int fd, kwd::Node* node) {
        const std::string& id = fake.open_fds[fd];
        for (const auto& [path, found] : fake.paths) {
            if (number(found) == id) *node = found;
        }
        return 0;
    },
    [](int fd, unsigned long request, void* argument) {
        Watchdog* w = watchdog_of(fd);
        if (w == nullptr) return fail(ENOTTY);
        int* value = static_cast<int*>(argument);
        if (request == WDIOC_GETSUPPORT) {
            static_cast<watchdog_info*>(argument)->options = WDIOF_SETTIMEOUT | (w->magic_close ? WDIOF_MAGICCLOSE : 0);
        } else if (request == WDIOC_SETOPTIONS && *value == WDIOS_DISABLECARD) {
            if (w->nowayout) return fail(EBUSY);
            w->active = false;
        } else if (request == WDIOC_SETOPTIONS) {
            w->active = true;
        } else if (request == WDIOC_SETTIMEOUT) {
            if (*value > w->max_timeout && !w->clamps) return fail(EINVAL);
            w->timeout = std::min(*value, w->max_timeout);
        } else if (request == WDIOC_GETTIMEOUT) {
            *value = w->timeout;
        }
        return 0;
    },
    [](int fd, const char* data, size_t size) {
        fake.written.push_back(std::string(data, size));
        // Each write forgets an earlier magic character, then notes one in this write.
        if (Watchdog* w = watchdog_of(fd)) w->release_allowed = std::string(data, size).find('V') != std::string::npos;
        return static_cast<long>(size);
    },
    [](int fd) {
        // Only the close of a running watchdog uses up the magic character; after a stop it stays noted.
        if (Watchdog* w = watchdog_of(fd)) {
            if (w->active) {
                if ((w->release_allowed || !w->magic_close) && !w->nowayout) w->active = false;
                w->release_allowed = false;
            }
            w->held = false;
        }
        fake.open_fds.erase(fd);
        return 0;
    },
    [](const char* path, char* buffer, size_t size) -> long {
        std::string attribute;
        Watchdog* w = from_sysfs(path, attribute);
        std::string text;
        if (w != nullptr && attribute == "state" && w->state_file) text = w->active ? "active\n" : "inactive\n";
        if (w != nullptr && attribute == "nowayout") text = w->nowayout ? "1\n" : "0\n";
        if (text.empty()) return fail(ENOENT);
        const size_t length = std::min(size, text.size());
        std::memcpy(buffer, text.data(), length);
        return static_cast<long>(length);
    },
    [](const char* path, char* buffer, size_t size) -> long {
        std::string link = path;
        const std::string prefix = "/sys/dev/char/", suffix = "/subsystem";
        if (link.rfind(prefix, 0) != 0) return fail(ENOENT);
        const std::string id = link.substr(prefix.size(), link.size() - prefix.size() - suffix.size());
        if (fake.classes.count(id) == 0) return fail(ENOENT);
        const std::string target = "../../../../class/" + fake.classes[id];
        const size_t length = std::min(size, target.size());
        std::memcpy(buffer, target.data(), length);
        return static_cast<long>(length);
    },
    [](const char* name) -> const char* {
        return fake.environment.count(name) != 0 ? fake.environment[name].c_str() : nullptr;
    },
    [](const char* line) { fake.complaints.push_back(line); },
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
    void run(Operation operation, int n, int32_t milliseconds = 5000) {
        if (operation == kArm) kwd::arm(watchdogs, kFakeKernel, n, milliseconds);
        if (operation == kRefresh) kwd::refresh(watchdogs, kFakeKernel, n);
        if (operation == kDisable) kwd::disable(watchdogs, kFakeKernel, n);
    }
    // Ends the process: every held device is closed without the magic character.
    void exit_process() {
        for (int fd : watchdogs.fd) {
            if (fd >= 0) kFakeKernel.close(fd);
        }
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
        {"missing", "/dev/nothing", {}, std::string("WDT.dll: /dev/nothing: ") + std::strerror(ENOENT)},
        {"too long", too_long, {false, 0, 0},
         "WDT.dll: " + too_long.substr(0, 64) + "...: the path is longer than 511 characters; not touched"},
    };
    for (const auto& c : cases) {
        for (Operation operation : {kArm, kRefresh, kDisable}) {
            start_over();
            fake.environment["WDT_DEVICE0"] = c.path;
            if (std::string(c.name) != "missing") fake.paths[c.path] = c.node;
            if (std::string(c.name) == "too long") fake.paths[c.path.substr(0, 511)] = c.node;
            run(operation, 0);
            EXPECT_EQ(fake.opened, Lines{}) << c.name << " " << operation;
            EXPECT_EQ(fake.written, Lines{}) << c.name << " " << operation;
            EXPECT_EQ(fake.complaints, Lines{c.complaint}) << c.name << " " << operation;
        }
    }
}

TEST_F(KernelWatchdog, ConfirmsTheDeviceOnTheOpenDescriptor) {
    // Listed as a watchdog, but the open device does not answer as one: closed untouched.
    fake.paths["/dev/odd"] = {true, 248, 5};
    fake.classes["248:5"] = "watchdog";
    fake.environment["WDT_DEVICE0"] = "/dev/odd";
    run(kArm, 0);
    EXPECT_EQ(fake.opened, Lines{"/dev/odd"});
    EXPECT_TRUE(fake.open_fds.empty());
    EXPECT_EQ(fake.written, Lines{});
    EXPECT_EQ(fake.complaints, Lines{"WDT.dll: /dev/odd: not a watchdog device; not touched"});
}

TEST_F(KernelWatchdog, DisableNeverStartsAWatchdog) {
    const struct {
        bool active, nowayout;
        bool active_after;
        Lines written;
        size_t complaints;
    } cases[] = {
        {false, false, false, {}, 0},
        {false, true, false, {}, 0},   // opening would have started it for good
        {true, false, false, {"V"}, 0},
        {true, true, true, {}, 1},     // cannot be stopped: said, and no magic character
    };
    for (const auto& c : cases) {
        start_over();
        w0().active = c.active;
        w0().nowayout = c.nowayout;
        run(kDisable, 0);
        exit_process();
        EXPECT_EQ(w0().active, c.active_after) << c.active << c.nowayout;
        EXPECT_EQ(fake.written, c.written) << c.active << c.nowayout;
        EXPECT_EQ(fake.complaints.size(), c.complaints) << c.active << c.nowayout;
    }
    EXPECT_EQ(fake.complaints[0], "WDT.dll: /dev/watchdog0: cannot stop the watchdog: it keeps running (nowayout "
                                  "is set, or the driver cannot stop it)");
}

TEST_F(KernelWatchdog, ArmNeverLeavesAShorterTimeout) {
    const struct {
        const char* name;
        bool running_before, nowayout, clamps;
        int asked;
        bool active_after;
        int timeout_after;
        std::string complaint;
    } cases[] = {
        {"fits", false, false, false, 100, true, 100, ""},
        {"refused", false, false, false, 300, false, 30,
         "cannot set a timeout of 300 s: Invalid argument; the watchdog is stopped again, as it was"},
        {"set shorter", false, false, true, 300, false, 255,
         "the driver set a timeout of 255 s, shorter than the 300 s asked for; the watchdog is stopped again, as it was"},
        {"refused, was running", true, false, false, 300, true, 30,
         "cannot set a timeout of 300 s: Invalid argument; the watchdog keeps running with the timeout it had"},
        {"refused, nowayout", false, true, false, 300, true, 30,
         "cannot set a timeout of 300 s: Invalid argument; the watchdog cannot be stopped again and runs with its old "
         "timeout: it keeps running (nowayout is set, or the driver cannot stop it)"},
    };
    for (const auto& c : cases) {
        start_over();
        w0().active = c.running_before;
        w0().nowayout = c.nowayout;
        w0().clamps = c.clamps;
        run(kArm, 0, c.asked * 1000);
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
        run(kArm, 0);
        run(kArm, 0);  // once per device, not per call
        const Lines said{"WDT.dll: /dev/watchdog0: this driver stops the watchdog whenever its device is closed, "
                         "so it stops when the tool exits"};
        EXPECT_EQ(fake.complaints, c.said ? said : Lines{});
    }
}

TEST_F(KernelWatchdog, RefreshFindsTheStateFromTheDeviceNumber) {
    // The legacy node and a link of any name reach watchdog 0's state; an inactive one stays closed.
    fake.paths["/dev/my-board-watchdog"] = fake.paths["/dev/watchdog0"];
    for (const char* path : {"/dev/watchdog", "/dev/my-board-watchdog"}) {
        for (bool active : {false, true}) {
            start_over();
            fake.paths["/dev/my-board-watchdog"] = fake.paths["/dev/watchdog0"];
            fake.environment["WDT_DEVICE0"] = path;
            w0().active = active;
            run(kRefresh, 0);
            exit_process();
            EXPECT_EQ(fake.opened, active ? Lines{path} : Lines{}) << path;
            EXPECT_EQ(w0().active, active) << path;
            EXPECT_EQ(fake.complaints, Lines{}) << path;
        }
    }
}

TEST_F(KernelWatchdog, UnknownStateLeavesTheDeviceClosed) {
    for (Operation operation : {kRefresh, kDisable}) {
        start_over();
        w0().state_file = false;
        run(operation, 0);
        EXPECT_EQ(fake.opened, Lines{});
        ASSERT_EQ(fake.complaints.size(), 1u);
        EXPECT_NE(fake.complaints[0].find("cannot read /sys/dev/char/248:0/state"), std::string::npos);
    }
}

TEST_F(KernelWatchdog, HeldDeviceIsUsedAndReleasedOnlyByDisable) {
    run(kArm, 1);
    run(kRefresh, 1);
    EXPECT_EQ(fake.opened, Lines{"/dev/watchdog1"});
    run(kDisable, 1);
    EXPECT_EQ(fake.written, (Lines{"\n", "V"}));
    EXPECT_FALSE(fake.watchdogs["248:1"].active);
    EXPECT_EQ(watchdogs.fd[1], -1);
}

TEST_F(KernelWatchdog, AMagicCharacterWrittenBeforeArmingNeverStopsTheWatchdogAtExit) {
    // The kernel keeps a 'V' written before a stop, such as a disable's, until a later write.
    for (bool disabled_first : {true, false}) {
        start_over();
        w0().active = disabled_first;
        w0().release_allowed = !disabled_first;
        if (disabled_first) run(kDisable, 0);
        run(kArm, 0);
        exit_process();
        EXPECT_TRUE(w0().active) << disabled_first;
    }
}

TEST_F(KernelWatchdog, BusyDeviceNamesTheLikelyHolder) {
    w0().held = w0().active = true;
    run(kArm, 0);
    EXPECT_EQ(fake.complaints, Lines{"WDT.dll: /dev/watchdog0: another process holds the device (a watchdog daemon, "
                                     "or systemd's RuntimeWatchdogSec); stop it, or name another device in WDT_DEVICE0"});
}

}  // namespace
