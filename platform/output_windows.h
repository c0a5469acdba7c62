// The Windows output thread, as the service's side uses it.
#pragma once

namespace wdt::system {

// From now on messages go to the service's log and the Application log.
void send_output_to_log();
// Waits until what is queued is written, unless one write has been stuck for two seconds.
void finish_output();

}  // namespace wdt::system
