#include <gtest/gtest.h>

#include "driver/entry_call.h"
#include "driver/watchdog_driver.h"
#include "tests/support/fake_host.h"

namespace {

const std::vector<std::string> kLookupOrder = {"SetWDT0",     "SetWDT1",     "ResetWDT0",       "ResetWDT1",
                                               "DisableWDT0", "DisableWDT1", "wdtctl_entry_results"};

class DriverBinding : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    wdt::WatchdogDriver driver;
};

TEST_F(DriverBinding, AbsentLibraryLooksUpNothing) {
    fake::world().library_present = false;
    const wdt::LoadResult result = wdt::load_driver(driver, fake::host().library);
    EXPECT_EQ(result.status, wdt::LoadStatus::no_library);
    EXPECT_TRUE(fake::world().lookups.empty());
}

TEST_F(DriverBinding, ReportsFirstMissingEntryInLookupOrder) {
    const struct {
        std::set<std::string> missing;
        std::string reported;
    } cases[] = {
        {{"SetWDT0"}, "SetWDT0"},
        {{"DisableWDT1"}, "DisableWDT1"},
        {{"ResetWDT1", "SetWDT1"}, "SetWDT1"},
        {{"DisableWDT0", "ResetWDT0"}, "ResetWDT0"},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().missing_entries = c.missing;
        const wdt::LoadResult result = wdt::load_driver(driver, fake::host().library);
        EXPECT_EQ(result.status, wdt::LoadStatus::missing_entry);
        EXPECT_EQ(std::string(result.missing_entry), c.reported);
        EXPECT_EQ(driver.library, nullptr) << "a partly bound driver must not be usable";
    }
}

TEST_F(DriverBinding, LooksUpAllSixInOrderAndCallsTheRightEntries) {
    ASSERT_EQ(wdt::load_driver(driver, fake::host().library).status, wdt::LoadStatus::loaded);
    EXPECT_EQ(fake::world().lookups, kLookupOrder);
    EXPECT_TRUE(fake::world().calls.empty());

    wdt::arm(driver, 0, 5);
    wdt::arm(driver, 1, 512);
    wdt::refresh(driver, 1);
    wdt::disable(driver, 1);
    wdt::refresh(driver, 0);
    wdt::disable(driver, 0);
    const std::vector<fake::DriverCall> expected = {fake::set(0, 5000),      fake::set(1, 512000),
                                                    fake::reset_entry(1),    fake::disable(1),
                                                    fake::reset_entry(0),    fake::disable(0)};
    EXPECT_EQ(fake::world().calls, expected);
    EXPECT_EQ(fake::world().calls[0].mode, 208);
}

TEST_F(DriverBinding, ResultsAreReadOnlyFromALibraryThatReportsThem) {
    using wdt::Outcome;
    const struct {
        const char* name;
        bool exported, data;
        int32_t answer;
        bool reports;
    } cases[] = {
        {"our marker", true, false, 0x77647402, true},
        {"no marker (a vendor's library)", false, false, 0, false},
        {"the marker's name answering something else", true, false, 1, false},
        {"the marker's name on a variable", true, true, 0x77647402, false},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().reports_status = c.exported;
        fake::world().marker_is_data = c.data;
        fake::world().marker_answer = c.answer;
        fake::world().failing_entries = {"SetWDT1", "ResetWDT0", "DisableWDT1"};
        fake::world().held_only_entries = {"SetWDT0", "ResetWDT1"};
        ASSERT_EQ(wdt::load_driver(driver, fake::host().library).status, wdt::LoadStatus::loaded) << c.name;
        EXPECT_EQ(driver.reports_status, c.reports) << c.name;
        const Outcome failed = c.reports ? Outcome::not_done : Outcome::done;
        const Outcome held = c.reports ? Outcome::done_while_held : Outcome::done;
        EXPECT_EQ(wdt::arm(driver, 1, 5), failed) << c.name;
        EXPECT_EQ(wdt::arm(driver, 0, 5), held) << c.name;
        EXPECT_EQ(wdt::refresh(driver, 0), failed) << c.name;
        EXPECT_EQ(wdt::refresh(driver, 1), held) << c.name;
        EXPECT_EQ(wdt::disable(driver, 1), failed) << c.name;
        EXPECT_EQ(wdt::disable(driver, 0), Outcome::done) << c.name;
    }
}

#if defined(__i386__)
// Either calling convention hands its result back in EAX, and the stack is as before the call.
int32_t __attribute__((stdcall)) stdcall_set(int32_t milliseconds, int32_t mode) { return milliseconds / 1000 + mode; }
int32_t __attribute__((stdcall)) stdcall_plain() { return 7; }

TEST_F(DriverBinding, StdcallResultsAreRead) {
    for (int round = 0; round < 1000; ++round) {
        EXPECT_EQ(wdt::call_status_set_entry(reinterpret_cast<wdt::StatusSetEntry>(&stdcall_set), 5000, 208), 213);
        EXPECT_EQ(wdt::call_status_entry(reinterpret_cast<wdt::StatusPlainEntry>(&stdcall_plain)), 7);
    }
}
#endif

TEST_F(DriverBinding, DisableOnlyRunStillLooksUpAllSix) {
    EXPECT_EQ(fake::run({"W1", "D"}), 0);
    EXPECT_EQ(fake::world().lookups, kLookupOrder);
    EXPECT_EQ(fake::world().library_loads, 1);
}

}  // namespace
