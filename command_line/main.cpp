#include "command_line/interpreter.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    wdt::system::prepare_process();
    return wdt::run(argc, argv, wdt::system_host());
}
