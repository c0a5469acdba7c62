#include <gtest/gtest.h>

#include <algorithm>

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
// the timeout, 10 s. A look-up asked for at a slot is taken in at the next one, and its news
// counts from when it was read (5 s); refreshes stop at the first slot that takes in a look-up
// read a whole grace later (at 15 s, taken in at 17 s), and go on with the news.
TEST_F(Guards, SilentHeartbeatStopsRefreshesUntilNewsComesBack) {
    fake::world().touched["/run/app"] = {{0, 5000}, {19000, 100000}};
    fake::world().rounds = 11;  // a glance at 1.5 s, then slots at 3, 5, ... 21 s
    EXPECT_EQ(fake::run({"W0", "T10", "L2", "--heartbeat=/run/app"}), fake::kKilled);
    EXPECT_EQ(fake::world().output,
              "System will be reset after 10 seconds.\n" + announcement(10, 2) +
                  "WDT0: no news from --heartbeat=/run/app for 12 seconds: refreshes stop, and the watchdog resets the "
                  "machine in about 10 seconds!\r\n"
                  "WDT0: news from --heartbeat=/run/app again: refreshes go on.\r\n");
    EXPECT_EQ(refresh_times(), (std::vector<int64_t>{3000, 5000, 7000, 9000, 11000, 13000, 15000, 21000}));
}

// Whatever the grace and the period, and however late the slots come, refreshes never stop before
// the whole grace has passed since the news was last seen, and stop within two periods (and the
// lateness) after that: with T10 L3 and a grace of 4 s, a heartbeat touched every 3.5 s keeps them
// going; one that falls silent stops them. Each look-up is asked for at a slot and taken in at
// the next, so a grace counts up to when the last look-up read the file.
TEST_F(Guards, TheGraceIsNeverCutShort) {
    fake::World& world = fake::world();
    for (int64_t touch = 1000; touch < 200000; touch += 3500) world.touched["/run/app"].push_back({touch, touch + 1});
    world.rounds = 61;  // a glance, then 60 slots
    EXPECT_EQ(fake::run({"W0", "T10", "L3", "--grace=4", "--heartbeat=/run/app"}), fake::kKilled);
    EXPECT_EQ(world.output, "System will be reset after 10 seconds.\n" + announcement(10, 3));
    EXPECT_EQ(refresh_times().size(), 60u);

    const struct {
        std::vector<std::string> arguments;
        int64_t grace_ms, period_ms;
        std::vector<int64_t> late_by_ms;  // per wait, the glance after the start first
    } cases[] = {
        {{"W0", "T10", "L3", "--grace=4"}, 4000, 3000, {}},
        {{"W0", "T45", "L10"}, 45000, 10000, {}},  // a grace of four and a half periods
        {{"W0", "T45", "L10"}, 45000, 10000, {0, 0, 1, 0, 0, 0, 0, 0}},
        {{"W0", "T20", "L10", "--grace=12"}, 12000, 10000, {0, 0, 0, 2500, 0, 0}},
        {{"W0", "T9", "L2", "--grace=6"}, 6000, 2000, {0, 700, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1900, 300}},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::World& w = fake::world();
        w.touched["/run/app"] = {{0, 25000}};  // touched without pause until 25 s, then never again
        w.late_by_ms = c.late_by_ms;
        w.rounds = 21;
        std::vector<std::string> arguments = c.arguments;
        arguments.push_back("--heartbeat=/run/app");
        fake::run(arguments);
        // The glance and the slots as they came; a look-up is asked for at the announcement (1 s), at
        // the glance and at each slot.
        std::vector<int64_t> slots;
        int64_t now = 1000, lateness = 0;
        for (size_t k = 0; k < w.wait_deadlines.size(); ++k) {
            const int64_t late = k < c.late_by_ms.size() ? c.late_by_ms[k] : 0;
            now = std::max(now, w.wait_deadlines[k]) + late;
            slots.push_back(now);
            lateness += late;
        }
        // The look-up that read the file's last time, 24.999 s, is the one asked for at the first
        // slot at or after it.
        const int64_t last_news = *std::lower_bound(slots.begin(), slots.end(), 24999);
        const std::vector<int64_t> refreshes = refresh_times();
        ASSERT_FALSE(refreshes.empty());
        const int64_t stopped = *std::upper_bound(slots.begin(), slots.end(), refreshes.back());
        const std::string line = arguments[1] + " " + arguments[2] + " " + arguments[3];
        EXPECT_GE(stopped - last_news, c.grace_ms) << line;
        EXPECT_LE(stopped - last_news, c.grace_ms + 2 * c.period_ms + lateness) << line;
        EXPECT_EQ(std::count(refreshes.begin(), refreshes.end(), stopped), 0) << line;
        EXPECT_NE(w.output.find("refreshes stop"), std::string::npos) << line;
    }
    // Exactly, for one of them: the news last read at 25 s, the look-up at 31 s is the first a
    // grace later, and the slot after it, at 34 s, refreshes no more.
    fake::reset();
    fake::world().touched["/run/app"] = {{0, 25000}};
    fake::world().rounds = 13;
    fake::run({"W0", "T10", "L3", "--grace=4", "--heartbeat=/run/app"});
    EXPECT_EQ(refresh_times().back(), 31000);
}

