#include "app/stallwatch.h"

#include <QThread>
#include <QtTest>

class tst_StallWatch : public QObject
{
    Q_OBJECT
private slots:
    void onlyOnRequest()
    {
        qunsetenv("VANTREL_STALL_WATCH");
        QVERIFY(!StallWatch::startIfRequested(this));
        qputenv("VANTREL_STALL_WATCH", "0");
        QVERIFY(!StallWatch::startIfRequested(this));
        qputenv("VANTREL_STALL_WATCH", "1");
        QVERIFY(StallWatch::startIfRequested(this));
    }

    void measuresABlockedLoop()
    {
        StallWatch watch;
        QTest::qWait(50);
        // Work that keeps the loop from its timers for 300 ms, as a slow slot would.
        QTimer::singleShot(0, [] { QThread::msleep(300); });
        QTRY_VERIFY(watch.longestGapMs() >= 300);
        QVERIFY(watch.longestGapMs() < 5000);
    }
};

QTEST_GUILESS_MAIN(tst_StallWatch)
#include "tst_stallwatch.moc"
