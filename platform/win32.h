// What the Windows side of the platform shares: text between UTF-8 (the tool's) and UTF-16 (the
// system's), the executable's folder, and the state that the service's controls share with the
// loop's wait. Who may change a file or a folder: access_windows.h.
#pragma once

#include <windows.h>

#include <cstddef>

namespace wdt::system {

inline constexpr DWORD kPathSize = 32768;

// UTF-8 into UTF-16 and back; false (and an empty result) when it does not fit or is not valid.
bool to_wide(const char* text, wchar_t* wide, size_t size);
bool to_utf8(const wchar_t* wide, char* text, size_t size);

// A path for the file functions: in UTF-16, and past MAX_PATH characters in its "\\?\" form,
// which has no such limit; false when it cannot be had.
bool file_path(const char* path, wchar_t* wide, size_t size);

// The executable's folder, with its final separator ("C:\\" for a drive root), into `folder` (of
// kPathSize); its length, 0 when it cannot be known.
DWORD own_folder(wchar_t* folder);

// The events through which a service's controls and the console's requests reach the loop's wait.
struct Control {
    HANDLE stop = nullptr;          // a deliberate stop (service), Ctrl-C or the console's close (a drill)
    HANDLE suspend = nullptr;       // the machine is about to sleep
    HANDLE suspend_done = nullptr;  // the loop has disarmed: the machine may sleep
    HANDLE resume = nullptr;        // the machine woke up
    HANDLE shutdown = nullptr;      // the machine is about to shut down (its first notice, before the stop)
    bool service = false;
};
extern Control control;
// A service reports its state to the service control manager from one thread only: the one that
// runs the tool (the wait reports a stop as pending).
void report_stopping();

}  // namespace wdt::system
