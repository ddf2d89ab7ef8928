#include "backfill/backfillimport.h"

#include "backfill/backfillerrorlog.h"
#include "backfill/backfilllines.h"
#include "backfill/repairscope.h"
#include "backfill/symbolrewriter.h"
#include "platform/installpaths.h"

#include <QDateTime>

#include <cstring>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>

// One chunk file being filled, with the source files whose lines it completes.
struct BackfillImport::Chunk
{
    QString firstSource; // the file being read when the chunk was opened
    int part = 1;        // that file's chunk number
    qint64 bytes = 0;
    QFile file;
    std::unique_ptr<BackfillLines::Writer> writer;
    QStringList sources; // finished files whose remaining lines are all in here
    QHash<QByteArray, qint64> repairBars; // a repair's bars in here, per server symbol
    QByteArray todayLines;                // its lines of today, as the server wrote them
};

namespace {

QString sourcePath(const QString &name)
{
    return InstallPaths::join(InstallPaths::backfillDirNative(), name);
}

} // namespace

BackfillImport::BackfillImport(Hooks hooks)
    : m_hooks(std::move(hooks))
    , m_today(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")).toLatin1())
{
}

BackfillImport::~BackfillImport() = default;

QStringList BackfillImport::pendingFiles()
{
    QDir dir(InstallPaths::backfillDirNative());
    return dir.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
}

QString BackfillImport::keepFailed(const QString &path, const QString &sourceName, int part)
{
    const QString wanted = InstallPaths::backfillFailedCopy(sourceName, part);
    QString target = wanted;
    // An earlier run may have kept a file of the same name: never overwrite it.
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = wanted.left(wanted.size() - 4) + QStringLiteral("-%1.txt").arg(n);
    if (QFileInfo(path).isDir())
        return QString();
    if (QFile::rename(path, target))
        return target;
    if (QFile::copy(path, target)) {
        QFile::remove(path);
        return target;
    }
    QFile::remove(target); // a partial copy
    qDebug() << "Backfill import: could not keep" << path << "as" << target;
    return QString();
}

void BackfillImport::pruneKept(BackfillErrorLog *log, qint64 byteLimit, int dayLimit)
{
    QDir dir(InstallPaths::backfillWorkDir());
    const QFileInfoList kept = dir.entryInfoList({QStringLiteral("failed_*")}, QDir::Files,
                                                 QDir::Time | QDir::Reversed); // oldest first
    qint64 total = 0;
    for (const QFileInfo &info : kept)
        total += info.size();
    const QDateTime oldest = QDateTime::currentDateTime().addDays(-dayLimit);
    for (const QFileInfo &info : kept) {
        const bool tooOld = info.lastModified() < oldest;
        if (!tooOld && total <= byteLimit)
            continue;
        if (!QFile::remove(info.filePath()))
            continue;
        total -= info.size();
        log->write(tooOld ? QStringLiteral(" - removed kept file older than %1 days ").arg(dayLimit)
                            : QStringLiteral(" - removed kept file, kept files over %1 MiB ")
                                  .arg(byteLimit >> 20),
                info.filePath());
    }
}

void BackfillImport::run()
{
    if (!QFileInfo(InstallPaths::backfillDirNative()).isDir())
        return;
    QStringList files = pendingFiles();
    if (files.isEmpty())
        return;
    runFiles(files);
    // Files unpacked while the event loop ran between files; a file that stayed behind
    // (it could not be opened or written) is left for the next run.
    QSet<QString> seen(files.cbegin(), files.cend());
    while (!m_stopped) {
        files.clear();
        for (const QString &name : pendingFiles()) {
            if (!seen.contains(name))
                files.append(name);
        }
        if (files.isEmpty())
            break;
        seen.unite(QSet<QString>(files.cbegin(), files.cend()));
        runFiles(files);
    }
}

void BackfillImport::runFiles(const QStringList &names)
{
    m_stopped = false;
    m_keptSources.clear();
    if (names.isEmpty())
        return;
    QDir().mkpath(InstallPaths::backfillWorkDir());
    m_log.open();
    pruneKept(&m_log);
    qDebug() << "Backfill import:" << names.size() << "files";

    for (const QString &name : names) {
        if (m_hooks.betweenFiles)
            m_hooks.betweenFiles();
        if (m_hooks.stopRequested && m_hooks.stopRequested()) {
            m_stopped = true;
            break;
        }
        importFile(name);
    }
    if (m_stopped) {
        dropChunk();
        m_log.write(QStringLiteral(" - import stopped; files not yet imported stay in "),
                InstallPaths::backfillDirNative());
    } else if (m_chunk) {
        finishChunk(QStringLiteral(" - failed to import final "));
    }
    m_log.close();
}

bool BackfillImport::importWithRetries(const QString &chunkPath)
{
    for (int attempt = 1; attempt <= kImportAttempts; ++attempt) {
        if (m_hooks.importChunk(chunkPath))
            return true;
        m_hooks.pause(kAfterFailureMs);
    }
    return false;
}

bool BackfillImport::openChunk(const QString &sourceName, int part)
{
    m_chunk = std::make_unique<Chunk>();
    m_chunk->firstSource = sourceName;
    m_chunk->part = part;
    m_chunk->file.setFileName(InstallPaths::backfillChunkFile(part));
    if (!m_chunk->file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate))
        return false;
    m_chunk->writer = std::make_unique<BackfillLines::Writer>(&m_chunk->file);
    return true;
}

