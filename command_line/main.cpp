#include "command_line/interpreter.h"

int main(int argc, char** argv) { return wdt::run(argc, argv, wdt::system_host()); }
