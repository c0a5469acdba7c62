// Feeds arbitrary command lines to the interpreter against a fake driver and a fake clock, and
// checks after every run that nothing unsafe reached the driver, nothing foreign was printed, and
// no call that the driver said failed was confirmed. The input is split on NUL bytes into the user
// arguments; a last byte with its high bit set also makes one entry of the driver fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake_host.h"

namespace {

constexpr size_t kMaxArguments = 300;
constexpr int kLoopRounds = 3;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\nthe tool's output:\n%s\n", what, fake::world().output.c_str());
    std::abort();
}
void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

// Matches text at pos against a message in which each "#" stands for an optionally signed decimal
// number; on success advances pos and answers the numbers.
bool take(const std::string& text, size_t& pos, const char* message, std::vector<long>& numbers) {
    size_t p = pos;
    std::vector<long> found;
    for (const char* m = message; *m != '\0'; ++m) {
        if (*m != '#') {
            if (p >= text.size() || text[p] != *m) return false;
            ++p;
            continue;
        }
        const size_t start = p;
        if (p < text.size() && text[p] == '-') ++p;
        while (p < text.size() && text[p] >= '0' && text[p] <= '9') ++p;
        if (p == start || p - start > 11) return false;
        found.push_back(std::strtol(text.c_str() + start, nullptr, 10));
    }
    pos = p;
    numbers = found;
    return true;
}

const char* const kUsage =
    "Usage: wdtctl <W?> <T?/D/R>\n\nW Watch Dog Timer   -> 0 ~ 1\nT Time              -> 1 ~ 512(s)\n"
    "R Reset\t\t\t\tL Loop time        -> 1 ~ 512(s)\n\nEx: wdtctl W0 T5   -> Set WDT0 = 5s and enable it\n"
    "    wdtctl W1 D    -> Disable WDT1\n    wdtctl W0 R    -> Reset WDT0\n"
    "    wdtctl W0 T5 L2   -> Set WDT0 = 5s and reset them in loop each 2s\n";

constexpr const char* kEntries[6] = {"SetWDT0", "SetWDT1", "ResetWDT0", "ResetWDT1", "DisableWDT0", "DisableWDT1"};

struct Printed {
    std::vector<long> armed_seconds;
    std::string pass_ended_by;  // the entry a disable or refresh message reports, if any
    std::string failed;         // the entry a "could not" message reports, if any
    bool loop_announced = false;
    long loop_timer = 0, loop_period = 0;
    int loop_failures = 0;      // messages that a loop refresh failed
    bool guards_refused = false;
    bool option_refused = false;  // an argument meant as an option that is none refused the line
};

bool starts_with(const std::string& text, size_t pos, const char* prefix) {
    return text.compare(pos, std::strlen(prefix), prefix) == 0;
}

// A guard's line, or the refusal of an argument meant as an option (each names the argument, which
// the input keeps free of line ends): up to and with the next "\r\n".
bool take_guard_line(const std::string& out, size_t& pos, Printed& printed) {
    const size_t end = out.find("\r\n", pos);
    if (end == std::string::npos) return false;
    const std::string line = out.substr(pos, end + 2 - pos);
    if (starts_with(line, 0, "Option error: ")) {
        check(pos == 0 && end + 2 == out.size(), "an option refused beside anything else");
        printed.option_refused = true;
    } else if (starts_with(line, 0, "Guard Parameter error: ") || starts_with(line, 0, "Metrics Parameter error: ")) {
        printed.guards_refused = true;
    } else if (starts_with(line, 0, "WDT0: ") || starts_with(line, 0, "WDT1: ")) {
        check(printed.loop_announced, "a guard's message outside the loop");
    } else if (!((starts_with(line, 0, "--check=") || starts_with(line, 0, "--repair=")) &&
                 line.size() >= 24 && line.compare(line.size() - 24, 24, " could not be started.\r\n") == 0)) {
        return false;
    }
    pos = end + 2;
    return true;
}

bool is_guard_option(const std::string& argument) {
    for (const char* option : {"--heartbeat=", "--check=", "--grace=", "--repair=", "--metrics="}) {
        if (argument.rfind(option, 0) == 0) return true;
    }
    return false;
}

