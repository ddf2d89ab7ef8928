// Backfill import throughput. One intraday file of N MB (default 200) with a 100-entry
// symbol mapping: mapping plus chunking in MB/s beside a plain block copy of the same file
// in the same run; then the same file through the broker stand-in's import in bars per
// second; peak resident memory after each phase.
#include "benchfigure.h"

#include "backfill/backfillimport.h"
#include "backfill/symbolrewriter.h"
#include "platform/brokerautomation.h"
#include "platform/installpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

static long peakRssKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const auto m = QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+)")).match(QString::fromLatin1(f.readAll()));
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

// Bars of 150 symbols; the first 100 have a mapping entry, the others go through the
// whole-word renaming, as lines whose second field is not an old name do.
static qint64 writeBars(const QString &path, qint64 bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return -1;
    QByteArray block;
    qint64 written = 0, lines = 0;
    while (written < bytes) {
        const int minute = int(lines % 375);
        block += QStringLiteral("FUTURE,SYM%1-I,2026%2,%3:%4:00,24550,24571.5,24548.1,24567.4,182250,1200\n")
                     .arg(lines % 150)
                     .arg(1001 + int(lines / 375 / 150) % 1200, 4, 10, QLatin1Char('0'))
                     .arg(9 + (15 + minute) / 60, 2, 10, QLatin1Char('0'))
                     .arg((15 + minute) % 60, 2, 10, QLatin1Char('0'))
                     .toLatin1();
        ++lines;
        if (block.size() > (1 << 20)) {
            written += f.write(block);
            block.clear();
        }
    }
    written += f.write(block);
    return lines;
}

static double plainCopySeconds(const QString &from, const QString &to)
{
    QElapsedTimer t;
    t.start();
    QFile in(from), out(to);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -1;
    QByteArray buffer(1 << 20, 0);
    qint64 n;
    while ((n = in.read(buffer.data(), buffer.size())) > 0)
        out.write(buffer.constData(), n);
    out.close();
    return t.elapsed() / 1000.0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int megabytes = argc > 1 ? QByteArray(argv[1]).toInt() : 200;
    QTemporaryDir dir;
    qputenv("KOVANTA_ROOT", dir.path().toLocal8Bit());
    QDir().mkpath(InstallPaths::backfillDir());
    QFile::copy(QStringLiteral(VANTREL_BUILD_DIR "/formats/dataFormat.dll"), InstallPaths::formatIntraday());

    const QString source = InstallPaths::backfillDir() + QStringLiteral("/bars.txt");
    const qint64 bars = writeBars(source, qint64(megabytes) << 20);
    const double mb = QFileInfo(source).size() / 1048576.0;
    SymbolMap map;
    for (int i = 0; i < 100; ++i)
        map.insert(QStringLiteral("SYM%1-I").arg(i), QStringLiteral("MAPPED%1").arg(i));

    const double copySeconds = plainCopySeconds(source, dir.path() + QStringLiteral("/copy.txt"));
    QFile::remove(dir.path() + QStringLiteral("/copy.txt"));

    // Mapping and chunking; the import call is a no-op here.
    const QString kept = dir.path() + QStringLiteral("/bars.keep");
    QFile::copy(source, kept);
    BackfillImport::Hooks hooks;
    hooks.makeRewriter = [&] { return std::make_unique<SymbolRewriter>(map); };
    hooks.importChunk = [](const QString &) { return true; };
    hooks.pause = [](int) {};
    QElapsedTimer t;
    t.start();
    BackfillImport(hooks).run();
    const double mapSeconds = t.elapsed() / 1000.0;
    const long peakAfterMapping = peakRssKb();
    benchFigure("backfill mapping+chunking (100 mapping entries)", mb / mapSeconds, "MB/s",
                mb / copySeconds, "MB/s plain block copy", 0);
    benchFigure("backfill peak resident memory after mapping+chunking", peakAfterMapping / 1024.0, "MB",
                mb, "MB file size", 1);

    // The same file through the stand-in's import, with the product's pauses.
    QFile::rename(kept, source);
    std::unique_ptr<BrokerAutomation> broker = BrokerAutomation::create();
    hooks.importChunk = [&](const QString &chunk) {
        const QByteArray call = QStringLiteral("Import(0,%1,%2)").arg(chunk, InstallPaths::formatIntraday()).toUtf8();
        return !broker->dynamicCall(call.constData()).isNull();
    };
    hooks.pause = [](int ms) { QThread::msleep(ulong(ms)); };
    t.restart();
    BackfillImport(hooks).run();
    const double importSeconds = t.elapsed() / 1000.0;
    benchFigure("backfill stand-in import", bars / importSeconds, "bars/s", bars / copySeconds,
                "bars/s through a plain block copy", 0);
    benchFigure("backfill peak resident memory after import", peakRssKb() / 1024.0, "MB", mb,
                "MB file size", 1);
    return 0;
}