// News is a change that was really read: look-ups that fail, find no file, or never answer, bring
// none and are said once each, and the one after them is compared with the last time read, not
// with them: a file that comes and goes with the same old time is no news. A heartbeat that is
// missing at the start, and a check whose command is not found, are said at once (at the glance
// half a second after the start), not a period later, nor only when their grace runs out.
TEST_F(Guards, OnlyWhatIsReallyReadIsNews) {
    fake::World& world = fake::world();
    for (const char* old : {"/mnt/old", "/mnt/gone"}) world.touched[old] = {{0, 1}};  // never touched again
    for (int64_t t = 4000; t < 40000; t += 4000) {
        world.unreadable["/mnt/old"].push_back({t, t + 2000});
        world.missing["/mnt/gone"].push_back({t, t + 2000});
    }
    world.rounds = 12;
    EXPECT_EQ(fake::run({"W0", "T10", "L2", "--heartbeat=/mnt/old", "--heartbeat=/mnt/gone"}), fake::kKilled);
    EXPECT_EQ(world.output, "System will be reset after 10 seconds.\n" + announcement(10, 2) +
                                "WDT0: --heartbeat=/mnt/old cannot be read: Input/output error: no news from it until it can.\r\n"
                                "WDT0: --heartbeat=/mnt/gone does not exist: no news from it until it does.\r\n"
                                "WDT0: no news from --heartbeat=/mnt/old for 12 seconds: refreshes stop, and the watchdog "
                                "resets the machine in about 10 seconds!\r\n"
                                "WDT0: no news from --heartbeat=/mnt/gone for 12 seconds: refreshes stop, and the watchdog "
                                "resets the machine in about 10 seconds!\r\n");
    // Each message ranks as it is made, whatever its words: the reason "Input/output error" leaves the
    // look-up's line a warning.
    using wdt::Severity;
    std::vector<Severity> ranks;
    for (const auto& [severity, text] : world.severities) ranks.push_back(severity);
    EXPECT_EQ(ranks, (std::vector<Severity>{Severity::info, Severity::info, Severity::warning, Severity::warning,
                                            Severity::error, Severity::error}));

    fake::reset();
    fake::World& again = fake::world();
    again.hung = {"/mnt/hung"};
    again.commands = {{"nothere", {100, false, true}}};
    again.rounds = 9;
    EXPECT_EQ(fake::run({"W1", "L2", "--grace=10", "--heartbeat=/mnt/hung", "--heartbeat=/run/none", "--check=nothere"}), fake::kKilled);
    EXPECT_EQ(again.output, announcement(5, 2) +
                                "WDT1: --heartbeat=/run/none does not exist: no news from it until it does.\r\n"
                                "WDT1: --check=nothere: the command was not found or cannot be run: no news from it.\r\n"
                                "WDT1: --heartbeat=/mnt/hung: the file system has not answered for 2 seconds: no news "
                                "from it meanwhile.\r\n"
                                "WDT1: no news from --heartbeat=/mnt/hung for 10 seconds: refreshes stop, and the watchdog "
                                "resets the machine in about 5 seconds!\r\n"
                                "WDT1: no news from --check=nothere for 10 seconds: refreshes stop, and the watchdog "
                                "resets the machine in about 5 seconds!\r\n"
                                "WDT1: no news from --heartbeat=/run/none for 12 seconds: refreshes stop, and the watchdog "
                                "resets the machine in about 5 seconds!\r\n");
    EXPECT_EQ(refresh_times().size(), 4u);
    ASSERT_GE(again.wait_deadlines.size(), 2u);
    EXPECT_EQ(again.wait_deadlines[0], 1500);
    EXPECT_EQ(again.output.substr(0, again.output_at_wait[1]).find("the file system has not answered"), std::string::npos);
    EXPECT_NE(again.output.substr(0, again.output_at_wait[1]).find("--check=nothere: the command was not found"), std::string::npos);
}

