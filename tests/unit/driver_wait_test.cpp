// A service that starts before its driver is ready waits for it, as long as the host says, and says
// so once; a console, and a host whose service manager waits itself, never do.
#include <gtest/gtest.h>

#include "tests/support/fake_host.h"

namespace {

using fake::set;
using Calls = std::vector<fake::DriverCall>;

const std::string kStart = "WDT0: no record of an earlier run.\r\n";
const std::string kArmed = "System will be reset after 5 seconds.\n";
const std::string kLoop = "Entering endless loop: Timer for reboot 5 seconds. Refresh each 1 seconds.\r\n";
const std::string kNotLoaded = "WDT.dll cannot be loaded yet: trying again every second for up to 120 seconds, as its driver may "
                               "still be starting.\r\n";

class DriverWait : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::world().service_wait_ms = 120000;
        fake::world().rounds = 200;
        fake::world().stop_at_round = 150;
    }
};

TEST_F(DriverWait, AServiceWaitsForTheLibraryEverySecondAndSaysSoOnce) {
    fake::world().library_from_ms = 1000 + 3500;  // loadable from the fourth try again
    EXPECT_EQ(fake::run({"W0", "T5", "L1"}, true), 0);
    const std::vector<int64_t>& waits = fake::world().wait_deadlines;
    ASSERT_GE(waits.size(), 5u);
    EXPECT_EQ(std::vector<int64_t>(waits.begin(), waits.begin() + 4), (std::vector<int64_t>{2000, 3000, 4000, 5000}));
    EXPECT_EQ(fake::world().library_loads, 5);
    EXPECT_EQ(fake::world().output.substr(0, kNotLoaded.size() + kStart.size() + kArmed.size() + kLoop.size()),
              kNotLoaded + kStart + kArmed + kLoop);
    EXPECT_EQ(fake::world().calls.front(), set(0, 5000));
    EXPECT_EQ(fake::world().calls.front().at_ms, 5000);
}

TEST_F(DriverWait, AnArmThatIsNotDoneIsTriedAgainUntilItIs) {
    fake::world().failing_calls = {0, 1};
    EXPECT_EQ(fake::run({"W0", "T5", "L1"}, true), 0);
    const Calls& calls = fake::world().calls;
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 3), (Calls{set(0, 5000), set(0, 5000), set(0, 5000)}));
    EXPECT_EQ((std::vector<int64_t>{calls[0].at_ms, calls[1].at_ms, calls[2].at_ms}), (std::vector<int64_t>{1000, 2000, 3000}));
    EXPECT_EQ(fake::world().output.find(
                  kStart + "WDT0 could not be set yet: trying again every second for up to 120 seconds, as its driver may "
                           "still be starting.\r\n" + kArmed + kLoop),
              0u);
}

TEST_F(DriverWait, TheWaitIsBoundedAndThenTheStartIsRefusedAsEver) {
    fake::world().library_present = false;
    EXPECT_EQ(fake::run({"W0", "T5", "L1"}, true), 1);
    EXPECT_EQ(fake::world().output, kNotLoaded + "Not find file: WDT.dll\r\n");
    EXPECT_EQ(fake::world().wait_deadlines.size(), 120u);
    EXPECT_EQ(fake::world().wait_deadlines.back(), 121000);
    EXPECT_EQ(fake::world().library_loads, 121);

    SetUp();  // an arm, likewise
    fake::world().failing_entries = {"SetWDT0"};
    EXPECT_EQ(fake::run({"W0", "T5", "L1"}, true), 1);
    EXPECT_EQ(fake::world().calls, Calls(121, set(0, 5000)));
    EXPECT_NE(fake::world().output.find("WDT0 could not be set!\r\n"), std::string::npos);
    EXPECT_EQ(fake::world().record_states, (std::vector<std::string>{"refused"}));
}

TEST_F(DriverWait, AStopEndsTheWaitWithNothingArmed) {
    fake::world().library_present = false;
    fake::world().stop_at_round = 3;
    EXPECT_EQ(fake::run({"W0", "T5", "L1"}, true), 0);
    EXPECT_EQ(fake::world().output, kNotLoaded);
    EXPECT_TRUE(fake::world().calls.empty());
    EXPECT_EQ(fake::world().record_writes, 0);
}

TEST_F(DriverWait, AConsoleAndAServiceThatIsWaitedForNeverWait) {
    for (const bool service : {false, true}) {
        fake::reset();
        fake::world().service_wait_ms = service ? 0 : 120000;  // the systemd unit waits for the device itself
        fake::world().library_present = false;
        EXPECT_EQ(fake::run({"W0", "T5", "L1"}, service), 1);
        EXPECT_EQ(fake::world().output, "Not find file: WDT.dll\r\n");
        EXPECT_TRUE(fake::world().wait_deadlines.empty());
    }
    fake::reset();
    fake::world().service_wait_ms = 120000;
    fake::world().failing_entries = {"SetWDT0"};
    EXPECT_EQ(fake::run({"W0", "T5"}), 1);
    EXPECT_EQ(fake::world().output, "WDT0 could not be set!\r\n");
    EXPECT_EQ(fake::world().calls, Calls{set(0, 5000)});
}

}  // namespace
