#include "command_line/keeper.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_line/text.h"

namespace wdt {
namespace {

constexpr const char* kKindWords[] = {"unknown", "service", "console", "drill", "command", "status"};

struct Said {
    Keeper keeper;
    int64_t start = 0;
    char boot[64] = "";
};

bool parse(const char* text, Said& said) {
    char kind[32] = "", pid[32] = "", start[32] = "";
    if (!field(text, "Kind", kind, sizeof kind) || !field(text, "Pid", pid, sizeof pid)) return false;
    said.keeper.kind = from_word<KeeperKind>(kind, kKindWords);
    said.keeper.pid = std::strtoll(pid, nullptr, 10);
    if (field(text, "Process start", start, sizeof start)) said.start = std::strtoll(start, nullptr, 10);
    field(text, "Boot", said.boot, sizeof said.boot);
    char guarded[8] = "";
    said.keeper.guarded = field(text, "Guarded", guarded, sizeof guarded) && std::strcmp(guarded, "yes") == 0;
    return said.keeper.pid > 0;
}

// "a keep-alive (service, pid 42)", as a refusal names the keeper.
void name(const Keeper& keeper, bool known, char* out, size_t size) {
    const long long pid = static_cast<long long>(keeper.pid);
    if (!known) {
        put(out, size, "another process (it does not say which)");
    } else if (keeper.kind == KeeperKind::unknown) {
        put(out, size, "another process (pid %lld)", pid);
    } else if (keeper.kind == KeeperKind::service || keeper.kind == KeeperKind::console) {
        put(out, size, "a keep-alive (%s, pid %lld)", kKindWords[static_cast<int>(keeper.kind)], pid);
    } else {
        put(out, size, "a %s (pid %lld)", kKindWords[static_cast<int>(keeper.kind)], pid);
    }
}

// How the one refused may get the watchdog, in the platform's own words.
void how_to_stop(const Host& host, const Keeper& keeper, bool known, char* out, size_t size) {
    const long long pid = static_cast<long long>(keeper.pid);
    if (!known) {
        put(out, size, "stop it first");
    } else if (keeper.kind == KeeperKind::service) {
        put(out, size, "stop it first (%s)", host.words.stop_service);
    } else if (keeper.kind == KeeperKind::command || keeper.kind == KeeperKind::status) {
        put(out, size, "try again once it has ended");
    } else if (keeper.kind == KeeperKind::unknown) {
        put(out, size, "stop it first (%s %lld)", host.words.end_process, pid);
    } else {
        put(out, size, "%s (Ctrl-C in its console, or %s %lld)",
            keeper.kind == KeeperKind::drill ? "let it end, or cancel it" : "stop it first", host.words.end_process, pid);
    }
}

RecordLock lock(const Host& host, unsigned n, KeeperKind kind, char* reason, size_t reason_size, bool guarded = false) {
    char text[256], boot[64] = "";
    host.process.boot_id(boot, sizeof boot);
    const int64_t pid = host.process.id();
    put(text, sizeof text, "Kind: %s\nPid: %lld\nProcess start: %lld\nBoot: %s\n%s", kKindWords[static_cast<int>(kind)],
        static_cast<long long>(pid), static_cast<long long>(host.process.start_of(pid)), boot, guarded ? "Guarded: yes\n" : "");
    reason[0] = '\0';
    return host.records.lock(n, text, reason, reason_size);
}

bool read_said(const Host& host, unsigned n, Said& said) {
    char text[256];
    return host.records.keeper(n, text, sizeof text) == RecordRead::read && parse(text, said);
}

}  // namespace

Boot boot_of(const Host& host, const char* recorded) {
    char now[64];
    if (recorded[0] == '\0' || !host.process.boot_id(now, sizeof now)) return Boot::unknown;
    return std::strcmp(now, recorded) == 0 ? Boot::same : Boot::earlier;
}

Runs still_runs(const Host& host, int64_t pid, int64_t start, const char* boot) {
    if (pid <= 0 || boot_of(host, boot) == Boot::earlier) return Runs::no;
    const int64_t now = host.process.start_of(pid);
    if (now < 0) return Runs::unknown;
    return now != 0 && (start == 0 || now == start) ? Runs::yes : Runs::no;
}

bool try_to_keep(const Host& host, unsigned n, KeeperKind kind) {
    char reason[300];
    return lock(host, n, kind, reason, sizeof reason) != RecordLock::held_elsewhere;
}

bool may_record(const Host& host, unsigned n) {
    Said said;
    return try_to_keep(host, n, KeeperKind::service) ||
           (read_said(host, n, said) && (said.keeper.kind == KeeperKind::console || said.keeper.kind == KeeperKind::command));
}

bool keep_watchdog(const Host& host, unsigned n, KeeperKind kind, Refusal& refusal, bool guarded) {
    char reason[300];
    RecordLock taken = lock(host, n, kind, reason, sizeof reason, guarded);
    Said said;
    bool known = taken == RecordLock::held_elsewhere && read_said(host, n, said);
    // A command or a status holds it for a moment: a keep-alive or a drill waits, 5 s at most.
    const bool waits = kind == KeeperKind::service || kind == KeeperKind::console || kind == KeeperKind::drill;
    for (int tries = 0; waits && known && tries < 50 &&
                        (said.keeper.kind == KeeperKind::command || said.keeper.kind == KeeperKind::status);
         ++tries) {
        host.clock.sleep_until_ms(host.clock.now_ms() + 100);
        taken = lock(host, n, kind, reason, sizeof reason, guarded);
        known = taken == RecordLock::held_elsewhere && read_said(host, n, said);
    }
    if (taken == RecordLock::denied && kind == KeeperKind::drill) {
        refuse(host, refusal, Severity::refusal, "Drill error: WDT%u cannot be drilled by this user, whose drill could not be "
               "kept in the record: %s!\r\n", n, host.words.privileged);
        return false;
    }
    if (taken == RecordLock::unavailable) {
        say(host, Severity::warning, "WDT%u: the watchdog's lock cannot be had (%s): this run goes on without it, and does "
            "not keep other keepers away.\r\n", n, reason[0] != '\0' ? reason : "no reason given");
    }
    if (taken != RecordLock::held_elsewhere) return true;
    // A status touches no watchdog: a keep-alive never stays unstarted because one holds on.
    if (waits && known && said.keeper.kind == KeeperKind::status) return true;
    char who[96], how[160];
    name(said.keeper, known, who, sizeof who);
    how_to_stop(host, said.keeper, known, how, sizeof how);
    const char* refused = kind == KeeperKind::service ? "this start"
                          : kind == KeeperKind::console ? "this keep-alive"
                          : kind == KeeperKind::drill   ? "this drill"
                                                        : "this command line";
    refuse(host, refusal, Severity::refusal, "WDT%u: %s keeps this watchdog: %s is refused, and nothing was done; %s.\r\n", n,
           who, refused, how);
    return false;
}

Kept who_keeps(const Host& host, unsigned n, Keeper& keeper) {
    char text[256];
    const RecordRead read = host.records.keeper(n, text, sizeof text);
    if (read == RecordRead::denied) return Kept::cannot_tell;
    Said said;
    if (read != RecordRead::read || !parse(text, said)) return Kept::nobody;
    const Runs runs = still_runs(host, said.keeper.pid, said.start, said.boot);
    if (runs == Runs::unknown) return Kept::cannot_tell;
    keeper = said.keeper;
    return runs == Runs::yes ? Kept::running : Kept::nobody;
}

}  // namespace wdt
