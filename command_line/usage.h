#pragma once

#include "platform/host.h"

namespace wdt {

void print_usage(const Host& host, const char* name);

}  // namespace wdt
