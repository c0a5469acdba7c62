#pragma once

#include "platform/host.h"

namespace wdt {

// The original usage text, for fewer than two arguments.
void print_usage(const Host& host, const char* name);
// --help: the whole command line in short, every option in one line.
void print_help(const Host& host, const char* name);
// --version: the tool's name and version.
void print_version(const Host& host);

}  // namespace wdt
