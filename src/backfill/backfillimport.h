#pragma once

#include <QFile>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class SymbolRewriter;

// The import of an unpacked intraday backfill: every plain file of the backfill folder is
// renamed through the symbol mapping into a processed copy, cut into chunk files of at
// most 16 MiB and each chunk handed to the charting program's import. Problems go to the
// error log beside the chunks; a chunk the charting program refuses is kept there under a
// name that says where it came from, so its bars can still be imported by hand.
//
// The calls that reach outside (mapping, import, pauses, the event loop between files)
// are hooks, filled by liveDataUpdator.
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
    };

    static constexpr qint64 kChunkBytes = 16777216;
    static constexpr int kMaxRollovers = 800;
    static constexpr int kImportAttempts = 5;
    static constexpr int kBeforeImportMs = 100;
    static constexpr int kAfterFailureMs = 150;

    explicit BackfillImport(Hooks hooks) : m_hooks(std::move(hooks)) {}

    // Works through the backfill folder. Files that arrive while it runs (the event loop
    // runs between files) are picked up before it returns.
    void run();

    // Plain files of the backfill folder, sorted by name ignoring letter case.
    static QStringList pendingFiles();

    // Appends one line to the error log of the current run, or to the debug output when
    // the log cannot be opened. Public for the end-of-day import, which uses the same log.
    static void logLine(QFile *log, const QString &message, const QString &path);

    // Moves a refused file beside the error log (see InstallPaths::backfillFailedCopy);
    // returns the path it is kept under, or the original path when it cannot be moved.
    static QString keepFailed(const QString &path, const QString &sourceName, int part);

private:
    void importFile(const QString &fileName);
    bool importWithRetries(const QString &chunkPath);

    Hooks m_hooks;
    QFile m_log;
};
