#include <gtest/gtest.h>

#include "command_line/interpreter.h"
#include "tests/support/fake_host.h"

namespace {

using fake::disable;
using fake::reset_entry;
using fake::set;
using Calls = std::vector<fake::DriverCall>;

const std::string kUsage =
    "Usage: wdtctl <W?> <T?/D/R>\n\n"
    "W Watch Dog Timer   -> 0 ~ 1\n"
    "T Time              -> 1 ~ 512(s)\n"
    "R Reset\t\t\t\t"
    "L Loop time        -> 1 ~ 512(s)\n"
    "\n"
    "Ex: wdtctl W0 T5   -> Set WDT0 = 5s and enable it\n"
    "    wdtctl W1 D    -> Disable WDT1\n"
    "    wdtctl W0 R    -> Reset WDT0\n"
    "    wdtctl W0 T5 L2   -> Set WDT0 = 5s and reset them in loop each 2s\n";
const std::string kSelectorError = "Watch dog number parameter error!\n";
const std::string kNoSelector = "Parameter error!\r\n";
const std::string kTimeError = "Time Parameter error!\r\n";
std::string armed(int seconds) { return "System will be reset after " + std::to_string(seconds) + " seconds.\n"; }
std::string disabled(int n) { return "WDT" + std::to_string(n) + " has already been disabled!\r\n"; }
std::string refreshed(int n) { return "WDT" + std::to_string(n) + " has already been reseted!\r\n"; }

struct Case {
    std::vector<std::string> arguments;
    std::string output;
    int status;
    Calls calls;
    std::set<std::string> failing = {};  // entries that answer "not done"
    bool reports_status = true;
    bool service = false;
};

void expect_run(const Case& c) {
    fake::reset();
    fake::world().failing_entries = c.failing;
    fake::world().reports_status = c.reports_status;
    const int status = fake::run(c.arguments, c.service);
    std::string line;
    for (const std::string& argument : c.arguments) line.append("[").append(argument, 0, 40).append("]");
    EXPECT_EQ(fake::world().output, c.output) << line;
    EXPECT_EQ(status, c.status) << line;
    EXPECT_EQ(fake::world().calls, c.calls) << line;
}

TEST(Interpreter, OneShotCommands) {
    const Case cases[] = {
        {{"W0", "T5"}, armed(5), 0, {set(0, 5000)}},
        {{"W1", "T512"}, armed(512), 0, {set(1, 512000)}},
        {{"W0", "T1"}, armed(1), 0, {set(0, 1000)}},
        {{"W1", "D"}, disabled(1), 0, {disable(1)}},
        {{"W0", "R"}, refreshed(0), 0, {reset_entry(0)}},
        {{"W0", "W1", "D"}, disabled(1), 0, {disable(1)}},
        {{"W01", "D"}, disabled(0), 0, {disable(0)}},
        {{"w1", "d"}, disabled(1), 0, {disable(1)}},
        {{"W1", "Disable"}, disabled(1), 0, {disable(1)}},
        {{"W0", "reset"}, refreshed(0), 0, {reset_entry(0)}},
        {{"T5", "W1"}, armed(5), 0, {set(1, 5000)}},
        {{"D", "W1"}, disabled(1), 0, {disable(1)}},
        {{"W0", "t7"}, armed(7), 0, {set(0, 7000)}},
        {{"W0", "T5s"}, armed(5), 0, {set(0, 5000)}},
        {{"W0", "T+5"}, armed(5), 0, {set(0, 5000)}},
        {{"W0", "T 5"}, armed(5), 0, {set(0, 5000)}},
        {{"W0", "T5", "T10"}, armed(5) + armed(10), 0, {set(0, 5000), set(0, 10000)}},
        {{"W0", "R", "T5"}, refreshed(0), 0, {reset_entry(0)}},
        {{"W0", "D", "R"}, disabled(0), 0, {disable(0)}},
        {{"W0", "D", "T0"}, disabled(0), 0, {disable(0)}},
        {{"W0", "X"}, "", 0, {}},
        {{"W0", ""}, "", 0, {}},
        {{"W0", "D", "L2"}, disabled(0), 0, {disable(0)}},
    };
    for (const Case& c : cases) expect_run(c);
}

TEST(Interpreter, ErrorsAndWhatStaysDone) {
    const Case cases[] = {
        {{"W2", "T5"}, kSelectorError, 1, {}},
        {{"W", "T5"}, kSelectorError, 1, {}},
        {{"W0", "W3", "D"}, kSelectorError, 1, {}},
        {{"W1", "T5", "W/"}, kSelectorError, 1, {}},
        {{"W0", "T5", "wx"}, kSelectorError, 1, {}},
        {{"T5", "D"}, kNoSelector, 1, {}},
        {{"X", "Y"}, kNoSelector, 1, {}},
        {{"", ""}, kNoSelector, 1, {}},
        {{"W0", "T0"}, kTimeError, 1, {}},
        {{"W0", "T513"}, kTimeError, 1, {}},
        {{"W0", "T"}, kTimeError, 1, {}},
        {{"W0", "Tx"}, kTimeError, 1, {}},
        {{"W0", "T-5"}, kTimeError, 1, {}},
        {{"W0", "T4294967301"}, kTimeError, 1, {}},
        {{"W0", "T-4294967291"}, kTimeError, 1, {}},
        {{"W0", "T2147483648"}, kTimeError, 1, {}},
        {{"W0", "T-2147483648"}, kTimeError, 1, {}},
        {{"W0", "T" + std::string(3000, '7')}, kTimeError, 1, {}},
        {{"W0", "T5", "T0"}, armed(5) + kTimeError, 1, {set(0, 5000)}},
        {{"W1", "T5", "T600", "D"}, armed(5) + kTimeError, 1, {set(1, 5000)}},
    };
    for (const Case& c : cases) expect_run(c);
}

TEST(Interpreter, ACallTheLibrarySaysFailedIsNeverConfirmed) {
    const Case cases[] = {
        {{"W0", "T5"}, "WDT0 could not be set!\r\n", 1, {set(0, 5000)}, {"SetWDT0"}},
        {{"W0", "T5", "L2"}, "WDT0 could not be set!\r\n", 1, {set(0, 5000)}, {"SetWDT0"}},
        {{"W0", "T5", "R"}, armed(5) + "WDT0 could not be reset!\r\n", 1, {set(0, 5000), reset_entry(0)}, {"ResetWDT0"}},
        {{"W1", "D"}, "WDT1 could not be disabled!\r\n", 1, {disable(1)}, {"DisableWDT1"}},
        {{"W0", "L2", "D"}, "WDT0 could not be disabled!\r\n", 1, {disable(0)}, {"DisableWDT0"}},
        {{"W0", "R"}, "WDT0 could not be reset!\r\n", 1, {reset_entry(0)}, {"ResetWDT0"}},
        {{"W0", "T5", "R"}, armed(5) + refreshed(0), 0, {set(0, 5000), reset_entry(0)}, {"SetWDT1", "ResetWDT1"}},
        // A library without the status marker (as a vendor's) is believed, as ever.
        {{"W0", "T5"}, armed(5), 0, {set(0, 5000)}, {"SetWDT0"}, false},
        {{"W1", "D"}, disabled(1), 0, {disable(1)}, {"DisableWDT1"}, false},
    };
    for (const Case& c : cases) expect_run(c);
}

TEST(Interpreter, WhatLastsOnlyWhileHeldIsConfirmedOnlyWhenTheLoopHoldsIt) {
    const std::string loop = "Entering endless loop: Timer for reboot 5 seconds. Refresh each 2 seconds.\r\n";
    const struct {
        std::vector<std::string> arguments;
        std::string output;
        int status;
    } cases[] = {
        {{"W0", "T5"}, "WDT0 could not be set!\r\n", 1},
        {{"W0", "R"}, "WDT0 could not be reset!\r\n", 1},
        {{"W0", "T5", "R", "L2"}, "WDT0 could not be set!\r\n", 1},  // the R ends the line before the L
        {{"W0", "T5", "L2"}, armed(5) + loop, fake::kKilled},
        {{"W0", "L2", "R"}, refreshed(0) + loop, fake::kKilled},
        {{"W0", "D"}, disabled(0), 0},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().held_only_entries = {"SetWDT0", "ResetWDT0", "DisableWDT0"};
        fake::world().rounds = 0;
        EXPECT_EQ(fake::run(c.arguments), c.status) << c.arguments[1];
        EXPECT_EQ(fake::world().output, c.output) << c.arguments[1];
    }
}

TEST(Interpreter, AServiceNeverEndsArmedBecauseOfItsCommandLine) {
    const std::string no_loop = "Service Parameter error: a service needs a loop (L)!\r\n";
    const std::string no_disable = "Service Parameter error: a service disarms when it is stopped, never with D!\r\n";
    const std::string order = "Time Parameter error: time for loop reset must be smaller then timer time!\r\n";
    // A service says first why its previous run ended (here there was none).
    const std::string first0 = "WDT0: no record of an earlier run.\r\n", first1 = "WDT1: no record of an earlier run.\r\n";
    const Case cases[] = {
        {{"W0", "T5"}, no_loop, 1, {}, {}, true, true},
        {{"W0", "D", "L2"}, no_disable, 1, {}, {}, true, true},
        {{"W0", "T5", "L5"}, first0 + armed(5) + order + disabled(0), 1, {set(0, 5000), disable(0)}, {}, true, true},
        {{"W1", "T5", "T999", "L2"}, first1 + armed(5) + kTimeError + disabled(1), 1, {set(1, 5000), disable(1)}, {}, true,
         true},
        {{"W0", "T5", "L2", "R"}, first0 + armed(5) + "WDT0 could not be reset!\r\n" + disabled(0), 1,
         {set(0, 5000), reset_entry(0), disable(0)}, {"ResetWDT0"}, true, true},
        {{"W0", "T999", "L2"}, first0 + kTimeError, 1, {}, {}, true, true},
        {{"W0", "T5", "L2", "D"}, no_disable, 1, {}, {"DisableWDT0"}, true, true},
        // Outside service mode nothing changes: the watchdog stays armed.
        {{"W0", "T5", "L5"}, armed(5) + order, 1, {set(0, 5000)}},
    };
    for (const Case& c : cases) expect_run(c);
}

// A service runs no check or repair whose program others than the administrators may change: it
// refuses to start, before it arms.
TEST(Interpreter, AServiceRefusesACommandItMayNotRun) {
    for (const char* guard : {"--check=open.exe", "--repair=open.exe"}) {
        fake::reset();
        fake::world().unsafe["open.exe"] = "C:\\open\\open.exe lets S-1-1-0 write it";
        EXPECT_EQ(fake::run({"W0", "T60", "L10", "--heartbeat=/a", guard}, true), 1);
        EXPECT_EQ(fake::world().output, std::string("Guard Parameter error: ") + guard +
                                            " is not run: C:\\open\\open.exe lets S-1-1-0 write it!\r\n");
        EXPECT_TRUE(fake::world().calls.empty());
    }
}

TEST(Interpreter, UsageWhenFewerThanTwoUserArguments) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, {"W0"}, {"W0 T5"}, {"--status"}, {"--drill"}}) {
        fake::reset();
        fake::world().library_present = false;
        EXPECT_EQ(fake::run(arguments), 1);
        EXPECT_EQ(fake::world().output, kUsage);
        EXPECT_EQ(fake::world().library_loads, 0);
    }
}

