// Everything the tool takes from the operating system and the C runtime, gathered in records of
// function addresses, one per concern, so that tests and the fuzzer can stand in for the real system.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace wdt {

// How serious a message is: the journal's priority and the Event Log's type follow it. A refusal is
// a command line, or a start, that is not carried out; it ranks as an error.
enum class Severity : uint8_t { info, warning, error, refusal };

// How a wait of the keep-alive loop ended.
enum class Wake {
    due,             // the deadline was reached
    stop_requested,  // a deliberate stop (service mode, a drill): the loop ends and disarms the watchdog
    suspending,      // the machine is about to sleep or hibernate (service mode): the loop disarms
    resumed,         // the machine woke up again: the loop arms again and goes on
    shutting_down,   // the machine is shutting down (service mode, on Windows): guards no longer hold refreshes back
};

// How a child process that the tool started stands.
enum class ProcessState {
    running,
    succeeded,  // ended with exit status 0
    failed,     // ended otherwise
    not_found,  // its command was not found, or cannot be run (POSIX: the shell's status 127 or 126)
};

// What a child process that the tool starts is for.
enum class ChildRole {
    check,   // what it starts belongs to it, and ends with it, wherever it goes
    repair,  // what it starts in a session of its own (on Windows: breaking away from its job) is
             // the application restarted, which outlives the repair and the tool
};

// A file's modification time, exactly as the file system keeps it.
struct FileTime {
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    bool operator==(const FileTime&) const = default;
};

enum class FileKind { unknown, found, absent, unreadable };

// What the look-ups of one heartbeat file have answered, as look_up reports it.
struct Lookup {
    uint32_t answers = 0;           // how many look-ups have answered so far
    FileKind kind = FileKind::unknown;  // what the last one found
    FileTime time;                  // the file's time, when found
    int64_t read_ms = 0;            // when the last one that answered began to read (now_ms's clock)
    int64_t waiting_since_ms = -1;  // a look-up asked for and not answered yet: since when; -1 when none
    char reason[96] = "";           // why the file could not be read, when unreadable
};

// How a read of the record went.
enum class RecordRead {
    none,     // there is no record
    read,     // the buffer holds it
    refused,  // something is there that is not the tool's own file: `reason` says what, and it is not used
    denied,   // this process may not read it (not root, not elevated)
};

// Whether this process keeps a watchdog: only one process at a time does. Taken once, the lock is
// this process's until it ends; taking it again answers taken. Unavailable: there is no lock to
// take (a process without the rights to one, a system without the folder), and the run goes on
// as it did before keepers were kept apart; denied: this process may not take it (not root, not
// elevated), and goes on likewise, as the driver lets it.
enum class RecordLock { taken, held_elsewhere, unavailable, denied };

struct Host {
    // The driver library.
    struct Library {
        // Loads a dynamic library by file name; nullptr when it cannot be loaded.
        void* (*open)(const char* file_name);
        // Looks up an exported name; nullptr when the library does not export it.
        void* (*find)(void* library, const char* name);
        // Whether an address that find answered is a function's, not data's.
        bool (*is_code)(void* address);
        // The full path of the file a library was loaded from; false when it cannot be told.
        bool (*path)(void* library, char* text, size_t size);
        // How long a service waits for the library to load and its first arm to be done, where the
        // system gives it nothing to wait on (Windows: a vendor's driver may come up late in the
        // boot); 0 where the service manager waits for the device itself (systemd).
        int64_t (*service_wait_ms)();
    } library;

    // Where the tool's messages go.
    struct Output {
        // Formats a message onto standard output (a service's: its log), with its severity.
        void (*print)(Severity severity, const char* format, va_list args);
        // Pushes everything printed so far out of the process.
        void (*flush)();
        // Whether standard output is a terminal (a console), where a line may be written over.
        bool (*is_terminal)();
    } output;

    struct Clock {
        // Milliseconds on a clock that only moves forwards and ignores changes of the wall clock.
        int64_t (*now_ms)();
        // Blocks until now_ms() reaches the deadline, a deliberate stop is requested, or the machine
        // is about to sleep or has woken up. After `suspending`, the next call lets the machine sleep.
        Wake (*sleep_until_ms)(int64_t deadline);
        // From now on the requests that end a console program (Ctrl-C, SIGTERM, SIGHUP; on Windows
        // Ctrl-C and the console's close) are taken by the wait, which answers stop_requested.
        void (*take_stop_requests)();
        // Seconds since 1970 on the wall clock: only for saying when something happened.
        int64_t (*wall_clock_s)();
        // When the machine last started, in seconds since 1970 on the wall clock.
        int64_t (*booted_at_s)();
    } clock;

    // This process, and what tells processes and boots apart.
    struct Process {
        int64_t (*id)();
        // What tells this start of the process from any other process that had the same pid: 0
        // when no process of that pid runs, -1 when it cannot be told.
        int64_t (*start_of)(int64_t pid);
        // What tells this boot of the machine from every other (Linux: the kernel's boot id); false
        // when it cannot be told.
        bool (*boot_id)(char* text, size_t size);
        // Keeps the process's memory in RAM from now on, so that a wake never waits for pages read
        // back from disk; quietly does nothing where the system refuses.
        void (*hold_memory)();
    } process;

