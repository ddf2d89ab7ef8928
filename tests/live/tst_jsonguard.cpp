#include "live/jsonguard.h"

#include <QtTest>

class tst_JsonGuard : public QObject
{
    Q_OBJECT
private slots:
    void keys_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("unique");
        // The frames the data server really sends pass.
        QTest::newRow("batch") << QByteArray("{\"type\":\"batch\",\"records\":[{\"symbol\":\"A\",\"ltp\":1},{\"symbol\":\"B\",\"ltp\":2}]}") << true;
        QTest::newRow("same key in sibling objects") << QByteArray("[{\"a\":1},{\"a\":2}]") << true;
        QTest::newRow("same key at two depths") << QByteArray("{\"a\":{\"a\":{\"a\":1}}}") << true;
        QTest::newRow("key text inside a value") << QByteArray("{\"a\":\"\\\"a\\\":1,\",\"b\":[\"a\",\"a\"]}") << true;
        // The shapes that leak in Qt's parser, and every other repeated key.
        QTest::newRow("repeated after object") << QByteArray("{\"\":{\"\":1},\"\":1}") << false;
        QTest::newRow("repeated after array") << QByteArray("{\"r\":[1],\"r\":[2]}") << false;
        QTest::newRow("repeated deep") << QByteArray("{\"x\":[{\"k\":1,\"y\":2,\"k\":3}]}") << false;
        QTest::newRow("escaped spelling") << QByteArray("{\"ab\":1,\"\\u0061b\":2}") << false;
        QTest::newRow("escaped quote") << QByteArray("{\"a\\\"\":1,\"a\\u0022\":2}") << false;
        // Broken text is refused, never scanned past its end.
        QTest::newRow("unterminated string") << QByteArray("{\"a\":\"x") << false;
        QTest::newRow("bad escape at end") << QByteArray("{\"a\\") << false;
        QTest::newRow("short unicode escape") << QByteArray("{\"\\u00") << false;
        QTest::newRow("unbalanced close") << QByteArray("}]") << false;
        QTest::newRow("too deep") << QByteArray(2000, '[') << false;
    }

    void keys()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, unique);
        QCOMPARE(JsonGuard::hasUniqueKeys(json), unique);
    }
};

QTEST_GUILESS_MAIN(tst_JsonGuard)
#include "tst_jsonguard.moc"
