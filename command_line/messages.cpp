#include "command_line/messages.h"

#include <cstdio>
#include <cstring>

#include "command_line/text.h"

namespace wdt {

void refuse(const Host& host, Refusal& refusal, Severity severity, const char* format, ...) {
    va_list args, kept;
    va_start(args, format);
    va_copy(kept, args);
    if (refusal.line[0] == '\0') {
        if (std::vsnprintf(refusal.line, sizeof refusal.line, format, kept) < 0) refusal.line[0] = '\0';
        refusal.line[std::strcspn(refusal.line, "\r\n")] = '\0';
    }
    va_end(kept);
    host.output.print(severity, format, args);
    va_end(args);
}

void refuse_near_miss(const Host& host, Refusal& refusal, const Argument& miss) {
    char shown[200];
    show(miss.text, shown, sizeof shown);
    if (miss.resembles != nullptr) {
        refuse(host, refusal, Severity::refusal, "Option error: %s is not one of the options (did you mean %s, as one "
               "argument?), and nothing was done!\r\n", shown, miss.resembles);
    } else {
        refuse(host, refusal, Severity::refusal, "Option error: %s is not one of the options (--service, --status, --json, "
               "--drill, --heartbeat=PATH, --check=COMMAND, --grace=SECONDS, --repair=COMMAND, --metrics=DIR, --verify, "
               "--help, --version), and nothing was done!\r\n", shown);
    }
}

bool timeout_in_range(int32_t seconds) { return static_cast<uint32_t>(seconds) - 1u <= 511u; }

void refuse_timeout(const Host& host, Refusal& refusal) { refuse(host, refusal, Severity::refusal, "Time Parameter error!\r\n"); }

void say_armed(const Host& host, int32_t seconds) {
    say(host, Severity::info, "System will be reset after %ld seconds.\n", static_cast<long>(seconds));
}

void say_not_set(const Host& host, Refusal& refusal, unsigned n) {
    refuse(host, refusal, Severity::error, "WDT%u could not be set!\r\n", n);
}

bool disable_and_say(const WatchdogDriver& driver, const Host& host, unsigned n, Refusal& refusal) {
    if (disable(driver, n) == Outcome::not_done) {
        refuse(host, refusal, Severity::error, "WDT%u could not be disabled!\r\n", n);
        return false;
    }
    say(host, Severity::info, "WDT%u has already been disabled!\r\n", n);
    return true;
}

}  // namespace wdt
