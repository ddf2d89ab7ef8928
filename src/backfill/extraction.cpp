#include "backfill/extraction.h"

#include "platform/archiver.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

namespace {

// A central directory larger than this is not a backfill or update archive.
constexpr qint64 kMaxCentralDirectory = 64 * 1024 * 1024;
constexpr qint64 kEndRecordSize = 22;
constexpr qint64 kMaxCommentSize = 0xFFFF;

quint16 le16(const char *p) { return qFromLittleEndian<quint16>(p); }
quint32 le32(const char *p) { return qFromLittleEndian<quint32>(p); }

void prepareProcess(QProcess *process)
{
    // Output is never read; sending it nowhere keeps a chatty tool from filling memory.
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(QProcess::nullDevice());
}

bool isInside(const QString &path, const QString &root)
{
    return !path.isEmpty() && path.startsWith(root + QLatin1Char('/'));
}

bool isLink(const QFileInfo &fi)
{
    return fi.isSymLink() || fi.isJunction();
}

} // namespace

ArchiveExtractor::ArchiveExtractor(QObject *parent)
    : QObject(parent)
    , m_archiver(new QProcess(this))
    , m_fallback(new QProcess(this))
{
    connectOwnProcesses();
}

ArchiveExtractor::ArchiveExtractor(QProcess *archiver, QProcess *fallback, QObject *parent)
    : QObject(parent)
    , m_archiver(archiver)
    , m_fallback(fallback)
{
}

ArchiveExtractor::~ArchiveExtractor() = default;

void ArchiveExtractor::connectOwnProcesses()
{
    connect(m_archiver, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ArchiveExtractor::archiverFinished);
    connect(m_archiver, &QProcess::errorOccurred, this, &ArchiveExtractor::archiverError);
    connect(m_fallback, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ArchiveExtractor::fallbackFinished);
    connect(m_fallback, &QProcess::errorOccurred, this, &ArchiveExtractor::fallbackError);
}

bool ArchiveExtractor::start(const QString &archivePath, const QString &destination)
{
    if (m_state != State::Idle) {
        qDebug() << "ArchiveExtractor: still extracting" << m_archivePath << "- not starting"
                 << archivePath;
        return false;
    }
    m_archivePath = archivePath;
    m_destination = destination;
    m_fallbackStarted = false;
    m_fallbackCouldNotRun = false;
    m_archiverFailed = false;
    m_fallbackErrored = false;

    bool readable = false;
    m_escapingEntries.clear();
    const QStringList names = zipEntryNames(archivePath, &readable);
    for (const QString &name : names) {
        if (isEscapingEntryName(name))
            m_escapingEntries.append(name);
    }
    if (!readable)
        qDebug() << "ArchiveExtractor: no readable ZIP directory in" << archivePath;

    m_state = State::Archiver;
    QString error;
    if (!prepareStaging(&error)) {
        // Fails on the next turn of the event loop, like a process that cannot start.
        m_state = State::Fallback;
        m_fallbackStarted = true;
        QMetaObject::invokeMethod(this, [this, error]() { fail(error); }, Qt::QueuedConnection);
        return true;
    }
    const Archiver::Invocation call = Archiver::archiverCall(archivePath, m_staging->path());
    prepareProcess(m_archiver);
    m_archiver->start(call.program, call.arguments);
    return true;
}

bool ArchiveExtractor::prepareStaging(QString *error)
{
    m_staging.reset();
    const QString dest = QDir::cleanPath(m_destination);
    QString parent = m_stagingParent;
    QString name = QFileInfo(dest).fileName();
    if (parent.isEmpty())
        parent = QFileInfo(dest).absolutePath();
    if (name.isEmpty())
        name = QStringLiteral("extract");
    if (!QDir().mkpath(parent)) {
        *error = QStringLiteral("cannot create %1").arg(parent);
        return false;
    }
    auto staging = std::make_unique<QTemporaryDir>(parent + QStringLiteral("/.") + name
                                                   + QStringLiteral("-staging-XXXXXX"));
    if (!staging->isValid()) {
        *error = QStringLiteral("cannot create a staging folder in %1: %2")
                     .arg(parent, staging->errorString());
        return false;
    }
    m_staging = std::move(staging);
    return true;
}