void BackfillImport::keepSources(const QStringList &sources, const QString &reason)
{
    for (const QString &name : sources) {
        m_keptSources.append(name);
        m_log.write(reason, sourcePath(name));
    }
}

void BackfillImport::dropChunk()
{
    if (!m_chunk)
        return;
    m_chunk->writer.reset();
    m_chunk->file.close();
    m_chunk->file.remove();
    m_chunk.reset();
}

bool BackfillImport::finishChunk(const QString &failureText)
{
    const std::unique_ptr<Chunk> chunk = std::move(m_chunk);
    const QString path = chunk->file.fileName();
    const bool written = !chunk->writer || chunk->writer->close();
    chunk->writer.reset();
    chunk->file.close();
    if (!written) {
        QFile::remove(path); // first: on a full disk the log needs the room
        m_log.write(QStringLiteral(" - cannot write chunk "), path);
        keepSources(chunk->sources, QStringLiteral(" - not imported (chunk not written), kept for the next run "));
        return false;
    }
    bool settled = true;
    if (chunk->bytes > 0) {
        m_hooks.pause(kBeforeImportMs);
        const bool imported = importWithRetries(path);
        if (imported && m_hooks.repairScope)
            m_hooks.repairScope->tally()->add(chunk->repairBars);
        if (imported && m_hooks.importedToday && !chunk->todayLines.isEmpty())
            m_hooks.importedToday(chunk->todayLines);
        if (!imported) {
            const QString kept = keepFailed(path, chunk->firstSource, chunk->part);
            settled = !kept.isEmpty();
            m_log.write(failureText, settled ? kept : path);
            if (settled && chunk->sources.size() > 1)
                m_log.write(QStringLiteral(" - the kept chunk holds the lines of %1 files from ")
                                    .arg(chunk->sources.size()),
                        sourcePath(chunk->sources.first()) + QStringLiteral(" to ")
                            + sourcePath(chunk->sources.last()));
            if (settled)
                pruneKept(&m_log);
        }
    }
    if (QFile::exists(path))
        QFile::remove(path);
    if (!settled) {
        keepSources(chunk->sources, QStringLiteral(" - not imported (refused chunk not kept), kept for the next run "));
        return false;
    }
    for (const QString &name : chunk->sources)
        QFile::remove(sourcePath(name));
    return true;
}

