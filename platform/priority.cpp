#include "platform/priority.h"

#include <string_view>

namespace wdt {

Priority priority_of(const char* text, size_t length) {
    const std::string_view message(text, length);
    if (message.find("could not be") != std::string_view::npos || message.find("error!") != std::string_view::npos ||
        message.find("error:") != std::string_view::npos || message.rfind("Not find", 0) == 0) {
        return Priority::error;
    }
    return message.rfind("Ignored ", 0) == 0 ? Priority::warning : Priority::info;
}

}  // namespace wdt
