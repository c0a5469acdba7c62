// Who may change what the tool runs and keeps on Windows. A service runs what it loads as SYSTEM,
// and an elevated run with the administrators' rights: each takes a file only where nobody but the
// system, the administrators and TrustedInstaller may change it, nor the folder that holds it, nor
// any folder above that one up to the drive's root (whoever may rename one of them may put another
// tree in its place). A service's own account counts as theirs, and so does the account of a run
// without the administrators' rights, which can do nothing that account could not; an elevated
// run's own account does not, since that account's other programs run without elevation.
#pragma once

#include <windows.h>

#include <cstddef>

namespace wdt::system {

// What a security descriptor is judged as: the file that is run or kept, the folder that holds
// it, or a folder above that one (where adding is harmless, but removing, renaming, or changing
// who may do so is not).
enum class Held { file, folder, above };

// Whether the process runs with the administrators' rights (an elevated token, or SYSTEM).
bool elevated();
// Whether only the trusted accounts own, and may change as `held` says, what the descriptor
// guards; false, with the reason (naming `shown`) in `why`, otherwise.
bool only_administrators_may_change(PSECURITY_DESCRIPTOR descriptor, Held held, const char* shown, char* why, size_t size);
// The same for a file (or, with `is_folder`, a folder) on disk, the folder that holds it and every
// folder above, up to the drive's root; none of them but the root may be a reparse point (a
// junction or a link), which may lead anywhere.
bool only_administrators_may_change_path(const wchar_t* path, bool is_folder, char* why, size_t size);

// Makes a folder owned by the administrators, that the system and the administrators may change
// and users may only list (its files are theirs alone); false when it cannot.
bool make_administrators_folder(const wchar_t* folder);
// Attributes for a file that the system and the administrators alone may open, or nullptr.
SECURITY_ATTRIBUTES* administrators_only();
// Gives an open file (opened with WRITE_DAC) the same access list.
void keep_to_administrators(HANDLE file);

}  // namespace wdt::system
