#pragma once

// Installs a set of files over an installation that may be running, all or nothing.
// Plain C++17 with no Qt, so that the same code is built with mingw-w64 and exercised
// under Wine against a running executable.
//
// Before the first file moves, a journal (installjournal_core.h) names every step, so a
// start after a kill calls recover() and gets the old or the new installation whole.
//
// Windows refuses to delete or overwrite a running .exe or a loaded DLL but lets it be
// renamed. So every target that exists is first renamed aside ("Vantrel.exe" ->
// "Vantrel.exe.old"), then the new file is moved in. Before anything moves, every target
// is checked (a folder in the way, a file no rename can reach); if any step still fails,
// every step done so far is undone in reverse order, so the installation is either the old
// one or the new one. Aside files that cannot be deleted at once (the running program)
// are listed in a manifest in the target folder and deleted at the next start.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace filereplace {

namespace fs = std::filesystem;

struct Result
{
    bool ok = false;
    // The undo itself failed: some files are new and some old. Never expected; reported so
    // the caller can say so instead of starting a broken build.
    bool mixed = false;
    std::string error;
    // Old files still present after a success (in use), relative to the target.
    std::vector<std::string> keptAside;
};

struct Options
{
    // Per rename: a virus scanner or indexer holds a fresh file open for a moment.
    int attempts = 25;
    int retryDelayMs = 120;
    // Test seam in place of platformRename (same contract).
    std::function<int(const fs::path &from, const fs::path &to)> rename;
    // Called once the journal is written (0) and after every file moved or old file
    // removed (1, 2, ...): lets a test stop the install at any point.
    std::function<void(int steps)> afterStep;
};

struct Recovery : Result
{
    bool found = false;         // a journal was there
    bool refused = false;       // it was not one this installer wrote; nothing was moved
    bool rolledForward = false; // the new installation was finished, else the old one restored
};

// Renames without ever replacing an existing file. 0 on success, else the system's error
// code (GetLastError() on Windows, errno elsewhere).
int platformRename(const fs::path &from, const fs::path &to);

// True for a system error that may go away by itself (sharing or lock violation).
bool isTransientError(int code);

// A relative path with '/' separators that stays inside its folder: not empty, no root,
// drive, backslash, ':', control character or "." / ".." step.
bool isSafeRelative(const std::string &relative);

// Moves each of `files` (relative paths) from `source` into `target`, and moves each of
// `removals` that exists in `target` aside without replacement.
Result install(const fs::path &source, const fs::path &target, const std::vector<std::string> &files,
               const std::vector<std::string> &removals, const Options &options = Options());

// Finishes or undoes an install that a kill interrupted, from its journal in `target`
// (`source` is the staging folder it installed from). It is finished when every new file
// is still staged or already in place, undone otherwise; ok when the installation is
// whole (or no journal was there). The journal is removed once it is no longer needed.
Recovery recover(const fs::path &source, const fs::path &target, const Options &options = Options());

// File in `target` that lists aside files left for the next start.
const char *manifestName();

// Deletes the aside files the manifest lists; those still in use stay listed. Returns how
// many remain.
int removeAsideFiles(const fs::path &target);

} // namespace filereplace
