#include "ui/tickdisplay.h"

#include <QTableWidgetItem>
#include <QtTest>

using TickDisplay::QuoteAges;

class TstQuoteAges : public QObject
{
    Q_OBJECT

private slots:
    void quietSymbolWhileTheLinkIsUp();
    void markAndUnmarkACell();
    void texts_data();
    void texts();
};

void TstQuoteAges::quietSymbolWhileTheLinkIsUp()
{
    QuoteAges ages;
    const QHash<QString, TickDisplay::Quote> both{{QStringLiteral("A"), {}}, {QStringLiteral("B"), {}}};
    ages.noteQuotes(both, 0);
    QCOMPARE(ages.staleAge(QStringLiteral("A"), 500000), qint64(-1)); // link down: nothing

    ages.linkUp(1000);
    ages.noteQuotes(both, 2000);
    ages.noteQuotes({{QStringLiteral("A"), {}}}, 50000);
    QCOMPARE(ages.staleAge(QStringLiteral("B"), 62000), qint64(-1)); // exactly 60 s: not yet
    QCOMPARE(ages.staleAge(QStringLiteral("B"), 62001), qint64(60001));
    QCOMPARE(ages.staleAge(QStringLiteral("A"), 62001), qint64(-1));
    // Never ticked: it ages from the moment the link came up.
    QCOMPARE(ages.staleAge(QStringLiteral("C"), 61001), qint64(60001));

    // Back up after a loss: the ages start again from the new link.
    ages.linkDown();
    QCOMPARE(ages.staleAge(QStringLiteral("B"), 200000), qint64(-1));
    ages.linkUp(190000);
    QCOMPARE(ages.staleAge(QStringLiteral("B"), 200000), qint64(-1));
    QCOMPARE(ages.staleAge(QStringLiteral("B"), 260000), qint64(70000));
}

void TstQuoteAges::markAndUnmarkACell()
{
    QTableWidgetItem cell(QStringLiteral("101.5"));
    cell.setBackground(TickDisplay::riseColour());
    TickDisplay::markStale(&cell, -1); // never marked: its colour stays
    QCOMPARE(cell.background().color(), TickDisplay::riseColour());

    TickDisplay::markStale(&cell, 75000);
    QCOMPARE(cell.background().color(), TickDisplay::staleColour());
    QCOMPARE(cell.toolTip(), QStringLiteral("No tick for 75 s"));
    TickDisplay::markStale(&cell, 185000);
    QCOMPARE(cell.toolTip(), QStringLiteral("No tick for 3 min"));

    TickDisplay::markStale(&cell, -1);
    QCOMPARE(cell.background().color(), QColor(Qt::white));
    QCOMPARE(cell.toolTip(), QString());
    TickDisplay::markStale(nullptr, 1); // harmless
}

void TstQuoteAges::texts_data()
{
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<QString>("text");
    QTest::newRow("61 s") << qint64(61999) << "No tick for 61 s";
    QTest::newRow("119 s") << qint64(119999) << "No tick for 119 s";
    QTest::newRow("2 min") << qint64(120000) << "No tick for 2 min";
    QTest::newRow("an hour") << qint64(3600000) << "No tick for 60 min";
}

void TstQuoteAges::texts()
{
    QFETCH(qint64, ms);
    QFETCH(QString, text);
    QCOMPARE(TickDisplay::staleText(ms), text);
}

QTEST_MAIN(TstQuoteAges)
#include "tst_quoteages.moc"
