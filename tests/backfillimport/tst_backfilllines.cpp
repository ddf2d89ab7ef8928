// Reading backfill lines: line ends, encodings, the line-length cap, symbol checks and
// the checked writer.
#include "backfill/backfilllines.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct ReadResult
{
    QList<QByteArray> lines;
    qint64 skipped = 0;
};

ReadResult readAll(QIODevice *device)
{
    ReadResult r;
    BackfillLines::Reader reader(device);
    const char *data = nullptr;
    qint64 size = 0;
    while (reader.next(&data, &size))
        r.lines.append(QByteArray(data, int(size)));
    r.skipped = reader.skippedLines();
    return r;
}

ReadResult readBytes(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return readAll(&buffer);
}

// The text's UTF-16 code units, little or big end first, without a byte-order mark.
QByteArray utf16(const QString &text, const char *order)
{
    QByteArray out;
    const bool big = qstrcmp(order, "UTF-16BE") == 0;
    for (const QChar c : text) {
        const char low = char(c.unicode() & 0xff), high = char(c.unicode() >> 8);
        out += big ? QByteArray{&high, 1} + QByteArray{&low, 1} : QByteArray{&low, 1} + QByteArray{&high, 1};
    }
    return out;
}

} // namespace

class TestBackfillLines : public QObject
{
    Q_OBJECT
private slots:
    void lineEnds_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::newRow("line feeds") << QByteArray("a\nb\n") << QList<QByteArray>{"a", "b"};
        QTest::newRow("carriage return alone") << QByteArray("a\rb\rc") << QList<QByteArray>{"a", "b", "c"};
        QTest::newRow("crlf is one end") << QByteArray("a\r\nb\r\n") << QList<QByteArray>{"a", "b"};
        QTest::newRow("lf then cr") << QByteArray("a\n\rb") << QList<QByteArray>{"a", "", "b"};
        QTest::newRow("cr cr lf") << QByteArray("a\r\r\nb") << QList<QByteArray>{"a", "", "b"};
        QTest::newRow("utf-8 mark dropped") << QByteArray("\xef\xbb\xbfx,NIFTY\n") << QList<QByteArray>{"x,NIFTY"};
        QTest::newRow("utf-16le") << (QByteArray("\xff\xfe") + utf16("x,NIFTY\r\ny,\u00c4\r\n", "UTF-16LE"))
                                  << QList<QByteArray>{"x,NIFTY", "y,\xc3\x84"};
        QTest::newRow("utf-16be") << (QByteArray("\xfe\xff") + utf16("x,NIFTY\ny", "UTF-16BE"))
                                  << QList<QByteArray>{"x,NIFTY", "y"};
        QTest::newRow("empty") << QByteArray() << QList<QByteArray>{};
    }
    void lineEnds()
    {
        QFETCH(QByteArray, input);
        QFETCH(QList<QByteArray>, lines);
        QCOMPARE(readBytes(input).lines, lines);
    }

    void crlfAcrossTheReadBlockIsOneLineEnd()
    {
        // The carriage return is the last byte of the first 1 MiB block, its line feed the
        // first of the next.
        QByteArray input;
        for (int i = 0; i < 10485; ++i)
            input += QByteArray(98, 'x') + "\r\n";
        input += QByteArray(75, 'y') + "\r\nz";
        QCOMPARE(input.indexOf('\r', 1048500), 1048575);
        const ReadResult r = readBytes(input);
        QCOMPARE(r.lines.size(), 10487);
        QCOMPARE(r.lines.at(10485), QByteArray(75, 'y'));
        QCOMPARE(r.lines.last(), QByteArray("z"));
    }

    void longLinesAreSkippedAndCounted_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<qint64>("skipped");
        const qint64 cap = BackfillLines::kMaxLineBytes;
        const QByteArray atCap(int(cap), 'c');
        QTest::newRow("at the cap") << ("a\n" + atCap + "\nb") << QList<QByteArray>{"a", atCap, "b"} << qint64(0);
        QTest::newRow("one byte over") << ("a\n" + atCap + "c\r\nb") << QList<QByteArray>{"a", "b"} << qint64(1);
        QTest::newRow("20 MiB line") << ("a\n" + QByteArray(20 << 20, 'z') + "\nb\n") << QList<QByteArray>{"a", "b"} << qint64(1);
        QTest::newRow("over-long last line") << ("a\n" + QByteArray(int(cap) * 3, 'z')) << QList<QByteArray>{"a"} << qint64(1);
        QTest::newRow("three long ones") << (atCap + "1\r" + atCap + "2\n" + "m\n" + atCap + "3")
                                         << QList<QByteArray>{"m"} << qint64(3);
    }
    void longLinesAreSkippedAndCounted()
    {
        QFETCH(QByteArray, input);
        QFETCH(QList<QByteArray>, lines);
        QFETCH(qint64, skipped);
        const ReadResult r = readBytes(input);
        QCOMPARE(r.lines, lines);
        QCOMPARE(r.skipped, skipped);
    }

    void lineBeyondTwoGigabytesIsSkipped()
    {
        // A sparse file: 2.2 GB of zero bytes between two short lines, no disk use.
        QTemporaryDir dir;
        QFile file(dir.filePath("huge.txt"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.write("a\n") == 2);
        const qint64 hole = qint64(2200) * 1000 * 1000;
        QVERIFY(file.resize(2 + hole));
        QVERIFY(file.seek(2 + hole));
        QVERIFY(file.write("\nb\n") == 3);
        QVERIFY(file.seek(0));
        const ReadResult r = readAll(&file);
        QCOMPARE(r.lines, (QList<QByteArray>{"a", "b"}));
        QCOMPARE(r.skipped, qint64(1));
    }

    void symbols_data()
    {
        QTest::addColumn<QByteArray>("symbol");
        QTest::addColumn<bool>("acceptable");
        QTest::newRow("plain") << QByteArray("NIFTY-I") << true;
        QTest::newRow("ampersand") << QByteArray("M&M-I") << true;
        QTest::newRow("inner blank") << QByteArray("NIFTY 50") << true;
        QTest::newRow("precomposed letter") << QByteArray("\xc3\x84KTIE") << true;
        QTest::newRow("escape") << QByteArray("NI\x1b[2JFTY") << false;
        QTest::newRow("nul") << QByteArray("NI\0FTY", 6) << false;
        QTest::newRow("tab inside") << QByteArray("NI\tFTY") << false;
        QTest::newRow("delete") << QByteArray("NIFTY\x7f") << false;
        QTest::newRow("line separator") << QByteArray("NIFTY\xe2\x80\xa8") << false;
        QTest::newRow("no-break space") << QByteArray("NIFTY\xc2\xa0") << false;
        QTest::newRow("zero-width joiner") << QByteArray("NIF\xe2\x80\x8dTY") << false;
        QTest::newRow("full-width") << QByteArray("\xef\xbc\xae\xef\xbc\xa9\xef\xbc\xa6\xef\xbc\xb4\xef\xbc\xb9") << false;
        QTest::newRow("invalid utf-8") << QByteArray("NIFTY\xff") << false;
        QTest::newRow("c1 control") << QByteArray("NIFTY\xc2\x85") << false;
    }
    void symbols()
    {
        QFETCH(QByteArray, symbol);
        QFETCH(bool, acceptable);
        QCOMPARE(BackfillLines::isAcceptableSymbol(symbol.constData(), symbol.size()), acceptable);
    }

    void symbolFieldIsTheTrimmedSecondField()
    {
        const QByteArray line = "FUTURE, \tNIFTY-I \t,20261208";
        qint64 start = 0, length = 0;
        QVERIFY(BackfillLines::symbolField(line.constData(), line.size(), &start, &length));
        QCOMPARE(line.mid(int(start), int(length)), QByteArray("NIFTY-I"));
        QVERIFY(!BackfillLines::symbolField("NIFTY-I", 7, &start, &length));
    }

    void writerReportsAFailedWrite()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("out.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        BackfillLines::Writer::setTestByteBudget(10);
        BackfillLines::Writer writer(&file);
        writer.writeLine(QByteArray("0123456789abcdef"));
        const bool closed = writer.close();
        BackfillLines::Writer::setTestByteBudget(-1);
        QVERIFY(!closed);
        QVERIFY(!writer.ok());

        QFile good(dir.filePath("good.txt"));
        QVERIFY(good.open(QIODevice::WriteOnly));
        BackfillLines::Writer second(&good);
        second.writeLine(QByteArray("x"));
        QVERIFY(second.close());
        QCOMPARE(QFileInfo(good.fileName()).size(), qint64(2));
    }
};

QTEST_GUILESS_MAIN(TestBackfillLines)
#include "tst_backfilllines.moc"
