#include "archive/extraction.h"

#include "platform/archiver.h"
#include "platform/childprocess.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <limits>

namespace {

constexpr int kLoggedNotes = 50;
const QString kCopyName = QStringLiteral("archive.zip");
const QString kFilesFolder = QStringLiteral("files");
const QString kReplacedFolder = QStringLiteral("replaced");

void prepareProcess(QProcess *process)
{
    // Output is never read; sending it nowhere keeps a chatty tool from filling memory.
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardInputFile(QProcess::nullDevice());
}

bool isInside(const QString &path, const QString &root)
{
    return !path.isEmpty() && path.startsWith(root + QLatin1Char('/'));
}

bool isLink(const QFileInfo &fi)
{
    return fi.isSymLink() || fi.isJunction();
}

QString stagingName(const QString &destination)
{
    const QString name = QFileInfo(QDir::cleanPath(destination)).fileName();
    return (name.isEmpty() ? QStringLiteral("extract") : name) + QStringLiteral("-staging-");
}

} // namespace

ArchiveExtractor::ArchiveExtractor(QObject *parent)
    : QObject(parent)
    , m_archiver(new ChildProcess(this))
    , m_fallback(new ChildProcess(this))
    , m_copy(this)
    , m_limit(this)
{
    connect(m_archiver, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ArchiveExtractor::archiverFinished);
    connect(m_archiver, &QProcess::errorOccurred, this, &ArchiveExtractor::archiverError);
    connect(m_fallback, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ArchiveExtractor::fallbackFinished);
    connect(m_fallback, &QProcess::errorOccurred, this, &ArchiveExtractor::fallbackError);
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, &ArchiveExtractor::onTimeLimit);
    connect(&m_copy, &ArchiveEntries::SafeCopy::finished, this, &ArchiveExtractor::onCopyFinished);
}

ArchiveExtractor::~ArchiveExtractor()
{
    if (isRunning())
        cancel();
}

void ArchiveExtractor::removeStaleStaging(const QString &stagingParent, const QString &destination)
{
    const QString name = stagingName(destination);
    QDir parent(stagingParent);
    const QStringList stale = parent.entryList({name + QLatin1Char('*'), QLatin1Char('.') + name + QLatin1Char('*')},
                                               QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : stale) {
        const QString path = parent.filePath(entry);
        const QFileInfo fi(path);
        // A link named like a staging folder is removed itself, never what it points to.
        const bool removed = isLink(fi) || !fi.isDir() ? QFile::remove(path) : QDir(path).removeRecursively();
        qDebug().noquote() << "ArchiveExtractor:" << (removed ? "removed" : "cannot remove")
                           << "staging folder" << path << "left by an earlier run";
    }
}

void ArchiveExtractor::failLater(const QString &error)
{
    // Fails on the next turn of the event loop, like a process that cannot start.
    const quint64 run = m_run;
    QMetaObject::invokeMethod(this, [this, run, error]() {
        if (run == m_run && m_state != State::Idle)
            fail(error);
    }, Qt::QueuedConnection);
}

