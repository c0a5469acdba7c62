// The kernel driver library: the six entry points of "WDT.dll", on the Linux watchdog devices.
// A device, once opened, stays open for the life of the process and is only closed by a disable,
// so an armed watchdog stays armed when the process ends or is killed.
//
// Unlike a vendor's library, each entry answers what it did: 0 when it did what it was asked, 2
// when that lasts only while this process holds the device (a driver that stops at close), 1 when
// it did not (having said why on standard error). wdtctl_entry_results tells the tool so.
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

#include "kernel_watchdog.h"

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

void complain(const char* line) {
    if (std::strcmp(line, last_said) == 0) return;
    static const bool journal = error_is_journal();
    char text[1406];
    const int length = std::snprintf(text, sizeof text, "%s%s\n", journal ? "<4>" : "", line);
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

// Looks through every process's open files for the device, by its number: stat() of a descriptor's
// link names the file it holds without opening anything.
long find_holder(const kwd::Node& device, char* name, size_t size) {
    DIR* processes = opendir("/proc");
    if (processes == nullptr) return 0;
    long found = 0;
    while (dirent* process = readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        char folder[64];
        std::snprintf(folder, sizeof folder, "/proc/%ld/fd", pid);
        DIR* descriptors = opendir(folder);
        if (descriptors == nullptr) continue;
        while (dirent* descriptor = readdir(descriptors)) {
            char link[400];
            struct stat status {};
            std::snprintf(link, sizeof link, "%s/%s", folder, descriptor->d_name);
            if (descriptor->d_name[0] != '.' && ::stat(link, &status) == 0 && S_ISCHR(status.st_mode) &&
                major(status.st_rdev) == device.major && minor(status.st_rdev) == device.minor) {
                found = pid;
                break;
            }
        }
        closedir(descriptors);
        if (found != 0) break;
    }
    closedir(processes);
    if (found == 0 || size == 0) return found;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/comm", found);
    const long length = read_text(path, name, size - 1);
    name[length > 0 ? length : 0] = '\0';
    name[std::strcspn(name, "\n")] = '\0';
    return found;
}

const kwd::Kernel kKernel{open_path, stat_descriptor, reopen, control, write_bytes, ::close,
                          read_text, read_link, environment, complain, module_references, set_note, has_note,
                          find_holder};
kwd::Watchdogs watchdogs;

int status(kwd::Result result) {
    if (result != kwd::Result::not_done) last_said[0] = '\0';
    return result == kwd::Result::done ? 0 : result == kwd::Result::done_while_held ? 2 : 1;
}

}  // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int wdtctl_entry_results() { return 0x77647402; }
EXPORT int SetWDT0(int32_t milliseconds, int32_t) { return status(kwd::arm(watchdogs, kKernel, 0, milliseconds)); }
EXPORT int SetWDT1(int32_t milliseconds, int32_t) { return status(kwd::arm(watchdogs, kKernel, 1, milliseconds)); }
EXPORT int ResetWDT0() { return status(kwd::refresh(watchdogs, kKernel, 0)); }
EXPORT int ResetWDT1() { return status(kwd::refresh(watchdogs, kKernel, 1)); }
EXPORT int DisableWDT0() { return status(kwd::disable(watchdogs, kKernel, 0)); }
EXPORT int DisableWDT1() { return status(kwd::disable(watchdogs, kKernel, 1)); }
// What sysfs shows of watchdog n (0 or 1), as "Name: value" lines; the length, or -1.
EXPORT int wdtctl_status(int32_t n, char* text, int32_t size) {
    if ((n != 0 && n != 1) || text == nullptr || size <= 0) return -1;
    return kwd::describe(kKernel, n, text, static_cast<size_t>(size));
}
