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
void print(Severity severity, const char* format, va_list args) {
    char text[1024];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    if (length >= 0 && static_cast<size_t>(length) < sizeof text) {
        system::write_message(severity, text, static_cast<size_t>(length));
    } else if (length > 0) {
        if (char* long_text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1))) {
            std::vsnprintf(long_text, static_cast<size_t>(length) + 1, format, again);
            system::write_message(severity, long_text, static_cast<size_t>(length));
            std::free(long_text);
        }
    }
    va_end(again);
}

// Each message is already out: write_message keeps nothing back.
void flush() {}

}  // namespace

const Host& system_host() {
    static const Host host{
        .library = {.open = system::open_library, .find = system::find_entry, .is_code = system::is_code,
                    .path = system::library_path, .service_wait_ms = system::service_wait_ms},
        .output = {.print = print, .flush = flush, .is_terminal = system::is_terminal},
        .clock = {.now_ms = system::now_ms, .sleep_until_ms = system::sleep_until_ms,
                  .take_stop_requests = system::take_stop_requests, .wall_clock_s = system::wall_clock_s,
                  .booted_at_s = system::booted_at_s},
        .process = {.id = system::process_id, .start_of = system::process_start, .boot_id = system::boot_id,
                    .hold_memory = system::hold_memory},
        .files = {.look_up = system::look_up_file},
        .children = {.start = system::start_process, .may_run = system::may_run, .poll = system::poll_process, .end = system::end_process,
                     .end_strays = system::end_strays},
        .records = {.read = system::read_record, .write = system::write_record, .written = system::records_written,
                    .lock = system::lock_record, .unlock = system::unlock_record,
                    .keeper = system::read_keeper, .folder = system::records_folder,
                    .write_metrics = system::write_metrics, .metrics_written = system::metrics_written,
                    .metrics_folder = system::metrics_folder},
        .machine = {.host_name = system::host_name, .product = system::machine_product, .user = system::user_name,
                    .read_file = system::read_file},
        .words = system::words,
    };
    return host;
}

}  // namespace wdt
