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
        {"Ignored unknown option --hearbeat=/x: options are --service, ...\r\n", Priority::warning},
        {"WDT0: --heartbeat=/x does not exist: no news from it until it does.\r\n", Priority::warning},
        {"WDT0: --heartbeat=/x cannot be read: Input/output error: no news from it until it can.\r\n", Priority::warning},
        {"WDT0: --heartbeat=/x: the file system has not answered for 2 seconds: no news from it meanwhile.\r\n",
         Priority::warning},
        {"WDT0: --check=x: the command was not found or cannot be run: no news from it.\r\n", Priority::warning},
        {"WDT0: the previous start (pid 1, at t) was refused: Time Parameter error!.\r\n", Priority::warning},
        {"WDT0: the record is not the tool's own, and is not used: a FIFO.\r\n", Priority::warning},
        {"WDT0: a keep-alive (pid 1, started t) still runs for this watchdog: this start is refused; stop it first.\r\n",
         Priority::error},
        {"Drill error: WDT0 did not reset the machine within 15 seconds of the arm; see DRILL in the manual!\r\n",
         Priority::error},
        {"WDT0: the driver library is /usr/lib/wdtctl/WDT.dll.\r\n", Priority::info},
        {"WDT0: the previous run was a drill at t, T5: the machine restarted about 7 s after the drill armed the "
         "watchdog; the driver reports a reset by the watchdog.\r\n", Priority::info},
    };
    for (const auto& c : cases) EXPECT_EQ(wdt::priority_of(c.message, std::strlen(c.message)), c.priority) << c.message;
}

}  // namespace
