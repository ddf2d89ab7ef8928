#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QThread;
class QWidget;
class UpdateWorker;

// Runs an announced update: the download and unpacking in an UpdateWorker on its own
// thread, then, in the GUI thread, the "Update ready" countdown and the hand-over to the
// launcher the package brought, after which the application quits with 0.
//
// A failed update or a package without launcher is shown and then reported through
// abandoned(): the start-up goes on as if no update had been announced, so a broken
// package or server never locks the user out. The next start offers the update again.
class UpdateHandOver : public QObject
{
    Q_OBJECT
public:
    // boxParent: the window the boxes belong to (the start-up controller); also the owner.
    explicit UpdateHandOver(QWidget *boxParent);
    ~UpdateHandOver() override;

    static constexpr int kCountdownSeconds = 5;
    static constexpr int kCountdownTickMs = 1000;
    // Tests shorten the countdown's tick; 0 restores the product value.
    static void setCountdownTickForTests(int ms);

    static QString readyText(int seconds);

public slots:
    void start(const QString &packageUrl);

signals:
    // The launcher was started; the application has been asked to quit with 0.
    void handedOver(const QString &launcherPath);
    // The update failed or could not be handed over; the start-up may go on.
    void abandoned();

private slots:
    void onDownloadFinished(bool ok, const QString &text);

private:
    void showReadyCountdown();
    void stopThread();

    QWidget *m_boxParent;
    QPointer<QThread> m_thread;
    QPointer<UpdateWorker> m_worker;
};
