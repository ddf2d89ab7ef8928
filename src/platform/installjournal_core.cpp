#include "platform/installjournal_core.h"

#include "platform/filereplace_core.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace filereplace {

namespace {

const char kHeader[] = "vantrel-install-journal 1";
const char kPlaced[] = "placed";

bool validSuffix(JournalEntry::Kind kind, const std::string &suffix)
{
    if (kind == JournalEntry::MakeDir || kind == JournalEntry::Place)
        return suffix == "-";
    if (suffix == ".old")
        return true;
    return suffix.size() == 5 && suffix.compare(0, 4, ".old") == 0 && suffix[4] >= '1' && suffix[4] <= '9';
}

bool parseCount(const std::string &digits, std::size_t *out)
{
    if (digits.empty() || digits.size() > 9)
        return false;
    std::size_t n = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + std::size_t(c - '0');
    }
    *out = n;
    return true;
}

#ifdef _WIN32
bool writeAllAndFlush(HANDLE h, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD chunk = DWORD(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        if (!WriteFile(h, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0)
            return false;
        done += wrote;
    }
    return FlushFileBuffers(h) != 0;
}
#else
bool writeAllAndFlush(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return ::fsync(fd) == 0;
}

void flushFolder(const fs::path &folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
#endif

std::string systemError()
{
#ifdef _WIN32
    return "Windows error " + std::to_string(GetLastError());
#else
    return std::generic_category().message(errno);
#endif
}

} // namespace

const char *journalName() { return ".vantrel-install-journal"; }
const char *journalTempName() { return ".vantrel-install-journal.new"; }

std::string formatJournal(const std::vector<JournalEntry> &entries)
{
    std::string text = std::string(kHeader) + '\n';
    for (const JournalEntry &e : entries) {
        text += char(e.kind);
        text += ' ';
        text += e.asideSuffix.empty() ? std::string("-") : e.asideSuffix;
        text += ' ';
        text += e.rel;
        text += '\n';
    }
    text += "end " + std::to_string(entries.size()) + '\n';
    return text;
}

bool parseJournal(const std::string &text, Journal *out, std::string *why)
{
    Journal journal;
    std::size_t at = 0;
    std::size_t lineNo = 0;
    bool ended = false;
    auto refuse = [&](const std::string &what) {
        *why = "journal line " + std::to_string(lineNo) + ": " + what;
        return false;
    };
    while (at < text.size()) {
        const std::size_t nl = text.find('\n', at);
        ++lineNo;
        if (nl == std::string::npos) {
            // Only the last line, and only once the entries are whole, may be cut short: a
            // "placed" torn by a kill counts as not written.
            const std::string tail = text.substr(at);
            if (ended && !journal.placed && std::string(kPlaced).compare(0, tail.size(), tail) == 0)
                break;
            return refuse("incomplete");
        }
        const std::string line = text.substr(at, nl - at);
        at = nl + 1;
        if (lineNo == 1) {
            if (line != kHeader)
                return refuse("not an install journal");
            continue;
        }
        if (ended) {
            if (line != kPlaced || journal.placed)
                return refuse("unexpected after the end");
            journal.placed = true;
            continue;
        }
        if (line.compare(0, 4, "end ") == 0) {
            std::size_t count = 0;
            if (!parseCount(line.substr(4), &count) || count != journal.entries.size())
                return refuse("entry count does not match");
            ended = true;
            continue;
        }
        const std::size_t space = line.find(' ', 2);
        if (line.size() < 5 || line[1] != ' ' || space == std::string::npos)
            return refuse("malformed");
        const char kind = line[0];
        if (kind != JournalEntry::MakeDir && kind != JournalEntry::Place && kind != JournalEntry::Replace
            && kind != JournalEntry::Remove)
            return refuse("unknown kind");
        JournalEntry e;
        e.kind = JournalEntry::Kind(kind);
        e.asideSuffix = line.substr(2, space - 2);
        e.rel = line.substr(space + 1);
        if (!validSuffix(e.kind, e.asideSuffix))
            return refuse("bad aside name");
        if (!isSafeRelative(e.rel))
            return refuse("unsafe path");
        if (e.asideSuffix == "-")
            e.asideSuffix.clear();
        journal.entries.push_back(e);
    }
    if (!ended)
        return refuse("no end line");
    *out = journal;
    return true;
}

bool writeJournal(const fs::path &target, const std::vector<JournalEntry> &entries, std::string *why)
{
    const fs::path temp = target / journalTempName();
    const fs::path file = target / journalName();
    const std::string bytes = formatJournal(entries);
    std::error_code ec;
    fs::remove(temp, ec);
#ifdef _WIN32
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = "cannot create the install journal (" + systemError() + ")";
        return false;
    }
    const bool written = writeAllAndFlush(h, bytes);
    CloseHandle(h);
#else
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = "cannot create the install journal (" + systemError() + ")";
        return false;
    }
    const bool written = writeAllAndFlush(fd, bytes);
    ::close(fd);
