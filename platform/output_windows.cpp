// The tool's messages on Windows: handed to a thread of their own, which writes them where they go
// (standard output, or a service's log) and gives a service's as events to the Application log.
// The loop's thread never waits for a console (a selection in progress holds every write to it), a
// pipe that nobody reads, or a disk (Windows extends a file synchronously, whatever the flags).
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/access_windows.h"
#include "platform/output_windows.h"
#include "platform/system.h"
#include "platform/win32.h"

namespace wdt::system {
namespace {

constexpr DWORD kMessageEvent = 1;  // the message table's one entry (packaging/windows/messages.mc)
constexpr int kSlots = 16;
constexpr DWORD kSlotSize = 2048;

// A message that finds no room is dropped. At the end of the process what is queued is written,
// unless one write has been stuck for two seconds: a thread that a busy machine has not yet run
// is waited for.
struct Output {
    HANDLE target = INVALID_HANDLE_VALUE;  // where the messages are written, if anywhere
    bool log = false;                      // a service's log: its lines end as written
    HANDLE events = nullptr;               // a service's event source: each message is an event too
    bool running = false;
    CRITICAL_SECTION lock;
    HANDLE queued = nullptr;  // set when a message is queued
    HANDLE idle = nullptr;    // set while nothing is queued or being written
    char texts[kSlots][kSlotSize];
    DWORD lengths[kSlots];
    bool last_part[kSlots];   // a long message takes several slots; its event is given at its end
    wdt::Severity severities[kSlots];
    int first = 0, count = 0;
    int64_t writing_since = 0;  // when the write under way began; 0 while none is
};
Output output;

// One event in the Application log, of the type the message's severity says; its one string is
// the message without its line end (the message table's only entry shows it as it is).
void report_event(wdt::Severity severity, const char* text, DWORD length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    static wchar_t wide[8192];
    const int count = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), wide, 8191);
    if (count <= 0) return;
    wide[count] = L'\0';
    const WORD type = severity == wdt::Severity::info      ? EVENTLOG_INFORMATION_TYPE
                      : severity == wdt::Severity::warning ? EVENTLOG_WARNING_TYPE
                                                           : EVENTLOG_ERROR_TYPE;
    const wchar_t* strings[] = {wide};
    ReportEventW(output.events, type, 0, kMessageEvent, nullptr, 1, 0, strings, nullptr);
}

DWORD WINAPI write_output(void*) {
    static char text[kSlotSize];
    static char message[kSlots * kSlotSize];  // the parts of a long message, for its event
    DWORD gathered = 0;
    for (;;) {
        WaitForSingleObject(output.queued, INFINITE);
        for (;;) {
            EnterCriticalSection(&output.lock);
            if (output.count == 0) {
                SetEvent(output.idle);
                LeaveCriticalSection(&output.lock);
                break;
            }
            const DWORD length = output.lengths[output.first];
            const bool last = output.last_part[output.first];
            const wdt::Severity severity = output.severities[output.first];
            std::memcpy(text, output.texts[output.first], length);
            output.writing_since = now_ms();
            LeaveCriticalSection(&output.lock);
            DWORD written = 0;
            if (output.target != INVALID_HANDLE_VALUE) WriteFile(output.target, text, length, &written, nullptr);  // nobody to tell when it fails
            if (output.events != nullptr && gathered + length <= sizeof message) {
                std::memcpy(message + gathered, text, length);
                gathered += length;
            }
            if (output.events != nullptr && last) report_event(severity, message, gathered);
            if (last) gathered = 0;
            EnterCriticalSection(&output.lock);
            output.writing_since = 0;
            output.first = (output.first + 1) % kSlots;
            --output.count;
            LeaveCriticalSection(&output.lock);
        }
    }
}

void finish_at_exit() { finish_output(); }

// Sends messages to `target` (and a service's event source) from now on, through the output
// thread; answers whether it runs.
bool start_output(HANDLE target, bool log) {
    static bool tried = false;
    if (tried) return output.running;
    tried = true;
    if (target == nullptr) target = INVALID_HANDLE_VALUE;
    if (target == INVALID_HANDLE_VALUE && output.events == nullptr) return false;
    InitializeCriticalSection(&output.lock);
    output.queued = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    output.idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    output.target = target;
    output.log = log;
    output.running = output.queued != nullptr && output.idle != nullptr &&
                     CreateThread(nullptr, 64 * 1024, write_output, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr) != nullptr;
    if (output.running) std::atexit(finish_at_exit);
    return output.running;
}

// Whether a carriage return goes before the line feed at text[i]: every one, as the C runtime's
// text mode writes standard output; in a log only where the message has none, so that every line
// ends in "\r\n".
bool return_before(const char* text, size_t i) { return text[i] == '\n' && (!output.log || i == 0 || text[i - 1] != '\r'); }

// Queues a message whole, in as many slots as it takes, or not at all.
void queue_output(wdt::Severity severity, const char* text, size_t length) {
    EnterCriticalSection(&output.lock);
    const int free_slots = kSlots - output.count;
    size_t needed = length;
    for (size_t i = 0; i < length; ++i) needed += return_before(text, i) ? 1 : 0;
    if (needed <= static_cast<size_t>(free_slots) * kSlotSize) {
        size_t i = 0;
        while (i < length) {
            const int slot = (output.first + output.count) % kSlots;
            DWORD used = 0;
            for (; i < length && used + 2 <= kSlotSize; ++i) {
                if (return_before(text, i)) output.texts[slot][used++] = '\r';
                output.texts[slot][used++] = text[i];
            }
            output.lengths[slot] = used;
            output.last_part[slot] = i == length;
            output.severities[slot] = severity;
            ++output.count;
        }
        ResetEvent(output.idle);
        SetEvent(output.queued);
    }
    LeaveCriticalSection(&output.lock);
}

}  // namespace

void finish_output() {
    if (!output.running) return;
    while (WaitForSingleObject(output.idle, 50) == WAIT_TIMEOUT) {
        EnterCriticalSection(&output.lock);
        const int64_t since = output.writing_since;
        LeaveCriticalSection(&output.lock);
        if (since != 0 && now_ms() - since > 2000) return;  // a pipe nobody reads, a stalled disk
    }
}

// A service has no console: its messages are appended to wdtctl-service.log beside the executable,
// and each is an event in the Application log, under the source "wdtctl" that the installer
// registers; the events do not depend on the log. The log is the system's and the administrators'
// alone: no user can read it, nor hold it open to keep the service from writing it.
void send_output_to_log() {
    static wchar_t path[kPathSize];
    const DWORD folder_length = own_folder(path);
    const wchar_t name[] = L"wdtctl-service.log";
    output.events = RegisterEventSourceW(nullptr, L"wdtctl");
    HANDLE log = INVALID_HANDLE_VALUE;
    if (folder_length > 0 && folder_length + sizeof name / sizeof name[0] <= kPathSize) {
        std::wmemcpy(path + folder_length, name, sizeof name / sizeof name[0]);
        log = CreateFileW(path, FILE_APPEND_DATA | WRITE_DAC, FILE_SHARE_READ, administrators_only(), OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log != INVALID_HANDLE_VALUE) keep_to_administrators(log);
    }
    start_output(log, true);
}

// Outside a service, messages go to standard output (a console, a pipe or a file); a service's go
// to its log, once that is open.
void write_message(wdt::Severity severity, const char* text, size_t length) {
    if (!control.service) start_output(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), false);
    if (output.running) queue_output(severity, text, length);
}

}  // namespace wdt::system
