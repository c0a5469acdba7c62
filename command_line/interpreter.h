#pragma once

#include "platform/host.h"

namespace wdt {

// Carries out one command line and answers the process's exit status: 0 on success, 1 for the usage
// text and every error. A run that enters the keep-alive loop returns only if the host ends it.
int run(int argc, const char* const* argv, const Host& host);

}  // namespace wdt
