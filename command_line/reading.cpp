#include "command_line/reading.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "command_line/number.h"
#include "command_line/text.h"

namespace wdt {
namespace {

constexpr const char* kServiceOption = "--service";
constexpr const char* kStatusOption = "--status";
constexpr const char* kDrillOption = "--drill";

// An argument's first letter, upper case: what names a command.
int upper(char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

// The value after "--name=" when the argument is that option; nullptr otherwise.
const char* value_of(const char* argument, const char* option) {
    const size_t length = std::strlen(option);
    return std::strncmp(argument, option, length) == 0 ? argument + length : nullptr;
}

// A whole number of seconds, digits only, from 1 to 999999999; 0 when it is not one.
int32_t seconds_of(const char* text) {
    int32_t value = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9' && digits < 9; ++text, ++digits) value = value * 10 + (*text - '0');
    return (*text == '\0' && digits > 0) ? value : 0;  // a tenth digit is not the end
}

constexpr const char* kNoValue =
    "Guard Parameter error: --heartbeat=PATH, --check=COMMAND and --repair=COMMAND need a value!\r\n";

void add_guard(GuardOptions& guards, bool is_check, const char* target, const char* option) {
    if (*target == '\0') {
        guards.problem = kNoValue;
    } else if (guards.count == kMaxGuards) {
        guards.problem = "Guard Parameter error: at most 16 guards!\r\n";
    } else {
        GuardOption& guard = guards.list[guards.count++];
        guard.is_check = is_check;
        guard.target = target;
        show(option, guard.shown, sizeof guard.shown);
    }
}

// Takes the argument when it is a guard option; false when it is none.
bool read_guard_option(const char* argument, GuardOptions& guards) {
    const char* value = nullptr;
    if ((value = value_of(argument, "--heartbeat=")) != nullptr) {
        add_guard(guards, false, value, argument);
    } else if ((value = value_of(argument, "--check=")) != nullptr) {
        add_guard(guards, true, value, argument);
    } else if ((value = value_of(argument, "--grace=")) != nullptr) {
        guards.grace_seconds = seconds_of(value);
        if (guards.grace_seconds == 0) {
            guards.problem = "Guard Parameter error: --grace=SECONDS takes a whole number of seconds, at least 1!\r\n";
        }
    } else if ((value = value_of(argument, "--repair=")) != nullptr) {
        guards.repair = value;
        show(argument, guards.repair_shown, sizeof guards.repair_shown);
        if (*value == '\0') guards.problem = kNoValue;
    } else {
        return false;
    }
    ++guards.options;
    return true;
}

Argument read_argument(const char* text, GuardOptions& guards) {
    if (std::strcmp(text, kStatusOption) == 0) return {text, Role::status, 0};
    if (std::strcmp(text, kDrillOption) == 0) return {text, Role::drill, 0};
    if (read_guard_option(text, guards)) return {text, Role::guard, 0};
    if (std::strncmp(text, "--", 2) == 0) return {text, Role::unknown_option, 0};
    switch (upper(text[0])) {
        case 'W': return {text, Role::selector, 0};
        case 'T': return {text, Role::timeout, parse_number(text + 1)};
        case 'D': return {text, Role::disable, 0};
        case 'R': return {text, Role::refresh, 0};
        case 'L': return {text, Role::loop, parse_number(text + 1)};
        default: return {text, Role::skipped, 0};
    }
}

}  // namespace

bool read_command_line(int argc, const char* const* argv, CommandLine& line) {
    line = CommandLine{};
    // A process may be started with no arguments at all, not even its own name.
    line.program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    const int given = argc > 1 ? argc - 1 : 0;
    line.arguments = static_cast<Argument*>(std::malloc(sizeof(Argument) * static_cast<size_t>(given > 0 ? given : 1)));
    if (line.arguments == nullptr) return false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kServiceOption) == 0) {
            line.service = true;
            continue;
        }
        Argument& argument = line.arguments[line.count++];
        argument = read_argument(argv[i], line.guards);
        line.status = line.status || argument.role == Role::status;
        line.drill = line.drill || argument.role == Role::drill;
    }
    if (line.guards.problem == nullptr && line.guards.options > 0 && line.guards.count == 0) {
        line.guards.problem = "Guard Parameter error: --grace and --repair need a guard (--heartbeat= or --check=)!\r\n";
    }
    // The selection pass: any malformed selector refuses the whole line.
    for (int i = 0; i < line.count && line.selection != Selection::malformed; ++i) {
        if (line.arguments[i].role != Role::selector) continue;
        const auto number = static_cast<uint8_t>(line.arguments[i].text[1] - '0');
        line.selection = number > 1 ? Selection::malformed : Selection::made;
        line.watchdog = number > 1 ? 0 : number;
    }
    // The command pass's reach, and the loop it finds.
    line.pass_end = line.count;
    for (int i = 0; i < line.count; ++i) {
        const Role role = line.arguments[i].role;
        if (role == Role::loop) line.loop = &line.arguments[i];
        if (role == Role::disable || role == Role::refresh) {
            line.pass_end = i + 1;
            break;
        }
    }
    return true;
}

void forget_command_line(CommandLine& line) {
    std::free(line.arguments);
    line.arguments = nullptr;
    line.count = 0;
}

void join_arguments(const CommandLine& line, char* text, size_t size) {
    static char joined[4096];
    size_t used = 0;
    for (int i = 0; i < line.count && used + 2 < sizeof joined; ++i) {
        if (i > 0) joined[used++] = ' ';
        const size_t length = std::min(std::strlen(line.arguments[i].text), sizeof joined - 1 - used);
        std::memcpy(joined + used, line.arguments[i].text, length);
        used += length;
    }
    joined[used] = '\0';
    show(joined, text, size);
}

}  // namespace wdt
