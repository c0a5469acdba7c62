#include <gtest/gtest.h>

#include <cstring>

#include "platform/priority.h"

namespace {

TEST(Priority, ProblemsAreErrorsOrWarningsAndTheRestInformation) {
    using wdt::Priority;
    const struct {
        const char* message;
        Priority priority;
    } cases[] = {
        {"WDT0 could not be set!\r\n", Priority::error},
        {"WDT1 could not be reset! Trying again every 2 seconds.\r\n", Priority::error},
        {"Time Parameter error: time for loop reset must be smaller then timer time!\r\n", Priority::error},
        {"Watch dog number parameter error!\n", Priority::error},
        {"Not find function: SetWDT1 in WDT.dll\r\n", Priority::error},
        {"Ignored SIGHUP: only SIGTERM or SIGINT stops the service.\r\n", Priority::warning},
        {"WDT0: no news from --check=true for 6 seconds: refreshes stop, and the watchdog resets the machine in about "
         "5 seconds!\r\n", Priority::error},
        {"WDT0: no news from --check=true for 6 seconds: running --repair=true\r\n", Priority::warning},
        {"WDT0: news from --check=true again: refreshes go on.\r\n", Priority::info},
        {"WDT0 has already been disabled!\r\n", Priority::info},
        {"WDT0 is reset again.\r\n", Priority::info},
        {"System will be reset after 5 seconds.\n", Priority::info},
    };
    for (const auto& c : cases) EXPECT_EQ(wdt::priority_of(c.message, std::strlen(c.message)), c.priority) << c.message;
}

}  // namespace