void ArchiveExtractor::archiverFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (m_state != State::Archiver || m_fallbackStarted)
        return;
    if (exitCode == 0 && exitStatus == QProcess::NormalExit && !m_archiverFailed) {
        succeed(QStringLiteral("archiver"));
        return;
    }
    startFallback(QStringLiteral("archiver exit code %1%2")
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
        m_archiver->kill();
        return;
    }
    startFallback(QStringLiteral("archiver error %1 (%2)").arg(error).arg(m_archiver->errorString()));
}

void ArchiveExtractor::startFallback(const QString &why)
{
    m_fallbackStarted = true;
    m_state = State::Fallback;
    if (!m_fallbackEnabled) {
        fail(why);
        return;
    }
    qDebug().noquote() << "ArchiveExtractor:" << why << "for" << m_archivePath
                       << "- trying the fallback extractor";
    // Whatever the archiver left half written is thrown away with its staging folder.
    QString error;
    if (!prepareStaging(&error)) {
        m_fallbackCouldNotRun = true;
        fail(error);
        return;
    }
    const Archiver::Invocation call = Archiver::fallbackCall(m_archivePath, m_staging->path());
    prepareProcess(m_fallback);
    m_fallback->start(call.program, call.arguments);
}

void ArchiveExtractor::fallbackFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (m_state != State::Fallback)
        return;
    if (m_fallbackErrored) {
        m_fallbackCouldNotRun = true;
        fail(QStringLiteral("fallback extractor failed: %1").arg(m_fallback->errorString()));
        return;
    }
    if (exitStatus == QProcess::NormalExit
        && Archiver::fallbackSucceeded(exitCode, !m_escapingEntries.isEmpty())) {
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
        m_fallback->kill();
        return;
    }
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
    m_staging.reset();
    m_state = State::Idle;
    if (!QFile::remove(m_archivePath))
        qDebug() << "ArchiveExtractor: cannot delete" << m_archivePath << "after extraction";
    qDebug().noquote() << "ArchiveExtractor:" << tool << "unpacked" << m_archivePath << "into"
                       << m_destination;
    emit finished(true, QString());
}

void ArchiveExtractor::fail(const QString &error)
{
    m_staging.reset();
    m_state = State::Idle;
    qDebug().noquote() << "ArchiveExtractor:" << error << "- archive" << m_archivePath
                       << "kept," << m_destination << "unchanged";
    emit finished(false, error);
}

