// What sysfs shows of a watchdog, for a status that must never touch the watchdog itself.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "watchdog_device.h"

namespace kwd {
namespace {

// The causes of the last reset that a driver may set in bootstatus (WDIOF_* of the watchdog API).
constexpr struct {
    unsigned long flag;
    const char* name;
} kCauses[] = {{0x0001, "overheat"}, {0x0002, "fan fault"}, {0x0004, "external relay 1"},
               {0x0008, "external relay 2"}, {0x0010, "power under"}, {0x0020, "card reset"},
               {0x0040, "power over"}};

struct Lines {
    char* text;
    size_t size, used;
};

[[gnu::format(printf, 2, 3)]] void add(Lines& lines, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(lines.text + lines.used, lines.size - lines.used, format, arguments);
    va_end(arguments);
    if (length > 0) lines.used = std::min(lines.size - 1, lines.used + static_cast<size_t>(length));
}

// An attribute's first line, or "unknown" when the driver or the kernel does not show it.
const char* attribute(const Kernel& kernel, const Device& device, const char* name, char (&text)[128]) {
    if (!read_attribute(kernel, device, name, text, sizeof text)) return "unknown";
    text[std::strcspn(text, "\n")] = '\0';
    return text;
}

void add_seconds(Lines& lines, const char* name, const char* value) {
    add(lines, "%s: %s%s\n", name, value, std::strcmp(value, "unknown") == 0 ? "" : " s");
}

void add_boot_status(Lines& lines, const Kernel& kernel, const Device& device) {
    char text[128];
    const char* shown = attribute(kernel, device, "bootstatus", text);
    char* end = nullptr;
    const unsigned long flags = std::strtoul(shown, &end, 0);
    if (end == shown) {
        add(lines, "Boot status: unknown\n");
        return;
    }
    add(lines, "Boot status: %s", flags == 0 ? "none" : "");
    const char* separator = "";
    for (const auto& cause : kCauses) {
        if ((flags & cause.flag) == 0) continue;
        add(lines, "%s%s", separator, cause.name);
        separator = ", ";
    }
    add(lines, "\n");
}

}  // namespace

int describe(const Kernel& kernel, int n, char* text, size_t size) {
    Device device{};
    if (size == 0 || !find_device(kernel, n, device)) return -1;
    release_path(kernel, device);
    Lines lines{text, size, 0};
    text[0] = '\0';
    char value[128];
    add(lines, "Device: %s\n", device.path);
    add(lines, "Driver: %s\n", device.legacy ? "a legacy driver (no sysfs folder)" : attribute(kernel, device, "identity", value));
    add(lines, "State: %s\n", device.state == State::active     ? "active"
                              : device.state == State::inactive ? "inactive"
                                                                : "unknown");
    add_seconds(lines, "Timeout", attribute(kernel, device, "timeout", value));
    add_seconds(lines, "Time left", attribute(kernel, device, "timeleft", value));
    const char* nowayout = attribute(kernel, device, "nowayout", value);
    add(lines, "Nowayout: %s\n", nowayout[0] == '1' ? "yes" : nowayout[0] == '0' ? "no" : "unknown");
    add_boot_status(lines, kernel, device);
    char name[64];
    const long holder = kernel.find_holder(device.node, name, sizeof name);
    if (holder > 0) {
        add(lines, "Held by: pid %ld (%s)\n", holder, name);
    } else {
        add(lines, "Held by: nobody\n");
    }
    return static_cast<int>(lines.used);
}

}  // namespace kwd
