#include "shell/applicationloop.h"

#include <QApplication>
#include <QFont>
#include <QTimer>
#include <QtTest>

namespace {
struct PassObservation
{
    bool noHighDpi = false;
    bool use96Dpi = false;
    QString organization, application, version, fontFamily;
    int fontPointSize = 0;
    QFont::StyleStrategy strategy = QFont::PreferDefault;
    const QCoreApplication *app = nullptr;
};

// Pass object whose destruction must happen while the pass's application still exists.
class PassController : public QObject
{
public:
    explicit PassController(bool *destroyedWithApp) : m_flag(destroyedWithApp) {}
    ~PassController() override { *m_flag = QCoreApplication::instance() != nullptr; }

private:
    bool *m_flag;
};
} // namespace

class tst_RestartLoop : public QObject
{
    Q_OBJECT
private slots:
    void restartBuildsAFreshPassAndOtherCodesEnd_data()
    {
        QTest::addColumn<int>("finalCode");
        QTest::newRow("zero") << 0;
        QTest::newRow("other") << 7;
        QTest::newRow("negative") << -1;
    }

    void restartBuildsAFreshPassAndOtherCodesEnd()
    {
        QFETCH(int, finalCode);
        QVector<PassObservation> passes;
        QVector<bool> controllerDiedBeforeApp(8, false);
        char arg0[] = "tst_restartloop";
        char *argv[] = {arg0, nullptr};
        int argc = 1;

        const int rc = ApplicationLoop::run(argc, argv, [&]() -> std::unique_ptr<QObject> {
            PassObservation o;
            o.noHighDpi = QCoreApplication::testAttribute(Qt::AA_DisableHighDpiScaling);
            o.use96Dpi = QCoreApplication::testAttribute(Qt::AA_Use96Dpi);
            o.organization = QCoreApplication::organizationName();
            o.application = QCoreApplication::applicationName();
            o.version = QCoreApplication::applicationVersion();
            o.fontFamily = QApplication::font().family();
            o.fontPointSize = QApplication::font().pointSize();
            o.strategy = QApplication::font().styleStrategy();
            o.app = QCoreApplication::instance();
            passes.append(o);
            // Attributes are set again before every pass: clear them inside the pass.
            QCoreApplication::setAttribute(Qt::AA_Use96Dpi, false);
            const int code = passes.size() < 3 ? ApplicationLoop::kRestartCode : finalCode;
            QTimer::singleShot(0, [code] { QCoreApplication::exit(code); });
            return std::make_unique<PassController>(&controllerDiedBeforeApp[passes.size() - 1]);
        });

        QCOMPARE(rc, 0);
        QCOMPARE(passes.size(), 3);
        for (const PassObservation &o : passes) {
            QVERIFY(o.noHighDpi);
            QVERIFY(o.use96Dpi);
            QCOMPARE(o.organization, QStringLiteral("Vantrel Company"));
            QCOMPARE(o.application, QStringLiteral("Vantrel"));
            QCOMPARE(o.version, QStringLiteral("7.10"));
            QCOMPARE(o.fontFamily, QStringLiteral("Segoe UI"));
            QCOMPARE(o.fontPointSize, 9);
            QCOMPARE(o.strategy, QFont::PreferAntialias);
        }
        for (int i = 0; i < passes.size(); ++i)
            QVERIFY(controllerDiedBeforeApp.at(i));
        QVERIFY(QCoreApplication::instance() == nullptr);
    }
};

QTEST_APPLESS_MAIN(tst_RestartLoop)
#include "tst_restartloop.moc"
