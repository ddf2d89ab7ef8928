// The day ledger's own cost on the live path (marking the minutes of imported ticks)
// against building the import lines of the same batches, and the time until the "Data
// Health" dialog with 1,000 rows is on the screen, against the 200 ms aim.
#include "benchfigure.h"

#include "live/dayledger.h"
#include "live/symbolmapping.h"
#include "live/tickrecorder.h"
#include "ui/datahealthdialog.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTableView>

namespace {

// Batches of 100 ticks over `symbols` symbols, as the feed records them.
QList<QByteArray> batches(int count, int symbols)
{
    const QByteArray date = QDate::currentDate().toString("yyyyMMdd").toLatin1();
    QList<QByteArray> out;
    int tick = 0;
    for (int b = 0; b < count; ++b) {
        QByteArray batch;
        for (int i = 0; i < 100; ++i, ++tick) {
            const int minute = (tick / 20000) % 1440;
            batch += "T,SYM" + QByteArray::number(tick % symbols) + ',' + date + ','
                     + DayLedger::minuteText(minute).toLatin1() + ":01.250,24567.4,75,1200,35000\n";
        }
        out.append(batch);
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QList<QByteArray> input = batches(2000, 1000); // 200,000 ticks: 10 s at 20,000 ticks/s

    QElapsedTimer clock;
    clock.start();
    qint64 sink = 0;
    for (const QByteArray &b : input)
        sink += TickRecorder::importLines(b, SymbolMap()).size();
    const double importMs = clock.nsecsElapsed() / 1e6;

    DayLedger ledger;
    clock.restart();
    for (const QByteArray &b : input)
        ledger.noteImported(b, DayLedger::Source::Live);
    const double ledgerMs = clock.nsecsElapsed() / 1e6;
    benchFigure("data health ledger, 200,000 live ticks over 1,000 symbols", ledgerMs, "ms", importMs,
                "ms building their import lines", 1);

    QList<DataHealth::Row> rows;
    for (const QString &symbol : ledger.symbols()) {
        DataHealth::Row r;
        r.symbol = symbol;
        r.lastTickAgeMs = 1500;
        r.health = ledger.health(symbol);
        rows.append(r);
    }
    clock.restart();
    DataHealthDialog dialog;
    dialog.setRows(rows, ledger.sessionStart());
    dialog.show();
    dialog.table()->viewport()->repaint();
    app.processEvents();
    const double openMs = clock.nsecsElapsed() / 1e6;
    benchFigure("data health dialog open, 1,000 rows", openMs, "ms", 200, "ms aim", 1);
    return sink > 0 ? 0 : 1;
}
