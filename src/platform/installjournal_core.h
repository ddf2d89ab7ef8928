#pragma once

// The journal of an install under way: what it will create, move aside and put in place,
// written whole before the first file moves, so that a start after a kill or a power cut
// can finish the install or undo it. Plain C++17 with no Qt (built with mingw-w64 too).
//
// Text, one line each:
//   vantrel-install-journal 1
//   <kind> <aside suffix or -> <relative path>     (kinds: d folder, n new, r replaced, x removed)
//   end <number of entries>
//   placed                                          (appended once every file is in place)
// A journal is read as hostile: any line out of this shape refuses the whole journal.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace filereplace {

namespace fs = std::filesystem;

struct JournalEntry
{
    enum Kind : char { MakeDir = 'd', Place = 'n', Replace = 'r', Remove = 'x' };
    Kind kind = Place;
    std::string rel;
    // Replace and Remove: what turns rel into its aside name (".old", ".old1" .. ".old9").
    std::string asideSuffix;
};

struct Journal
{
    std::vector<JournalEntry> entries;
    bool placed = false;
};

// File in the target folder, and the name it is written under first.
const char *journalName();
const char *journalTempName();

// Largest journal read back (about 300,000 entries of long names).
constexpr std::size_t kJournalMaxBytes = 64u * 1024u * 1024u;

std::string formatJournal(const std::vector<JournalEntry> &entries);
bool parseJournal(const std::string &text, Journal *out, std::string *why);

// Written to the temporary name, flushed to the disk, then renamed over nothing (an
// existing journal is an error) and the folder flushed.
bool writeJournal(const fs::path &target, const std::vector<JournalEntry> &entries, std::string *why);
// Appends the "placed" line and flushes it.
bool markJournalPlaced(const fs::path &target, std::string *why);
bool removeJournal(const fs::path &target);

// Reads a regular file without following a link and without blocking on a FIFO or device.
// 1 when read, 0 when there is none, -1 when refused (a link, not a plain file, too large),
// -2 when it cannot be opened now (in use, no access).
int readRegularFile(const fs::path &file, std::size_t maxBytes, std::string *out, std::string *why);

} // namespace filereplace
