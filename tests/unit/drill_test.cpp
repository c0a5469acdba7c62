#include <gtest/gtest.h>

#include <algorithm>

#include "command_line/drills.h"
#include "tests/support/fake_host.h"

namespace {

using Calls = std::vector<fake::DriverCall>;

const std::string kReport = "Drill of WDT0 on plant-7 (Maker Box 3000, serial S-1), by root, at 2026-11-30 00:53:20 UTC: "
                            "driver unknown, unknown (SHA-256 unknown).\r\n";
std::string armed(int t, int waiting) {
    return "Drill: WDT0 is armed for " + std::to_string(t) + " seconds and is not refreshed: the machine should reset in about " +
           std::to_string(t) + " seconds (waiting up to " + std::to_string(waiting) + " s; Ctrl-C cancels and disarms).\r\n";
}
const std::string kUnguarded = "WDT0 is not kept alive now: start its keep-alive again (systemctl start wdtctl).\r\n";

// The drills' lines of the record last handed over.
std::vector<std::string> drill_lines(unsigned n = 0) {
    std::vector<std::string> lines;
    const std::string& record = fake::world().handed[n];
    for (size_t at = record.find("\nDrill: "); at != std::string::npos; at = record.find("\nDrill: ", at + 1)) {
        lines.push_back(record.substr(at + 1, record.find('\n', at + 1) - at - 1));
    }
    return lines;
}
bool has(const std::string& line, const std::string& field) { return line.find(field) != std::string::npos; }

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

// The report, then the drill on disk before it arms; a mark of life each second; with the machine
// still running twice the timeout (ten seconds more at least) after the arm, it disarms, says so,
// records it, and ends with 1.
TEST_F(Drill, ThatIsNotAnsweredByAResetFailsAndDisarms) {
    fake::World& world = fake::world();
    world.rounds = 100;
    world.library_path = "/opt/WDT.dll";
    world.files["/opt/WDT.dll"] = "abc";
    world.description = "Driver: Board timer\nNowayout: no\n";
    EXPECT_EQ(fake::run({"--drill", "W0", "T5"}), 1);
    EXPECT_EQ(world.output, "Drill of WDT0 on plant-7 (Maker Box 3000, serial S-1), by root, at 2026-11-30 00:53:20 UTC: "
                            "driver Board timer, /opt/WDT.dll (SHA-256 "
                            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad).\r\n" +
                                armed(5, 15) + "WDT0 has already been disabled!\r\n"
                                "Drill error: WDT0 did not reset the machine within 15 seconds of the arm; see DRILL in "
                                "the manual for the usual causes!\r\n" + kUnguarded);
    EXPECT_EQ(world.calls, (Calls{fake::set(0, 5000), fake::disable(0)}));
    EXPECT_EQ(world.calls.back().at_ms - world.calls.front().at_ms, 15000);
    // Written before the arm, at the arm, at each of the 14 marks before the end, and at the end.
    EXPECT_EQ(world.record_states, std::vector<std::string>(17, "drill"));
    const auto lines = drill_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(has(lines[0], "\tasked=5\tset=0\tnowayout=no\tby=root\thost=plant-7\t")) << lines[0];
    EXPECT_TRUE(has(lines[0], "\talive=15\tlag=0\tresult=failed\t")) << lines[0];
    EXPECT_TRUE(has(lines[0], "\ttext=failed: no reset within 15 s of a T5 arm")) << lines[0];
}

// A cancel says so before the disarm (exit 2); a disarm that fails says the watchdog is still armed
// (exit 3), and the record keeps it.
TEST_F(Drill, ACancelDisarmsAndADisarmThatFailsIsSaid) {
    fake::World& world = fake::world();
    world.terminal = true;
    world.rounds = 100;
    world.stop_at_round = 2;
    EXPECT_EQ(fake::run({"--drill", "W0"}), 2);
    EXPECT_EQ(world.output, kReport + armed(5, 15) +
                                "\rDrill: the machine should reset in 5 s (waiting up to 15 s); Ctrl-C cancels. "
                                "\rDrill: the machine should reset in 4 s (waiting up to 14 s); Ctrl-C cancels. "
                                "\rDrill: the machine should reset in 3 s (waiting up to 13 s); Ctrl-C cancels. \r\n"
                                "Drill: cancelled.\r\nWDT0 has already been disabled!\r\n" + kUnguarded);
    EXPECT_EQ(world.calls, (Calls{fake::set(0, 5000), fake::disable(0)}));
    EXPECT_TRUE(has(drill_lines()[0], "\tresult=cancelled\t")) << drill_lines()[0];

    fake::reset();
    fake::world().rounds = 100;
    fake::world().stop_at_round = 1;
    fake::world().failing_entries = {"DisableWDT0"};
    EXPECT_EQ(fake::run({"--drill", "W0"}), 3);
    EXPECT_EQ(fake::world().output, kReport + armed(5, 15) + "Drill: cancelled.\r\nWDT0 could not be disabled!\r\n"
                                    "WDT0 is still armed: the machine resets within 4 s!\r\n" + kUnguarded);
    EXPECT_TRUE(has(drill_lines()[0], "\ttext=cancelled 1 s after a T5 arm, and the disarm was not done: WDT0 was left armed"))
        << drill_lines()[0];
}

