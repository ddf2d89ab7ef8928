#pragma once

#include "backfill/backfillerrorlog.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class RepairScope;
class SymbolRewriter;

// The import of an unpacked backfill: every plain file of the backfill folder is renamed
// through the symbol mapping, cut into chunk files of at most 16 MiB and each chunk handed
// to the charting program's import. Lines of many small files are gathered into one chunk
// (one import call per chunk, not per file), so an archive of thousands of small entries
// costs a few imports. A source file is deleted only once every line of it has been
// imported or kept: after a failed write (a full disk) its bars stay in the backfill folder
// for the next run.
//
// Problems go to the error log beside the chunks; a chunk the charting program refuses is
// kept there under a name that says where it came from, so its bars can still be imported
// by hand. The kept files are bounded in total size and age.
//
// The calls that reach outside (mapping, import, pauses, the event loop between files,
// the question whether the program is closing) are hooks, filled by the import worker.
class BackfillImport
{
public:
    struct Hooks
    {
        // The renaming of one file's lines, made afresh for each file (so a mapping saved
        // during a run applies from the next file on). With it, every line is renamed in
        // memory on its way into the chunk: the same chunks as writing the processed copy
        // and reading it back, at half the file traffic.
        std::function<std::unique_ptr<SymbolRewriter>()> makeRewriter;
        // Without makeRewriter: writes the processed copy; false when it was not made.
        std::function<bool(const QString &source, const QString &processed)> mapFile;
        // One import call; false for a null result.
        std::function<bool(const QString &chunkPath)> importChunk;
        std::function<void(int ms)> pause;
        std::function<void()> betweenFiles;
        // Asked after betweenFiles: true ends the run at once. What was gathered but not
        // imported stays in the backfill folder for the next run.
        std::function<bool()> stopRequested;
        // A gap repair's import: only the lines the scope keeps are imported (judged on
        // the server's names, so it goes with makeRewriter, which renames afterwards), and
        // what the charting program took goes to the scope's tally. Without it every line
        // is imported.
        std::shared_ptr<const RepairScope> repairScope;
        // After each chunk the charting program took: that chunk's lines of today, as the
        // server wrote them (before the renaming), for the day ledger. Unset: not gathered.
        std::function<void(const QByteArray &todayLines)> importedToday;
    };

    static constexpr qint64 kChunkBytes = 16777216;
    static constexpr int kMaxRollovers = 800;
    static constexpr int kImportAttempts = 5;
    static constexpr int kBeforeImportMs = 100;
    static constexpr int kAfterFailureMs = 150;
    // A chunk is imported after this many files at the latest, so a kill or a close costs
    // at most this many files' import again, and sources do not wait long to be deleted.
    static constexpr int kMaxFilesPerChunk = 1000;
    // Bounds of the kept refused files beside the error log.
    static constexpr qint64 kKeptBytesLimit = qint64(1) << 30;
    static constexpr int kKeptDaysLimit = 30;

    explicit BackfillImport(Hooks hooks);
    ~BackfillImport();

    // Works through the backfill folder. Files that arrive while it runs (the event loop
    // runs between files) are picked up before it returns.
    void run();
    // Works through the named files of the backfill folder only, in the given order.
    void runFiles(const QStringList &names);

    // Whether the last run ended early on a stop request.
    bool wasStopped() const { return m_stopped; }
    // Source files of the last run left in the backfill folder because their bars could
    // not all be written or kept (names).
    QStringList keptSources() const { return m_keptSources; }

    // Plain files of the backfill folder, sorted by name ignoring letter case.
    static QStringList pendingFiles();

    // Moves a refused file beside the error log (see InstallPaths::backfillFailedCopy);
    // returns the path it is kept under, or an empty string when it cannot be moved.
    static QString keepFailed(const QString &path, const QString &sourceName, int part);

    // Removes kept refused files older than kKeptDaysLimit days, then the oldest ones
    // until the rest hold at most kKeptBytesLimit bytes, each with a log line.
    static void pruneKept(BackfillErrorLog *log, qint64 byteLimit = kKeptBytesLimit,
                          int dayLimit = kKeptDaysLimit);

private:
    struct Chunk;
    void importFile(const QString &fileName);
    bool importWithRetries(const QString &chunkPath);
    bool openChunk(const QString &sourceName, int part);
    // Closes the open chunk and imports it; settles the sources whose lines it holds.
    // False when its lines are neither imported nor kept (the sources then stay).
    bool finishChunk(const QString &failureText);
    // Closes and removes the open chunk unimported; its sources stay for the next run.
    void dropChunk();
    void keepSources(const QStringList &sources, const QString &reason);

    Hooks m_hooks;
    QByteArray m_today; // YYYYMMDD of the day the import started
    BackfillErrorLog m_log;
    std::unique_ptr<Chunk> m_chunk;
    bool m_stopped = false;
    QStringList m_keptSources;
};
