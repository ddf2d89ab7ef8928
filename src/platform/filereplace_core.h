#pragma once

// Installs a set of files over an installation that may be running, all or nothing.
// Plain C++17 with no Qt, so that the same code is built with mingw-w64 and exercised
// under Wine against a running executable.
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
};

// Renames without ever replacing an existing file. 0 on success, else the system's error
// code (GetLastError() on Windows, errno elsewhere).
int platformRename(const fs::path &from, const fs::path &to);

// True for a system error that may go away by itself (sharing or lock violation).
bool isTransientError(int code);

// A relative path with '/' separators that stays inside its folder: not empty, no root,
// drive, backslash, ':' or "." / ".." step.
bool isSafeRelative(const std::string &relative);

// Moves each of `files` (relative paths) from `source` into `target`, and moves each of
// `removals` that exists in `target` aside without replacement.
Result install(const fs::path &source, const fs::path &target, const std::vector<std::string> &files,
               const std::vector<std::string> &removals, const Options &options = Options());

// File in `target` that lists aside files left for the next start.
const char *manifestName();

// Deletes the aside files the manifest lists; those still in use stay listed. Returns how
// many remain.
int removeAsideFiles(const fs::path &target);

} // namespace filereplace
