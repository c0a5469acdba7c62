#include "platform/priority.h"

#include <string_view>

namespace wdt {

Priority priority_of(const char* text, size_t length) {
    const std::string_view message(text, length);
    if (message.find("could not be") != std::string_view::npos || message.find("error!") != std::string_view::npos ||
        message.find("error:") != std::string_view::npos || message.rfind("Not find", 0) == 0 ||
        message.find("refreshes stop") != std::string_view::npos) {
        return Priority::error;
    }
    const bool warning = message.rfind("Ignored ", 0) == 0 || message.find(": no news from ") != std::string_view::npos ||
                         message.find("without a deliberate stop") != std::string_view::npos ||
                         message.find("stopped refreshing") != std::string_view::npos ||
                         message.find("is damaged") != std::string_view::npos;
    return warning ? Priority::warning : Priority::info;
}

}  // namespace wdt
