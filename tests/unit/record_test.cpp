#include <gtest/gtest.h>

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
                               "deliberate stop.\r\n";
    const struct {
        std::vector<std::string> arguments;
        int stop_at_round;       // -1: the run is ended (as if killed) instead
        bool cut_off;            // the record is cut short before the next start
        std::string next_first;  // what the next start says first
    } cases[] = {
        {{"W0", "T5", "L2"}, 2, false, "WDT0: the previous run ended with a deliberate stop at 2026-11-30 00:53:24 UTC.\r\n"},
        {{"W0", "T5", "L2"}, -1, false, killed},
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
