// One keeper per watchdog: a keep-alive (a service or a console loop), a drill, and a command that
// arms or disarms the watchdog each take its lock before anything reaches the driver, so that a
// second command line can neither shorten a keep-alive's timeout nor disarm it behind its back.
#pragma once

#include <cstdint>

#include "command_line/messages.h"
#include "platform/host.h"

namespace wdt {

// What a run that keeps a watchdog is; one word each in the lock ("Kind: service"). A command and a
// status (which writes back a drill it settled) hold it for a moment only.
enum class KeeperKind : uint8_t { unknown, service, console, drill, command, status };

// Whether a process still runs: the same pid, with the same start, in the same boot.
enum class Runs { no, yes, unknown };
Runs still_runs(const Host& host, int64_t pid, int64_t start, const char* boot);
// Whether a boot id names this boot: yes, no (an earlier one), or cannot be told (none named).
enum class Boot { same, earlier, unknown };
Boot boot_of(const Host& host, const char* recorded);

// Takes watchdog n's lock for this run; a keep-alive or a drill waits a little for a command or a
// status that holds it for a moment. Answers false, having said who keeps the watchdog and how to
// stop it, when another process holds it; the run must then touch nothing. Where there is no lock
// to take (a process without the rights to one), the run goes on without it, except a drill, which
// must keep its record.
// A console loop with guards says so in the lock: it keeps no record of whether they hold its
// refreshes back.
bool keep_watchdog(const Host& host, unsigned n, KeeperKind kind, Refusal& refusal, bool guarded = false);
// The same without a word: false when another process holds the lock.
bool try_to_keep(const Host& host, unsigned n, KeeperKind kind);
// Whether this process may write watchdog n's record: it holds the lock (or there is none to
// hold), or the one that holds it keeps no record (a console loop, a command).
bool may_record(const Host& host, unsigned n);

// Who keeps watchdog n now, as its lock says.
struct Keeper {
    KeeperKind kind = KeeperKind::unknown;
    int64_t pid = 0;
    bool guarded = false;
};
enum class Kept { nobody, running, cannot_tell };
Kept who_keeps(const Host& host, unsigned n, Keeper& keeper);

}  // namespace wdt
