#include "platform/filereplace_core.h"

#include "platform/installjournal_core.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace filereplace {

namespace {

std::string text(const fs::path &p) { return p.u8string(); }

int renameOnce(const Options &options, const fs::path &from, const fs::path &to)
{
    return options.rename ? options.rename(from, to) : platformRename(from, to);
}

int renameWithRetries(const Options &options, const fs::path &from, const fs::path &to)
{
    int code = 0;
    for (int attempt = 0; attempt < std::max(1, options.attempts); ++attempt) {
        code = renameOnce(options, from, to);
        if (code == 0 || !isTransientError(code))
            return code;
        std::this_thread::sleep_for(std::chrono::milliseconds(options.retryDelayMs));
    }
    return code;
}

std::string describe(int code)
{
#ifdef _WIN32
    return "Windows error " + std::to_string(code);
#else
    return std::generic_category().message(code);
#endif
}

bool present(const fs::path &p)
{
    std::error_code ec;
    return fs::symlink_status(p, ec).type() != fs::file_type::not_found && !ec;
}

bool removeFile(const fs::path &p)
{
    std::error_code ec;
    return fs::remove(p, ec) && !ec;
}

// Whether the target can be renamed now: on Windows a file opened without delete sharing
// (a locked data file) cannot; a running executable can. Retried like a rename.
bool canMove(const fs::path &p, const Options &options, int *code)
{
#ifdef _WIN32
    if (options.rename) // a test's rename decides alone
        return true;
    for (int attempt = 0; attempt < std::max(1, options.attempts); ++attempt) {
        HANDLE h = CreateFileW(p.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return true;
        }
        *code = int(GetLastError());
        if (!isTransientError(*code))
            return false;
        Sleep(DWORD(options.retryDelayMs));
    }
    return false;
#else
    (void)p;
    (void)options;
    (void)code;
    return true;
#endif
}

// "<name>.old", or "<name>.old1" .. "<name>.old9" when an older aside file is still held.
bool asideName(const fs::path &target, fs::path *out)
{
    for (int i = 0; i < 10; ++i) {
        fs::path candidate = target;
        candidate += i == 0 ? std::string(".old") : ".old" + std::to_string(i);
        if (!present(candidate) || removeFile(candidate)) {
            *out = candidate;
            return true;
        }
    }
    return false;
}

std::vector<std::string> readManifest(const fs::path &file)
{
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (lines.size() < 10000 && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

bool writeManifest(const fs::path &target, const std::vector<std::string> &lines)
{
    const fs::path file = target / manifestName();
    std::error_code ec;
    if (lines.empty()) {
        fs::remove(file, ec);
        return !ec;
    }
    fs::path temp = file;
    temp += ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        for (const std::string &l : lines)
            out << l << '\n';
        out.flush();
        if (!out)
            return false;
    }
    fs::rename(temp, file, ec); // replaces the old manifest
    return !ec;
}

// Only names an install made: a safe relative path ending in ".old" or ".old<digit>".
bool isAsideName(const std::string &rel)
{
    if (!isSafeRelative(rel))
        return false;
    const size_t dot = rel.rfind(".old");
    if (dot == std::string::npos || dot == 0)
        return false;
    const std::string tail = rel.substr(dot + 4);
    return tail.empty() || (tail.size() == 1 && tail[0] >= '1' && tail[0] <= '9');
}

// A name the installer itself uses in the target: its journal, its manifest, or a path
// inside the staging folder.
bool reservedName(const fs::path &source, const fs::path &target, const std::string &rel)
{
    auto lower = [](std::string v) {
        for (char &c : v)
            c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        return v;
    };
    const std::string first = lower(rel.substr(0, rel.find('/')));
    if (first == journalName() || first == journalTempName() || first == manifestName())
        return true;
    const fs::path staging = source.lexically_relative(target);
    if (staging.empty() || *staging.begin() == "..")
        return false;
    return first == lower(staging.begin()->u8string());
}

// Whether every existing folder between root and the entry is a real folder (no link
// leads out of the root) and nothing but a file stands where a file is named.
bool plainPath(const fs::path &root, const std::string &rel, bool isDir, std::string *why)
{
    std::error_code ec;
    const fs::path full = root / fs::u8path(rel);
    for (fs::path dir = full.parent_path(); dir != root && dir.has_relative_path(); dir = dir.parent_path()) {
        const fs::file_type t = fs::symlink_status(dir, ec).type();
        if (t != fs::file_type::not_found && t != fs::file_type::directory) {
            *why = "something other than a folder stands at " + text(dir);
            return false;
        }
    }
    const fs::file_type t = fs::symlink_status(full, ec).type();
    if (t != fs::file_type::not_found && (t == fs::file_type::directory) != isDir) {
        *why = "unexpected kind of entry at " + text(full);
        return false;
    }
    return true;
}

bool plausible(const fs::path &source, const fs::path &target, const std::vector<JournalEntry> &entries,
               std::string *why)
{
    for (const JournalEntry &e : entries) {
        if (reservedName(source, target, e.rel)) {
            *why = "the journal names a file of the installer: " + e.rel;
            return false;
        }
        const bool dir = e.kind == JournalEntry::MakeDir;
        if (!plainPath(target, e.rel, dir, why) || (!dir && !plainPath(source, e.rel, false, why))
            || (!e.asideSuffix.empty() && !plainPath(target, e.rel + e.asideSuffix, false, why)))
            return false;
    }
    return true;
}

// Carries the entries of a journal forward or back from whatever state a kill left; each
// step looks at what is on disk, so running it twice does no harm.
class Mover
{
public:
    Mover(const fs::path &source, const fs::path &target, const Options &options)
        : m_source(source), m_target(target), m_options(options)
    {
    }

    fs::path to(const JournalEntry &e) const { return m_target / fs::u8path(e.rel); }
    fs::path from(const JournalEntry &e) const { return m_source / fs::u8path(e.rel); }
    fs::path aside(const JournalEntry &e) const
    {
        fs::path p = to(e);
        p += e.asideSuffix;
        return p;
    }

    void step()
    {
        if (m_options.afterStep)
            m_options.afterStep(m_steps);
        ++m_steps;
    }

    // Whether every new file is either still staged or already in place.
    bool canFinish(const std::vector<JournalEntry> &entries) const
    {
        std::error_code ec;
        for (const JournalEntry &e : entries) {
            if (e.kind != JournalEntry::Place && e.kind != JournalEntry::Replace)
                continue;
            if (fs::symlink_status(from(e), ec).type() == fs::file_type::regular)
                continue;
            const bool placed = !present(from(e)) && present(to(e))
                                && (e.kind == JournalEntry::Place || present(aside(e)));
            if (!placed)
                return false;
        }
        return true;
    }

    bool forward(const std::vector<JournalEntry> &entries, std::string *error)
    {
        for (const JournalEntry &e : entries) {
            const fs::path t = to(e);
            switch (e.kind) {
            case JournalEntry::MakeDir:
                if (!present(t)) {
                    std::error_code ec;
                    if (!fs::create_directory(t, ec) || ec)
                        return fail(error, "cannot create the folder " + text(t));
                }
                break;
            case JournalEntry::Remove:
                if (present(t) && !move(t, aside(e), error, "cannot move " + e.rel + " aside"))
                    return false;
                break;
            case JournalEntry::Replace:
            case JournalEntry::Place:
                if (!present(from(e))) {
                    if (!present(t))
                        return fail(error, "the new " + e.rel + " is missing");
                    break; // already in place
                }
                if (e.kind == JournalEntry::Replace && present(t)
                    && !move(t, aside(e), error, "cannot move " + e.rel + " aside"))
                    return false;
                if (!move(from(e), t, error, "cannot move the new " + e.rel + " in"))
                    return false;
                break;
            }
        }
        return true;
    }

    // Best effort over every entry, newest first; false when something could not be restored.
    bool rollback(const std::vector<JournalEntry> &entries, std::string *error)
    {
        bool whole = true;
        auto restore = [&](const fs::path &a, const fs::path &b) {
            std::error_code ec;
            fs::create_directories(b.parent_path(), ec);
            const int code = renameWithRetries(m_options, a, b);
            if (code != 0) {
                whole = false;
                *error += "; could not restore " + text(b) + " (" + describe(code) + ")";
            }
            return code == 0;
        };
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            const JournalEntry &e = *it;
            const fs::path t = to(e);
            switch (e.kind) {
            case JournalEntry::MakeDir: {
                std::error_code ec;
                fs::remove(t, ec); // only when empty
                break;
            }
            case JournalEntry::Place:
                if (present(t) && !present(from(e)))
                    restore(t, from(e)); // staged again
                break;
            case JournalEntry::Replace:
            case JournalEntry::Remove: {
                const fs::path a = aside(e);
                if (!present(a)) {
                    // Never moved: an aside file goes only after the journal's "placed".
                    if (!present(t)) {
                        whole = false;
                        *error += "; could not restore " + text(t) + " (its old copy is gone)";
                    }
                    break;
                }
                if (present(t)) {
                    // Only the new file may stand there (a removal never puts one in).
                    if (e.kind == JournalEntry::Remove || present(from(e))) {
                        whole = false;
                        *error += "; could not restore " + text(t) + " (something else stands there)";
                        break;
                    }
                    if (!restore(t, from(e)))
                        break;
                }
                restore(a, t);
                break;
            }
            }
        }
        return whole;
    }

    // The new installation is whole: records that, then the old files go where they can.
    void complete(const std::vector<JournalEntry> &entries, bool alreadyMarked, Result *result)
    {
        std::string why;
        if (!alreadyMarked && !markJournalPlaced(m_target, &why)) {
            // Without the mark the old files must stay: the next start finishes from them.
            result->error = why;
            return;
        }
        std::vector<std::string> kept = readManifest(m_target / manifestName());
        const std::size_t listed = kept.size();
        for (const JournalEntry &e : entries) {
            if (e.asideSuffix.empty() || !present(aside(e)))
                continue;
            if (removeFile(aside(e))) {
                step();
                continue;
            }
            const std::string rel = e.rel + e.asideSuffix;
            result->keptAside.push_back(rel);
            if (std::find(kept.begin(), kept.end(), rel) == kept.end())
                kept.push_back(rel);
        }
        if (kept.size() != listed)
            writeManifest(m_target, kept);
        removeJournal(m_target);
    }

private:
    static bool fail(std::string *error, const std::string &text)
    {
        *error = text;
        return false;
    }

    bool move(const fs::path &a, const fs::path &b, std::string *error, const std::string &what)
    {
        const int code = renameWithRetries(m_options, a, b);
        if (code != 0)
            return fail(error, what + " (" + describe(code) + ")");
        step();
        return true;
    }

    fs::path m_source, m_target;
    const Options &m_options;
    int m_steps = 0;
};

} // namespace