bool ArchiveExtractor::start(const QString &archivePath, const QString &destination)
{
    if (m_state != State::Idle) {
        qDebug() << "ArchiveExtractor: still extracting" << m_archivePath << "- not starting"
                 << archivePath;
        return false;
    }
    ++m_run;
    m_archivePath = archivePath;
    m_destination = destination;
    m_fallbackStarted = false;
    m_fallbackCouldNotRun = false;
    m_spaceRefusal.clear();
    m_archiverFailed = false;
    m_fallbackErrored = false;
    m_timedOut = false;
    m_destinationTouched = false;
    m_plan = {};
    m_state = State::Copying;

    QVector<ArchiveEntries::Entry> entries;
    QString why;
    if (!ArchiveEntries::readDirectory(archivePath, &entries, &why)) {
        failLater(why);
        return true;
    }
    m_plan = ArchiveEntries::plan(entries, m_flatten);
    // An archive of many hostile entries must not flood the log.
    for (int i = 0; i < m_plan.notes.size() && i < kLoggedNotes; ++i)
        qDebug().noquote() << "ArchiveExtractor:" << archivePath << m_plan.notes[i];
    if (m_plan.notes.size() > kLoggedNotes)
        qDebug().noquote() << "ArchiveExtractor:" << archivePath << "and" << m_plan.notes.size() - kLoggedNotes
                           << "more entries dropped, refused or renamed";
    if (m_plan.kept.isEmpty()) {
        failLater(QStringLiteral("nothing to unpack (%1 entries, none usable)").arg(entries.size()));
        return true;
    }
    if (!prepareStaging(&why)) {
        failLater(why);
        return true;
    }
    quint64 copySize = 0;
    for (const ArchiveEntries::Kept &k : qAsConst(m_plan.kept))
        copySize += entries[k.index].compressedSize + 128 + quint64(k.target.size()) * 2;
    const quint64 total = m_plan.unpackedSize + copySize;
    const qint64 needed = total > quint64(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                                             : qint64(total);
    const DiskBudget::Room room = DiskBudget::roomFor(m_staging->path(), m_spaceCap);
    if (!DiskBudget::fits(needed, room)) {
        m_spaceRefusal = DiskBudget::refusal(needed, room, m_spaceCap);
        failLater(QStringLiteral("not enough disk space to unpack: ") + m_spaceRefusal);
        return true;
    }
    m_copy.start(archivePath, entries, m_plan, m_staging->filePath(kCopyName));
    return true;
}

bool ArchiveExtractor::prepareStaging(QString *error)
{
    m_staging.reset();
    const QString dest = QDir::cleanPath(m_destination);
    QString parent = m_stagingParent;
    if (parent.isEmpty())
        parent = QFileInfo(dest).absolutePath();
    if (!QDir().mkpath(parent)) {
        *error = QStringLiteral("cannot create %1").arg(parent);
        return false;
    }
    auto staging = std::make_unique<QTemporaryDir>(parent + QLatin1Char('/') + stagingName(dest)
                                                   + QStringLiteral("XXXXXX"));
    if (!staging->isValid()) {
        *error = QStringLiteral("cannot create a staging folder in %1: %2")
                     .arg(parent, staging->errorString());
        return false;
    }
    m_staging = std::move(staging);
    return true;
}

bool ArchiveExtractor::freshOutputFolder(QString *error)
{
    // Whatever a tool left half written is thrown away before the next one starts.
    QDir files(m_staging->filePath(kFilesFolder));
    if ((files.exists() && !files.removeRecursively()) || !QDir().mkpath(files.path())) {
        *error = QStringLiteral("cannot prepare %1").arg(files.path());
        return false;
    }
    return true;
}

void ArchiveExtractor::onCopyFinished(bool ok, const QString &error)
{
    if (m_state != State::Copying)
        return;
    QString why = error;
    if (!ok || !freshOutputFolder(&why)) {
        fail(why);
        return;
    }
    m_state = State::Archiver;
    const Archiver::Invocation call =
        Archiver::archiverCall(m_staging->filePath(kCopyName), m_staging->filePath(kFilesFolder));
    startTool(m_archiver, call.program, call.arguments);
}

void ArchiveExtractor::startTool(ChildProcess *process, const QString &program, const QStringList &arguments)
{
    prepareProcess(process);
    m_limit.start(m_timeLimitMs);
    process->start(program, arguments);
}

void ArchiveExtractor::onTimeLimit()
{
    ChildProcess *process = m_state == State::Archiver ? m_archiver
                            : m_state == State::Fallback ? m_fallback
                                                         : nullptr;
    if (!process)
        return;
    qDebug().noquote() << "ArchiveExtractor:" << process->program() << "ran longer than"
                       << m_timeLimitMs << "ms on" << m_archivePath << "- ending it";
    m_timedOut = true;
    const State before = m_state;
    const quint64 run = m_run;
    // Its finished() arrives inside killTree() and moves the extraction on.
    process->killTree();
    if (run == m_run && m_state == before && process->state() != QProcess::NotRunning)
        fail(QStringLiteral("%1 could not be ended after its time limit").arg(process->program()));
}

void ArchiveExtractor::archiverFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (m_state != State::Archiver || m_fallbackStarted)
        return;
    m_limit.stop();
    if (exitCode == 0 && exitStatus == QProcess::NormalExit && !m_archiverFailed && !m_timedOut) {
        succeed(QStringLiteral("archiver"));
        return;
    }
    startFallback(m_timedOut ? QStringLiteral("archiver time limit")
                             : QStringLiteral("archiver exit code %1%2")
                                   .arg(exitCode)
                                   .arg(exitStatus == QProcess::CrashExit ? QStringLiteral(" (crashed)") : QString()));
}

void ArchiveExtractor::archiverError(QProcess::ProcessError error)
{
    if (m_state != State::Archiver || m_fallbackStarted)
        return;
    if (error != QProcess::FailedToStart && error != QProcess::Crashed
        && m_archiver->state() != QProcess::NotRunning) {
        // Still running: end it first, its finished() then starts the fallback, so the two
        // never write into the staging folder at the same time.
        m_archiverFailed = true;
        m_archiver->killTree();
        return;
    }
    if (error == QProcess::Crashed)
        return; // finished() follows and decides
    m_limit.stop();
    startFallback(QStringLiteral("archiver error %1 (%2)").arg(error).arg(m_archiver->errorString()));
}