TEST(Interpreter, NoArgumentVectorAtAllStillPrintsUsage) {
    fake::reset();
    const char* const argv[] = {nullptr};
    EXPECT_EQ(fake::run_argv(0, argv), 1);
    EXPECT_EQ(fake::world().output.substr(0, 23), "Usage:  <W?> <T?/D/R>\n\n");
}

TEST(Interpreter, LibraryProblemsComeBeforeAnyArgumentIsExamined) {
    const struct {
        bool present;
        std::set<std::string> missing;
        std::vector<std::string> arguments;
        std::string output;
    } cases[] = {
        {false, {}, {"X", "Y"}, "Not find file: WDT.dll\r\n"},
        {false, {}, {"W0", "T5"}, "Not find file: WDT.dll\r\n"},
        {false, {}, {"W9", "T0"}, "Not find file: WDT.dll\r\n"},
        {true, {"ResetWDT1"}, {"W0", "T5"}, "Not find function: ResetWDT1 in WDT.dll\r\n"},
        {true, {"DisableWDT1", "SetWDT1"}, {"W7", "D"}, "Not find function: SetWDT1 in WDT.dll\r\n"},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake::world().library_present = c.present;
        fake::world().missing_entries = c.missing;
        EXPECT_EQ(fake::run(c.arguments), 1);
        EXPECT_EQ(fake::world().output, c.output);
        EXPECT_TRUE(fake::world().calls.empty());
    }
}