int platformRename(const fs::path &from, const fs::path &to)
{
#ifdef _WIN32
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        return 0;
    return int(GetLastError());
#else
    if (present(to))
        return EEXIST;
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return 0;
    return errno;
#endif
}

bool isTransientError(int code)
{
#ifdef _WIN32
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED;
#else
    return code == EBUSY || code == ETXTBSY;
#endif
}

bool isSafeRelative(const std::string &relative)
{
    if (relative.empty() || relative.front() == '/' || relative.back() == '/')
        return false;
    if (relative.find_first_of("\\:") != std::string::npos)
        return false;
    // Control characters would break the line formats the names are written in.
    for (const char c : relative) {
        if ((unsigned char)c < 0x20 || c == 0x7f)
            return false;
    }
    size_t start = 0;
    while (start <= relative.size()) {
        const size_t slash = relative.find('/', start);
        const std::string part = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return true;
}

const char *manifestName() { return ".vantrel-old-files"; }

Result install(const fs::path &source, const fs::path &target, const std::vector<std::string> &files,
               const std::vector<std::string> &removals, const Options &options)
{
    Result result;
    std::vector<std::string> ordered = files;
    std::sort(ordered.begin(), ordered.end());
    ordered.erase(std::unique(ordered.begin(), ordered.end()), ordered.end());

    // Check everything before anything moves.
    std::vector<JournalEntry> entries;
    std::set<fs::path> plannedDirs;
    auto check = [&](const std::string &rel, bool removal) -> bool {
        if (!isSafeRelative(rel) || reservedName(source, target, rel)) {
            result.error = "unsafe name in the package: " + rel;
            return false;
        }
        const fs::path from = source / fs::u8path(rel);
        const fs::path to = target / fs::u8path(rel);
        std::error_code ec;
        if (!removal && fs::symlink_status(from, ec).type() != fs::file_type::regular) {
            result.error = "not a plain file in the package: " + rel;
            return false;
        }
        std::vector<fs::path> missing;
        for (fs::path dir = to.parent_path(); dir != target && dir.has_relative_path(); dir = dir.parent_path()) {
            const fs::file_type t = fs::symlink_status(dir, ec).type();
            if (t == fs::file_type::not_found)
                missing.push_back(dir);
            else if (t != fs::file_type::directory) {
                result.error = "something other than a folder stands at " + text(dir);
                return false;
            }
        }
        const fs::file_type t = fs::symlink_status(to, ec).type();
        if (t == fs::file_type::directory) {
            result.error = "a folder stands where " + rel + " goes";
            return false;
        }
        const bool replaces = t != fs::file_type::not_found;
        if (!replaces && removal)
            return true;
        JournalEntry e;
        e.rel = rel;
        e.kind = removal ? JournalEntry::Remove : replaces ? JournalEntry::Replace : JournalEntry::Place;
        if (replaces) {
            int code = 0;
            if (!canMove(to, options, &code)) {
                result.error = rel + " is in use and cannot be moved (" + describe(code) + ")";
                return false;
            }
            fs::path aside;
            if (!asideName(to, &aside)) {
                result.error = "no free name to move " + rel + " aside";
                return false;
            }
            e.asideSuffix = aside.filename().u8string().substr(to.filename().u8string().size());
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (plannedDirs.insert(*it).second)
                entries.push_back({JournalEntry::MakeDir, it->lexically_relative(target).generic_u8string(), {}});
        }
        entries.push_back(e);
        return true;
    };
    for (const std::string &rel : ordered) {
        if (!check(rel, false))
            return result;
    }
    for (const std::string &rel : removals) {
        if (std::find(ordered.begin(), ordered.end(), rel) == ordered.end() && !check(rel, true))
            return result;
    }

    // Written ahead: a kill from here on is finished or undone by the next start.
    if (present(target / journalName())) {
        result.error = "an earlier install is not finished yet";
        return result;
    }
    if (!writeJournal(target, entries, &result.error))
        return result;
    Mover mover(source, target, options);
    mover.step();
    if (!mover.forward(entries, &result.error)) {
        if (mover.rollback(entries, &result.error))
            removeJournal(target);
        else
            result.mixed = true; // the journal stays: the next start tries again
        return result;
    }
    mover.complete(entries, false, &result);
    result.ok = true;
    return result;
}

Recovery recover(const fs::path &source, const fs::path &target, const Options &options)
{
    Recovery r;
    std::error_code ec;
    std::string bytes, why;
    const int got = readRegularFile(target / journalName(), kJournalMaxBytes, &bytes, &why);
    if (got == 0) {
        fs::remove(target / journalTempName(), ec); // never put in place: nothing moved
        r.ok = true;
        return r;
    }
    r.found = true;
    if (got == -2) { // kept for a later start
        r.error = why;
        return r;
    }
    Journal journal;
    if (got < 0 || !parseJournal(bytes, &journal, &why) || !plausible(source, target, journal.entries, &why)) {
        // Not one this installer wrote: nothing of it is acted on, and it must not keep
        // the staging folder or block the next update for ever.
        r.refused = true;
        r.error = why;
        fs::remove(target / journalName(), ec);
        fs::remove(target / journalTempName(), ec);
        return r;
    }
    Mover mover(source, target, options);
    r.rolledForward = journal.placed || mover.canFinish(journal.entries);
    if (r.rolledForward) {
        if (mover.forward(journal.entries, &r.error)) {
            mover.complete(journal.entries, journal.placed, &r);
            r.ok = true;
            return r;
        }
        r.rolledForward = false;
        if (journal.placed) { // old files already gone: nothing to go back to
            r.mixed = true;
            return r;
        }
    }
    if (mover.rollback(journal.entries, &r.error)) {
        removeJournal(target);
        r.ok = true; // the old installation, whole; error says why it was not finished
    } else {
        r.mixed = true;
    }
    return r;
}

int removeAsideFiles(const fs::path &target)
{
    const std::vector<std::string> listed = readManifest(target / manifestName());
    if (listed.empty())
        return 0;
    std::vector<std::string> left;
    for (const std::string &rel : listed) {
        if (!isAsideName(rel))
            continue; // never delete anything the installer did not put there
        const fs::path p = target / fs::u8path(rel);
        if (present(p) && !removeFile(p))
            left.push_back(rel);
    }
    writeManifest(target, left);
    return int(left.size());
}

} // namespace filereplace
