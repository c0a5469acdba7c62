#include <gtest/gtest.h>

#include <set>

#include "command_line/record.h"
#include "tests/support/fake_host.h"

namespace {

TEST(Record, TimesAreCivilDatesInUtc) {
    const std::pair<int64_t, std::string> cases[] = {{0, "1970-01-01 00:00:00 UTC"},
                                                     {951782400, "2000-02-29 00:00:00 UTC"},
                                                     {-1, "1969-12-31 23:59:59 UTC"},
                                                     {1796000020, "2026-11-30 00:53:40 UTC"}};
    for (const auto& [seconds, text] : cases) {
        char formatted[64];
        wdt::format_utc(seconds, formatted);
        EXPECT_EQ(formatted, text);
    }
}

// A service run leaves a record; the next start says from it why that run ended.
TEST(Record, TheNextStartSaysWhyThePreviousRunEnded) {
    const std::string killed = "WDT0: the previous run (pid 4242, started 2026-11-30 00:53:20 UTC) ended without a "
                               "deliberate stop; the driver ";
    const struct {
        std::vector<std::string> arguments;
        int stop_at_round;       // -1: the run is ended (as if killed) instead
        bool cut_off;            // the record is cut short before the next start
        std::string next_first;  // what the next start says first
        std::string description = "";  // what the driver library says at the next start
    } cases[] = {
        {{"W0", "T5", "L2"}, 2, false, "WDT0: the previous run ended with a deliberate stop at 2026-11-30 00:53:24 UTC.\r\n"},
        {{"W0", "T5", "L2"}, -1, false, killed + "does not say whether the watchdog reset the machine.\r\n"},
        {{"W0", "T5", "L2"}, -1, false, killed + "reports a reset by the watchdog.\r\n", "Boot status: card reset\n"},
        {{"W0", "T5", "L2"}, -1, false, killed + "reports no reset by the watchdog.\r\n", "Boot status: none\n"},
        {{"W0", "T5", "L1", "--heartbeat=/run/app", "--grace=2"}, -1, false,
         "WDT0: the previous run stopped refreshing: no news from --heartbeat=/run/app since 2026-11-30 00:53:20 UTC.\r\n"},
        {{"W0", "T5", "L2"}, 2, true, "WDT0: the record of the previous run is damaged, and is not used.\r\n"},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().rounds = 4;
        fake::world().stop_at_round = c.stop_at_round;
        fake::run(c.arguments, true);
        EXPECT_EQ(fake::world().output.substr(0, 36), "WDT0: no record of an earlier run.\r\n");
        std::string record = fake::world().records[0];
        if (c.cut_off) record.resize(record.size() - 2);
        fake::reset();
        fake::world().records[0] = record;
        fake::world().description = c.description;
        fake::world().rounds = 0;
        fake::run({"W0", "L2"}, true);
        EXPECT_EQ(fake::world().output.substr(0, c.next_first.size()), c.next_first) << record;
    }
}

TEST(Record, IsWrittenWholeAndOnlyWhenSomethingChanges) {
    fake::reset();
    fake::world().rounds = 3;
    fake::world().stop_at_round = 3;
    fake::run({"W1", "T9", "L2"}, true);
    EXPECT_EQ(fake::world().records[1],
              "wdtctl record 1\nWatchdog: 1\nState: stopped\nPid: 4242\nStarted: 2026-11-30 00:53:20 UTC\n"
              "Changed: 2026-11-30 00:53:26 UTC\nCommand line: W1 T9 L2\n"
              "Previous: no record of an earlier run\nEnd\n");
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
// whether the keep-alive that wrote it still runs, and calls nothing of the driver.
TEST(Record, StatusSaysWhetherTheKeepAliveRuns) {
    const std::string started = "Keep-alive pid: 4242\nKeep-alive started: 2026-11-30 00:53:20 UTC\n";
    const struct {
        std::vector<std::string> run;  // the service run that left the record, ended as if killed
        std::set<int64_t> running_pids;
        int64_t booted_at_s;
        std::string keep_alive;        // the status's lines from the first
    } cases[] = {
        {{"W1", "L2"}, {4242}, 1795999000, "Keep-alive: running\n" + started + "Keep-alive command line: W1 L2\n"},
        {{"W1", "L2"}, {}, 1795999000, "Keep-alive: ended without a deliberate stop\n" + started},
        {{"W1", "L2"}, {4242}, 1796000100, "Keep-alive: ended without a deliberate stop\n" + started},  // an earlier boot
        {{"W1", "L1", "--heartbeat=/run/app", "--grace=2"}, {4242}, 1795999000,
         "Keep-alive: running, refreshes held back by a guard\n" + started +
             "Keep-alive command line: W1 L1 --heartbeat=/run/app --grace=2\n"
             "Guard: no news from --heartbeat=/run/app since 2026-11-30 00:53:20 UTC\n"},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().rounds = 4;
        fake::run(c.run, true);
        const std::string record = fake::world().records[1];
        fake::reset();
        fake::world().records[1] = record;
        fake::world().running_pids = c.running_pids;
        fake::world().booted_at_s = c.booted_at_s;
        EXPECT_EQ(fake::run({"--status", "W1"}), 0);
        const std::string first = "Watchdog: 1\nDriver: says nothing of this watchdog\n";
        EXPECT_EQ(fake::world().output.substr(0, first.size() + c.keep_alive.size()), first + c.keep_alive);
        EXPECT_TRUE(fake::world().calls.empty());
    }
    fake::reset();
    EXPECT_EQ(fake::run({"W1", "--status"}), 1);
    EXPECT_EQ(fake::world().output, "Watchdog: 1\nDriver: says nothing of this watchdog\nKeep-alive: none recorded\n");
}

}  // namespace
