#include "backfill/backfillimport.h"

#include "backfill/backfilllines.h"
#include "backfill/symbolrewriter.h"
#include "platform/installpaths.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

// One chunk file being filled.
struct Chunk
{
    int number = 1;
    int rollovers = 0;
    qint64 bytes = 0;
    QFile file;
    std::unique_ptr<BackfillLines::Writer> writer;

    bool open()
    {
        writer.reset();
        file.setFileName(InstallPaths::backfillChunkFile(number));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate))
            return false;
        writer = std::make_unique<BackfillLines::Writer>(&file);
        bytes = 0;
        return true;
    }
    void close()
    {
        if (writer)
            writer->flush();
        writer.reset();
        file.close();
    }
};

} // namespace

QStringList BackfillImport::pendingFiles()
{
    QDir dir(InstallPaths::backfillDirNative());
    return dir.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
}

void BackfillImport::logLine(QFile *log, const QString &message, const QString &path)
{
    const QString line = QDateTime::currentDateTime().toString(Qt::ISODate) + message + path;
    if (log && log->isOpen()) {
        log->write((line + QLatin1Char('\n')).toUtf8());
        log->flush();
    } else {
        qDebug().noquote() << "Backfill import:" << line;
    }
}

QString BackfillImport::keepFailed(const QString &path, const QString &sourceName, int part)
{
    const QString wanted = InstallPaths::backfillFailedCopy(sourceName, part);
    QString target = wanted;
    // An earlier run may have kept a file of the same name: never overwrite it.
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = wanted.left(wanted.size() - 4) + QStringLiteral("-%1.txt").arg(n);
    if (QFileInfo(path).isDir())
        return path;
    if (QFile::rename(path, target) || (QFile::copy(path, target) && QFile::remove(path)))
        return target;
    qDebug() << "Backfill import: could not keep" << path << "as" << target;
    return path;
}

void BackfillImport::run()
{
    if (!QFileInfo(InstallPaths::backfillDirNative()).isDir())
        return;
    QDir().mkpath(InstallPaths::backfillWorkDir());
    QStringList files = pendingFiles();
    if (files.isEmpty())
        return;

    m_log.setFileName(InstallPaths::backfillErrorLog());
    if (!m_log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        qDebug() << "Backfill import: cannot open the error log" << m_log.fileName();

    QStringList seen;
    while (!files.isEmpty()) {
        for (const QString &name : qAsConst(files)) {
            if (m_hooks.betweenFiles)
                m_hooks.betweenFiles();
            importFile(name);
            seen.append(name);
        }
        // Files unpacked while the event loop ran between files; a file that stayed
        // behind (it could not be opened) is left for the next run.
        files.clear();
        for (const QString &name : pendingFiles()) {
            if (!seen.contains(name))
                files.append(name);
        }
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

void BackfillImport::importFile(const QString &fileName)
{
    const QString source = InstallPaths::join(InstallPaths::backfillDirNative(), fileName);
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
        logLine(&m_log, QStringLiteral(" - cannot open "), input.fileName());
        dropProcessed();
        return;
    }

    Chunk chunk;
    if (!chunk.open()) {
        logLine(&m_log, QStringLiteral(" - cannot open chunk "), chunk.file.fileName());
        input.close();
        dropProcessed();
        return;
    }

    // Closes the filled chunk and imports it. A chunk that fails every attempt is kept.
    const auto finishChunk = [&](const QString &failureText) {
        chunk.close();
        const QString path = chunk.file.fileName();
        m_hooks.pause(kBeforeImportMs);
        if (!importWithRetries(path))
            logLine(&m_log, failureText, keepFailed(path, fileName, chunk.number));
        if (QFile::exists(path))
            QFile::remove(path);
    };

    bool keepSource = false;
    BackfillLines::Reader reader(&input);
    const char *data = nullptr;
    int size = 0;
    QByteArray renamed;
    renamed.reserve(4096); // keeps its buffer across lines (resize(0) below)
    QList<QByteArray> changedSamples;
    while (reader.next(&data, &size)) {
        if (rewriter) {
            renamed.resize(0);
            if (rewriter->appendRewritten(data, size, &renamed) && changedSamples.size() < 8)
                changedSamples.append(QByteArray(data, size));
            data = renamed.constData();
            size = renamed.size();
        }
        int start = 0, length = 0;
        BackfillLines::trim(data, size, &start, &length);
        if (length == 0 || BackfillLines::containsFailed(data + start, length))
            continue;
        const qint64 lineBytes = qint64(length) + 1;
        if (chunk.bytes + lineBytes > kChunkBytes) {
            finishChunk(QStringLiteral(" - failed to import "));
            ++chunk.rollovers;
            ++chunk.number;
            if (chunk.rollovers > kMaxRollovers) {
                logLine(&m_log, QStringLiteral(" - exceeded max chunks for "), source);
                break;
            }
            if (!chunk.open()) {
                logLine(&m_log, QStringLiteral(" - cannot open next chunk "), chunk.file.fileName());
                // The rest of the file has not been imported: keep the file for the next
                // run rather than lose it (bars imported twice replace themselves).
                keepSource = true;
                break;
            }
        }
        chunk.writer->writeLine(data + start, length);
        chunk.bytes += lineBytes;
    }
    if (reader.failed()) {
        logLine(&m_log, QStringLiteral(" - cannot open "), input.fileName());
        keepSource = true;
    }
    input.close();
    for (const QByteArray &sample : qAsConst(changedSamples))
        qDebug().noquote() << "  " + QString::fromUtf8(sample);

    if (chunk.file.isOpen()) {
        if (chunk.bytes > 0) {
            finishChunk(QStringLiteral(" - failed to import final "));
        } else {
            chunk.close();
            QFile::remove(chunk.file.fileName());
        }
    }
    dropProcessed();
    if (!keepSource)
        QFile::remove(source);
}
