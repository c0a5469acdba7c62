#include "command_line/usage.h"

namespace wdt {

void print_usage(const Host& host, const char* name) {
    say(host, "Usage: %s <W?> <T?/D/R>\n\n", name);
    say(host, "W Watch Dog Timer   -> 0 ~ 1\n");
    say(host, "T Time              -> 1 ~ 512(s)\n");
    // No line break: the loop line continues on the same screen line.
    say(host, "R Reset\t\t\t\t");
    say(host, "L Loop time        -> 1 ~ 512(s)\n");
    say(host, "\n");
    say(host, "Ex: %s W0 T5   -> Set WDT0 = 5s and enable it\n", name);
    say(host, "    %s W1 D    -> Disable WDT1\n", name);
    say(host, "    %s W0 R    -> Reset WDT0\n", name);
    say(host, "    %s W0 T5 L2   -> Set WDT0 = 5s and reset them in loop each 2s\n", name);
}

}  // namespace wdt