void note_failure(Printed& printed, const char* entry, long n) {
    check(printed.failed.empty() && !printed.loop_announced, "a failure message after a failure or in the loop");
    printed.failed = entry + std::to_string(n);
}

// Splits the output into the tool's own messages; anything else is a failure.
Printed read_output(const std::string& out) {
    Printed printed;
    std::vector<long> n;
    size_t pos = 0;
    while (pos < out.size()) {
        if (take(out, pos, "System will be reset after # seconds.\n", n)) {
            check(n[0] >= 1 && n[0] <= 512, "arm confirmation out of range");
            printed.armed_seconds.push_back(n[0]);
        } else if (take(out, pos, "Entering endless loop: Timer for reboot # seconds. Refresh each # seconds.\r\n", n)) {
            printed.loop_announced = true;
            printed.loop_timer = n[0];
            printed.loop_period = n[1];
        } else if (take(out, pos, "WDT# could not be reset! Trying again every # seconds.\r\n", n) ||
                   take(out, pos, "WDT# could not be reset! Trying again every # second.\r\n", n)) {
            check(printed.loop_announced && n[1] == printed.loop_period, "loop failure message out of place");
            check((n[1] == 1) == (out.compare(pos - 9, 9, "second.\r\n") == 0), "1 second not said as one");
            ++printed.loop_failures;
        } else if (take(out, pos, "WDT# could not be set!\r\n", n)) {
            note_failure(printed, "SetWDT", n[0]);
        } else if (take(out, pos, "WDT# could not be reset!\r\n", n)) {
            note_failure(printed, "ResetWDT", n[0]);
        } else if (take(out, pos, "WDT# could not be disabled!\r\n", n)) {
            note_failure(printed, "DisableWDT", n[0]);
        } else if (take(out, pos, "WDT# has already been disabled!\r\n", n) ||
                   take(out, pos, "WDT# has already been reseted!\r\n", n)) {
            check(n[0] == 0 || n[0] == 1, "message names a watchdog other than 0 or 1");
            check(printed.pass_ended_by.empty() && !printed.loop_announced, "a second disable or refresh message");
            const bool disabled = out.compare(pos - 11, 11, "disabled!\r\n") == 0;
            printed.pass_ended_by = (disabled ? "DisableWDT" : "ResetWDT") + std::to_string(n[0]);
        } else if (!(take(out, pos, kUsage, n) || take(out, pos, "Watch dog number parameter error!\n", n) ||
                     take(out, pos, "Parameter error!\r\n", n) || take(out, pos, "Time Parameter error!\r\n", n) ||
                     take(out, pos, "Loop Time Parameter error!\r\n", n) ||
                     take(out, pos, "Time Parameter error: time for loop reset must be smaller then timer time!\r\n", n))) {
            if (!take_guard_line(out, pos, printed)) fail("output that is not one of the tool's messages");
        }
    }
    return printed;
}

