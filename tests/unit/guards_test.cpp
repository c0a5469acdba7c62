#include <gtest/gtest.h>

#include "tests/support/fake_host.h"

namespace {

using fake::reset_entry;
using Calls = std::vector<fake::DriverCall>;

std::string announcement(int timer, int period) {
    return "Entering endless loop: Timer for reboot " + std::to_string(timer) + " seconds. Refresh each " +
           std::to_string(period) + " seconds.\r\n";
}

std::vector<int64_t> refresh_times() {
    std::vector<int64_t> times;
    for (const fake::DriverCall& call : fake::world().calls) {
        if (call.entry.rfind("ResetWDT", 0) == 0) times.push_back(call.at_ms);
    }
    return times;
}

class Guards : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_F(Guards, UnsoundOptionsAreRefusedBeforeTheLibraryIsLoaded) {
    std::vector<std::string> many = {"W0", "L2"};
    for (int i = 0; i < 17; ++i) many.push_back("--heartbeat=/run/" + std::to_string(i));
    const struct {
        std::vector<std::string> arguments;
        std::string output;
    } cases[] = {
        {{"W0", "T10", "--check=true"}, "Guard Parameter error: guards need a loop (L)!\r\n"},
        {{"W0", "R", "L3", "--check=true"}, "Guard Parameter error: guards need a loop (L)!\r\n"},
        {{"W0", "T10", "L2", "L4", "--grace=4", "--check=true"},
         "Guard Parameter error: the grace must be longer than the refresh period!\r\n"},
        {{"W0", "L2", "--grace=4294967296", "--check=true"},
         "Guard Parameter error: --grace=SECONDS takes a whole number of seconds, at least 1!\r\n"},
        {{"W0", "L2", "--grace=3s", "--check=true"},
         "Guard Parameter error: --grace=SECONDS takes a whole number of seconds, at least 1!\r\n"},
        {{"W0", "L2", "--heartbeat="},
         "Guard Parameter error: --heartbeat=PATH, --check=COMMAND and --repair=COMMAND need a value!\r\n"},
        {{"W0", "L2", "--check=true", "--repair="},
         "Guard Parameter error: --heartbeat=PATH, --check=COMMAND and --repair=COMMAND need a value!\r\n"},
        {{"W0", "L2", "--grace=9"}, "Guard Parameter error: --grace and --repair need a guard (--heartbeat= or --check=)!\r\n"},
        {many, "Guard Parameter error: at most 16 guards!\r\n"},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().commands["true"] = {};
        EXPECT_EQ(fake::run(c.arguments), 1) << c.output;
        EXPECT_EQ(fake::world().output, c.output);
        EXPECT_EQ(fake::world().library_loads, 0) << c.output;
        EXPECT_TRUE(fake::world().processes.empty()) << c.output;
    }
}

// The application touches its file until 5 s, falls silent, and comes back at 19 s; the grace is
// the timeout, 10 s. Refreshes stop at the first slot at which the grace has passed since the news
// was seen, and go on with the news.
TEST_F(Guards, SilentHeartbeatStopsRefreshesUntilNewsComesBack) {
    fake::world().touched["/run/app"] = {{0, 5000}, {19000, 100000}};
    fake::world().rounds = 10;  // slots at 3, 5, ... 21 s
    EXPECT_EQ(fake::run({"W0", "T10", "L2", "--heartbeat=/run/app"}), 0);
    EXPECT_EQ(fake::world().output,
              "System will be reset after 10 seconds.\n" + announcement(10, 2) +
                  "WDT0: no news from --heartbeat=/run/app for 10 seconds: refreshes stop, and the watchdog resets the "
                  "machine in about 10 seconds!\r\n"
                  "WDT0: news from --heartbeat=/run/app again: refreshes go on.\r\n");
    EXPECT_EQ(refresh_times(), (std::vector<int64_t>{3000, 5000, 7000, 9000, 11000, 13000, 19000, 21000}));
}

// A check that exits 0 is news at the next slot; one that fails is not, and neither is one that
// hangs: that one is ended once it has run for the grace, and never started again while it runs.
// The repair runs once, and gives one more grace; a stop ends everything still running.
TEST_F(Guards, ChecksAreNeverWaitedForAndAStopEndsThem) {
    fake::World& world = fake::world();
    world.commands = {{"ok", {100, true}}, {"bad", {100, false}}, {"hang", {-1, true}}, {"fix", {-1, true}}};
    world.rounds = 20;
    world.stop_at_round = 7;  // at the wait that follows the slot at 15 s
    EXPECT_EQ(fake::run({"W1", "L2", "--grace=5", "--check=ok", "--check=hang", "--repair=fix"}), 0);
    EXPECT_EQ(world.output,
              announcement(5, 2) +
                  "WDT1: no news from --check=hang for 6 seconds: running --repair=fix\r\n"
                  "WDT1: no news from --check=hang for 12 seconds: refreshes stop, and the watchdog resets the "
                  "machine in about 5 seconds!\r\n"
                  "WDT1 has already been disabled!\r\n");
    EXPECT_EQ(refresh_times(), (std::vector<int64_t>{3000, 5000, 7000, 9000, 11000}));
    EXPECT_EQ(world.calls.back(), fake::disable(1));
    std::vector<std::tuple<std::string, int64_t, int64_t>> hangs;
    for (const fake::Process& p : world.processes) {
        EXPECT_GE(p.ended_ms, 0) << p.command << " started at " << p.started_ms << " outlived the stop";
        if (p.command != "ok") hangs.emplace_back(p.command, p.started_ms, p.ended_ms);
    }
    EXPECT_EQ(hangs, (std::vector<std::tuple<std::string, int64_t, int64_t>>{
                         {"hang", 1000, 7000}, {"fix", 7000, 13000}, {"hang", 7000, 13000}, {"hang", 13000, 15000}}));
    EXPECT_EQ(world.processes.size(), 4u + 8u);  // "ok" at the start and at each of the 7 slots

    fake::reset();
    fake::world().commands = {{"bad", {100, false}}};
    fake::world().rounds = 5;
    EXPECT_EQ(fake::run({"W1", "L2", "--grace=5", "--check=bad"}), 0);
    EXPECT_EQ(refresh_times(), (std::vector<int64_t>{3000, 5000}));
}

}  // namespace
