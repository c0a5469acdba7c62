#include "platform/priority.h"

#include <string_view>

namespace wdt {
namespace {

// What marks a message as an error or a warning: text it holds, or begins with. The first mark that
// a message holds decides, so that a guard's or a refusal's own words (a reason such as
// "Input/output error", a refused line) never change what the message is.
struct Mark {
    const char* text;
    bool at_start;
    Priority priority;
};
constexpr Mark kMarks[] = {
    {"refreshes stop", false, Priority::error},
    {"this start is refused", false, Priority::error},
    {" was refused: ", false, Priority::warning},
    {" cannot be read: ", false, Priority::warning},
    {"has not answered", false, Priority::warning},
    {" does not exist: no news", false, Priority::warning},
    {"was not found or cannot be run", false, Priority::warning},
    {"is not the tool's own", false, Priority::warning},
    {"Ignored ", true, Priority::warning},
    {"could not be", false, Priority::error},
    {"error!", false, Priority::error},
    {"error:", false, Priority::error},
    {"Not find", true, Priority::error},
    {": no news from ", false, Priority::warning},
    {"without a deliberate stop", false, Priority::warning},
    {"stopped refreshing", false, Priority::warning},
    {"is damaged", false, Priority::warning},
};

}  // namespace

Priority priority_of(const char* text, size_t length) {
    const std::string_view message(text, length);
    for (const Mark& mark : kMarks) {
        const bool holds = mark.at_start ? message.rfind(mark.text, 0) == 0 : message.find(mark.text) != std::string_view::npos;
        if (holds) return mark.priority;
    }
    return Priority::info;
}

}  // namespace wdt
