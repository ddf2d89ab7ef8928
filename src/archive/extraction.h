#pragma once

#include "app/diskbudget.h"
#include "archive/archiveentries.h"
#include "platform/childprocess.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <memory>

class QTemporaryDir;

// Unpacks one ZIP archive into a destination folder with the platform's archiver, falling
// back once to the platform's second extractor when the archiver cannot run, fails or
// overruns its time limit.
//
// The archive's central directory is read first and judged entry by entry (see
// ArchiveEntries): what may not be unpacked is logged and left out, and the announced
// unpacked size (with the rewritten copy) must fit the disk budget of one job (DiskBudget). Neither tool writes into the
// destination itself nor sees the downloaded archive: both unpack a rewritten copy holding
// only the kept entries into a staging folder beside the destination, with their input
// closed and under a time limit. Only after one of them succeeded are the expected files
// moved into the destination, all or nothing: a failed move puts back what had moved. A
// failed archive therefore leaves the destination exactly as it was. The archive is
// deleted only after a success.
//
// It owns its two processes and handles their results.
class ArchiveExtractor : public QObject
{
    Q_OBJECT
public:
    explicit ArchiveExtractor(QObject *parent = nullptr);
    ~ArchiveExtractor() override;

    // Starts an extraction. False (and nothing started) when one is still running.
    bool start(const QString &archivePath, const QString &destination);
    bool isRunning() const { return m_state != State::Idle; }
    // Ends a running extraction at once: its tool and whatever that started are killed,
    // its staging folder is removed, and no finished() follows.
    void cancel();

    // Where staging folders are made; by default the destination's parent folder.
    void setStagingParent(const QString &folder) { m_stagingParent = folder; }
    // Without the fallback, an archiver that cannot run or fails ends the extraction.
    void setFallbackEnabled(bool enabled) { m_fallbackEnabled = enabled; }
    // Files in sub-folders keep only their own name (the backfill folder is flat).
    void setFlatten(bool flatten) { m_flatten = flatten; }
    // Time limit of one tool run (15 minutes unless set).
    void setTimeLimit(int ms) { m_timeLimitMs = ms; }
    // The cap of the disk budget for the unpacked entries and the rewritten copy (one
    // job's 2 GB unless set); what the staging folder's disk can spare may be less.
    void setSpaceCap(qint64 bytes) { m_spaceCap = bytes; }
    // Removes staging folders that a killed run left for this destination.
    static void removeStaleStaging(const QString &stagingParent, const QString &destination);

    // After finished(false, ...): true when the fallback itself could not be run (the
    // caller may fetch the archive again), false when an extractor rejected the archive.
    bool fallbackCouldNotRun() const { return m_fallbackCouldNotRun; }
    // After finished(false, ...): true when the archive was refused because it does not
    // fit the disk budget (nothing was unpacked); spaceRefusal() then gives the figures.
    bool refusedForSpace() const { return !m_spaceRefusal.isEmpty(); }
    QString spaceRefusal() const { return m_spaceRefusal; }

    ChildProcess *archiverProcess() const { return m_archiver; }
    ChildProcess *fallbackProcess() const { return m_fallback; }

    static constexpr int kDefaultTimeLimitMs = 15 * 60 * 1000;

    // Names inside a ZIP file's central directory (empty when it cannot be read).
    static QStringList zipEntryNames(const QString &archivePath, bool *readable = nullptr);
    // True for an entry name that is absolute, has a drive letter or climbs with "..".
    static bool isEscapingEntryName(const QString &name);
    // Where extractors that strip such names would put them inside the folder.
    static QStringList keptInsideForms(const QString &name);

private slots:
    void archiverFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void archiverError(QProcess::ProcessError error);
    void fallbackFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void fallbackError(QProcess::ProcessError error);

signals:
    // Exactly once per started extraction that was not cancelled.
    void finished(bool ok, const QString &error);

private:
    enum class State { Idle, Copying, Archiver, Fallback };

    void failLater(const QString &error);
    bool prepareStaging(QString *error);
    bool freshOutputFolder(QString *error);
    void onCopyFinished(bool ok, const QString &error);
    void startTool(ChildProcess *process, const QString &program, const QStringList &arguments);
    void onTimeLimit();
    void startFallback(const QString &why);
    void succeed(const QString &tool);
    void fail(const QString &error);
    void finishRun();
    bool deliverStaging(QString *error);

    ChildProcess *m_archiver = nullptr;
    ChildProcess *m_fallback = nullptr;
    State m_state = State::Idle;
    quint64 m_run = 0;
    bool m_fallbackStarted = false;
    bool m_fallbackEnabled = true;
    bool m_flatten = false;
    bool m_fallbackCouldNotRun = false;
    bool m_archiverFailed = false;
    bool m_fallbackErrored = false;
    bool m_timedOut = false;
    bool m_destinationTouched = false;
    int m_timeLimitMs = kDefaultTimeLimitMs;
    qint64 m_spaceCap = DiskBudget::kJobCapBytes;
    QString m_spaceRefusal;
    ArchiveEntries::Plan m_plan;
    QString m_archivePath;
    QString m_destination;
    QString m_stagingParent;
    std::unique_ptr<QTemporaryDir> m_staging;
    ArchiveEntries::SafeCopy m_copy;
    QTimer m_limit;
};
