#include "platform/filereplace_core.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace filereplace {

namespace {

struct Step
{
    enum Kind { Aside, Placed, MadeDir } kind;
    fs::path from; // Aside: the target; Placed: the source
    fs::path to;   // Aside: the aside name; Placed: the target
};

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
    if (relative.find_first_of("\\:") != std::string::npos || relative.find('\0') != std::string::npos)
        return false;
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
    struct Plan
    {
        std::string rel;
        fs::path from, to, aside;
        bool replaces = false;
        bool removal = false;
    };
    std::vector<Plan> plans;
    auto check = [&](const std::string &rel, bool removal) -> bool {
        if (!isSafeRelative(rel)) {
            result.error = "unsafe name in the package: " + rel;
            return false;
        }
        Plan p;
        p.rel = rel;
        p.removal = removal;
        p.from = source / fs::u8path(rel);
        p.to = target / fs::u8path(rel);
        std::error_code ec;
        if (!removal && fs::symlink_status(p.from, ec).type() != fs::file_type::regular) {
            result.error = "not a plain file in the package: " + rel;
            return false;
        }
        for (fs::path dir = p.to.parent_path(); dir != target && dir.has_relative_path(); dir = dir.parent_path()) {
            const fs::file_type t = fs::symlink_status(dir, ec).type();
            if (t != fs::file_type::not_found && t != fs::file_type::directory) {
                result.error = "something other than a folder stands at " + text(dir);
                return false;
            }
        }
        const fs::file_type t = fs::symlink_status(p.to, ec).type();
        if (t == fs::file_type::directory) {
            result.error = "a folder stands where " + rel + " goes";
            return false;
        }
        p.replaces = t != fs::file_type::not_found;
        if (!p.replaces && removal)
            return true;
        if (p.replaces) {
            int code = 0;
            if (!canMove(p.to, options, &code)) {
                result.error = rel + " is in use and cannot be moved (" + describe(code) + ")";
                return false;
            }
            if (!asideName(p.to, &p.aside)) {
                result.error = "no free name to move " + rel + " aside";
                return false;
            }
        }
        plans.push_back(p);
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

    std::vector<Step> done;
    auto undo = [&] {
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            int code = 0;
            if (it->kind == Step::MadeDir) {
                std::error_code ec;
                fs::remove(it->from, ec); // only when empty
                continue;
            }
            code = renameWithRetries(options, it->to, it->from);
            if (code != 0) {
                result.mixed = true;
                result.error += "; could not restore " + text(it->from) + " (" + describe(code) + ")";
            }
        }
    };
    for (const Plan &p : plans) {
        if (!p.removal) {
            std::vector<fs::path> missing;
            for (fs::path dir = p.to.parent_path(); dir != target && !present(dir); dir = dir.parent_path())
                missing.push_back(dir);
            for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
                std::error_code ec;
                if (!fs::create_directory(*it, ec) || ec) {
                    result.error = "cannot create the folder " + text(*it);
                    undo();
                    return result;
                }
                done.push_back({Step::MadeDir, *it, {}});
            }
        }
        if (p.replaces) {
            const int code = renameWithRetries(options, p.to, p.aside);
            if (code != 0) {
                result.error = "cannot move " + p.rel + " aside (" + describe(code) + ")";
                undo();
                return result;
            }
            done.push_back({Step::Aside, p.to, p.aside});
        }
        if (!p.removal) {
            const int code = renameWithRetries(options, p.from, p.to);
            if (code != 0) {
                result.error = "cannot move the new " + p.rel + " in (" + describe(code) + ")";
                undo();
                return result;
            }
            done.push_back({Step::Placed, p.from, p.to});
        }
    }

    // The new installation is whole; old files go now where they can.
    std::vector<std::string> kept = readManifest(target / manifestName());
    for (const Plan &p : plans) {
        if (p.replaces && !removeFile(p.aside)) {
            const std::string rel = p.aside.lexically_relative(target).generic_u8string();
            result.keptAside.push_back(rel);
            if (std::find(kept.begin(), kept.end(), rel) == kept.end())
                kept.push_back(rel);
        }
    }
    if (!result.keptAside.empty())
        writeManifest(target, kept);
    result.ok = true;
    return result;
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
