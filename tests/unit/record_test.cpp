#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "command_line/record.h"
#include "command_line/text.h"
#include "tests/support/fake_host.h"

namespace {

TEST(Record, TimesAreCivilDatesInUtc) {
    const std::pair<int64_t, std::string> cases[] = {{0, "1970-01-01 00:00:00 UTC"},
                                                     {951782400, "2000-02-29 00:00:00 UTC"},
                                                     {1796000020, "2026-11-30 00:53:40 UTC"}};
    for (const auto& [seconds, text] : cases) {
        char formatted[64];
        wdt::format_utc(seconds, formatted);
        EXPECT_EQ(formatted, text);
    }
}

// Runs the next start as another process (pid 5151) of the given boot, with the record that the
// run before left.
void start_again(const std::string& record, const std::string& boot = "boot-2", unsigned n = 0) {
    fake::reset();
    fake::world().records[n] = record;
    fake::world().pid = 5151;
    fake::world().processes_running = {{5151, 888}};
    fake::world().boot = boot;
    fake::world().rounds = 0;
}

// A service run leaves a record; the next start says from it why that run ended: a reset is named
// only for a run of an earlier boot, by what the driver's boot status says, which is read without
// looking for the device's holder.
TEST(Record, TheNextStartSaysWhyThePreviousRunEnded) {
    const std::string killed = "WDT0: the previous run (pid 4242, started 2026-11-30 00:53:20 UTC) ended without a "
                               "deliberate stop";
    const struct {
        std::vector<std::string> arguments;
        int stop_at_round;       // -1: the run is ended (as if killed) instead
        bool cut_off;            // the record is cut short before the next start
        std::string boot;        // the next start's
        std::string next_first;  // what the next start says first
        std::string description = "";  // what the driver library says at the next start
    } cases[] = {
        {{"W0", "T5", "L2"}, 2, false, "boot-2", "WDT0: the previous run ended with a deliberate stop at 2026-11-30 00:53:24 UTC.\r\n"},
        {{"W0", "T5", "L2"}, -1, false, "boot-2", killed + "; the driver does not say whether the watchdog reset the machine.\r\n"},
        {{"W0", "T5", "L2"}, -1, false, "boot-2", killed + "; the driver reports a reset by the watchdog.\r\n", "Boot status: card reset\n"},
        {{"W0", "T5", "L2"}, -1, false, "boot-2", killed + "; the driver reports no reset by the watchdog.\r\n", "Boot status: none\n"},
        {{"W0", "T5", "L2"}, -1, false, "boot-2", killed + "; the driver reports a reset for another cause: overheat.\r\n",
         "Boot status: overheat\n"},
        {{"W0", "T5", "L2"}, -1, false, "boot-1", killed + ", in this boot: the machine did not restart.\r\n", "Boot status: card reset\n"},
        {{"W0", "T5", "L1", "--heartbeat=/run/app", "--grace=2"}, -1, false, "boot-2",
         "WDT0: the previous run stopped refreshing: no news from --heartbeat=/run/app since 2026-11-30 00:53:20 UTC.\r\n"},
        {{"W0", "T5", "L2"}, 2, true, "boot-2", "WDT0: the record of the previous run is damaged, and is not used.\r\n"},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().rounds = 4;
        fake::world().stop_at_round = c.stop_at_round;
        fake::run(c.arguments, true);
        EXPECT_EQ(fake::world().output.substr(0, 36), "WDT0: no record of an earlier run.\r\n");
        std::string record = fake::world().records[0];
        if (c.cut_off) record.resize(record.size() - 2);
        start_again(record, c.boot);
        fake::world().description = c.description;
        fake::run({"W0", "L2"}, true);
        EXPECT_EQ(fake::world().output.substr(0, c.next_first.size()), c.next_first) << record;
        if (!c.description.empty() && c.boot != "boot-1") {
            EXPECT_EQ(fake::world().last_description_n, 0x100u);
        }
    }
    // Something there that is not the tool's own record is said, and not used.
    start_again("");
    fake::world().records.clear();
    fake::world().refused_records[0] = "/var/lib/wdtctl/watchdog0.record is a FIFO";
    fake::run({"W0", "L2"}, true);
    const std::string refused = "WDT0: the record is not the tool's own, and is not used: "
                                "/var/lib/wdtctl/watchdog0.record is a FIFO.\r\n";
    EXPECT_EQ(fake::world().output.substr(0, refused.size()), refused);
}

// A start beside a keep-alive that still runs (the same process, by its start, in this boot) or
// whose record another process keeps, is refused before anything reaches the driver, and leaves
// the other one's record as it is.
TEST(Record, AStartBesideARunningKeepAliveIsRefused) {
    fake::reset();
    fake::world().rounds = 2;
    fake::run({"W0", "T5", "L2"}, true);
    const std::string record = fake::world().records[0];
    start_again(record, "boot-1");
    fake::world().processes_running[4242] = 777;
    EXPECT_EQ(fake::run({"W0", "T5", "L2"}, true), 1);
    EXPECT_EQ(fake::world().output, "WDT0: a keep-alive (pid 4242, started 2026-11-30 00:53:20 UTC) still runs for this "
                                    "watchdog: this start is refused; stop it first (systemctl stop wdtctl).\r\n");
    EXPECT_TRUE(fake::world().calls.empty());
    EXPECT_EQ(fake::world().records[0], record);

    start_again(record, "boot-1");
    fake::world().locked_elsewhere = {0};
    EXPECT_EQ(fake::run({"W0", "T5", "L2"}, true), 1);
    EXPECT_EQ(fake::world().output, "WDT0: another process (it does not say which) keeps this watchdog: this start is "
                                    "refused, and nothing was done; stop it first.\r\n");
    EXPECT_TRUE(fake::world().calls.empty());
    EXPECT_EQ(fake::world().records[0], record);
}

// A start that is refused before its loop is recorded with the line that said why, and the next
// start names it; the refusal also disarms what it armed.
TEST(Record, ARefusedStartIsNamedByTheNext) {
    const struct {
        std::vector<std::string> arguments;
        std::string why;
    } cases[] = {
        {{"W1", "T5", "L5"}, "Time Parameter error: time for loop reset must be smaller then timer time!"},
        {{"W1", "L2", "--grace=x", "--check=true"},
         "Guard Parameter error: --grace=SECONDS takes a whole number of seconds, at least 1!"},
        {{"W1", "T600", "L2"}, "Time Parameter error!"},
    };
    for (const auto& c : cases) {
        fake::reset();
        EXPECT_EQ(fake::run(c.arguments, true), 1);
        const std::string record = fake::world().records[1];
        start_again(record, "boot-1", 1);
        fake::run({"W1", "L2"}, true);
        const std::string expected = "WDT1: the previous start (pid 4242, at 2026-11-30 00:53:20 UTC) was refused: " + c.why + "\r\n";
        EXPECT_EQ(fake::world().output.substr(0, expected.size()), expected);
    }
}

// A start refused before it opened the record keeps in its record why the run before it ended.
TEST(Record, ARefusalBeforeTheRecordKeepsWhyTheRunBeforeEnded) {
    fake::reset();
    fake::world().rounds = 2;
    fake::run({"W0", "L2"}, true);  // killed
    std::string record = fake::world().records[0];
    start_again(record, "boot-1");
    EXPECT_EQ(fake::run({"W0", "L2", "--grace", "5"}, true), 1);
    record = fake::world().records[0];
    start_again(record, "boot-1");
    EXPECT_EQ(fake::run({"--status", "W0"}), 3);
    EXPECT_NE(fake::world().output.find("\nRefused: Option error: --grace is not one of the options (did you mean "
                                        "--grace=SECONDS, as one argument?), and nothing was done!\nPrevious run: the "
                                        "previous run (pid 4242, started 2026-11-30 00:53:20 UTC) ended without a "
                                        "deliberate stop, in this boot: the machine did not restart\n"),
              std::string::npos) << fake::world().output;
}

// Every value of a record stays on its own line, whatever the command line holds.
TEST(Record, ValuesStayOnTheirLines) {
    fake::reset();
    fake::world().rounds = 3;
    const std::string planted = "/run/app\nPrevious: forged\x1b[2J";
    fake::run({"W0", "L1", "--grace=2", "--heartbeat=" + planted, "--check=" + std::string(900, 'x')}, true);
    const std::string& record = fake::world().records[0];
    EXPECT_EQ(record.find("\nPrevious: forged"), std::string::npos) << record;
    EXPECT_NE(record.find("--heartbeat=/run/app\\x0aPrevious: forged\\x1b[2J"), std::string::npos) << record;
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 15) << record;  // with a line for each guard
    EXPECT_EQ(record.substr(record.size() - 4), "End\n");
    EXPECT_EQ(fake::world().output.find("forged\x1b"), std::string::npos) << fake::world().output;
}