void BackfillImport::importFile(const QString &fileName)
{
    const QString source = sourcePath(fileName);
    if (!QFileInfo::exists(source))
        return; // removed while the event loop ran
    const QString processed = InstallPaths::backfillProcessedCopy(fileName);
    const std::unique_ptr<SymbolRewriter> rewriter = m_hooks.makeRewriter ? m_hooks.makeRewriter() : nullptr;
    const bool made = !rewriter && m_hooks.mapFile && m_hooks.mapFile(source, processed);
    const auto dropProcessed = [&] {
        if (made && QFile::exists(processed))
            QFile::remove(processed);
    };

    QFile input(made ? processed : source);
    if (!input.open(QIODevice::ReadOnly)) {
        m_log.write(QStringLiteral(" - cannot open "), input.fileName());
        dropProcessed();
        m_keptSources.append(fileName);
        return;
    }
    if (!m_chunk && !openChunk(fileName, 1)) {
        m_log.write(QStringLiteral(" - cannot open chunk "), m_chunk->file.fileName());
        m_chunk.reset();
        input.close();
        dropProcessed();
        m_keptSources.append(fileName);
        return;
    }

    bool keepSource = false;
    int rollovers = 0;
    qint64 refusedSymbols = 0;
    BackfillLines::Reader reader(&input);
    const char *data = nullptr;
    qint64 size = 0;
    QByteArray renamed;
    renamed.reserve(4096); // keeps its buffer across lines (resize(0) below)
    QList<QByteArray> changedSamples;
    const RepairScope *scope = m_hooks.repairScope.get();
    RepairScope::Cursor cursor;
    RepairScope::Counts verdicts{};
    while (reader.next(&data, &size)) {
        qint64 start = 0, length = 0;
        if (scope) {
            // Judged as the server wrote it: the request named the server's symbol.
            BackfillLines::trim(data, size, &start, &length);
            if (length == 0 || BackfillLines::containsFailed(data + start, length))
                continue;
            const RepairScope::Verdict verdict = scope->judge(data + start, length, &cursor);
            ++verdicts[size_t(verdict)];
            if (verdict != RepairScope::Keep)
                continue;
        }
        const char *raw = data;
        const qint64 rawSize = size;
        if (rewriter) {
            renamed.resize(0);
            if (rewriter->appendRewritten(data, size, &renamed) && changedSamples.size() < 8)
                changedSamples.append(QByteArray(data, int(size)));
            data = renamed.constData();
            size = renamed.size();
        }
        BackfillLines::trim(data, size, &start, &length);
        if (length == 0 || BackfillLines::containsFailed(data + start, length))
            continue;
        qint64 symbolStart = 0, symbolLength = 0;
        if (BackfillLines::symbolField(data + start, length, &symbolStart, &symbolLength)
            && !BackfillLines::isAcceptableSymbol(data + start + symbolStart, symbolLength)) {
            ++refusedSymbols;
            continue;
        }
        const qint64 lineBytes = length + 1;
        if (m_chunk->bytes + lineBytes > kChunkBytes) {
            if (!finishChunk(QStringLiteral(" - failed to import "))) {
                // This file's lines in that chunk are not imported either.
                keepSource = true;
                break;
            }
            ++rollovers;
            if (rollovers > kMaxRollovers) {
                m_log.write(QStringLiteral(" - exceeded max chunks for "), source);
                break;
            }
            if (!openChunk(fileName, rollovers + 1)) {
                m_log.write(QStringLiteral(" - cannot open next chunk "), m_chunk->file.fileName());
                m_chunk.reset();
                // The rest of the file has not been imported: keep the file for the next
                // run rather than lose it (bars imported twice replace themselves).
                keepSource = true;
                break;
            }
        }
        m_chunk->writer->writeLine(data + start, length);
        m_chunk->bytes += lineBytes;
        if (m_hooks.importedToday) {
            BackfillLines::Field f[3];
            if (BackfillLines::splitFields(raw, rawSize, f, 3) == 3 && f[2].length == m_today.size()
                && std::memcmp(raw + f[2].start, m_today.constData(), size_t(m_today.size())) == 0)
                m_chunk->todayLines.append(raw, int(rawSize)).append('\n');
        }
        if (scope)
            ++m_chunk->repairBars[cursor.symbol];
        if (!m_chunk->writer->ok()) {
            // A full disk: what this chunk holds is not imported, and none of its files
            // is deleted.
            const QString path = m_chunk->file.fileName();
            const QStringList sources = m_chunk->sources;
            dropChunk(); // first: on a full disk the log needs the room
            m_log.write(QStringLiteral(" - cannot write chunk "), path);
            keepSources(sources, QStringLiteral(" - not imported (chunk not written), kept for the next run "));
            keepSource = true;
            break;
        }
    }
    if (reader.failed()) {
        m_log.write(QStringLiteral(" - cannot open "), input.fileName());
        keepSource = true;
    }
    if (reader.skippedLines() > 0)
        m_log.write(QStringLiteral(" - skipped %1 lines longer than %2 bytes in ")
                            .arg(reader.skippedLines()).arg(BackfillLines::kMaxLineBytes),
                source);
    if (refusedSymbols > 0)
        m_log.write(QStringLiteral(" - refused %1 lines whose symbol holds a control, separator "
                                       "or look-alike character in ").arg(refusedSymbols),
                source);
    if (scope)
        qDebug().noquote() << QStringLiteral("Gap repair import of %1: %2")
                                  .arg(source, RepairScope::countsText(verdicts));
    if (!reader.convertedFrom().isEmpty())
        qDebug() << "Backfill import: converted" << source << "from" << reader.convertedFrom();
    input.close();
    for (const QByteArray &sample : qAsConst(changedSamples))
        qDebug().noquote() << "  " + QString::fromUtf8(sample);
    dropProcessed();

    if (keepSource) {
        keepSources({fileName}, QStringLiteral(" - not imported completely, kept for the next run "));
        return;
    }
    if (!m_chunk) {
        // The rest of the file was dropped after too many chunks.
        QFile::remove(source);
        return;
    }
    m_chunk->sources.append(fileName);
    if (m_chunk->sources.size() >= kMaxFilesPerChunk)
        finishChunk(QStringLiteral(" - failed to import final "));
}
