#include "app/settingskeys.h"
#include "testenv.h"

#include <QtTest>

class tst_SettingsKeys : public QObject
{
    Q_OBJECT
    TestEnv env;

private slots:
    void init() { TestEnv::clearSettings(); }

    void firstStartDefaults()
    {
        SettingsKeys::writeFirstStartDefaults();
        AppSettings s; // a new short-lived store sees what the writer wrote
        const QStringList symbols = s.value(SettingsKeys::selectedSymbolsList).toStringList();
        const QStringList exch = s.value(SettingsKeys::corrExchList).toStringList();
        QCOMPARE(symbols.size(), 15);
        QCOMPARE(exch.size(), 15);
        QCOMPARE(symbols.first(), QStringLiteral("BANKNIFTY-I"));
        QCOMPARE(exch.first(), QStringLiteral("FUTURE"));
        QCOMPARE(symbols.at(5), QStringLiteral("INDIAVIX"));
        QCOMPARE(exch.at(5), QStringLiteral("SPOTINDEX"));
        QCOMPARE(symbols.last(), QStringLiteral("ETHUSD"));
        QCOMPARE(exch.last(), QStringLiteral("FOREX"));
        QCOMPARE(s.value(SettingsKeys::autoBackfillChecked).toBool(), true);
        QCOMPARE(s.value(SettingsKeys::autoFilldays).toString(), QStringLiteral("5"));
        QCOMPARE(s.value(SettingsKeys::dataMode).toInt(), 2);
        QCOMPARE(s.value(SettingsKeys::fastBackfill).toBool(), true);
        QCOMPARE(s.value(SettingsKeys::slowBackfill).toBool(), false);
        QCOMPARE(s.value(SettingsKeys::saveLayout).toBool(), false);
        QCOMPARE(s.value(SettingsKeys::controlAmibroker).toBool(), false);
        // firstRun is the main window's business, not part of the defaults.
        QVERIFY(!s.contains(SettingsKeys::firstRun));
    }

    // What the user already has survives the defaults (an account the server did not
    // find must not cost the saved watchlist).
    void firstStartDefaultsKeepStoredValues()
    {
        {
            AppSettings s;
            s.setValue(SettingsKeys::selectedSymbolsList, QStringList{"ACC"});
            s.setValue(SettingsKeys::corrExchList, QStringList{"CASH"});
            s.setValue(SettingsKeys::dataMode, 1);
        }
        SettingsKeys::writeFirstStartDefaults();
        AppSettings s;
        QCOMPARE(s.value(SettingsKeys::selectedSymbolsList).toStringList(), QStringList{"ACC"});
        QCOMPARE(s.value(SettingsKeys::corrExchList).toStringList(), QStringList{"CASH"});
        QCOMPARE(s.value(SettingsKeys::dataMode).toInt(), 1);
        QCOMPARE(s.value(SettingsKeys::fastBackfill).toBool(), true); // missing ones are filled
    }

    void storeUsesProductIdentity()
    {
        AppSettings s;
        QCOMPARE(s.organizationName(), QStringLiteral("Vantrel Company"));
        QCOMPARE(s.applicationName(), QStringLiteral("Vantrel"));
        QVERIFY(s.fileName().startsWith(env.configDir()));
        QCOMPARE(SettingsKeys::segmentCheckbox(5), QStringLiteral("checkbox5")); // the stored key's name
    }
};

QTEST_GUILESS_MAIN(tst_SettingsKeys)
#include "tst_settingskeys.moc"
