#include "command_line/interpreter.h"
#include "command_line/service_marker.h"
#include "platform/system.h"

namespace {

int run_tool(int argc, char** argv) { return wdt::run(argc, argv, wdt::system_host()); }

int run_as_service(int argc, char** argv) { return wdt::run(argc, argv, wdt::system_host(), true); }

}  // namespace

int main(int argc, char** argv) {
    argv = wdt::system::prepare_process(argc, argv);
    if (wdt::take_service_marker(argc, argv)) return wdt::system::run_service(argc, argv, run_as_service);
    return run_tool(argc, argv);
}
