// The real kernel under the kernel driver library.
#pragma once

#include "kernel_watchdog.h"

namespace kwd {

const Kernel& real_kernel();
// A complaint that repeats is said once; after a call that worked, it is said again when it comes.
void forget_complaint();

}  // namespace kwd