void ArchiveExtractor::startFallback(const QString &why)
{
    m_fallbackStarted = true;
    m_state = State::Fallback;
    m_timedOut = false;
    if (!m_fallbackEnabled) {
        fail(why);
        return;
    }
    qDebug().noquote() << "ArchiveExtractor:" << why << "for" << m_archivePath
                       << "- trying the fallback extractor";
    QString error;
    if (!freshOutputFolder(&error)) {
        fail(error);
        return;
    }
    const Archiver::Invocation call =
        Archiver::fallbackCall(m_staging->filePath(kCopyName), m_staging->filePath(kFilesFolder));
    startTool(m_fallback, call.program, call.arguments);
}

void ArchiveExtractor::fallbackFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (m_state != State::Fallback)
        return;
    m_limit.stop();
    if (m_fallbackErrored) {
        m_fallbackCouldNotRun = true;
        fail(QStringLiteral("fallback extractor failed: %1").arg(m_fallback->errorString()));
        return;
    }
    if (m_timedOut) {
        fail(QStringLiteral("fallback extractor ran longer than %1 ms").arg(m_timeLimitMs));
        return;
    }
    // The rewritten copy holds no entry that names a place outside.
    if (exitStatus == QProcess::NormalExit && Archiver::fallbackSucceeded(exitCode, false)) {
        succeed(QStringLiteral("fallback extractor"));
        return;
    }
    fail(QStringLiteral("fallback extractor exit code %1").arg(exitCode));
}

void ArchiveExtractor::fallbackError(QProcess::ProcessError error)
{
    if (m_state != State::Fallback)
        return;
    if (error != QProcess::FailedToStart && error != QProcess::Crashed
        && m_fallback->state() != QProcess::NotRunning) {
        m_fallbackErrored = true;
        m_fallback->killTree();
        return;
    }
    if (error == QProcess::Crashed)
        return; // finished() follows and decides
    m_limit.stop();
    m_fallbackCouldNotRun = true;
    fail(QStringLiteral("fallback extractor cannot run: %1").arg(m_fallback->errorString()));
}

void ArchiveExtractor::succeed(const QString &tool)
{
    QString error;
    if (!deliverStaging(&error)) {
        fail(error);
        return;
    }
    finishRun();
    if (!QFile::remove(m_archivePath))
        qDebug() << "ArchiveExtractor: cannot delete" << m_archivePath << "after extraction";
    qDebug().noquote() << "ArchiveExtractor:" << tool << "unpacked" << m_plan.kept.size() << "files of"
                       << m_archivePath << "into" << m_destination;
    emit finished(true, QString());
}

void ArchiveExtractor::fail(const QString &error)
{
    finishRun();
    qDebug().noquote() << "ArchiveExtractor:" << error << "- archive" << m_archivePath << "kept,"
                       << m_destination
                       << (m_destinationTouched ? "may hold part of it (see above)" : "unchanged");
    emit finished(false, error);
}

void ArchiveExtractor::finishRun()
{
    m_limit.stop();
    m_copy.cancel();
    m_staging.reset();
    m_state = State::Idle;
}

void ArchiveExtractor::cancel()
{
    if (m_state == State::Idle)
        return;
    ++m_run;
    const State was = m_state;
    // Idle first: the killed tools' finished() then finds nothing to move on.
    m_state = State::Idle;
    m_limit.stop();
    m_copy.cancel();
    if (m_archiver->state() != QProcess::NotRunning)
        m_archiver->killTree();
    if (m_fallback->state() != QProcess::NotRunning)
        m_fallback->killTree();
    m_staging.reset();
    qDebug().noquote() << "ArchiveExtractor: extraction of" << m_archivePath << "cancelled"
                       << (was == State::Copying ? "while preparing" : "while unpacking");
}

