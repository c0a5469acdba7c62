#include <gtest/gtest.h>

#include "tests/support/fake_host.h"

namespace {

using Calls = std::vector<fake::DriverCall>;

const std::string kArmed = "Drill: WDT0 is armed for 5 seconds and is not refreshed: the machine should reset in about "
                           "5 seconds (waiting up to 15 s; Ctrl-C cancels and disarms).\r\n";

class Drill : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_F(Drill, IsRefusedBesideAnythingElseBeforeTheLibraryIsLoaded) {
    const std::string refused = "Drill Parameter error: --drill takes one W0 or W1 and at most one T, from a console, and "
                                "nothing else!\r\n";
    const std::vector<std::vector<std::string>> lines = {
        {"--drill", "W0", "D"}, {"--drill", "W0", "R"}, {"--drill", "W0", "L2"}, {"--drill", "W0", "--check=true"},
        {"--drill", "W0", "--status"}, {"--drill", "W0", "T5", "T6"}, {"--drill", "W0", "30"}, {"--drill", "W0", "Y30"},
        {"--drill", "W0", "T5", "W1"}};
    for (const auto& line : lines) {
        fake::reset();
        EXPECT_EQ(fake::run(line), 1) << line.back();
        EXPECT_EQ(fake::world().output, refused) << line.back();
        EXPECT_EQ(fake::world().library_loads, 0) << line.back();
    }
    fake::reset();
    EXPECT_EQ(fake::run({"--drill", "W0", "T5"}, true), 1);  // as a service
    EXPECT_EQ(fake::world().output, refused);
    fake::reset();
    EXPECT_EQ(fake::run({"--drill", "W0", "T513"}), 1);
    EXPECT_EQ(fake::world().output, "Time Parameter error!\r\n");
    EXPECT_EQ(fake::world().library_loads, 0);
}

// The drill is on disk before it arms; it never refreshes; with the machine still running twice
// the timeout and ten seconds at least after the arm, it disarms, says so and records it.
TEST_F(Drill, ThatIsNotAnsweredByAResetFailsAndDisarms) {
    fake::World& world = fake::world();
    world.rounds = 100;
    EXPECT_EQ(fake::run({"--drill", "W0", "T5"}), 1);
    EXPECT_EQ(world.output, kArmed + "WDT0 has already been disabled!\r\n"
                                     "Drill error: WDT0 did not reset the machine within 15 seconds of the arm; see DRILL in "
                                     "the manual for the usual causes!\r\n"
                                     "WDT0 is not kept alive now: start its keep-alive again (systemctl start wdtctl).\r\n");
    EXPECT_EQ(world.calls, (Calls{fake::set(0, 5000), fake::disable(0)}));
    EXPECT_EQ(world.calls.back().at_ms - world.calls.front().at_ms, 15000);
    EXPECT_EQ(world.record_states, (std::vector<std::string>{"drill", "drill"}));
    EXPECT_NE(world.records[0].find("\nDrill timeout: 5\nDrill boot: boot-1\nDrill result: failed, no reset within 15 s\n"),
              std::string::npos) << world.records[0];
    EXPECT_EQ(world.stop_requests_taken, 1);

    // A long timeout waits twice as long.
    fake::reset();
    fake::world().rounds = 1000;
    fake::run({"--drill", "W1", "T60"});
    EXPECT_EQ(fake::world().calls.back().at_ms - fake::world().calls.front().at_ms, 120000);
}

TEST_F(Drill, IsCancelledByAStopRequestAndCountsDownOnATerminal) {
    fake::World& world = fake::world();
    world.terminal = true;
    world.rounds = 100;
    world.stop_at_round = 2;
    EXPECT_EQ(fake::run({"--drill", "W0"}), 1);
    EXPECT_EQ(world.output, kArmed +
                                "\rDrill: the machine should reset in 5 s (waiting up to 15 s); Ctrl-C cancels. "
                                "\rDrill: the machine should reset in 4 s (waiting up to 14 s); Ctrl-C cancels. "
                                "\rDrill: the machine should reset in 3 s (waiting up to 13 s); Ctrl-C cancels. \r\n"
                                "WDT0 has already been disabled!\r\n"
                                "WDT0 is not kept alive now: start its keep-alive again (systemctl start wdtctl).\r\n");
    EXPECT_EQ(world.calls, (Calls{fake::set(0, 5000), fake::disable(0)}));
    EXPECT_NE(world.records[0].find("\nDrill result: cancelled\n"), std::string::npos);
}

// Beside a keep-alive of the watchdog, or when the drill cannot be recorded, nothing is armed.
TEST_F(Drill, IsRefusedBesideAKeepAliveOrWithoutARecord) {
    fake::World& world = fake::world();
    world.rounds = 2;
    fake::run({"W0", "T5", "L2"}, true);
    const std::string record = world.records[0];
    fake::reset();
    fake::world().records[0] = record;
    fake::world().pid = 5151;
    fake::world().processes_running = {{4242, 777}, {5151, 888}};
    EXPECT_EQ(fake::run({"--drill", "W0"}), 1);
    EXPECT_EQ(fake::world().output, "WDT0: a keep-alive (pid 4242, started 2026-11-30 00:53:20 UTC) still runs for this "
                                    "watchdog: this start is refused; stop it first (systemctl stop wdtctl).\r\n");
    EXPECT_TRUE(fake::world().calls.empty());
    EXPECT_EQ(fake::world().records[0], record);

    // Beside a console loop, which keeps no record but holds the watchdog's lock: not even loaded.
    fake::reset();
    fake::world().locked_elsewhere = {0};
    fake::world().keepers[0] = "Kind: console\nPid: 777\nProcess start: 1\nBoot: boot-1\n";
    EXPECT_EQ(fake::run({"--drill", "W0"}), 1);
    EXPECT_EQ(fake::world().output, "WDT0: a keep-alive (console, pid 777) keeps this watchdog: this drill is refused, and "
                                    "nothing was done; stop it first (Ctrl-C in its console, or kill 777).\r\n");
    EXPECT_EQ(fake::world().library_loads, 0);

    // A watchdog that runs already, or that another process holds, is never taken over.
    const std::pair<std::string, std::string> running[] = {
        {"State: active\nHeld by: nobody\n", "WDT0 runs already (the firmware, or a command before, armed it): a drill "
                                              "would disarm it at its end; this drill is refused, and nothing was done "
                                              "(disarm it first with W0 D if that is meant)!\r\n"},
        {"State: unknown\nHeld by: pid 99 (keeper)\n", "WDT0 is held by pid 99 (keeper): a drill would take it over and "
                                                       "disarm it at its end; this drill is refused, and nothing was done!\r\n"}};
    for (const auto& [description, said] : running) {
        fake::reset();
        fake::world().description = description;
        EXPECT_EQ(fake::run({"--drill", "W0"}), 1);
        EXPECT_EQ(fake::world().output, said);
        EXPECT_TRUE(fake::world().calls.empty());
        EXPECT_EQ(fake::world().record_writes, 0);
    }

    fake::reset();
    fake::world().records_writable = false;
    EXPECT_EQ(fake::run({"--drill", "W1"}), 1);
    EXPECT_EQ(fake::world().output, "Drill error: the drill cannot be kept in the record of WDT1, so its result could not be "
                                    "told after the reset; nothing was armed!\r\n");
    EXPECT_TRUE(fake::world().calls.empty());
}

// The machine restarted during the drill: the next start of the service says so, with how long
// after the arm (this boot's start against the recorded arm) and what the driver says; a status
// shows it as the last drill, also after the service's own record writes.
TEST_F(Drill, AResetIsNamedByTheNextStartAndTheStatus) {
    fake::World& world = fake::world();
    world.rounds = 3;  // the machine resets meanwhile: the process ends
    fake::run({"--drill", "W0", "T5"});
    const std::string record = world.records[0];
    fake::reset();
    fake::World& next = fake::world();
    next.records[0] = record;
    next.boot = "boot-2";
    next.booted_at_s = 1796000007;  // the drill armed at 1796000000
    next.description = "Boot status: card reset\n";
    next.rounds = 1;
    next.stop_at_round = 1;
    fake::run({"W0", "L2"}, true);
    const std::string said = "WDT0: the previous run was a drill at 2026-11-30 00:53:20 UTC, T5: the machine restarted about "
                             "7 s after the drill armed the watchdog; the driver reports a reset by the watchdog.\r\n";
    EXPECT_EQ(next.output.substr(0, said.size()), said);
    const std::string kept = next.records[0];
    EXPECT_NE(kept.find("\nState: stopped\n"), std::string::npos);
    fake::reset();
    fake::world().records[0] = kept;
    fake::world().boot = "boot-2";
    EXPECT_EQ(fake::run({"--status", "W0"}), 0);
    EXPECT_NE(fake::world().output.find("\nLast drill: 2026-11-30 00:53:20 UTC, T5: the machine restarted about 7 s after "
                                        "the drill armed the watchdog; the driver reports a reset by the watchdog\n"),
              std::string::npos) << fake::world().output;
}

}  // namespace