// The timeout the driver really set is the one the drill waits for and judges against; a nowayout
// watchdog is said before the arm.
TEST_F(Drill, TakesTheDriversTimeoutAndSaysNowayout) {
    fake::World& world = fake::world();
    world.rounds = 1000;
    world.description = "Driver: Board timer\nTimeout: 60 s\nNowayout: yes\n";
    EXPECT_EQ(fake::run({"--drill", "W0", "T5"}), 1);
    EXPECT_NE(world.output.find("Drill: WDT0 never stops once armed (nowayout): a cancel cannot disarm it, and the machine "
                                "resets when its timeout runs out, whatever happens.\r\n"
                                "Drill: the driver set a timeout of 60 s, not the 5 s asked for: the drill waits for and "
                                "judges against 60 s.\r\n" + armed(60, 120)),
              std::string::npos) << world.output;
    EXPECT_EQ(world.calls.back().at_ms - world.calls.front().at_ms, 120000);
}

// Beside a keep-alive of the watchdog, or when the drill cannot be recorded, nothing is armed; and
// the record then never says that a drill is under way.
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
    EXPECT_NE(fake::world().output.find("Drill error: the drill cannot be kept in the record of WDT1, so its result could not "
                                        "be told after the reset; nothing was armed!\r\n"),
              std::string::npos);
    EXPECT_TRUE(fake::world().calls.empty());
    EXPECT_TRUE(has(drill_lines(1).at(0), "\tresult=not done\t")) << drill_lines(1)[0];  // whenever it is written
}

// The restart's window against the timeout: passed within [T - max(1 s, 10 %), T + max(2 s, 10 %)].
TEST(DrillVerdict, IsMeasuredAtTheEdges) {
    using wdt::DrillResult;
    const struct {
        int timeout, low, high;
        DrillResult result;
    } cases[] = {{5, 4, 5, DrillResult::passed},   {5, 6, 7, DrillResult::passed},   {5, 7, 8, DrillResult::failed},
                 {5, 3, 4, DrillResult::failed},   {5, 3, 5, DrillResult::unknown},  {1, 0, 1, DrillResult::passed},
                 {1, 2, 3, DrillResult::passed},   {60, 53, 54, DrillResult::failed}, {60, 54, 55, DrillResult::passed},
                 {60, 65, 66, DrillResult::passed}, {60, 66, 67, DrillResult::failed}, {15, 13, 14, DrillResult::unknown},
                 {15, 14, 15, DrillResult::passed}};
    for (const auto& c : cases) {
        EXPECT_EQ(wdt::judge_restart(c.timeout, c.low, c.high), c.result) << c.timeout << " " << c.low << " " << c.high;
    }
}

