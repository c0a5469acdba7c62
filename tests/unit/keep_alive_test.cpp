#include <gtest/gtest.h>

#include "tests/support/fake_host.h"

namespace {

using fake::reset_entry;
using fake::set;
using Calls = std::vector<fake::DriverCall>;

std::string announcement(int timer, int period) {
    return "Entering endless loop: Timer for reboot " + std::to_string(timer) + " seconds. Refresh each " +
           std::to_string(period) + " seconds.\r\n";
}
const std::string kOrderError = "Time Parameter error: time for loop reset must be smaller then timer time!\r\n";
const std::string kPeriodError = "Loop Time Parameter error!\r\n";

class KeepAlive : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    static std::vector<int64_t> call_times() {
        std::vector<int64_t> times;
        for (const fake::DriverCall& call : fake::world().calls) times.push_back(call.at_ms);
        return times;
    }
};

TEST_F(KeepAlive, RefusalsPrintOneMessageAndRefreshNothing) {
    const struct {
        std::vector<std::string> arguments;
        std::string output;
        Calls calls;
    } cases[] = {
        {{"W0", "T4", "L4"}, "System will be reset after 4 seconds.\n" + kOrderError, {set(0, 4000)}},
        {{"W0", "L5"}, kOrderError, {}},
        {{"W0", "L9999999999"}, kOrderError, {}},
        {{"W0", "T5", "L2", "L6"}, "System will be reset after 5 seconds.\n" + kOrderError, {set(0, 5000)}},
        {{"W1", "L"}, kPeriodError, {}},
        {{"W1", "L0"}, kPeriodError, {}},
        {{"W1", "L-3"}, kPeriodError, {}},
        {{"W1", "L-99999999999"}, kPeriodError, {}},
        {{"W0", "T3", "Lx", "R"}, "System will be reset after 3 seconds.\nWDT0 has already been reseted!\r\n" + kPeriodError,
         {set(0, 3000), reset_entry(0)}},
    };
    for (const auto& c : cases) {
        fake::reset();
        EXPECT_EQ(fake::run(c.arguments), 1) << c.arguments[1];
        EXPECT_EQ(fake::world().output, c.output) << c.arguments[1];
        EXPECT_EQ(fake::world().calls, c.calls) << c.arguments[1];
        EXPECT_TRUE(fake::world().wait_deadlines.empty()) << c.arguments[1];
        EXPECT_EQ(fake::world().memory_holds, 0) << c.arguments[1];
    }
}

TEST_F(KeepAlive, RefreshesOnSchedule) {
    const struct {
        std::vector<std::string> arguments;
        std::string output;
        Calls calls;  // the first three refreshes
        int period_ms;
    } cases[] = {
        {{"W0", "T5", "L2"}, "System will be reset after 5 seconds.\n" + announcement(5, 2),
         {set(0, 5000), reset_entry(0), reset_entry(0), reset_entry(0)}, 2000},
        {{"W1", "L2"}, announcement(5, 2), {reset_entry(1), reset_entry(1), reset_entry(1)}, 2000},
        {{"W0", "T3", "L2"}, "System will be reset after 3 seconds.\n" + announcement(3, 2),
         {set(0, 3000), reset_entry(0), reset_entry(0), reset_entry(0)}, 2000},
        {{"W0", "T5", "L2", "L4"}, "System will be reset after 5 seconds.\n" + announcement(5, 4),
         {set(0, 5000), reset_entry(0), reset_entry(0), reset_entry(0)}, 4000},
        {{"l4", "w1", "t512", "L511"}, "System will be reset after 512 seconds.\n" + announcement(512, 511),
         {set(1, 512000), reset_entry(1), reset_entry(1), reset_entry(1)}, 511000},
        {{"W0", "L2", "D"}, "WDT0 has already been disabled!\r\n" + announcement(5, 2),
         {fake::disable(0), reset_entry(0), reset_entry(0), reset_entry(0)}, 2000},
    };
    for (const auto& c : cases) {
        fake::reset();
        const int64_t start = fake::world().now_ms;
        EXPECT_EQ(fake::run(c.arguments), fake::kKilled);
        EXPECT_EQ(fake::world().output, c.output);
        EXPECT_EQ(fake::world().calls, c.calls);
        const std::vector<int64_t> expected = {start + c.period_ms, start + 2 * c.period_ms, start + 3 * c.period_ms,
                                               start + 4 * c.period_ms};
        EXPECT_EQ(fake::world().wait_deadlines, expected);
    }
}

