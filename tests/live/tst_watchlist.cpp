// The watchlist without a window: the entry rules for lists from outside, the start-up
// restore and the close's write with a list set aside, the limit and the ticks of a shown
// list.
#include "app/settingskeys.h"
#include "live/watchlist.h"

#include "testenv.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

const QStringList kCodes = {"CASH", "FUTURE", "OPTION", "MCX", "CURRENCY", "SPOTINDEX", "NCDEX", "CMOPT", "FOREX"};

void store(const QStringList &symbols, const QStringList &exchanges)
{
    AppSettings s;
    s.setValue(SettingsKeys::selectedSymbolsList, symbols);
    s.setValue(SettingsKeys::corrExchList, exchanges);
}

QStringList stored()
{
    AppSettings s;
    return s.value(SettingsKeys::selectedSymbolsList).toStringList() + s.value(SettingsKeys::corrExchList).toStringList();
}

} // namespace

class tst_Watchlist : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> env;

private slots:
    void initTestCase() { env = std::make_unique<TestEnv>(); }
    void init() { TestEnv::clearSettings(); }

    // One unusable entry costs that entry, not the list; the rest keeps its order.
    void restoreKeepsTheGoodEntries_data()
    {
        QTest::addColumn<QStringList>("symbols");
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<QStringList>("dropped");
        QTest::newRow("unknown codes") << QStringList{"NIFTY-I", "ACC", "SBIN", "XAUUSD"}
                                       << QStringList{"FUTURE", "NYSE", "CASH;DROP", "FOREX"}
                                       << QStringList{"NIFTY-I", "XAUUSD"} << QStringList{"ACC (NYSE)", "SBIN (CASH;DROP)"};
        QTest::newRow("fewer codes") << QStringList{"NIFTY-I", "ACC", "XAUUSD"} << QStringList{"FUTURE", "CASH"}
                                     << QStringList{"NIFTY-I", "ACC"} << QStringList{"XAUUSD (no exchange)"};
        QTest::newRow("fewer symbols") << QStringList{"NIFTY-I"} << QStringList{"FUTURE", "CASH"}
                                       << QStringList{"NIFTY-I"} << QStringList{"no symbol (CASH)"};
        QTest::newRow("repeated, empty, control") << QStringList{"ACC", "", "ACC", "A\tB"}
                                                  << QStringList{"CASH", "CASH", "FUTURE", "CASH"} << QStringList{"ACC"}
                                                  << QStringList{"empty symbol (CASH)", "ACC (FUTURE)", "A\tB (CASH)"};
    }
    void restoreKeepsTheGoodEntries()
    {
        QFETCH(QStringList, symbols);
        QFETCH(QStringList, codes);
        QFETCH(QStringList, kept);
        QFETCH(QStringList, dropped);
        store(symbols, codes);
        Watchlist list;
        list.setLimit(50);
        QSignalSpy changed(&list, &Watchlist::changed);
        QCOMPARE(list.restore(kCodes), dropped);
        QCOMPARE(list.symbols(), kept);
        QCOMPARE(list.exchanges().size(), kept.size());
        QCOMPARE(changed.count(), 1);
        // The close writes the repaired list back.
        AppSettings s;
        list.save(s);
        s.sync();
        QCOMPARE(s.value(SettingsKeys::selectedSymbolsList).toStringList(), kept);
    }

    // Over a known limit the list is not shown but stays saved until the user builds one;
    // an unreadable limit keeps it shown and refuses additions only.
    void limitDecidesWhatTheStartShows()
    {
        store({"NIFTY-I", "ICICIBANK", "XAUUSD"}, {"FUTURE", "CASH", "FOREX"});
        const QStringList saved = stored();
        {
            Watchlist list;
            list.setLimit(2);
            QVERIFY(list.restore(kCodes).isEmpty());
            QVERIFY(list.isEmpty());
            AppSettings s;
            list.save(s);
        }
        QCOMPARE(stored(), saved);
        {
            Watchlist list;
            list.setLimit(2);
            list.restore(kCodes);
            QVERIFY(list.add("GOLDM-I", "MCX"));
            AppSettings s;
            list.save(s);
        }
        QCOMPARE(stored(), (QStringList{"GOLDM-I", "MCX"}));

        Watchlist unread;
        unread.setLimitUnreadable();
        unread.restore(kCodes);
        QCOMPARE(unread.symbols(), QStringList{"GOLDM-I"});
        QVERIFY(!unread.isOverLimit(100));
        QVERIFY(unread.allowsAdding(0));
        QVERIFY(!unread.allowsAdding(1));
        unread.setLimit(2);
        QVERIFY(unread.allowsAdding(1));
        QVERIFY(!unread.allowsAdding(2));
        QVERIFY(unread.isOverLimit(3));
    }

    void ticksJoinAndLeaveInTheListsOrder()
    {
        Watchlist list;
        list.replace({{"NIFTY-I", "XAUUSD"}, {"FUTURE", "FOREX"}});
        QVERIFY(!list.add("NIFTY-I", "CASH"));
        QSignalSpy changed(&list, &Watchlist::changed);
        list.applyTicks({{"ACC", true}, {"XAUUSD", false}, {"NIFTY-I", true}, {"SBIN", true}, {"ACC", false}}, "CASH");
        QCOMPARE(changed.count(), 1);
        QCOMPARE(list.symbols(), (QStringList{"NIFTY-I", "SBIN"}));
        QCOMPARE(list.exchanges(), (QStringList{"FUTURE", "CASH"}));
        QVERIFY(list.remove("NIFTY-I"));
        QVERIFY(!list.remove("NIFTY-I"));
        QCOMPARE(list.exchanges(), QStringList{"CASH"});
        QCOMPARE(changed.count(), 2);
    }
};

QTEST_MAIN(tst_Watchlist)
#include "tst_watchlist.moc"
