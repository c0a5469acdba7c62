// The real kernel under the kernel driver library: the system calls and files that kwd::Kernel
// stands for.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "real_kernel.h"

namespace kwd {
namespace {


int open_path(const char* path) { return ::open(path, O_PATH | O_CLOEXEC); }

int stat_descriptor(int fd, kwd::Node* node) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return -1;
    node->character_device = S_ISCHR(status.st_mode);
    node->major = major(status.st_rdev);
    node->minor = minor(status.st_rdev);
    return 0;
}

// Opening through /proc/self/fd opens the very file that the descriptor names, wherever its path
// points by now. Never blocks (a FIFO without a reader fails at once) and never becomes the
// controlling terminal. The device never keeps a number of 0 to 2, which a process started with
// standard output or error closed would otherwise give it: messages would go into the watchdog.
int reopen(int fd) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int opened = ::open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (opened < 0 || opened > STDERR_FILENO) return opened;
    const int moved = ::fcntl(opened, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);  // the same open file: no close of it
    const int error = errno;
    ::close(opened);
    errno = error;
    return moved;
}

int control(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }

long write_bytes(int fd, const char* data, size_t size) { return ::write(fd, data, size); }

long read_text(const char* path, char* buffer, size_t size) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    const long length = ::read(fd, buffer, size);
    const int error = errno;
    ::close(fd);
    errno = error;
    return length;
}

long read_link(const char* path, char* buffer, size_t size) { return ::readlink(path, buffer, size); }

const char* environment(const char* name) { return std::getenv(name); }

// A problem is one line on standard error, written only when it can be taken at once (a journal or
// a pipe that stalls must never hold up the keep-alive), and said once while it repeats: a loop
// whose refresh keeps failing says why once, until a call works again. A line that standard error
// did not take is not said yet, and is tried again when it comes again.
char last_said[1400];

// Whether standard error is the journal's stream (systemd names it in JOURNAL_STREAM): there each
// line is marked a warning, in the form the journal reads and takes off.
bool error_is_journal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat status {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDERR_FILENO, &status) == 0 && static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

int error_journal = -1;  // 1 or 0 once known

void complain(const char* line) {
    if (std::strcmp(line, last_said) == 0) return;
    if (error_journal < 0) error_journal = error_is_journal() ? 1 : 0;
    char text[1406];
    const int length = std::snprintf(text, sizeof text, "%s%s\n", error_journal == 1 ? "<4>" : "", line);
    pollfd error{STDERR_FILENO, POLLOUT, 0};
    if (length <= 0 || poll(&error, 1, 0) != 1 || (error.revents & POLLOUT) == 0) return;
    if (::write(STDERR_FILENO, text, static_cast<size_t>(length)) != length) return;  // nobody to tell
    std::snprintf(last_said, sizeof last_said, "%s", line);
}

int module_references(kwd::ModuleReferences* counts, int size) {
    DIR* modules = ::opendir("/sys/module");
    if (modules == nullptr) return -1;
    int found = 0;
    while (const dirent* entry = ::readdir(modules)) {
        if (entry->d_name[0] == '.' || found == size) continue;
        char path[320], text[24];
        std::snprintf(path, sizeof path, "/sys/module/%s/refcnt", entry->d_name);
        const long length = read_text(path, text, sizeof text - 1);
        if (length <= 0) continue;  // built into the kernel: no count
        text[length] = '\0';
        std::snprintf(counts[found].name, sizeof counts[found].name, "%.63s", entry->d_name);
        counts[found++].count = std::strtol(text, nullptr, 10);
    }
    ::closedir(modules);
    return found;
}

// Notes live in /run, which the machine empties when it starts, and name the boot they belong to,
// in case it is not emptied. The folder is the tool's own: made by root, or not used.
constexpr const char* kNotes = "/run/wdtctl";

bool read_boot(char* boot, size_t size) {
    const long length = read_text("/proc/sys/kernel/random/boot_id", boot, size - 1);
    if (length <= 0) return false;
    boot[length] = '\0';
    return true;
}

int open_notes() {
    ::mkdir(kNotes, 0755);
    const int folder = ::open(kNotes, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (folder >= 0 && (::fstat(folder, &status) != 0 || status.st_uid != ::geteuid() || (status.st_mode & 022) != 0)) {
        ::close(folder);
        return -1;
    }
    return folder;
}

void note_name(const kwd::Node& device, char* name, size_t size) {
    std::snprintf(name, size, "running-%u-%u", device.major, device.minor);
}

bool set_note(const kwd::Node& device, bool running) {
    char name[48], boot[64];
    note_name(device, name, sizeof name);
    const int folder = open_notes();
    if (folder < 0) return false;
    bool done = false;
    if (!running) {
        done = ::unlinkat(folder, name, 0) == 0 || errno == ENOENT;
    } else if (read_boot(boot, sizeof boot)) {
        const int note = ::openat(folder, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        const size_t length = std::strlen(boot);
        done = note >= 0 && ::write(note, boot, length) == static_cast<ssize_t>(length);
        if (note >= 0) ::close(note);
    }
    ::close(folder);
    return done;
}

bool has_note(const kwd::Node& device) {
    char name[48], path[96], boot[64], noted[64];
    note_name(device, name, sizeof name);
    std::snprintf(path, sizeof path, "%s/%s", kNotes, name);
    const long length = read_text(path, noted, sizeof noted - 1);
    if (length <= 0 || !read_boot(boot, sizeof boot)) return false;
    noted[length] = '\0';
    return std::strcmp(noted, boot) == 0;
}

int each_entry(const char* folder, void (*each)(const char* name, void* context), void* context) {
    DIR* entries = ::opendir(folder);
    if (entries == nullptr) return -1;
    while (const dirent* entry = ::readdir(entries)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) each(entry->d_name, context);
    }
    ::closedir(entries);
    return 0;
}

const Kernel kKernel{open_path, stat_descriptor, reopen, control, write_bytes, ::close,
                          read_text, read_link, environment, complain, module_references, set_note, has_note,
                          each_entry};
}  // namespace

const Kernel& real_kernel() { return kKernel; }

void forget_complaint() { last_said[0] = '\0'; }

}  // namespace kwd