TEST(Record, IsWrittenWholeAndOnlyWhenSomethingChanges) {
    fake::reset();
    fake::world().rounds = 3;
    fake::world().stop_at_round = 3;
    fake::run({"W1", "T9", "L2"}, true);
    EXPECT_EQ(fake::world().records[1],
              "wdtctl record 1\nWatchdog: 1\nState: stopped\nPid: 4242\nProcess start: 777\nBoot: boot-1\n"
              "Started: 2026-11-30 00:53:20 UTC\nChanged: 2026-11-30 00:53:26 UTC\nCommand line: W1 T9 L2\n"
              "Previous reason: none\nPrevious: no record of an earlier run\nEnd\n");
    EXPECT_EQ(fake::world().record_writes, 2);  // at the start and at the stop, none per refresh

    // One that cannot be written is said once; the keep-alive goes on.
    fake::reset();
    fake::world().records_writable = false;
    fake::world().rounds = 3;
    fake::world().stop_at_round = 3;
    EXPECT_EQ(fake::run({"W1", "L2"}, true), 0);
    EXPECT_EQ(fake::world().output,
              "WDT1: no record of an earlier run.\r\n"
              "Entering endless loop: Timer for reboot 5 seconds. Refresh each 2 seconds.\r\n"
              "WDT1: the record could not be written; the keep-alive goes on without it.\r\n"
              "WDT1 has already been disabled!\r\n");
    EXPECT_EQ(fake::world().calls.size(), 4u);  // three refreshes and the disable
}

}  // namespace