#endif
    if (!written) {
        *why = "cannot write the install journal (" + systemError() + ")";
        fs::remove(temp, ec);
        return false;
    }
    const int code = platformRename(temp, file);
    if (code != 0) {
        *why = "cannot put the install journal in place (error " + std::to_string(code) + ")";
        fs::remove(temp, ec);
        return false;
    }
#ifndef _WIN32
    flushFolder(target);
#endif
    return true;
}

bool markJournalPlaced(const fs::path &target, std::string *why)
{
    const fs::path file = target / journalName();
    const std::string line = std::string(kPlaced) + '\n';
#ifdef _WIN32
    HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = "cannot open the install journal (" + systemError() + ")";
        return false;
    }
    const bool ok = writeAllAndFlush(h, line);
    CloseHandle(h);
#else
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = "cannot open the install journal (" + systemError() + ")";
        return false;
    }
    const bool ok = writeAllAndFlush(fd, line);
    ::close(fd);
#endif
    if (!ok)
        *why = "cannot write the install journal (" + systemError() + ")";
    return ok;
}

bool removeJournal(const fs::path &target)
{
    std::error_code ec;
    fs::remove(target / journalName(), ec);
#ifndef _WIN32
    flushFolder(target);
#endif
    return !ec;
}

int readRegularFile(const fs::path &file, std::size_t maxBytes, std::string *out, std::string *why)
{
    out->clear();
#ifdef _WIN32
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return 0;
        *why = "cannot open " + file.u8string() + " (Windows error " + std::to_string(code) + ")";
        return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED ? -2 : -1;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool plain = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info)
                       && !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    const unsigned long long size = (unsigned long long)(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    bool ok = plain && size <= maxBytes;
    if (ok) {
        out->resize(std::size_t(size));
        std::size_t done = 0;
        while (ok && done < out->size()) {
            DWORD got = 0;
            ok = ReadFile(h, &(*out)[done], DWORD(std::min<std::size_t>(out->size() - done, 1u << 20)), &got, nullptr)
                 && got > 0;
            done += got;
        }
    }
    CloseHandle(h);
    if (!ok)
        *why = !plain ? file.u8string() + " is not a plain file" : file.u8string() + " is too large or unreadable";
    return ok ? 1 : -1;
#else
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return 0;
        const int code = errno;
        *why = "cannot open " + file.u8string() + " (" + systemError() + ")";
        return code == ELOOP ? -1 : -2; // a link is refused; anything else may pass
    }
    struct stat st{};
    const bool plain = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool ok = plain && std::size_t(st.st_size) <= maxBytes;
    if (ok) {
        out->resize(std::size_t(st.st_size));
        std::size_t done = 0;
        while (ok && done < out->size()) {
            const ssize_t n = ::read(fd, &(*out)[done], out->size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            done += ok ? std::size_t(n) : 0;
        }
    }
    ::close(fd);
    if (!ok)
        *why = !plain ? file.u8string() + " is not a plain file" : file.u8string() + " is too large or unreadable";
    return ok ? 1 : -1;
#endif
}

} // namespace filereplace
