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

// The options by name, as a near miss is compared with them, and as a refusal names them.
struct Option {
    const char* name;
    const char* shown;
};
constexpr Option kOptions[] = {
    {"service", "--service"},       {"status", "--status"},        {"drill", "--drill"},
    {"heartbeat", "--heartbeat=PATH"}, {"check", "--check=COMMAND"}, {"grace", "--grace=SECONDS"},
    {"repair", "--repair=COMMAND"},  {"json", "--json"},           {"metrics", "--metrics=DIR"},
    {"help", "--help"},             {"version", "--version"},      {"verify", "--verify"},
};

// Whether the text after a letter is a whole number and nothing else: digits alone.
bool digits_only(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

// An argument's first letter, upper case: what names a command.
int upper(char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

// How many bytes of a dash begin the text: "-", or a character that a document or a font puts in
// its place (U+00AD, U+2010 to U+2015, U+2043, U+2212, U+2E3A, U+2E3B, U+FE58, U+FE63, U+FF0D, in
// UTF-8), or one that shows nothing at all (U+200B to U+200D, U+2060, U+FEFF) and may stand before
// one; 0 when none does.
size_t dash_at(const char* text) {
    const auto* c = reinterpret_cast<const unsigned char*>(text);
    if (c[0] == '-') return 1;
    if (c[0] == 0xc2 && c[1] == 0xad) return 2;
    if (c[0] == 0xe2 && c[1] == 0x80 && ((c[2] >= 0x90 && c[2] <= 0x95) || (c[2] >= 0x8b && c[2] <= 0x8d))) return 3;
    if (c[0] == 0xe2 && c[1] == 0x81 && (c[2] == 0x83 || c[2] == 0xa0)) return 3;
    if (c[0] == 0xe2 && c[1] == 0x88 && c[2] == 0x92) return 3;
    if (c[0] == 0xe2 && c[1] == 0xb8 && (c[2] == 0xba || c[2] == 0xbb)) return 3;
    if (c[0] == 0xef && c[1] == 0xb9 && (c[2] == 0x98 || c[2] == 0xa3)) return 3;
    if (c[0] == 0xef && c[1] == 0xbc && c[2] == 0x8d) return 3;
    if (c[0] == 0xef && c[1] == 0xbb && c[2] == 0xbf) return 3;
    return 0;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether a name of `length` bytes is the option's name in any case, or one letter off: one
// letter more, one less, one other, or two side by side swapped.
bool resembles(const char* name, size_t length, const char* option) {
    const size_t wanted = std::strlen(option);
    if (length + 1 < wanted || length > wanted + 1) return false;
    size_t i = 0;
    while (i < length && i < wanted && lower(name[i]) == option[i]) ++i;
    if (i == length && i == wanted) return true;
    const auto same = [&](size_t from, size_t to) {
        for (; from < length && to < wanted; ++from, ++to) {
            if (lower(name[from]) != option[to]) return false;
        }
        return from == length && to == wanted;
    };
    if (length == wanted) {
        const bool swapped = i + 1 < length && lower(name[i]) == option[i + 1] && lower(name[i + 1]) == option[i] &&
                             same(i + 2, i + 2);
        return swapped || same(i + 1, i + 1);
    }
    return length > wanted ? same(i + 1, i) : same(i, i + 1);
}

// The option that an argument, its dashes taken away, is meant as; nullptr when it is none.
const char* option_meant(const char* text) {
    while (size_t dash = dash_at(text)) text += dash;
    const size_t length = std::strcspn(text, "=");
    for (const Option& option : kOptions) {
        if (resembles(text, length, option.name)) return option.shown;
    }
    return nullptr;
}

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

Argument read_argument(const char* text, CommandLine& line) {
    constexpr struct {
        const char* text;
        Role role;
    } kWhole[] = {{kStatusOption, Role::status}, {kDrillOption, Role::drill}, {"--json", Role::json},
                  {"--help", Role::help},         {"--version", Role::version}, {"--verify", Role::verify}};
    for (const auto& whole : kWhole) {
        if (std::strcmp(text, whole.text) == 0) return {text, whole.role, 0, nullptr};
    }
    if (read_guard_option(text, line.guards)) return {text, Role::guard, 0, nullptr};
    if (const char* folder = value_of(text, "--metrics=")) {
        line.metrics = folder;
        return {text, Role::metrics, 0, nullptr};
    }
    if (dash_at(text) > 0) return {text, Role::near_miss, 0, option_meant(text)};
    switch (upper(text[0])) {
        case 'W': return {text, Role::selector, 0, nullptr};
        case 'T': return {text, Role::timeout, parse_number(text + 1), nullptr, digits_only(text + 1)};
        case 'D': return {text, Role::disable, 0, nullptr};
        case 'R': return {text, Role::refresh, 0, nullptr};
        case 'L': return {text, Role::loop, parse_number(text + 1), nullptr, digits_only(text + 1)};
        default: break;
    }
    const char* meant = option_meant(text);
    return {text, meant != nullptr ? Role::near_miss : Role::skipped, 0, meant};
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
        argument = read_argument(argv[i], line);
        const Role role = argument.role;
        line.status = line.status || role == Role::status;
        line.drill = line.drill || role == Role::drill;
        line.json = line.json || role == Role::json;
        line.help = line.help || role == Role::help;
        line.version = line.version || role == Role::version;
        line.verify = line.verify || role == Role::verify;
        if (role == Role::metrics || role == Role::verify) ++line.options;
    }
    line.options += line.guards.options;
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

const Argument* first_near_miss(const CommandLine& line) {
    for (int i = 0; i < line.count; ++i) {
        if (line.arguments[i].role == Role::near_miss) return &line.arguments[i];
    }
    return nullptr;
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
