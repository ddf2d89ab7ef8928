// Recording throughput: records per second through JSON parse, tick line formatting and
// storing each batch (latest batch buffer, pending batches, the tick file's replacement
// handed to its writer thread), beside the bare JSON parse of the same frames in the same
// run. The temporary folder (TMPDIR) decides the disk the tick file and the spool are on.
#include "live/latestbatch.h"
#include "live/pendingbatches.h"
#include "live/tickrecorder.h"
#include "platform/installpaths.h"

#include <QCoreApplication>
#include "benchfigure.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>

static QVector<QByteArray> makeFrames(int frames, int perFrame)
{
    QRandomGenerator rng(42);
    QVector<QByteArray> out;
    out.reserve(frames);
    double price = 24500.0;
    for (int f = 0; f < frames; ++f) {
        QJsonArray records;
        for (int r = 0; r < perFrame; ++r) {
            price += (rng.bounded(21) - 10) * 0.05;
            QJsonObject o;
            o.insert("type", "T");
            o.insert("symbol", QStringLiteral("SYM%1").arg(r % 500));
            o.insert("ltd", "20261208");
            o.insert("ltt", QStringLiteral("09:%1:%2.%3")
                                .arg(15 + f / 6000, 2, 10, QChar('0'))
                                .arg((f / 100) % 60, 2, 10, QChar('0'))
                                .arg(r, 3, 10, QChar('0')));
            o.insert("ltp", price);
            o.insert("ltq", rng.bounded(1, 500));
            o.insert("oi", 100000 + f);
            o.insert("vol", 5000000 + f * perFrame + r);
            records.append(o);
        }
        QJsonObject frame{{"type", "batch"}, {"records", records}};
        out.append(QJsonDocument(frame).toJson(QJsonDocument::Compact));
    }
    return out;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int frames = 4000, perFrame = 50;
    const QVector<QByteArray> data = makeFrames(frames, perFrame);
    const double records = double(frames) * perFrame;

    QElapsedTimer t;
    t.start();
    qint64 sink = 0;
    for (const QByteArray &f : data)
        sink += QJsonDocument::fromJson(f).object().value("records").toArray().size();
    const double bareSec = t.nsecsElapsed() / 1e9;

    QTemporaryDir dir;
    InstallPaths::setTestRoot(dir.path()); // the pending batches' spool goes there too
    const QString tick = dir.path() + "/rtsocket.txt";
    t.restart();
    for (const QByteArray &f : data) {
        const QJsonObject o = QJsonDocument::fromJson(f).object();
        const QByteArray lines = TickRecorder::recordLines(o.value("records").toArray());
        TickRecorder::storeBatch(tick, lines);
        sink += lines.size();
    }
    const double fullSec = t.nsecsElapsed() / 1e9;
    TickRecorder::writeTickFileNow();
    PendingBatches::clear();

    benchFigure("recording", records / fullSec, "records/s", records / bareSec,
                "records/s of bare JSON parse");
    if (sink < 0)
        return 1; // keeps the work from being optimised away
    return 0;
}