bool ArchiveExtractor::deliverStaging(QString *error)
{
    const QString filesRoot = QFileInfo(m_staging->filePath(kFilesFolder)).canonicalFilePath();
    const QString dest = QDir::cleanPath(m_destination);
    if (!QDir().mkpath(dest)) {
        *error = QStringLiteral("cannot create %1").arg(dest);
        return false;
    }
    const QString destRoot = QFileInfo(dest).canonicalFilePath();

    // Only the planned files are taken, each as a plain file inside the staging folder;
    // whatever else a tool made goes with the staging folder.
    QVector<QPair<QString, QString>> moves;
    for (const ArchiveEntries::Kept &k : qAsConst(m_plan.kept)) {
        const QString source = filesRoot + QLatin1Char('/') + k.target;
        const QFileInfo fi(source);
        if (isLink(fi) || !fi.isFile() || !isInside(fi.canonicalFilePath(), filesRoot)) {
            *error = QStringLiteral("entry \"%1\" was not unpacked as a plain file")
                         .arg(ArchiveEntries::printable(k.target));
            return false;
        }
        moves.append({source, dest + QLatin1Char('/') + k.target});
    }

    const QString replaced = m_staging->filePath(kReplacedFolder);
    QDir().mkpath(replaced);
    struct Done
    {
        QString target;
        QString backup;
    };
    QVector<Done> done;
    QStringList madeFolders; // deepest last
    auto undo = [&](const QString &why) {
        QStringList notRestored;
        for (int i = done.size() - 1; i >= 0; --i) {
            QFile::remove(done[i].target);
            if (!done[i].backup.isEmpty() && !QFile::rename(done[i].backup, done[i].target))
                notRestored.append(done[i].target);
        }
        for (int i = madeFolders.size() - 1; i >= 0; --i)
            QDir().rmdir(madeFolders[i]);
        *error = why;
        if (!notRestored.isEmpty()) {
            m_destinationTouched = true;
            *error += QStringLiteral("; could not restore %1").arg(notRestored.join(QStringLiteral(", ")));
        }
        return false;
    };
    // A folder of the destination that is a link would carry files elsewhere.
    auto folderOk = [&destRoot](const QString &folder) {
        const QString canon = QFileInfo(folder).canonicalFilePath();
        return canon == destRoot || isInside(canon, destRoot);
    };
    for (int i = 0; i < moves.size(); ++i) {
        const QString &source = moves[i].first;
        const QString &target = moves[i].second;
        const QString folder = QFileInfo(target).absolutePath();
        QStringList missing;
        for (QString f = folder; isInside(f, dest) && !QFileInfo::exists(f); f = QFileInfo(f).absolutePath())
            missing.prepend(f);
        if (!QDir().mkpath(folder))
            return undo(QStringLiteral("cannot create %1").arg(folder));
        madeFolders += missing;
        if (!folderOk(folder))
            return undo(QStringLiteral("%1 leads outside %2").arg(folder, dest));
        const QFileInfo existing(target);
        QString backup;
        if (existing.isDir() && !isLink(existing))
            return undo(QStringLiteral("a folder is in the way of %1").arg(target));
        if (existing.exists() || isLink(existing)) {
            backup = replaced + QLatin1Char('/') + QString::number(i);
            if (!QFile::rename(target, backup))
                return undo(QStringLiteral("cannot replace %1").arg(target));
        }
        if (!QFile::rename(source, target)) {
            if (!backup.isEmpty())
                QFile::rename(backup, target);
            return undo(QStringLiteral("cannot move %1 into %2").arg(QFileInfo(target).fileName(), dest));
        }
        done.append({target, backup});
    }
    return true;
}

QStringList ArchiveExtractor::zipEntryNames(const QString &archivePath, bool *readable)
{
    QVector<ArchiveEntries::Entry> entries;
    QString error;
    const bool ok = ArchiveEntries::readDirectory(archivePath, &entries, &error);
    if (readable)
        *readable = ok;
    QStringList names;
    for (const ArchiveEntries::Entry &e : qAsConst(entries))
        names.append(e.name);
    return names;
}

bool ArchiveExtractor::isEscapingEntryName(const QString &name)
{
    QString n = name;
    n.replace(QLatin1Char('\\'), QLatin1Char('/'));
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (n.startsWith(QLatin1Char('/')) || drive.match(n).hasMatch())
        return true;
    const QStringList parts = n.split(QLatin1Char('/'));
    return parts.contains(QStringLiteral(".."));
}

QStringList ArchiveExtractor::keptInsideForms(const QString &name)
{
    QString n = name;
    n.replace(QLatin1Char('\\'), QLatin1Char('/'));
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    n.remove(drive);
    const QStringList parts = n.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QStringList stripped;
    QStringList resolved;
    for (const QString &p : parts) {
        if (p == QLatin1String("."))
            continue;
        if (p == QLatin1String("..")) {
            if (!resolved.isEmpty())
                resolved.removeLast();
            continue;
        }
        stripped.append(p);
        resolved.append(p);
    }
    QStringList forms;
    for (const QStringList &f : {stripped, resolved}) {
        const QString joined = f.join(QLatin1Char('/'));
        if (!joined.isEmpty() && !forms.contains(joined))
            forms.append(joined);
    }
    return forms;
}
