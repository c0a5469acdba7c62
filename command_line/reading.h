// The command line, read once: what each argument is and what the run is to do. Every part of the
// tool takes what it needs from here; nothing else reads the argument vector.
//
// The letters keep their old rules: the first character names the command, upper or lower case;
// the number after T or L is read as atol reads it; the selection pass looks at every argument
// before any command runs, and the last selector wins; the command pass ends after the first D or
// R, and a later L replaces an earlier one. Options of our own are whole arguments of the form
// "--name" or "--name=value"; "--service" may stand anywhere and is not counted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wdt {

inline constexpr int kMaxGuards = 16;

// What an argument is.
enum class Role : uint8_t {
    selector,        // W, w: the character after it selects the watchdog
    timeout,         // T, t: arm, for `number` seconds
    disable,         // D, d: ends the command pass
    refresh,         // R, r: refresh once; ends the command pass
    loop,            // L, l: keep refreshing, every `number` seconds
    guard,           // --heartbeat=, --check=, --grace=, --repair=
    status,          // --status
    drill,           // --drill
    json,            // --json: the status as one JSON object
    metrics,         // --metrics=DIR: a keep-alive's metrics for Prometheus
    help,            // --help
    version,         // --version
    verify,          // --verify: what a service would do with this command line, touching nothing
    near_miss,       // none of the options, but meant as one: refuses the whole line
    skipped,         // anything else: no pass reads it
};

struct Argument {
    const char* text;
    Role role;
    int32_t number;            // timeout and loop: the number after the letter
    const char* resembles;     // near_miss: the option it resembles ("--drill"); nullptr when none
    bool strict = false;       // timeout and loop: nothing but digits after the letter
};

// A heartbeat file or a check command, as given.
struct GuardOption {
    bool is_check;        // a check command; otherwise a heartbeat file
    const char* target;   // the file's path, or the command
    char shown[200];      // the option as messages show it: one line, cut when long
};

struct GuardOptions {
    GuardOption list[kMaxGuards];
    int count = 0;
    int32_t grace_seconds = 0;       // 0: the loop's timeout
    const char* repair = nullptr;
    char repair_shown[200] = "";
    int options = 0;                 // how many arguments were guard options
    const char* problem = nullptr;   // why they are refused, as the message says it; nullptr when they are not
};

// What the selection pass found: no selector, a malformed one, or the watchdog of the last one.
enum class Selection : uint8_t { none, malformed, made };

struct CommandLine {
    const char* program = "";       // argument 0, as the usage text names the tool
    Argument* arguments = nullptr;  // the user's, in order, without "--service"
    int count = 0;
    bool service = false;
    bool status = false;
    bool drill = false;
    bool json = false;
    bool help = false;
    bool version = false;
    bool verify = false;
    const char* metrics = nullptr;  // --metrics=DIR: the folder
    int options = 0;                // arguments that are options, not commands (--metrics=, --verify, guards)
    Selection selection = Selection::none;
    uint8_t watchdog = 0;           // when the selection is made
    int pass_end = 0;               // the command pass reaches arguments [0, pass_end)
    const Argument* loop = nullptr; // the last L that the command pass reaches: the loop follows with its period
    GuardOptions guards;
};

// Reads the user's arguments (argv[argc] is a null pointer; argc may be 0); the texts stay argv's.
// False when there is no memory to keep what it read.
bool read_command_line(int argc, const char* const* argv, CommandLine& line);
// Gives back what the reading kept.
void forget_command_line(CommandLine& line);

// The first argument that is meant as an option and is none, or nullptr. An argument that starts
// with a dash (or a character that a document put in its place, or an invisible one) must be one of
// the options exactly; one that starts with none of the letters W, T, D, R, L must not be, once its
// dashes are taken away, an option's name in any case or one letter off. A typo in a unit file
// then fails the unit rather than run something else.
const Argument* first_near_miss(const CommandLine& line);

// The command line as one line, for a record: its arguments joined by blanks (control characters
// shown as \xHH, cut where it does not fit).
void join_arguments(const CommandLine& line, char* text, size_t size);

}  // namespace wdt