TEST_F(KeepAlive, EverythingIsFlushedAndMemoryHeldOnceBeforeTheFirstWait) {
    fake::run({"W0", "T5", "L2"});
    ASSERT_FALSE(fake::world().flushed_at_wait.empty());
    EXPECT_EQ(fake::world().flushed_at_wait[0], fake::world().output.size());
    EXPECT_EQ(fake::world().holds_at_wait, std::vector<int>(fake::world().holds_at_wait.size(), 1));
}

TEST_F(KeepAlive, SlowDriverCallsDoNotAddUp) {
    fake::world().driver_call_ms = 40;
    fake::world().rounds = 100;
    fake::run({"W0", "L2"});
    const std::vector<int64_t>& deadlines = fake::world().wait_deadlines;
    ASSERT_EQ(deadlines.size(), 101u);
    for (size_t k = 0; k < deadlines.size(); ++k) EXPECT_EQ(deadlines[k], 1000 + 2000 * int64_t(k + 1));
}

TEST_F(KeepAlive, LateWakeWithinAPeriodKeepsTheSchedule) {
    fake::world().late_by_ms = {0, 1500, 0};
    fake::run({"W0", "L2"});
    EXPECT_EQ(call_times(), (std::vector<int64_t>{3000, 6500, 7000}));
    EXPECT_EQ(fake::world().wait_deadlines, (std::vector<int64_t>{3000, 5000, 7000, 9000}));
}

TEST_F(KeepAlive, HeldUpPastDueTimesRefreshesOnceThenStartsAgain) {
    // Suspended for three and a half periods after the first refresh was due.
    fake::world().late_by_ms = {0, 7000, 0, 0};
    fake::world().rounds = 4;
    fake::run({"W0", "L2"});
    EXPECT_EQ(call_times(), (std::vector<int64_t>{3000, 12000, 14000, 16000}));
    EXPECT_EQ(fake::world().wait_deadlines, (std::vector<int64_t>{3000, 5000, 14000, 16000, 18000}));
}

TEST_F(KeepAlive, DriverCallLongerThanAPeriodCausesNoBurst) {
    fake::world().driver_call_ms = 4500;
    fake::world().rounds = 3;
    fake::run({"W0", "L2"});
    EXPECT_EQ(call_times(), (std::vector<int64_t>{3000, 9500, 16000}));
}

TEST_F(KeepAlive, FailedRefreshesNeverEndTheLoopAndAreSaidOnce) {
    fake::world().rounds = 6;
    fake::world().failing_calls = {2, 3, 4};  // the second to fourth refresh
    EXPECT_EQ(fake::run({"W0", "T5", "L2"}), fake::kKilled);
    Calls expected(7, reset_entry(0));
    expected[0] = set(0, 5000);
    EXPECT_EQ(fake::world().calls, expected);
    EXPECT_EQ(fake::world().output, "System will be reset after 5 seconds.\n" + announcement(5, 2) +
                                        "WDT0 could not be reset! Trying again every 2 seconds.\r\n"
                                        "WDT0 is reset again.\r\n");
}

TEST_F(KeepAlive, StopWhoseDisableFailsEndsWithStatus1) {
    fake::world().stop_at_round = 1;
    fake::world().failing_entries = {"DisableWDT1"};
    EXPECT_EQ(fake::run({"W1", "T5", "L2"}), 1);
    EXPECT_EQ(fake::world().output,
              "System will be reset after 5 seconds.\n" + announcement(5, 2) + "WDT1 could not be disabled!\r\n");
}

TEST_F(KeepAlive, StopRequestEndsTheLoopAndDisarms) {
    fake::world().stop_at_round = 2;
    EXPECT_EQ(fake::run({"W1", "T5", "L2"}), 0);
    EXPECT_EQ(fake::world().calls, (Calls{set(1, 5000), reset_entry(1), reset_entry(1), fake::disable(1)}));
    EXPECT_EQ(fake::world().output,
              "System will be reset after 5 seconds.\n" + announcement(5, 2) + "WDT1 has already been disabled!\r\n");
    EXPECT_EQ(fake::world().wait_deadlines.size(), 3u);
    // The record's lock goes after the disable, before the process ends.
    EXPECT_EQ(fake::world().unlocked, (std::vector<std::pair<unsigned, size_t>>{{1, 4}}));
}

}  // namespace

