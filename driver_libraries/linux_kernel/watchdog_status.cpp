// What sysfs shows of a watchdog, for a status that must never touch the watchdog itself, and the
// process that holds it, found in /proc without waiting on any file system.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "watchdog_device.h"

namespace kwd {
namespace {

// The causes of the last reset that a driver may set in bootstatus (WDIOF_* of the watchdog API);
// any other bit is shown by its value.
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
    unsigned long flags = std::strtoul(shown, &end, 0);
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
        flags &= ~cause.flag;
    }
    if (flags != 0) add(lines, "%s%#lx", separator, flags);
    add(lines, "\n");
}

// The names under which a process may hold the device: the node's own path (where the chosen
// path's links lead), and for the kernel's watchdog 0 its second node, /dev/watchdog (10:130).
struct Names {
    char paths[3][512];
    const char* list[3];
    int count = 0;
};

void add_name(Names& names, const char* path) {
    for (int i = 0; i < names.count; ++i) {
        if (std::strcmp(names.paths[i], path) == 0) return;
    }
    if (names.count == 3) return;
    std::snprintf(names.paths[names.count], sizeof names.paths[0], "%s", path);
    names.list[names.count] = names.paths[names.count];
    ++names.count;
}

void name_device(const Kernel& kernel, const Device& device, Names& names) {
    char link[40], target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", device.path_fd);
    const long length = kernel.read_link(link, target, sizeof target - 1);
    if (length > 0) {
        target[length] = '\0';
        add_name(names, target);
    }
    add_name(names, device.path);
    char first[32], own[32];
    std::snprintf(own, sizeof own, "%u:%u\n", device.node.major, device.node.minor);
    const long got = kernel.read_text("/sys/class/watchdog/watchdog0/dev", first, sizeof first - 1);
    if (got > 0) first[got] = '\0';
    const bool first_of_core = got > 0 && std::strcmp(first, own) == 0;
    if (first_of_core || device.legacy || (device.node.major == 10 && device.node.minor == 130)) {
        add_name(names, "/dev/watchdog");
        if (!device.legacy) add_name(names, "/dev/watchdog0");
    }
}

// The search through /proc/<pid>/fd: each descriptor's link names its file without touching it, and
// fdinfo its flags; a descriptor opened with O_PATH can do no I/O, and holds nothing.
struct Search {
    const Kernel& kernel;
    const char* const* names;
    int count;
    long pid = 0;       // the process being looked at
    long found = 0;
    bool incomplete = false;  // some process's descriptors could not be looked at
    char* name;
    size_t size;
};

bool can_do_io(const Kernel& kernel, long pid, const char* descriptor) {
    char path[64], text[256];
    std::snprintf(path, sizeof path, "/proc/%ld/fdinfo/%s", pid, descriptor);
    const long length = kernel.read_text(path, text, sizeof text - 1);
    if (length <= 0) return false;
    text[length] = '\0';
    const char* flags = std::strstr(text, "flags:");
    return flags != nullptr && (std::strtoul(flags + 6, nullptr, 8) & O_PATH) == 0;
}

void look_at_descriptor(const char* descriptor, void* context) {
    Search& search = *static_cast<Search*>(context);
    if (search.found != 0) return;
    char path[64], target[512];
    std::snprintf(path, sizeof path, "/proc/%ld/fd/%s", search.pid, descriptor);
    const long length = search.kernel.read_link(path, target, sizeof target - 1);
    if (length <= 0) return;
    target[length] = '\0';
    bool named = false;
    for (int i = 0; i < search.count; ++i) named = named || std::strcmp(target, search.names[i]) == 0;
    if (!named || !can_do_io(search.kernel, search.pid, descriptor)) return;
    // Its name, read now: a process that has ended meanwhile holds nothing any more.
    std::snprintf(path, sizeof path, "/proc/%ld/comm", search.pid);
    const long got = search.kernel.read_text(path, search.name, search.size - 1);
    if (got <= 0) return;
    search.name[got] = '\0';
    search.name[std::strcspn(search.name, "\n")] = '\0';
    search.found = search.pid;
}

void look_at_process(const char* entry, void* context) {
    Search& search = *static_cast<Search*>(context);
    char* end = nullptr;
    const long pid = std::strtol(entry, &end, 10);
    if (search.found != 0 || pid <= 0 || *end != '\0') return;
    char folder[64];
    std::snprintf(folder, sizeof folder, "/proc/%ld/fd", pid);
    search.pid = pid;
    if (search.kernel.each_entry(folder, look_at_descriptor, &search) != 0 && errno != ENOENT) search.incomplete = true;
}

void add_holder(Lines& lines, const Kernel& kernel, const Device& device) {
    Names names;
    name_device(kernel, device, names);
    char name[64] = "";
    const long holder = find_holder(kernel, names.list, names.count, name, sizeof name);
    if (holder > 0) {
        add(lines, "Held by: pid %ld (%s)\n", holder, name);
    } else if (holder < 0) {
        add(lines, "Held by: unknown (the descriptors of some processes cannot be looked at)\n");
    } else {
        add(lines, "Held by: nobody\n");
    }
}

}  // namespace

long find_holder(const Kernel& kernel, const char* const* names, int count, char* name, size_t size) {
    Search search{kernel, names, count, 0, 0, false, name, size};
    if (kernel.each_entry("/proc", look_at_process, &search) != 0) search.incomplete = true;
    return search.found != 0 ? search.found : search.incomplete ? -1 : 0;
}

int describe(const Kernel& kernel, int n, bool holder, char* text, size_t size) {
    Device device{};
    if (size == 0 || !find_device(kernel, n, device)) return -1;
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
    if (holder) add_holder(lines, kernel, device);
    release_path(kernel, device);
    return static_cast<int>(lines.used);
}

}  // namespace kwd
