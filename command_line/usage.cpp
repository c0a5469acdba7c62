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

namespace wdt {

void print_help(const Host& host, const char* name) {
    say(host, Severity::info,
        "Usage: %s [--service] W0|W1 [T<seconds>] [D] [R] [L<seconds>] [--heartbeat=PATH] [--check=COMMAND]\n"
        "           [--grace=SECONDS] [--repair=COMMAND] [--metrics=DIR]\n"
        "       %s --status [--json] W0|W1\n"
        "       %s --drill W0|W1 [T<seconds>]\n"
        "       %s --verify W0|W1 T<seconds> L<seconds> [guards] [--metrics=DIR]\n"
        "       %s --help | --version\n\n", name, name, name, name, name);
    say(host, Severity::info,
        "  W0, W1             select watchdog 0 or 1 (every selector is checked before any command runs)\n"
        "  T<seconds>         arm it to reset the machine after 1 to 512 seconds without a refresh\n"
        "  D                  disable it; ends the command line\n"
        "  R                  refresh it once; ends the command line\n"
        "  L<seconds>         then refresh it every so many seconds (below the timeout) until stopped\n"
        "  --service          run as a service: a deliberate stop disarms; numbers must be digits alone\n"
        "  --heartbeat=PATH   a guard: refresh only while the file's modification time changes\n"
        "  --check=COMMAND    a guard: refresh only while the command, run once a period, succeeds\n"
        "  --grace=SECONDS    how long a guard may stay silent (the timeout without it)\n"
        "  --repair=COMMAND   run once when a guard runs out of grace\n"
        "  --metrics=DIR      keep DIR/wdtctl_w0.prom (or _w1) for Prometheus's textfile collectors\n"
        "  --status           say whether the machine is protected, and all that is known; touch nothing\n"
        "  --json             the status as one JSON object\n"
        "  --drill            prove that the watchdog resets the machine\n"
        "  --verify           say what a service would do with this command line; touch no watchdog\n"
        "  --help, --version  this text; the version\n\n"
        "The letters count by their first character, in any case. See the manual (wdtctl(8); on Windows\n"
        "wdtctl-manual.txt) for every message, setting and file.\n");
}

void print_version(const Host& host) { say(host, Severity::info, "wdtctl %s\n", WDT_VERSION); }

}  // namespace wdt