// The repair starts after the slot's refresh, as checks do, as a repair (what it starts in a session
// of its own outlives it); what checks left outside their groups is ended at every slot, and
// everything at a stop. A system that lists no children is said once.
TEST_F(Guards, RepairsFollowTheRefreshAndNothingOutlivesAStop) {
    fake::World& world = fake::world();
    world.children_listed = false;
    world.commands = {{"hang", {-1, true}}, {"fix", {-1, true}}};
    world.driver_call_ms = 30;
    world.rounds = 7;
    world.stop_at_round = 7;
    EXPECT_EQ(fake::run({"W0", "T9", "L2", "--grace=4", "--check=hang", "--repair=fix"}, true), 0);
    const fake::Process* repair = nullptr;
    for (const fake::Process& p : world.processes) repair = p.command == "fix" ? &p : repair;
    ASSERT_NE(repair, nullptr);
    const auto refresh_before = std::find_if(world.calls.begin(), world.calls.end(), [&](const fake::DriverCall& c) {
        return c.entry == "ResetWDT0" && c.at_ms <= repair->started_ms && repair->started_ms < c.at_ms + 100;
    });
    EXPECT_NE(refresh_before, world.calls.end()) << repair->started_ms;
    for (const fake::Process& p : world.processes) {
        EXPECT_EQ(p.role, p.command == "fix" ? wdt::ChildRole::repair : wdt::ChildRole::check) << p.command;
    }
    const std::string unlisted = "WDT0: the kernel lists no process's children here (no /proc/PID/task/TID/children): what "
                                 "checks leave behind is looked for among all processes.\r\n";
    EXPECT_EQ(world.output.find(unlisted), world.output.rfind(unlisted));
    EXPECT_NE(world.output.find(unlisted), std::string::npos) << world.output;
    ASSERT_FALSE(world.strays_ended.empty());
    EXPECT_TRUE(world.strays_ended.back());
    EXPECT_EQ(std::count(world.strays_ended.begin(), world.strays_ended.end(), false), 7);
}

// After the machine slept the guards start again, none silent: the record says the keep-alive
// runs, and the next silence is said again.
TEST_F(Guards, ASleepEndsTheSilence) {
    fake::World& world = fake::world();
    world.commands = {{"hang", {-1, true}}};
    world.wakes = {{4, wdt::Wake::suspending}, {5, wdt::Wake::resumed}};
    world.rounds = 12;
    fake::run({"W0", "L1", "--grace=3", "--check=hang"}, true);
    const std::string stop = "WDT0: no news from --check=hang for 3 seconds: refreshes stop";
    const size_t first = world.output.find(stop);
    ASSERT_NE(first, std::string::npos) << world.output;
    EXPECT_NE(world.output.find(stop, first + 1), std::string::npos) << world.output;
    EXPECT_EQ(world.record_states, (std::vector<std::string>{"running", "silent", "running", "silent"}));
}

// A check that exits 0 is news at the next slot; one that fails is not, and neither is one that
// hangs: that one is ended once it has run for the grace, and never started again while it runs.
// The repair runs once, and gives one more grace; a stop ends everything still running.
TEST_F(Guards, ChecksAreNeverWaitedForAndAStopEndsThem) {
    fake::World& world = fake::world();
    world.commands = {{"ok", {100, true}}, {"bad", {100, false}}, {"hang", {-1, true}}, {"fix", {-1, true}}};
    world.rounds = 20;
    world.stop_at_round = 8;  // at the wait that follows the slot at 15 s (the first is the glance)
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
    fake::world().rounds = 6;
    EXPECT_EQ(fake::run({"W1", "L2", "--grace=5", "--check=bad"}), fake::kKilled);
    EXPECT_EQ(refresh_times(), (std::vector<int64_t>{3000, 5000}));
}

}  // namespace

// From a shutdown's first notice (Windows' preshutdown) the application's silence no longer stops
// the refreshes: sessions have logged off, and updates may be installed for many minutes. The stop
// that follows disarms as ever.
TEST_F(Guards, AShutdownLetsTheRefreshesGoOnUntilTheStop) {
    fake::World& world = fake::world();
    world.touched["/run/app"] = {{0, 5000}};  // silent from 5 s on
    world.wakes = {{10, wdt::Wake::shutting_down}};  // during the wait for the slot at 21 s (after the glance)
    world.rounds = 20;
    world.stop_at_round = 13;
    EXPECT_EQ(fake::run({"W0", "T10", "L2", "--heartbeat=/run/app"}, true), 0);
    EXPECT_EQ(world.output, "WDT0: no record of an earlier run.\r\nSystem will be reset after 10 seconds.\n" +
                                announcement(10, 2) +
                                "WDT0: no news from --heartbeat=/run/app for 12 seconds: refreshes stop, and the watchdog "
                                "resets the machine in about 10 seconds!\r\n"
                                "WDT0: the machine is shutting down: the guards no longer hold the refreshes back.\r\n"
                                "WDT0 has already been disabled!\r\n");
    EXPECT_EQ(refresh_times(), (std::vector<int64_t>{3000, 5000, 7000, 9000, 11000, 13000, 15000, 21000, 23000}));
    EXPECT_EQ(world.calls.back(), fake::disable(0));
    EXPECT_EQ(world.record_states, (std::vector<std::string>{"running", "silent", "running", "stopped"}));
}