namespace {

TEST(KeepAliveAcrossSleep, DisarmsBeforeTheMachineSleepsAndArmsAgainWhenItWakes) {
    using wdt::Wake;
    const std::string armed = "System will be reset after 5 seconds.\n";
    const std::string disabled = "WDT0 has already been disabled!\r\n";
    const std::string kNoRecord = "WDT0: no record of an earlier run.\r\n";  // as a service
    const struct {
        std::vector<std::string> arguments;
        std::map<int, Wake> wakes;
        std::string output;
        Calls calls;
    } cases[] = {
        // Armed by this run: disarmed before sleep (however many waits the sleep takes), armed
        // again on waking, and refreshed a full period after that.
        {{"W0", "T5", "L2"}, {{1, Wake::suspending}, {2, Wake::due}, {3, Wake::resumed}},
         kNoRecord + armed + announcement(5, 2) + disabled + armed,
         {set(0, 5000), reset_entry(0), fake::disable(0), set(0, 5000), reset_entry(0)}},
        // Not armed by this run: left as it is.
        {{"W0", "L2"}, {{0, Wake::suspending}, {1, Wake::resumed}}, kNoRecord + announcement(5, 2),
         {reset_entry(0), reset_entry(0), reset_entry(0)}},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().wakes = c.wakes;
        fake::world().rounds = 5;
        fake::run(c.arguments, true);
        EXPECT_EQ(fake::world().output, c.output) << c.arguments[1];
        EXPECT_EQ(fake::world().calls, c.calls) << c.arguments[1];
    }
}

}  // namespace

namespace {

// With --metrics=DIR the keep-alive hands its metrics over at its start, at a change, at least once
// a minute and at its stop, in the text format, every label value escaped.
TEST(KeepAliveMetrics, AreHandedOverWithEveryChangeAndEachMinute) {
    fake::reset();
    fake::World& world = fake::world();
    world.rounds = 40;
    world.stop_at_round = 36;  // 70 s (the first wait is the glance at the guards)
    world.library_path = "/opt/a\"b\\c\nd\xff\xe0\x80\xaf.dll";  // a stray byte, an overlong "/"
    world.touched["/run/app"] = {{0, 1000000}};
    EXPECT_EQ(fake::run({"W0", "T10", "L2", "--heartbeat=/run/app", "--metrics=/m"}, true), 0);
    EXPECT_EQ(world.metrics_writes, 3);  // the start, a minute later, the stop
    const std::string& text = world.metrics[0];
    for (const std::string line :
         {"wdtctl_keepalive_running{watchdog=\"0\"} 0\n", "# TYPE wdtctl_refreshes_total counter\n",
          "wdtctl_refreshes_total{watchdog=\"0\"} 35\n", "wdtctl_timeout_seconds{watchdog=\"0\"} 10\n",
          "wdtctl_refresh_period_seconds{watchdog=\"0\"} 2\n", "wdtctl_refresh_held_back{watchdog=\"0\"} 0\n",
          "wdtctl_guard_healthy{watchdog=\"0\",guard=\"--heartbeat=/run/app\"} 1\n",
          "wdtctl_previous_run_info{watchdog=\"0\",reason=\"none\"} 1\n",
          ",driver=\"unknown\",library=\"/opt/a\\\"b\\\\c\\nd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd.dll\"} 1\n",
          "wdtctl_keepalive_start_time_seconds{watchdog=\"0\"} 1796000000\n",
          "wdtctl_last_refresh_timestamp_seconds{watchdog=\"0\"} 1796000070\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);

    // A folder that cannot take them is said once, and the keep-alive goes on.
    fake::reset();
    fake::world().metrics_problem = "/m may be written by others than root";
    fake::world().rounds = 3;
    fake::run({"W0", "L2", "--metrics=/m"});
    EXPECT_EQ(fake::world().output, announcement(5, 2) + "WDT0: the metrics cannot be written (/m may be written by others "
                                                         "than root): the keep-alive goes on without them.\r\n");
    EXPECT_EQ(fake::world().calls.size(), 3u);

    // A keep-alive whose refreshes all fail shows the arm as its last refresh, which then stops
    // moving: an alert on its age fires.
    fake::reset();
    fake::world().failing_entries = {"ResetWDT0"};
    fake::world().rounds = 3;
    fake::run({"W0", "L2", "--metrics=/m"});
    EXPECT_NE(fake::world().metrics[0].find("wdtctl_last_refresh_timestamp_seconds{watchdog=\"0\"} 1796000000\n"),
              std::string::npos) << fake::world().metrics[0];
    EXPECT_NE(fake::world().metrics[0].find("wdtctl_refreshes_total{watchdog=\"0\"} 0\n"), std::string::npos);
}

}  // namespace