bool ArchiveExtractor::deliverStaging(QString *error)
{
    const QString stagingRoot = QFileInfo(m_staging->path()).canonicalFilePath();
    const QDir staging(stagingRoot);
    const QString dest = QDir::cleanPath(m_destination);
    if (!QDir().mkpath(dest)) {
        *error = QStringLiteral("cannot create %1").arg(dest);
        return false;
    }
    const QString destRoot = QFileInfo(dest).canonicalFilePath();

    // Entries that named a place outside: the tools put them somewhere inside instead, and
    // that is no file the archive meant for the destination either.
    for (const QString &name : qAsConst(m_escapingEntries)) {
        for (const QString &form : keptInsideForms(name)) {
            const QString path = stagingRoot + QLatin1Char('/') + form;
            if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
                continue;
            QFile::remove(path);
            // The folders made only for it go too (rmdir leaves non-empty ones alone).
            for (QString dir = QFileInfo(path).absolutePath();
                 isInside(dir, stagingRoot) && QDir().rmdir(dir);
                 dir = QFileInfo(dir).absolutePath()) {
            }
        }
        qDebug().noquote() << QStringLiteral("ArchiveExtractor: entry \"%1\" of %2 points outside the "
                                             "destination; dropped")
                                  .arg(name, m_archivePath);
    }

    QStringList dirs;
    QStringList files;
    QDirIterator it(stagingRoot, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo fi(path);
        const QString rel = staging.relativeFilePath(path);
        if (isLink(fi)) {
            qDebug().noquote() << QStringLiteral("ArchiveExtractor: link \"%1\" in %2 dropped").arg(rel, m_archivePath);
            continue;
        }
        if (!isInside(fi.canonicalFilePath(), stagingRoot)) {
            qDebug().noquote() << QStringLiteral("ArchiveExtractor: \"%1\" resolves outside the staging folder; dropped").arg(rel);
            continue;
        }
        if (fi.isDir())
            dirs.append(rel);
        else if (fi.isFile())
            files.append(rel);
        else
            qDebug().noquote() << QStringLiteral("ArchiveExtractor: \"%1\" is no plain file; dropped").arg(rel);
    }

    // A folder of the destination that is a link would carry files elsewhere.
    auto targetFolderOk = [&destRoot](const QString &folder) {
        const QString canon = QFileInfo(folder).canonicalFilePath();
        return canon == destRoot || isInside(canon, destRoot);
    };
    for (const QString &rel : qAsConst(dirs)) {
        const QString target = dest + QLatin1Char('/') + rel;
        if (!QDir().mkpath(target) || !targetFolderOk(target)) {
            *error = QStringLiteral("cannot place folder %1 in %2").arg(rel, dest);
            return false;
        }
    }
    for (const QString &rel : qAsConst(files)) {
        const QString target = dest + QLatin1Char('/') + rel;
        const QString folder = QFileInfo(target).absolutePath();
        if (!QDir().mkpath(folder) || !targetFolderOk(folder)) {
            *error = QStringLiteral("cannot place %1 in %2").arg(rel, dest);
            return false;
        }
        const QFileInfo existing(target);
        if ((existing.exists() || isLink(existing)) && !existing.isDir())
            QFile::remove(target);
        const QString source = stagingRoot + QLatin1Char('/') + rel;
        if (!QFile::rename(source, target)
            && !(QFile::copy(source, target) && QFile::remove(source))) {
            *error = QStringLiteral("cannot move %1 into %2").arg(rel, dest);
            return false;
        }
    }
    return true;
}

QStringList ArchiveExtractor::zipEntryNames(const QString &archivePath, bool *readable)
{
    if (readable)
        *readable = false;
    QFile f(archivePath);
    if (!f.open(QIODevice::ReadOnly) || f.size() < kEndRecordSize)
        return {};
    const qint64 tailSize = qMin(f.size(), kEndRecordSize + kMaxCommentSize);
    if (!f.seek(f.size() - tailSize))
        return {};
    const QByteArray tail = f.read(tailSize);
    int at = tail.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (at < 0 || tail.size() - at < kEndRecordSize)
        return {};
    const char *end = tail.constData() + at;
    const quint16 count = le16(end + 10);
    const quint32 cdSize = le32(end + 12);
    const quint32 cdOffset = le32(end + 16);
    if (cdSize > kMaxCentralDirectory || qint64(cdOffset) + cdSize > f.size() || !f.seek(cdOffset))
        return {};
    const QByteArray cd = f.read(cdSize);
    QStringList names;
    int pos = 0;
    for (int i = 0; i < count; ++i) {
        if (cd.size() - pos < 46 || le32(cd.constData() + pos) != 0x02014b50)
            return names;
        const char *h = cd.constData() + pos;
        const quint16 flags = le16(h + 8);
        const int nameLen = le16(h + 28);
        const int skip = 46 + nameLen + le16(h + 30) + le16(h + 32);
        if (cd.size() - pos < skip)
            return names;
        const QByteArray raw(h + 46, nameLen);
        names.append((flags & 0x0800) ? QString::fromUtf8(raw) : QString::fromLatin1(raw));
        pos += skip;
    }
    if (readable)
        *readable = true;
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
