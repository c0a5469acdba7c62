// The real system: messages formatted here and written by the platform (standard output, or a
// service's log), and the platform's own library loading, clock and wait.
#include <cstdio>
#include <cstdlib>

#include "platform/host.h"
#include "platform/system.h"

namespace wdt {
namespace {

// Each message is written whole, in one piece: formatted on the stack, or on the heap when it is
// longer (a usage text with a very long program name).
void print(const char* format, va_list args) {
    char text[1024];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    if (length >= 0 && static_cast<size_t>(length) < sizeof text) {
        system::write_message(text, static_cast<size_t>(length));
    } else if (length > 0) {
        if (char* long_text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1))) {
            std::vsnprintf(long_text, static_cast<size_t>(length) + 1, format, again);
            system::write_message(long_text, static_cast<size_t>(length));
            std::free(long_text);
        }
    }
    va_end(again);
}

// Each message is already out: write_message keeps nothing back.
void flush() {}

}  // namespace

const Host& system_host() {
    static const Host host{system::open_library, system::find_entry, system::is_code, system::library_path, print,
                           flush, system::is_terminal, system::now_ms, system::sleep_until_ms,
                           system::take_stop_requests, system::hold_memory, system::look_up_file,
                           system::start_process, system::poll_process, system::end_process, system::end_strays,
                           system::wall_clock_s, system::process_id, system::process_start, system::boot_id,
                           system::booted_at_s, system::read_record, system::write_record, system::records_written,
                           system::lock_record};
    return host;
}

}  // namespace wdt