TEST(Interpreter, HostileInputNeverCrashes) {
    const std::string huge(100000, 'W');
    const std::string high_bytes = "\xff\x80\xc3\xa9W1";
    const Case cases[] = {
        {{huge, "D"}, kSelectorError, 1, {}},
        {{"W1", "T" + std::string(100000, '1')}, kTimeError, 1, {}},
        {{"W1", std::string(100000, 'x')}, "", 0, {}},
        {{"W1", "D" + std::string(100000, '\xff')}, disabled(1), 0, {disable(1)}},
        {{high_bytes, "W0", "\xd7" "D"}, "", 0, {}},
        {{"W\xb0", "D"}, kSelectorError, 1, {}},
        {{"W0", "T\xff" "5"}, kTimeError, 1, {}},
    };
    for (const Case& c : cases) expect_run(c);
}

}  // namespace

namespace {

// Beside another keeper of the watchdog, what would arm or disarm it is refused before the library
// is loaded; a refresh goes on, and the other watchdog is free.
TEST(Interpreter, OneKeeperPerWatchdog) {
    const std::string by = "WDT0: a keep-alive (service, pid 4242) keeps this watchdog: ";
    const std::string how = ", and nothing was done; stop it first (systemctl stop wdtctl).\r\n";
    const Case cases[] = {
        {{"W0", "D"}, by + "this command line is refused" + how, 1, {}},
        {{"W0", "T3"}, by + "this command line is refused" + how, 1, {}},
        {{"W0", "T60", "L10"}, by + "this keep-alive is refused" + how, 1, {}},
        {{"W0", "T60", "L10"}, by + "this start is refused" + how, 1, {}, {}, true, true},
        {{"W0", "R"}, refreshed(0), 0, {reset_entry(0)}},
        {{"W1", "D"}, disabled(1), 0, {disable(1)}},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::world().locked_elsewhere = {0};
        fake::world().keepers[0] = "Kind: service\nPid: 4242\nProcess start: 777\nBoot: boot-1\n";
        fake::world().failing_entries = c.failing;
        EXPECT_EQ(fake::run(c.arguments, c.service), c.status);
        EXPECT_EQ(fake::world().output, c.output);
        EXPECT_EQ(fake::world().calls, c.calls);
        EXPECT_EQ(fake::world().library_loads, c.calls.empty() ? 0 : 1);
        EXPECT_EQ(fake::world().record_writes, 0);  // the keeper's record stays as it is
    }
}

// An argument meant as an option that is none refuses the whole line before the library is loaded;
// letters keep their meaning, and what is none of either is skipped as ever.
TEST(Interpreter, NearMissesRefuseTheWholeLine) {
    const auto meant = [](const std::string& argument, const std::string& option) {
        return "Option error: " + argument + " is not one of the options (did you mean " + option +
               ", as one argument?), and nothing was done!\r\n";
    };
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--dril", "W0", "T5"}, meant("--dril", "--drill")},
        {{"--DRILL", "W0", "T5"}, meant("--DRILL", "--drill")},
        {{"-drill", "W0", "T5"}, meant("-drill", "--drill")},
        {{"\xe2\x80\x94" "drill", "W0", "T5"}, meant("\xe2\x80\x94" "drill", "--drill")},
        {{"--servce", "W0", "T60", "L10"}, meant("--servce", "--service")},
        {{"W0", "L2", "-heartbeat=/x"}, meant("-heartbeat=/x", "--heartbeat=PATH")},
        {{"W0", "L2", "heartbeat=/x"}, meant("heartbeat=/x", "--heartbeat=PATH")},
        {{"W0", "L2", "--heartbeat", "/x"}, meant("--heartbeat", "--heartbeat=PATH")},
        {{"W0", "T5", "stauts"}, meant("stauts", "--status")},
        {{"\xef\xbc\x8d\xef\xbc\x8d" "service", "W0", "T60", "L10"}, meant("\xef\xbc\x8d\xef\xbc\x8d" "service", "--service")},
        {{"\xe2\x80\x8b" "--drill", "W0"}, meant("\xe2\x80\x8b" "--drill", "--drill")},
        {{"W0", "T5", "--x"}, "Option error: --x is not one of the options (--service, --status, --json, --drill, "
                              "--heartbeat=PATH, --check=COMMAND, --grace=SECONDS, --repair=COMMAND, --metrics=DIR, --verify, "
                              "--help, --version), and nothing was done!\r\n"},
    };
    for (const auto& [arguments, output] : cases) {
        fake::reset();
        EXPECT_EQ(fake::run(arguments), 1) << arguments[0];
        EXPECT_EQ(fake::world().output, output);
        EXPECT_EQ(fake::world().library_loads, 0);
    }
    expect_run({{"W0", "drill"}, disabled(0), 0, {disable(0)}});
    expect_run({{"W0", "T5", "statistics"}, armed(5), 0, {set(0, 5000)}});
    // A long one is cut between characters, never inside one.
    std::string long_one = "--x";
    for (int i = 0; i < 150; ++i) long_one += "\xc3\xa9";
    fake::reset();
    fake::run({"W0", long_one});
    const std::string& said = fake::world().output;
    const size_t cut = said.find("...");
    ASSERT_NE(cut, std::string::npos);
    EXPECT_EQ(said.substr(cut - 2, 2), "\xc3\xa9") << said;
}

