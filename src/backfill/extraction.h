#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

class QTemporaryDir;

// Unpacks one ZIP archive into a destination folder with the platform's archiver, falling
// back once to the platform's second extractor when the archiver cannot run or fails.
//
// Neither tool writes into the destination itself: both unpack into a staging folder
// beside it, and only after one of them succeeded are the unpacked files checked (no
// symbolic links, nothing resolving outside the staging folder) and moved into the
// destination. A failed archive therefore leaves the destination exactly as it was. The
// archive is deleted only after a success.
//
// Two ways to use it:
//  - ArchiveExtractor(parent): it owns its two processes and handles their results.
//  - ArchiveExtractor(archiver, fallback, parent): the caller owns the processes and
//    routes their finished/errorOccurred notifications to the four slots below (the
//    backfill downloader does this through its own result slots).
class ArchiveExtractor : public QObject
{
    Q_OBJECT
public:
    explicit ArchiveExtractor(QObject *parent = nullptr);
    ArchiveExtractor(QProcess *archiver, QProcess *fallback, QObject *parent = nullptr);
    ~ArchiveExtractor() override;

    // Starts an extraction. False (and nothing started) when one is still running.
    bool start(const QString &archivePath, const QString &destination);
    bool isRunning() const { return m_state != State::Idle; }

    // Where staging folders are made; by default the destination's parent folder.
    void setStagingParent(const QString &folder) { m_stagingParent = folder; }
    // Without the fallback, an archiver that cannot run or fails ends the extraction.
    void setFallbackEnabled(bool enabled) { m_fallbackEnabled = enabled; }

    // After finished(false, ...): true when the fallback itself could not be run (the
    // caller may fetch the archive again), false when an extractor rejected the archive.
    bool fallbackCouldNotRun() const { return m_fallbackCouldNotRun; }

    QProcess *archiverProcess() const { return m_archiver; }
    QProcess *fallbackProcess() const { return m_fallback; }

    // Names inside a ZIP file's central directory (empty when it cannot be read). Used to
    // report entries that try to leave the destination before any tool sees them.
    static QStringList zipEntryNames(const QString &archivePath, bool *readable = nullptr);
    // True for an entry name that is absolute, has a drive letter or climbs with "..".
    static bool isEscapingEntryName(const QString &name);
    // Where the extractors put such an entry instead (leading "/" and drive gone, ".."
    // steps dropped or resolved at the top): these paths are removed from the staging folder.
    static QStringList keptInsideForms(const QString &name);

public slots:
    void archiverFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void archiverError(QProcess::ProcessError error);
    void fallbackFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void fallbackError(QProcess::ProcessError error);

signals:
    // Exactly once per started extraction.
    void finished(bool ok, const QString &error);

private:
    enum class State { Idle, Archiver, Fallback };

    void connectOwnProcesses();
    bool prepareStaging(QString *error);
    void startFallback(const QString &why);
    void succeed(const QString &tool);
    void fail(const QString &error);
    bool deliverStaging(QString *error);

    QProcess *m_archiver = nullptr;
    QProcess *m_fallback = nullptr;
    State m_state = State::Idle;
    bool m_fallbackStarted = false;
    bool m_fallbackEnabled = true;
    bool m_fallbackCouldNotRun = false;
    bool m_archiverFailed = false;
    bool m_fallbackErrored = false;
    QStringList m_escapingEntries;
    QString m_archivePath;
    QString m_destination;
    QString m_stagingParent;
    std::unique_ptr<QTemporaryDir> m_staging;
};
