#include "shell/updatehandover.h"

#include "platform/updatelauncher.h"
#include "ui/messagehelper.h"
#include "update/updateworker.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDebug>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <atomic>

namespace {

std::atomic<int> g_countdownTickMs{0};

int countdownTick()
{
    const int ms = g_countdownTickMs.load();
    return ms > 0 ? ms : UpdateHandOver::kCountdownTickMs;
}

// Long enough for the archiver to be ended after a cancellation.
constexpr unsigned long kThreadStopWaitMs = 15000;

} // namespace

UpdateHandOver::UpdateHandOver(QWidget *boxParent)
    : QObject(boxParent)
    , m_boxParent(boxParent)
{
}

UpdateHandOver::~UpdateHandOver()
{
    stopThread();
}

void UpdateHandOver::setCountdownTickForTests(int ms)
{
    g_countdownTickMs.store(ms > 0 ? ms : 0);
}

QString UpdateHandOver::readyText(int seconds)
{
    return QStringLiteral("Update downloaded and extracted.\nRestarting in (%1) seconds.\n\n").arg(seconds);
}

void UpdateHandOver::start(const QString &packageUrl)
{
    if (m_thread) {
        qDebug() << "UpdateHandOver: an update is already running; ignoring" << packageUrl;
        return;
    }
    auto *thread = new QThread(this);
    auto *worker = new UpdateWorker(); // moved to the thread, deleted when it ends
    worker->moveToThread(thread);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(worker, &UpdateWorker::logMessage, this,
            [](const QString &msg) { qDebug().noquote() << msg; }, Qt::QueuedConnection);
    connect(worker, &UpdateWorker::downloadProgress, this, [](qint64, qint64) {},
            Qt::QueuedConnection); // no progress is shown
    connect(worker, &UpdateWorker::downloadFinished, this, &UpdateHandOver::onDownloadFinished,
            Qt::QueuedConnection);
    m_thread = thread;
    m_worker = worker;
    thread->start();
    QMetaObject::invokeMethod(worker, "startDownload", Qt::QueuedConnection, Q_ARG(QString, packageUrl));
}

void UpdateHandOver::stopThread()
{
    if (!m_thread)
        return;
    QThread *thread = m_thread;
    if (!thread->isRunning())
        return;
    // Ends the worker's local loops; it sees the request and stops its transfer or archiver.
    thread->requestInterruption();
    thread->quit();
    if (!thread->wait(kThreadStopWaitMs)) {
        qDebug() << "UpdateHandOver: update thread did not stop; terminating it";
        thread->terminate();
        thread->wait();
    }
}

void UpdateHandOver::onDownloadFinished(bool ok, const QString &text)
{
    // The worker reports once; its thread has nothing more to do. The pointer stays until
    // the thread has gone, so that an early destruction still waits for its end.
    if (m_thread)
        m_thread->quit();

    if (!ok) {
        MessageHelper::show(m_boxParent, QMessageBox::Critical, QStringLiteral("Update failed"),
                            QStringLiteral("Update failed: %1").arg(text));
        emit abandoned();
        return;
    }

    showReadyCountdown();

    QString error;
    const QString launcher = UpdateLauncher::startFirstPresent(&error);
    if (launcher.isEmpty()) {
        MessageHelper::show(m_boxParent, QMessageBox::Warning, QStringLiteral("Updater"), error);
        emit abandoned();
        return;
    }
    emit handedOver(launcher);
    QCoreApplication::exit(0);
}

void UpdateHandOver::showReadyCountdown()
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Update ready"), readyText(kCountdownSeconds),
                    QMessageBox::Ok, m_boxParent);
    box.setDefaultButton(QMessageBox::Ok);
    MessageHelper::applyStyle(box);

    int remaining = kCountdownSeconds;
    QTimer tick;
    tick.setInterval(countdownTick());
    connect(&tick, &QTimer::timeout, &box, [&] {
        --remaining;
        box.setText(readyText(remaining));
        if (remaining <= 0) {
            tick.stop();
            box.button(QMessageBox::Ok)->click(); // closes as if Ok had been pressed
        }
    });
    tick.start();
    MessageHelper::exec(box);
    tick.stop();
}