    // Heartbeat files.
    struct Files {
        // A file's modification time, looked up away from the loop's thread, so that a file system
        // that does not answer never holds up the loop: answers into `lookup` what the look-ups of
        // the file in `slot` (0 to 15) have found so far, and asks for another one unless one is
        // still under way. Never waits.
        void (*look_up)(int slot, const char* path, Lookup& lookup);
    } files;

    // The checks and repairs that the tool starts.
    struct Children {
        // Starts a command as a child process (POSIX: /bin/sh -c COMMAND; Windows: a command line
        // as CreateProcess takes it) in a process group (a job) of its own, with no input, its
        // output discarded and the default out-of-memory score, and never waits for it. Answers an
        // id above 0; 0 when it could not be started.
        int64_t (*start)(const char* command, ChildRole role);
        // Whether a service may run the command: on Windows, whose services run it as SYSTEM (and
        // where start runs no other for a service or a run with the administrators' rights), only a
        // program that nobody but the administrators may change; false with why. A program that is
        // not found is left to start (and be said not found).
        bool (*may_run)(const char* command, char* why, size_t size);
        ProcessState (*poll)(int64_t id);
        // Ends the process and what it started in its group (its job), and forgets it; never waits
        // for them.
        void (*end)(int64_t id);
        // Ends whatever checks left behind outside their groups, once their own parents have gone,
        // and reaps every other child that has ended; never a process that no check started (what
        // a repair started, or an orphan that came to the tool as the first process of a PID
        // namespace). `all` first ends every check and repair still running, at the tool's end.
        // Answers false when the system keeps no list of the tool's children, and they were looked
        // for among all processes instead.
        bool (*end_strays)(bool all);
    } children;

    // A service's record of each watchdog, kept where the system keeps a service's state.
    struct Records {
        // The read takes only a regular file of the tool's own, never following a link or blocking.
        RecordRead (*read)(unsigned n, char* buffer, size_t size, char* reason, size_t reason_size);
        // Hands the record over to be written whole (a temporary file, flushed to disk, renamed
        // over the old one) away from the caller's thread; the latest text handed over is the one
        // written.
        void (*write)(unsigned n, const char* text, size_t length);
        // Waits, at most so long, until what was handed over (records and metrics) is written;
        // answers false when a record's write has failed since the process started, or has not
        // finished in time. Answers at once with 0.
        bool (*written)(int64_t wait_ms);
        // Keeps other processes from keeping watchdog n (a keep-alive, a drill, a command that
        // arms or disarms it) for as long as this process runs; `keeper` (one record of "Name:
        // value" lines) says who holds it, for another process that is refused. Only a privileged
        // process can take, hold or block it.
        // `reason` says why where it cannot be had.
        RecordLock (*lock)(unsigned n, const char* keeper, char* reason, size_t reason_size);
        // Gives watchdog n's lock back before the process ends: a status that wrote back what it
        // settled; a stop whose process cannot end at once (a thread held by a file system).
        void (*unlock)(unsigned n);
        // What the process that holds watchdog n's lock said of itself; none when nobody has.
        RecordRead (*keeper)(unsigned n, char* text, size_t size);
        // The records' folder, as it would be used; false when it cannot be told.
        bool (*folder)(char* text, size_t size);

        // A keep-alive's metrics for Prometheus's textfile collectors: DIR/wdtctl_w<n>.prom,
        // written whole (a temporary name that does not end in .prom, renamed in the folder) on a
        // thread of their own, away from the caller's and the records'; the latest text handed
        // over is the one written.
        void (*write_metrics)(unsigned n, const char* folder, const char* text, size_t length);
        // False, with why, when the metrics handed over last could not be written.
        bool (*metrics_written)(char* reason, size_t size);
        // Whether a folder may take the metrics: there, a folder, and writable by root (the
        // administrators) alone; false with why.
        bool (*metrics_folder)(const char* path, char* reason, size_t size);
    } records;

    // What a drill's report names: the machine, who runs the tool, what the driver library is.
    struct Machine {
        // The machine's host name; false when it cannot be told.
        bool (*host_name)(char* text, size_t size);
        // The machine's make, product and serial, as far as this process may read them.
        bool (*product)(char* text, size_t size);
        // Who runs this process (and, where the platform says so, on whose behalf).
        bool (*user)(char* text, size_t size);
        // Reads a whole file, handing each piece to `each`; false when it cannot be read whole.
        bool (*read_file)(const char* path, void (*each)(const void* data, size_t size, void* context), void* context);
    } machine;

    // The platform's own words in messages.
    struct Words {
        const char* stop_service;   // "systemctl stop wdtctl"
        const char* start_service;  // "systemctl start wdtctl"
        const char* end_process;    // "kill": followed by a pid
        const char* privileged;     // "run as root"
    };
    const Words& words;
};

// The real operating system; one implementation per platform.
const Host& system_host();

// printf onto the host's standard output, with the message's severity.
[[gnu::format(printf, 3, 4)]] void say(const Host& host, Severity severity, const char* format, ...);

}  // namespace wdt
