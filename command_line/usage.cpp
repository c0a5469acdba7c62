#include "command_line/usage.h"

namespace wdt {

void print_usage(const Host& host, const char* name) {
    say(host, Severity::info, "Usage: %s <W?> <T?/D/R>\n\n", name);
    say(host, Severity::info, "W Watch Dog Timer   -> 0 ~ 1\n");
    say(host, Severity::info, "T Time              -> 1 ~ 512(s)\n");
    // No line break: the loop line continues on the same screen line.
    say(host, Severity::info, "R Reset\t\t\t\t");
    say(host, Severity::info, "L Loop time        -> 1 ~ 512(s)\n");
    say(host, Severity::info, "\n");
    say(host, Severity::info, "Ex: %s W0 T5   -> Set WDT0 = 5s and enable it\n", name);
    say(host, Severity::info, "    %s W1 D    -> Disable WDT1\n", name);
    say(host, Severity::info, "    %s W0 R    -> Reset WDT0\n", name);
    say(host, Severity::info, "    %s W0 T5 L2   -> Set WDT0 = 5s and reset them in loop each 2s\n", name);
}

}  // namespace wdt