// The machine restarted during the drill: the next start of the service names it from the drill's
// marks, whatever the clocks of the boot that reads it say, with the driver's boot status and the
// report; a status shows it, and later boots keep it as it is.
TEST_F(Drill, ARestartIsMeasuredFromTheMarksByTheNextStart) {
    fake::World& world = fake::world();
    world.rounds = 5;  // the machine restarts after the fifth mark: the process ends
    fake::run({"--drill", "W0", "T5"});
    const std::string record = world.handed[0];
    fake::reset();
    fake::World& next = fake::world();
    next.records[0] = record;
    next.boot = "boot-2";
    next.booted_at_s = 1796007200;  // a clock two hours off: it decides nothing
    next.wall_clock_s = 1796007200;
    next.description = "Boot status: card reset\n";
    next.rounds = 1;
    next.stop_at_round = 1;
    fake::run({"W0", "L2"}, true);
    const std::string result = "2026-11-30 00:53:20 UTC, T5: passed: the machine restarted 5 to 6 s after a T5 arm; the "
                               "driver reports a reset by the watchdog (by root on plant-7, Maker Box 3000, serial S-1; "
                               "driver unknown, unknown, SHA-256 unknown)";
    EXPECT_EQ(next.output.substr(0, next.output.find('\n') + 1), "WDT0: the previous run was a drill at " + result + ".\r\n");
    const std::string kept = next.records[0];
    EXPECT_NE(kept.find("\nState: stopped\n"), std::string::npos);
    fake::reset();
    fake::world().records[0] = kept;
    fake::world().boot = "boot-3";
    fake::world().description = "Boot status: none\n";
    EXPECT_EQ(fake::run({"--status", "W0"}), 3);  // no keep-alive runs
    EXPECT_NE(fake::world().output.find("\nLast drill: " + result + "\n"), std::string::npos) << fake::world().output;
}

// Ten drills are kept, the oldest dropped.
TEST_F(Drill, KeepsTheLastTen) {
    std::string record;
    for (int i = 0; i < 12; ++i) {
        fake::reset();
        if (!record.empty()) fake::world().records[0] = record;
        fake::world().rounds = 100;
        fake::world().stop_at_round = 0;
        fake::world().pid = 5000 + i;  // each drill a process of its own, the ones before ended
        fake::world().processes_running = {{5000 + i, 1}};
        fake::run({"--drill", "W0", "T" + std::to_string(i + 1)});
        record = fake::world().records[0];
    }
    const auto lines = drill_lines();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_TRUE(has(lines.front(), "\tasked=3\t")) << lines.front();
    EXPECT_TRUE(has(lines.back(), "\tasked=12\t")) << lines.back();
}

}  // namespace

namespace {

// What the marks alone cannot prove is not passed off as proven: a restart in time that the driver
// says was not the watchdog's; a mark that an edit put out of range; and, in the drill's own boot,
// a watchdog that may still fire; a drill that left no mark of its arm.
TEST(DrillVerdict, IsNeverClaimedBeyondTheEvidence) {
    const auto settled = [](const std::string& line, const std::string& boot, const std::string& description, int64_t now_ms) {
        fake::reset();
        fake::world().records[0] = "wdtctl record 1\nState: stopped\nPid: 1\n" + line + "\nEnd\n";
        fake::world().boot = boot;
        fake::world().now_ms = now_ms;
        fake::world().description = description;
        fake::run({"--status", "W0"});
        const std::string& output = fake::world().output;
        const size_t at = output.find("Last drill: ");
        return at == std::string::npos ? output : output.substr(at + 12, output.find('\n', at) - at - 12);
    };
    const std::string drill = "Drill: armed=1796000000\tarmed_ms=1000\tboot=boot-0\tpid=77\tasked=5\tresult=under way\t";
    EXPECT_EQ(settled(drill + "alive=5\tlag=0", "boot-1", "Boot status: none\n", 1000),
              "2026-11-30 00:53:20 UTC, T5: unknown: the machine restarted 5 to 6 s after a T5 arm, in time, but not by the "
              "watchdog as the driver tells it; the driver reports no reset by the watchdog");
    for (const char* mark : {"alive=2147483647\tlag=5", "alive=abc\tlag=0"}) {
        EXPECT_EQ(settled(drill + mark, "boot-1", "", 1000),
                  "2026-11-30 00:53:20 UTC, T5: unknown: the record holds no mark that this T5 drill armed the watchdog, so "
                  "it tells nothing of a reset");
    }
    // Refused before the arm, its "not done" never written: no arm is claimed.
    EXPECT_EQ(settled("Drill: armed=1796000000\tarmed_ms=0\tboot=boot-0\tpid=77\tasked=5\tresult=under way\talive=-1",
                      "boot-0", "", 9000),
              "2026-11-30 00:53:20 UTC, T5: unknown: the drill ended before its record held a mark that it armed the "
              "watchdog (T5), and the machine did not restart");
    EXPECT_EQ(settled(drill + "alive=2\tlag=0", "boot-0", "", 5000), "2026-11-30 00:53:20 UTC, T5: under way");
    EXPECT_EQ(settled(drill + "alive=2\tlag=0", "boot-0", "", 9000),
              "2026-11-30 00:53:20 UTC, T5: unknown: the drill ended without its result 2 s after a T5 arm, and the machine "
              "did not restart");
}

}  // namespace