// A keep-alive waits a little for a command that holds the watchdog for a moment; a refused start
// beside a keeper that keeps no record of its own is recorded. A lock that cannot be had is said,
// and the run goes on without it.
TEST(Interpreter, ALockHeldForAMomentOrNotAtAll) {
    fake::reset();
    fake::world().locked_elsewhere = {0};
    fake::world().keepers[0] = "Kind: command\nPid: 99\nProcess start: 5\nBoot: boot-1\n";
    fake::world().rounds = 100;
    EXPECT_EQ(fake::run({"W0", "T60", "L10"}, true), 1);
    EXPECT_EQ(fake::world().output, "WDT0: a command (pid 99) keeps this watchdog: this start is refused, and nothing was "
                                    "done; try again once it has ended.\r\n");
    EXPECT_EQ(fake::world().wait_deadlines.size(), 50u);  // 5 s, a tenth at a time
    EXPECT_EQ(fake::world().record_states, std::vector<std::string>{"refused"});

    // A holder whose kind the lock does not name is waited for by nobody, and named as it is.
    fake::reset();
    fake::world().locked_elsewhere = {0};
    fake::world().keepers[0] = "Kind: xyz\nPid: 99\nProcess start: 5\nBoot: boot-1\n";
    EXPECT_EQ(fake::run({"W0", "T60", "L10"}, true), 1);
    EXPECT_EQ(fake::world().output, "WDT0: another process (pid 99) keeps this watchdog: this start is refused, and nothing "
                                    "was done; stop it first (kill 99).\r\n");
    EXPECT_TRUE(fake::world().wait_deadlines.empty());

    fake::reset();
    fake::world().locks_unavailable = true;
    EXPECT_EQ(fake::run({"W0", "T5"}), 0);
    EXPECT_EQ(fake::world().output, "WDT0: the watchdog's lock cannot be had (/run/wdtctl/watchdog0.lock is a FIFO): this run "
                                    "goes on without it, and does not keep other keepers away.\r\n" + armed(5));
    EXPECT_EQ(fake::world().calls, Calls{set(0, 5000)});
}

}  // namespace

