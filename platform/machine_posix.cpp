// What a drill's report names, on Linux and other POSIX systems: the host name, the machine as the
// firmware's tables name it (sysfs; the serial only where this process may read it), the user from
// /etc/passwd (no name service is asked, so no network can hold the drill up), and a file's bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"

namespace wdt::system {
namespace {

// The first line of a small file, without its line end; false when there is none.
bool first_line(const char* path, char* text, size_t size) {
    const int file = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return false;
    const ssize_t length = read(file, text, size - 1);
    close(file);
    if (length <= 0) return false;
    text[length] = '\0';
    text[std::strcspn(text, "\r\n")] = '\0';
    return text[0] != '\0';
}

// The name of the user of that uid in /etc/passwd; false when it has none there.
bool passwd_name(unsigned uid, char* text, size_t size) {
    std::FILE* file = std::fopen("/etc/passwd", "re");
    if (file == nullptr) return false;
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file) != nullptr) {
        const char* name_end = std::strchr(line, ':');
        const char* uid_field = name_end != nullptr ? std::strchr(name_end + 1, ':') : nullptr;
        if (uid_field == nullptr || std::strtoul(uid_field + 1, nullptr, 10) != uid) continue;
        std::snprintf(text, size, "%.*s", static_cast<int>(name_end - line), line);
        found = true;
    }
    std::fclose(file);
    return found;
}

}  // namespace

bool host_name(char* text, size_t size) {
    if (gethostname(text, size) != 0) return false;
    text[size - 1] = '\0';
    return text[0] != '\0';
}

bool machine_product(char* text, size_t size) {
    char vendor[128] = "", product[128] = "", serial[128] = "";
    first_line("/sys/class/dmi/id/sys_vendor", vendor, sizeof vendor);
    first_line("/sys/class/dmi/id/product_name", product, sizeof product);
    const bool has_serial = first_line("/sys/class/dmi/id/product_serial", serial, sizeof serial);
    if (vendor[0] == '\0' && product[0] == '\0') return false;
    std::snprintf(text, size, "%s%s%s, serial %s", vendor, vendor[0] != '\0' && product[0] != '\0' ? " " : "", product,
                  has_serial ? serial : geteuid() == 0 ? "unknown" : "unknown (readable by root)");
    return true;
}

bool user_name(char* text, size_t size) {
    const unsigned uid = getuid();
    char name[128];
    if (!passwd_name(uid, name, sizeof name)) std::snprintf(name, sizeof name, "uid %u", uid);
    const char* by = std::getenv("SUDO_USER");
    if (by != nullptr && by[0] != '\0') {
        std::snprintf(text, size, "%s (by sudo, from %s)", name, by);
    } else {
        std::snprintf(text, size, "%s", name);
    }
    return true;
}

bool read_file(const char* path, void (*each)(const void* data, size_t size, void* context), void* context) {
    const int file = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return false;
    char piece[16384];
    ssize_t got = 0;
    while ((got = read(file, piece, sizeof piece)) > 0) each(piece, static_cast<size_t>(got), context);
    close(file);
    return got == 0;
}

}  // namespace wdt::system
