#include <gtest/gtest.h>
#include <linux/watchdog.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kernel_watchdog.h"

namespace {

// A fake kernel: devices that open to descriptor 10 + n, ioctls that succeed unless told to fail,
// and a recorded list of what the library did.
struct FakeKernel {
    std::map<std::string, std::string> environment;
    std::map<std::string, int> open_errors;        // path -> errno
    std::map<std::string, std::string> files;      // sysfs path -> content
    std::map<unsigned long, int> ioctl_errors;     // request -> errno
    int timeout_granted = 0;                       // when set, what the driver reads back
    int timeout_set = 30;                          // the driver's own default
    std::vector<std::string> done;
    std::vector<std::string> complaints;
};
FakeKernel fake;

std::string request_name(unsigned long request) {
    if (request == WDIOC_SETTIMEOUT) return "settimeout";
    if (request == WDIOC_GETTIMEOUT) return "gettimeout";
    if (request == WDIOC_SETOPTIONS) return "setoptions";
    if (request == WDIOC_KEEPALIVE) return "keepalive";
    return "other";
}

const kwd::Kernel kFakeKernel{
    [](const char* path) {
        fake.done.push_back(std::string("open ") + path);
        if (fake.open_errors.count(path) != 0) {
            errno = fake.open_errors[path];
            return -1;
        }
        return std::string(path).back() == '1' ? 11 : 10;
    },
    [](int fd, unsigned long request, int* argument) {
        std::string entry = request_name(request) + " " + std::to_string(fd);
        if (request == WDIOC_SETTIMEOUT || request == WDIOC_SETOPTIONS) entry += " " + std::to_string(*argument);
        fake.done.push_back(entry);
        if (fake.ioctl_errors.count(request) != 0) {
            errno = fake.ioctl_errors[request];
            return -1;
        }
        if (request == WDIOC_SETTIMEOUT) fake.timeout_set = *argument;
        if (request == WDIOC_GETTIMEOUT) *argument = fake.timeout_granted != 0 ? fake.timeout_granted : fake.timeout_set;
        return 0;
    },
    [](int fd, const char* data, size_t size) {
        fake.done.push_back("write " + std::to_string(fd) + " " + std::string(data, size));
        return static_cast<long>(size);
    },
    [](int fd) {
        fake.done.push_back("close " + std::to_string(fd));
        return 0;
    },
    [](const char* path, char* buffer, size_t size) -> long {
        if (fake.files.count(path) == 0) {
            errno = ENOENT;
            return -1;
        }
        const std::string& text = fake.files[path];
        const size_t length = std::min(size, text.size());
        std::memcpy(buffer, text.data(), length);
        return static_cast<long>(length);
    },
    [](const char* name) -> const char* {
        return fake.environment.count(name) != 0 ? fake.environment[name].c_str() : nullptr;
    },
    [](const char* line) { fake.complaints.push_back(line); },
};

class KernelWatchdog : public ::testing::Test {
protected:
    void SetUp() override { fake = FakeKernel{}; }
    kwd::Watchdogs watchdogs;
};

using Lines = std::vector<std::string>;

TEST_F(KernelWatchdog, ArmOpensOnceSetsEnablesAndRefreshes) {
    kwd::arm(watchdogs, kFakeKernel, 0, 5000);
    kwd::arm(watchdogs, kFakeKernel, 0, 8000);
    const std::string enable = "setoptions 10 " + std::to_string(WDIOS_ENABLECARD);
    EXPECT_EQ(fake.done, (Lines{"open /dev/watchdog0", "settimeout 10 5", enable, "keepalive 10", "gettimeout 10",
                                "settimeout 10 8", enable, "keepalive 10", "gettimeout 10"}));
    EXPECT_TRUE(fake.complaints.empty());
    EXPECT_EQ(watchdogs.fd[0], 10);
}

TEST_F(KernelWatchdog, TimeoutIsRoundedUpToWholeSeconds) {
    const struct {
        int32_t milliseconds;
        int seconds;
    } cases[] = {{1000, 1}, {1001, 2}, {512000, 512}, {1, 1}, {0, 1}, {-5, 1}, {2147483647, 2147484}};
    for (const auto& c : cases) {
        fake = FakeKernel{};
        kwd::arm(watchdogs, kFakeKernel, 1, c.milliseconds);
        EXPECT_EQ(fake.timeout_set, c.seconds) << c.milliseconds;
    }
}

TEST_F(KernelWatchdog, ReportsATimeoutTheDriverChanged) {
    fake.timeout_granted = 6;
    kwd::arm(watchdogs, kFakeKernel, 0, 5000);
    EXPECT_EQ(fake.complaints, (Lines{"WDT.dll: /dev/watchdog0: the timeout is 6 s, not the 5 s asked for"}));
}

TEST_F(KernelWatchdog, DeviceNamedByTheEnvironment) {
    fake.environment["WDT_DEVICE1"] = "/dev/watchdog7";
    fake.files["/sys/class/watchdog/watchdog7/state"] = "active\n";
    kwd::refresh(watchdogs, kFakeKernel, 1);
    EXPECT_EQ(fake.done, (Lines{"open /dev/watchdog7", "keepalive 10"}));
}

TEST_F(KernelWatchdog, RefreshWithoutADeviceLooksAtTheStateFirst) {
    const struct {
        const char* state;  // nullptr: no state file
        Lines done;
        size_t complaints;
    } cases[] = {
        {"inactive\n", {}, 0},
        {"active\n", {"open /dev/watchdog1", "keepalive 11"}, 0},
        {nullptr, {}, 1},
    };
    for (const auto& c : cases) {
        fake = FakeKernel{};
        watchdogs = kwd::Watchdogs{};
        if (c.state != nullptr) fake.files["/sys/class/watchdog/watchdog1/state"] = c.state;
        kwd::refresh(watchdogs, kFakeKernel, 1);
        EXPECT_EQ(fake.done, c.done);
        EXPECT_EQ(fake.complaints.size(), c.complaints);
    }
}

TEST_F(KernelWatchdog, RefreshOnAHeldDeviceJustRefreshes) {
    kwd::arm(watchdogs, kFakeKernel, 0, 5000);
    fake.done.clear();
    kwd::refresh(watchdogs, kFakeKernel, 0);
    EXPECT_EQ(fake.done, (Lines{"keepalive 10"}));
}

TEST_F(KernelWatchdog, DisableStopsWritesTheMagicCharacterAndCloses) {
    kwd::arm(watchdogs, kFakeKernel, 1, 5000);
    fake.done.clear();
    kwd::disable(watchdogs, kFakeKernel, 1);
    EXPECT_EQ(fake.done, (Lines{"setoptions 11 " + std::to_string(WDIOS_DISABLECARD), "write 11 V", "close 11"}));
    EXPECT_EQ(watchdogs.fd[1], -1);
    fake.done.clear();
    kwd::disable(watchdogs, kFakeKernel, 1);  // not held any more: opened again to stop it
    EXPECT_EQ(fake.done.front(), "open /dev/watchdog1");
}

TEST_F(KernelWatchdog, FailuresAreOneClearLineEach) {
    fake.open_errors["/dev/watchdog0"] = EBUSY;
    kwd::arm(watchdogs, kFakeKernel, 0, 5000);
    EXPECT_EQ(fake.complaints, (Lines{std::string("WDT.dll: /dev/watchdog0: ") + std::strerror(EBUSY)}));
    EXPECT_EQ(fake.done, (Lines{"open /dev/watchdog0"}));

    fake = FakeKernel{};
    fake.ioctl_errors[WDIOC_SETTIMEOUT] = EINVAL;
    kwd::arm(watchdogs, kFakeKernel, 0, 5000);
    EXPECT_EQ(fake.complaints,
              (Lines{std::string("WDT.dll: /dev/watchdog0: cannot set the timeout: ") + std::strerror(EINVAL),
                     "WDT.dll: /dev/watchdog0: the timeout is 30 s, not the 5 s asked for"}));
}

}  // namespace
