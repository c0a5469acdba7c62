#include "command_line/interpreter.h"
#include "command_line/reading.h"
#include "platform/system.h"

namespace {

wdt::CommandLine command_line;

// A system that lacks what the tool relies on is refused first, in one line.
int run_here() {
    if (const char* refused = wdt::system::unsupported()) {
        wdt::say(wdt::system_host(), wdt::Severity::refusal, "%s", refused);
        return 1;
    }
    return wdt::run(command_line, wdt::system_host());
}

}  // namespace

int main(int argc, char** argv) {
    argv = wdt::system::prepare_process(argc, argv);
    if (!wdt::read_command_line(argc, argv, command_line)) {
        wdt::say(wdt::system_host(), wdt::Severity::error, "Not enough memory to read the command line!\r\n");
        return 1;
    }
    if (command_line.service) return wdt::system::run_service(run_here);
    return run_here();
}
