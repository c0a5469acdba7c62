// Watchdogs 0 and 1 on top of the Linux watchdog device API: the logic behind the six entry points
// of the kernel driver library. The kernel is reached through a record of function addresses so
// that tests can stand in for it.
//
// Nothing is opened, written or asked of a device until it is known to be a watchdog: the path is
// resolved once, without opening the device, to a character device whose number belongs to the
// watchdog class in sysfs (or the legacy node 10:130), and exactly that file is then opened and
// must answer the watchdog's own request. Anything else gets one line on standard error and is
// left untouched.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwd {

// What stat() tells of a file.
struct Node {
    bool character_device = false;
    unsigned major = 0;
    unsigned minor = 0;
};

struct ModuleReferences {
    char name[64];
    long count;
};

struct Kernel {
    // Resolves a path (following links) to a descriptor that names the file without opening it
    // (O_PATH): nothing of the device runs. A descriptor, or -1 with errno.
    int (*open_path)(const char* path);
    int (*fstat)(int fd, Node* node);
    // Opens, for writing and never blocking, the very file that a descriptor names.
    int (*reopen)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* argument);  // -1 with errno on failure
    long (*write)(int fd, const char* data, size_t size);
    int (*close)(int fd);
    long (*read_text)(const char* path, char* buffer, size_t size);  // bytes read, or -1 with errno
    long (*read_link)(const char* path, char* buffer, size_t size);  // bytes, or -1 with errno
    const char* (*getenv)(const char* name);
    void (*complain)(const char* line);  // one line on standard error
    // Fills `counts` with the references that each loaded module holds; answers how many, or -1.
    int (*module_references)(ModuleReferences* counts, int size);
    // A note that outlives the process until the machine starts again: that this library left the
    // watchdog of that device number running. Set or cleared; answers whether that worked.
    bool (*set_note)(const Node& device, bool running);
    bool (*has_note)(const Node& device);
    // Calls `each` with the name of every entry of a folder but . and ..; -1 with errno when the
    // folder cannot be read.
    int (*each_entry)(const char* folder, void (*each)(const char* name, void* context), void* context);
};

enum class Known { no, yes, unknown };

// What this process knows of each watchdog: its open device while held (-1 otherwise), what its
// driver supports, whether the driver is a legacy one, whether sysfs shows its state, whether it
// may never stop, and whether the last arm failed.
struct Watchdogs {
    int fd[2] = {-1, -1};
    uint32_t options[2] = {};
    bool legacy[2] = {};
    bool stateless[2] = {};
    Node node[2] = {};
    Known nowayout[2] = {Known::unknown, Known::unknown};
    bool arm_failed[2] = {};
};

// What an operation did. When it did not do what it was asked, it has said why on standard error.
enum class Result {
    done,
    not_done,
    // Done, but the driver stops the watchdog when its device is closed: it lasts only while this
    // process holds the device.
    done_while_held,
};

// Arms the watchdog: opens it if needed, sets the timeout (milliseconds rounded up to whole
// seconds) and refreshes it. A timeout that is refused, or set shorter than asked, leaves a
// watchdog that this call started stopped again; one that was already running keeps running.
Result arm(Watchdogs& watchdogs, const Kernel& kernel, int n, int32_t milliseconds);

// Refreshes the watchdog. Without an open device a stopped watchdog is left alone (that is not a
// failure: there is nothing to refresh), since opening the device would start it; after a failed
// arm nothing is opened at all, so that another keeper's watchdog is never taken over. Where sysfs
// does not show whether the watchdog runs (a legacy driver, a kernel without the watchdog's sysfs
// files), only a device held, or one that this library noted it left running, is refreshed.
Result refresh(Watchdogs& watchdogs, const Kernel& kernel, int n);

// Stops the watchdog, also one that runs without anyone holding it, and closes it. A stopped one
// is a success; one whose stop is refused (nowayout), or cannot be confirmed, is a failure. A
// watchdog that the call itself started is never left running.
Result disable(Watchdogs& watchdogs, const Kernel& kernel, int n);

// Writes what sysfs shows of watchdog n, one "Name: value" line each, into text (at most size
// bytes with the final NUL), never opening, writing or asking the device; with `holder`, also
// which process holds it, found from /proc alone. Answers the length, or -1 (having said why)
// when the device is not a watchdog this library would touch.
int describe(const Kernel& kernel, int n, bool holder, char* text, size_t size);

// The process that holds a file of one of these names open for I/O, found from /proc alone: the
// link of each descriptor names its file without touching it (a file on a file system that stopped
// answering included), fdinfo tells its flags. Its pid, with its name in `name`; 0 when no process
// does; -1 when none was found and some processes' descriptors could not be looked at.
long find_holder(const Kernel& kernel, const char* const* names, int count, char* name, size_t size);

}  // namespace kwd
