// Peak resident memory of downloading a large backfill archive from the devserver and
// unpacking it, beside the size of the archive. Streaming keeps the figure flat.
//   bench_download [MB]   (default 200)

#include "benchfigure.h"
#include "backfill/archivedownloader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

static long peakRssKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QString s = QString::fromLatin1(f.readAll());
    const auto m = QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+)")).match(s);
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int mb = argc > 1 ? QString::fromLatin1(argv[1]).toInt() : 200;
    QTemporaryDir root;
    qputenv("KOVANTA_ROOT", root.path().toLocal8Bit());

    // One weekday of one-minute bars is about 26 KB of text.
    const int days = qMax(1, mb * 1024 * 1024 / (375 * 70));
    QProcess server;
    server.start(QStringLiteral(VANTREL_BUILD_DIR "/tools/devserver/vantrel-devserver"),
                 {QStringLiteral("--ws-port"), QStringLiteral("0"), QStringLiteral("--http-port"), QStringLiteral("0")});
    QString out;
    quint16 port = 0;
    for (int i = 0; i < 100 && port == 0; ++i) {
        server.waitForReadyRead(100);
        out += QString::fromUtf8(server.readAllStandardOutput());
        port = quint16(QRegularExpression(QStringLiteral("listening http on 127\\.0\\.0\\.1:(\\d+)")).match(out).captured(1).toUInt());
    }
    if (port == 0) {
        std::printf("bench_download: devserver did not start\n");
        return 1;
    }
    const long before = peakRssKb();
    const QString dest = root.path() + QStringLiteral("/Backfill/");
    ArchiveDownloader d(QStringLiteral("backfilldata.zip"), QString(), dest, 0);
    qint64 archiveBytes = 0;
    // Once the archive is stored, before it is unpacked and deleted.
    QObject::connect(&d, &ArchiveDownloader::stored,
                     [&] { archiveBytes = QFileInfo(d.outputFilePath()).size(); });
    QElapsedTimer t;
    QObject::connect(&d, &ArchiveDownloader::finished, &app, &QCoreApplication::quit);
    QObject::connect(&d, &ArchiveDownloader::attemptFailed, &app, [&app]() { app.exit(2); });
    t.start();
    d.initialize(QStringLiteral("backfilldata.zip"),
                 QStringLiteral("http://127.0.0.1:%1/backfill?uid=B&hash=H&d=%2&send=NIFTY-I").arg(port).arg(days), dest);
    const int rc = app.exec();
    const double seconds = t.elapsed() / 1000.0;
    const qint64 unpacked = QFileInfo(dest + QStringLiteral("NIFTY-I.txt")).size();
    if (rc != 0)
        std::printf("download+unpack: FAILED\n");
    benchFigure("download+unpack peak resident memory", peakRssKb() / 1024.0, "MB",
                archiveBytes / 1048576.0, "MB archive size", 1);
    benchFigure("download+unpack memory growth during the transfer", (peakRssKb() - before) / 1024.0, "MB",
                archiveBytes / 1048576.0, "MB archive size", 1);
    benchFigure("download+unpack throughput", unpacked / 1048576.0 / seconds, "MB/s unpacked",
                archiveBytes / 1048576.0 / seconds, "MB/s archive", 1);
    server.terminate();
    server.waitForFinished(5000);
    return rc;
}