namespace {

// A service reads its numbers strictly: a typo in a setting refuses the start before anything is
// loaded, while a console keeps the original reading.
TEST(Interpreter, AServiceReadsItsNumbersStrictly) {
    for (const char* typo : {"T12O", "L10s"}) {
        fake::reset();
        std::vector<std::string> arguments = {"W0", "T60", "L10"};
        arguments[typo[0] == 'T' ? 1 : 2] = typo;
        EXPECT_EQ(fake::run(arguments, true), 1);
        EXPECT_EQ(fake::world().output, std::string("Service Parameter error: ") + typo +
                                            " is not a whole number of seconds (digits alone after the letter)!\r\n");
        EXPECT_EQ(fake::world().library_loads, 0);
        EXPECT_EQ(fake::world().record_states, std::vector<std::string>{"refused"});
    }
    expect_run({{"W0", "T5s"}, armed(5), 0, {set(0, 5000)}});
}

// --help and --version answer at once; --verify reads the line as a service would, says what it
// would do, and touches no watchdog.
TEST(Interpreter, HelpVersionAndVerify) {
    fake::reset();
    EXPECT_EQ(fake::run({"--help"}), 0);
    EXPECT_EQ(fake::world().output.rfind("Usage: wdtctl [--service] W0|W1 [T<seconds>] [D] [R] [L<seconds>]", 0), 0u);
    EXPECT_NE(fake::world().output.find("\n  --verify           say what a service would do"), std::string::npos);
    fake::reset();
    EXPECT_EQ(fake::run({"W0", "T5", "--version"}), 0);
    EXPECT_EQ(fake::world().output.rfind("wdtctl 1.", 0), 0u);
    EXPECT_TRUE(fake::world().calls.empty());
    EXPECT_EQ(fake::world().library_loads, 0);

    fake::reset();
    fake::world().description = "Driver: simulated (drives no hardware)\n";
    EXPECT_EQ(fake::run({"--verify", "W0", "T60", "L10", "--heartbeat=/run/app", "--metrics=/m"}), 0);
    EXPECT_EQ(fake::world().output, "Watchdog: 0\nTimeout: 60 s\nRefresh period: 10 s\nGuard: --heartbeat=/run/app\n"
                                    "Grace: 60 s\nRecord folder: /var/lib/wdtctl\nMetrics folder: /m (usable)\n"
                                    "Driver library: unknown (the simulated one: it drives no hardware)\n"
                                    "Verify: a service would start with this command line; nothing was touched.\r\n");
    const struct {
        std::vector<std::string> arguments;
        std::string refusal;
    } refused[] = {
        {{"--verify", "W0", "T12O", "L10"}, "Service Parameter error: T12O is not a whole number of seconds (digits alone after "
                                            "the letter)!\r\n"},
        {{"--verify", "W0", "T5", "L5"}, "Time Parameter error: time for loop reset must be smaller then timer time!\r\n"},
        {{"--verify", "W0", "T60"}, "Service Parameter error: a service needs a loop (L)!\r\n"},
    };
    for (const auto& c : refused) {
        fake::reset();
        EXPECT_EQ(fake::run(c.arguments), 1);
        EXPECT_EQ(fake::world().output,
                  c.refusal + "Verify: a service would not start with this command line; nothing was touched.\r\n");
    }
    for (const auto& c : refused) EXPECT_TRUE(fake::world().calls.empty() && fake::world().record_writes == 0) << c.refusal;
}

}  // namespace