// The watchdog the command line selects, worked out independently of the tool: -1 when any
// selector is malformed or there is none.
int expected_watchdog(const std::vector<std::string>& arguments) {
    int selected = -1;
    for (const std::string& argument : arguments) {
        if (argument.empty() || (argument[0] != 'W' && argument[0] != 'w')) continue;
        if (argument.size() < 2 || (argument[1] != '0' && argument[1] != '1')) return -1;
        selected = argument[1] - '0';
    }
    return selected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments;
    const char* text = reinterpret_cast<const char*>(data);
    for (size_t start = 0; start <= size && arguments.size() < kMaxArguments;) {
        const void* nul = std::memchr(text + start, '\0', size - start);
        const size_t end = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
        arguments.emplace_back(text + start, end - start);
        start = end + 1;
    }
    bool guarded = false, dashed = false, watched = false;  // a heartbeat or a check among the guards
    bool answers = false;  // help, version, a settings check or JSON: they answer and touch no watchdog
    bool helps = false;    // help or version, which come before everything else
    for (std::string& argument : arguments) {
        const bool option = argument.rfind("-", 0) == 0;
        if (!option) continue;
        if (argument == "--service") argument += '_';  // service mode has rules of its own, not checked here
        guarded = guarded || is_guard_option(argument);
        // An argument that starts with a dash is one of the options exactly, or refuses the line.
        const bool answering = argument == "--help" || argument == "--version" || argument == "--verify" || argument == "--json";
        answers = answers || answering;
        helps = helps || argument == "--help" || argument == "--version";
        dashed = dashed || (!is_guard_option(argument) && !answering && argument != "--status" && argument != "--drill");
        watched = watched || argument.rfind("--heartbeat=", 0) == 0 || argument.rfind("--check=", 0) == 0;
        for (char& c : argument) {
            if (c == '\r' || c == '\n' || c == '#') c = '_';
        }
    }

    fake::reset();
    fake::world().rounds = kLoopRounds;
    fake::world().commands = {{"true", {100, true}}, {"false", {100, false}}, {"hang", {-1, true}}};
    const std::string failing = size > 0 && (data[size - 1] & 0x80) != 0 ? kEntries[(data[size - 1] & 0x7f) % 6] : "";
    if (!failing.empty()) fake::world().failing_entries = {failing};
    const int64_t start_ms = fake::world().now_ms;
    const int status = fake::run(arguments);
    const fake::World& world = fake::world();
    const bool usage = world.output.rfind("Usage: ", 0) == 0;
    if (helps) {
        check(status == 0 && world.library_loads == 0 && world.calls.empty(), "help or version went on, or failed");
        check(usage || world.output == "wdtctl " WDT_VERSION "\n", "help or version said something else");
        return 0;
    }
    if (!usage && (dashed || world.output.rfind("Option error: ", 0) == 0)) {
        check(read_output(world.output).option_refused, "an argument meant as an option not refused");
        check(status == 1 && world.library_loads == 0 && world.calls.empty(), "a refused line went on");
        return 0;
    }
    if (answers) {
        check(world.calls.empty(), "an answer called the driver");
        check(status == 0 || status == 1 || status == 3 || status == 4, "an answer's exit status out of its range");
        return 0;
    }
    for (const std::string& argument : arguments) {
        if (argument != "--drill") continue;
        // A drill arms the selected watchdog once, with 1 to 512 s and 208, never refreshes it, and
        // disarms it when it ends (unless the machine, here the fake world, ends it first).
        check(status == 0 || status == 1 || status == fake::kKilled, "exit status other than 0 or 1");
        const int n = expected_watchdog(arguments);
        for (size_t k = 0; k < world.calls.size(); ++k) {
            const fake::DriverCall& call = world.calls[k];
            check(n >= 0 && (k == 0 ? call.entry == "SetWDT" + std::to_string(n) : call.entry == "DisableWDT" + std::to_string(n)),
                  "a drill called another entry than its arm and its disarm");
            check(k != 0 || (call.milliseconds >= 1000 && call.milliseconds <= 512000 && call.mode == 208), "a drill's arm out of range");
        }
        check(world.calls.size() <= 2, "a drill called the driver more than twice");
        return 0;
    }
    for (const std::string& argument : arguments) {
        if (argument != "--status") continue;
        // A status reads: it never calls an entry of the driver.
        check(world.calls.empty(), "a status called the driver");
        // Its exit status is its first line's answer (1 for a line it refused).
        const std::string& out = world.output;
        const bool yes = out.rfind("Protected: yes\n", 0) == 0, no = out.rfind("Protected: no (", 0) == 0,
                   unknown = out.rfind("Protected: unknown (", 0) == 0;
        check(status == (yes ? 0 : no ? 3 : unknown ? 4 : 1), "a status's exit other than its Protected line's");
        check(status != 1 || out.find("Protected: ") == std::string::npos, "a refused status said whether it protects");
        return 0;
    }
    const Printed printed = read_output(world.output);

    check(status == 0 || status == 1 || (status == fake::kKilled && printed.loop_announced), "exit status other than 0 or 1");
    if (printed.guards_refused) {
        check(status == 1 && world.calls.empty() && world.library_loads == 0, "guard options refused after loading");
    }
    const int n = expected_watchdog(arguments);
    if (arguments.size() < 2 || n < 0) check(world.calls.empty(), "driver called without a valid selection");
    const std::string set_n = "SetWDT" + std::to_string(n), reset_n = "ResetWDT" + std::to_string(n);

    // A call the driver said failed is said, ends the run with status 1, and nothing follows it.
    if (!printed.failed.empty()) {
        check(status == 1 && printed.failed == failing, "failure message without a failed call");
        check(!world.calls.empty() && world.calls.back().entry == failing, "a call after a failed one");
    }

    // The command pass: arms, then at most one disable or refresh; then only the loop's refreshes.
    size_t i = 0;
    size_t arms = 0;
    for (; i < world.calls.size() && world.calls[i].entry.rfind("SetWDT", 0) == 0; ++i, ++arms) {
        const fake::DriverCall& call = world.calls[i];
        check(call.entry == set_n, "arm of a watchdog that was not selected");
        check(call.milliseconds % 1000 == 0 && call.milliseconds >= 1000 && call.milliseconds <= 512000,
              "arm timeout not a whole number of seconds from 1 to 512");
        check(call.mode == 208, "arm mode other than 208");
        if (call.entry == failing) {
            check(i + 1 == world.calls.size() && printed.failed == failing, "a failed arm confirmed");
            continue;
        }
        check(printed.armed_seconds.size() > arms && printed.armed_seconds[arms] * 1000 == call.milliseconds,
              "arm without its confirmation");
    }
    check(arms - (printed.failed == set_n ? 1 : 0) == printed.armed_seconds.size(), "arm confirmed but not made");
    if (!printed.pass_ended_by.empty()) {
        check(printed.pass_ended_by != failing, "a failed disable or refresh confirmed");
        check(i < world.calls.size() && world.calls[i].entry == printed.pass_ended_by,
              "disable or refresh reported but not made");
        check(printed.pass_ended_by.back() - '0' == n, "disable or refresh of a watchdog that was not selected");
        ++i;
    } else if (!printed.failed.empty() && printed.failed != set_n) {
        ++i;  // the failed disable or refresh, the last call
    }
    const size_t loop_refreshes = world.calls.size() - i;
    for (; i < world.calls.size(); ++i) {
        check(printed.loop_announced, "a call after the command pass ended");
        check(world.calls[i].entry == reset_n, "loop refresh of another watchdog");
    }

    if (!printed.loop_announced) {
        check(world.wait_deadlines.empty(), "a wait without the loop");
        return 0;
    }
    check(status == fake::kKilled, "the loop ended on its own");
    check(printed.loop_period >= 1 && printed.loop_period <= 511, "loop period out of range");
    check(printed.loop_period < printed.loop_timer, "loop period not smaller than the timer");
    const long expected_timer = printed.armed_seconds.empty() ? 5 : printed.armed_seconds.back();
    check(printed.loop_timer == expected_timer, "loop announces another timer than the one armed");
    // Guards may hold refreshes back (the fake system starts no command), never add any.
    check(guarded ? loop_refreshes <= static_cast<size_t>(kLoopRounds) : loop_refreshes == static_cast<size_t>(kLoopRounds),
          "loop refreshed other than once per wait");
    const int failures_said = failing == reset_n ? 1 : 0;
    check(guarded ? printed.loop_failures <= failures_said : printed.loop_failures == failures_said,
          "a failing loop refresh not said exactly once");
    check(world.flushed_at_wait.at(0) == world.output_at_wait.at(0), "output not flushed before the first wait");
    // With a heartbeat or a check, the loop first glances at them half a second after its start.
    const size_t glance = watched ? 1 : 0;
    check(!watched || world.wait_deadlines.at(0) == start_ms + 500, "no glance at the guards half a second after the start");
    for (size_t k = glance; k < world.wait_deadlines.size(); ++k) {
        check(world.wait_deadlines[k] == start_ms + printed.loop_period * 1000 * static_cast<int64_t>(k + 1 - glance),
              "loop waits not exactly one period apart");
    }
    return 0;
}