namespace {

// --status reads the record (and the library's own description, which the fake has not): it says
// whether the keep-alive that wrote it still runs (the same process, by its start, in this boot,
// whatever the wall clock says meanwhile), calls nothing of the driver, and answers whether the
// machine is protected, first, and by its exit status: 0 yes, 3 no, 4 cannot be told.
TEST(Record, StatusSaysWhetherTheMachineIsProtected) {
    const std::string started = "Keep-alive pid: 4242\nKeep-alive started: 2026-11-30 00:53:20 UTC\n";
    const std::string ended = "Protected: no (no keep-alive runs: it ended without a deliberate stop)\nWatchdog: 1\n"
                              "Driver: says nothing of this watchdog\nKeep-alive: ended without a deliberate stop\n" + started;
    using Running = std::map<int64_t, int64_t>;
    const struct {
        std::vector<std::string> run;  // the service run that left the record, ended as if killed
        Running running;               // the processes that run at the status
        std::string boot;              // the boot at the status
        std::string said;              // the status's lines from the first
        int status;
    } cases[] = {
        {{"W1", "L2"}, {{4242, 777}}, "boot-1", "Protected: yes\nWatchdog: 1\nDriver: says nothing of this watchdog\n"
                                                "Keep-alive: running\n" + started + "Keep-alive command line: W1 L2\n", 0},
        {{"W1", "L2"}, {}, "boot-1", ended, 3},
        {{"W1", "L2"}, {{4242, 901}}, "boot-1", ended, 3},  // another process
        {{"W1", "L2"}, {{4242, 777}}, "boot-2", ended, 3},  // another boot
        {{"W1", "L1", "--heartbeat=/run/app", "--grace=2"}, {{4242, 777}}, "boot-1",
         "Protected: no (guards hold the refreshes back: no news from --heartbeat=/run/app since 2026-11-30 00:53:20 UTC)\n"
         "Watchdog: 1\nDriver: says nothing of this watchdog\nKeep-alive: running, refreshes held back by a guard\n" +
             started + "Keep-alive command line: W1 L1 --heartbeat=/run/app --grace=2\n"
                       "Guard: no news from --heartbeat=/run/app since 2026-11-30 00:53:20 UTC\n", 3},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().rounds = 4;
        fake::run(c.run, true);
        const std::string record = fake::world().records[1];
        fake::reset();
        fake::world().records[1] = record;
        fake::world().processes_running = c.running;
        fake::world().boot = c.boot;
        fake::world().wall_clock_s += 86400 * 400;  // a clock set a year ahead meanwhile
        EXPECT_EQ(fake::run({"--status", "W1"}), c.status);
        EXPECT_EQ(fake::world().output.substr(0, c.said.size()), c.said);
        EXPECT_TRUE(fake::world().calls.empty());
    }
    // Without a record; beside a console's loop (which keeps none); with the simulated driver; after
    // a drill that failed; and where this user may read nothing.
    const struct {
        std::string description;
        std::string keeper;
        std::string record;
        bool denied;
        std::string first;
        int status;
    } others[] = {
        {"", "", "", false, "Protected: no (no keep-alive runs)\n", 3},
        {"", "Kind: console\nPid: 4242\nProcess start: 777\nBoot: boot-1\n", "", false, "Protected: yes\n", 0},
        {"Driver: simulated (drives no hardware)\n", "Kind: console\nPid: 4242\nProcess start: 777\nBoot: boot-1\n", "",
         false, "Protected: no (the simulated driver drives no hardware)\n", 3},
        {"", "Kind: console\nPid: 4242\nProcess start: 777\nBoot: boot-1\n",
         "wdtctl record 1\nState: stopped\nDrill: armed=1796000000\tboot=boot-0\tasked=5\tresult=failed\ttext=failed: no "
         "reset within 15 s of a T5 arm\nEnd\n", false,
         "Protected: no (the last drill failed: failed: no reset within 15 s of a T5 arm)\n", 3},
        {"", "", "", true, "Protected: unknown (cannot be told: run as root)\n", 4},
    };
    for (const auto& c : others) {
        fake::reset();
        fake::world().description = c.description;
        if (!c.keeper.empty()) fake::world().keepers[1] = c.keeper;
        if (!c.record.empty()) fake::world().records[1] = c.record;
        fake::world().records_denied = fake::world().keepers_denied = c.denied;
        EXPECT_EQ(fake::run({"W1", "--status"}), c.status) << c.first;
        EXPECT_EQ(fake::world().output.substr(0, c.first.size()), c.first);
    }
    fake::reset();
    fake::world().keepers[1] = "Kind: console\nPid: 4242\nProcess start: 777\nBoot: boot-1\n";
    fake::run({"--status", "W1"});
    EXPECT_EQ(fake::world().output, "Protected: yes\nWatchdog: 1\nDriver: says nothing of this watchdog\n"
                                    "Keep-alive: running, in a console (it keeps no record)\nKeep-alive pid: 4242\n");
}

}  // namespace
