#include "app/settingskeys.h"
#include "testenv.h"
#include "ui/settingsdialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <memory>

// Stands in for the main window: counts the queued refresh and mirrors what the real slot
// does with the dialog's flag.
class FakeMainWindow : public QWidget
{
    Q_OBJECT
public:
    int calls = 0;
    bool callWasSynchronous = false;
    bool insideAccept = false;
    settings *dialog = nullptr;

public slots:
    void on_controlAmibrokerEnabled()
    {
        ++calls;
        callWasSynchronous = insideAccept;
        if (dialog)
            dialog->controlAmibrokerFlag =
                AppSettings().value(SettingsKeys::controlAmibroker, false).toBool();
    }
};

static QStringList s_warnings;

static void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        s_warnings << msg;
}

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void formStructure();
    void gridCells_data();
    void gridCells();
    void fontsAndFlags();
    void emptyStore();
    void loadShowsStoredValues();
    void serverTwoAlwaysShownAndStored();
    void okWritesChoices();
    void uncheckingControlClearsFlagWithoutCall();
    void checkedControlQueuesParentSlotOnce();
    void parentWithoutSlotIsHarmless();
    void cancelLeavesStoreAndFlags();
    void buttonsDriveSlotsByName();
    void gapFillOnByDefaultAndStored();

private:
    template<typename T> static T *child(QWidget *w, const char *name)
    {
        T *c = w->findChild<T *>(QString::fromLatin1(name));
        if (!c)
            qWarning("missing child %s", name);
        return c;
    }
    static QVariant stored(const QString &key) { return AppSettings().value(key); }
    // Distinguishes "written as false" from "never written".
    enum class Stored { absent, false_, true_ };
    static Stored storedBool(const QString &key)
    {
        AppSettings s;
        if (!s.contains(key))
            return Stored::absent;
        return s.value(key).toBool() ? Stored::true_ : Stored::false_;
    }

    std::unique_ptr<TestEnv> m_env;
};

void TestSettingsDialog::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    QVERIFY(m_env->isValid());
}

void TestSettingsDialog::init()
{
    TestEnv::clearSettings();
}

void TestSettingsDialog::formStructure()
{
    settings dlg;
    QCOMPARE(dlg.objectName(), QStringLiteral("settings"));
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Settings"));
    QCOMPARE(dlg.minimumSize(), QSize(490, 285));
    QCOMPARE(dlg.maximumSize(), QSize(490, 285));

    QCOMPARE(child<QLabel>(&dlg, "label")->text(), QStringLiteral("Data Mode : "));
    QCOMPARE(child<QRadioButton>(&dlg, "mode1")->text(), QStringLiteral("Server 1"));
    QCOMPARE(child<QRadioButton>(&dlg, "mode2")->text(), QStringLiteral("Server 2(default)"));
    QCOMPARE(child<QRadioButton>(&dlg, "fastBackfill")->text(), QStringLiteral("Fast Backfill"));
    QCOMPARE(child<QRadioButton>(&dlg, "slowBackfill")->text(), QStringLiteral("Slow Backfill"));
    QCOMPARE(child<QCheckBox>(&dlg, "saveLayout")->text(), QStringLiteral("Save Layout"));
    QCOMPARE(child<QCheckBox>(&dlg, "controlAmibroker")->text(),
             QStringLiteral("Control Amibroker From DataFeed"));

    auto *group = child<QGroupBox>(&dlg, "backfillGroup");
    QVERIFY(group);
    QCOMPARE(group->title(), QStringLiteral("Backfill Mode :"));
    QCOMPARE(group->maximumHeight(), 65);
    auto *row = qobject_cast<QHBoxLayout *>(group->layout());
    QVERIFY(row);
    QCOMPARE(row->objectName(), QStringLiteral("backfillLayout"));
    QCOMPARE(row->contentsMargins().top(), 4);
    QCOMPARE(row->contentsMargins().bottom(), 4);
    QCOMPARE(row->count(), 2);
    QCOMPARE(row->itemAt(0)->widget(), child<QRadioButton>(&dlg, "fastBackfill"));
    QCOMPARE(row->itemAt(1)->widget(), child<QRadioButton>(&dlg, "slowBackfill"));

    auto *box = child<QDialogButtonBox>(&dlg, "buttonBox");
    QVERIFY(box);
    QCOMPARE(box->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

    auto *modes = dlg.findChild<QButtonGroup *>(QStringLiteral("buttonGroup"));
    QVERIFY(modes);
    QVERIFY(modes->exclusive());
    QCOMPARE(modes->buttons().size(), 2);
    QVERIFY(modes->buttons().contains(child<QRadioButton>(&dlg, "mode1")));
    QVERIFY(modes->buttons().contains(child<QRadioButton>(&dlg, "mode2")));
    auto *backfill = dlg.findChild<QButtonGroup *>(QStringLiteral("backfillButtonGroup"));
    QVERIFY(backfill);
    QVERIFY(backfill->exclusive());
    QCOMPARE(backfill->buttons().size(), 2);
    QVERIFY(backfill->buttons().contains(child<QRadioButton>(&dlg, "fastBackfill")));
    QVERIFY(backfill->buttons().contains(child<QRadioButton>(&dlg, "slowBackfill")));

    // Exclusivity really holds: choosing Server 1 deselects Server 2.
    child<QRadioButton>(&dlg, "mode1")->setChecked(true);
    QVERIFY(!child<QRadioButton>(&dlg, "mode2")->isChecked());
}

void TestSettingsDialog::gridCells_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("rowSpan");
    QTest::addColumn<int>("columnSpan");
    QTest::newRow("label") << "label" << 0 << 0 << 1 << 1;
    QTest::newRow("mode1") << "mode1" << 0 << 1 << 1 << 1;
    QTest::newRow("mode2") << "mode2" << 0 << 2 << 1 << 1;
    QTest::newRow("backfillGroup") << "backfillGroup" << 1 << 0 << 1 << 4;
    QTest::newRow("autoGapFill") << "autoGapFill" << 2 << 0 << 1 << 4;
    QTest::newRow("saveLayout") << "saveLayout" << 3 << 0 << 1 << 4;
    QTest::newRow("controlAmibroker") << "controlAmibroker" << 4 << 0 << 1 << 4;
    QTest::newRow("buttonBox") << "buttonBox" << 5 << 0 << 1 << 2;
}

void TestSettingsDialog::gridCells()
{
    QFETCH(QString, name);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, rowSpan);
    QFETCH(int, columnSpan);

    settings dlg;
    auto *grid = qobject_cast<QGridLayout *>(dlg.layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    QWidget *w = dlg.findChild<QWidget *>(name);
    QVERIFY(w);
    const int index = grid->indexOf(w);
    QVERIFY2(index >= 0, "widget is not in the grid");
    int r = -1, c = -1, rs = -1, cs = -1;
    grid->getItemPosition(index, &r, &c, &rs, &cs);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rs, rowSpan);
    QCOMPARE(cs, columnSpan);
}

void TestSettingsDialog::fontsAndFlags()
{
    settings dlg;
    QCOMPARE(dlg.font().family(), QStringLiteral("Verdana"));
    QCOMPARE(dlg.font().pixelSize(), 14);

    auto *box = child<QDialogButtonBox>(&dlg, "buttonBox");
    const auto widgets = dlg.findChildren<QWidget *>();
    for (QWidget *w : widgets) {
        const bool inButtonBox = w == box || box->isAncestorOf(w);
        QCOMPARE(w->font().family(), QStringLiteral("Verdana"));
        if (inButtonBox) {
            QCOMPARE(w->font().pointSize(), 10);
        } else {
            QVERIFY2(w->font().pixelSize() == 14, qPrintable(w->objectName()));
        }
    }
    // The OK button is what the user sees of the box's font.
    QCOMPARE(box->button(QDialogButtonBox::Ok)->font().pointSize(), 10);

    const Qt::WindowFlags f = dlg.windowFlags();
    QCOMPARE(f & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(f.testFlag(Qt::WindowTitleHint));
    QVERIFY(f.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(f.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!f.testFlag(Qt::WindowContextHelpButtonHint));
}

void TestSettingsDialog::emptyStore()
{
    settings dlg;
    // The form starts with both boxes checked; loading an empty store clears them.
    QVERIFY(!child<QCheckBox>(&dlg, "saveLayout")->isChecked());
    QVERIFY(!child<QCheckBox>(&dlg, "controlAmibroker")->isChecked());
    QVERIFY(child<QRadioButton>(&dlg, "fastBackfill")->isChecked());
    QVERIFY(!child<QRadioButton>(&dlg, "slowBackfill")->isChecked());
    QVERIFY(child<QRadioButton>(&dlg, "mode2")->isChecked());
    QVERIFY(!dlg.controlAmibrokerFlag);
    QVERIFY(!dlg.slowBackfillFlag);
    // Loading never writes.
    QVERIFY(AppSettings().allKeys().isEmpty());
}

void TestSettingsDialog::loadShowsStoredValues()
{
    {
        AppSettings s;
        s.setValue(SettingsKeys::saveLayout, true);
        s.setValue(SettingsKeys::controlAmibroker, true);
        s.setValue(SettingsKeys::slowBackfill, true);
        // The fast key is not what the dialog reads; a contradicting value must not matter.
        s.setValue(SettingsKeys::fastBackfill, true);
    }
    settings dlg;
    QVERIFY(child<QCheckBox>(&dlg, "saveLayout")->isChecked());
    QVERIFY(child<QCheckBox>(&dlg, "controlAmibroker")->isChecked());
    QVERIFY(child<QRadioButton>(&dlg, "slowBackfill")->isChecked());
    QVERIFY(!child<QRadioButton>(&dlg, "fastBackfill")->isChecked());
    QVERIFY(dlg.controlAmibrokerFlag);
    QVERIFY(dlg.slowBackfillFlag);

    // Another writer changes the store; the next load follows it.
    AppSettings().setValue(SettingsKeys::controlAmibroker, false);
    AppSettings().setValue(SettingsKeys::slowBackfill, false);
    dlg.load();
    QVERIFY(!child<QCheckBox>(&dlg, "controlAmibroker")->isChecked());
    QVERIFY(child<QRadioButton>(&dlg, "fastBackfill")->isChecked());
    QVERIFY(!dlg.controlAmibrokerFlag);
    QVERIFY(!dlg.slowBackfillFlag);
}

void TestSettingsDialog::serverTwoAlwaysShownAndStored()
{
    AppSettings().setValue(SettingsKeys::dataMode, 1);
    settings dlg;
    QVERIFY(child<QRadioButton>(&dlg, "mode2")->isChecked());
    QVERIFY(!child<QRadioButton>(&dlg, "mode1")->isChecked());

    child<QRadioButton>(&dlg, "mode1")->setChecked(true);
    dlg.load();
    QVERIFY(child<QRadioButton>(&dlg, "mode2")->isChecked());

    child<QRadioButton>(&dlg, "mode1")->setChecked(true);
    QMetaObject::invokeMethod(&dlg, "on_buttonBox_accepted");
    QCOMPARE(stored(SettingsKeys::dataMode).toInt(), 2);
    QVERIFY(child<QRadioButton>(&dlg, "mode2")->isChecked());
}

void TestSettingsDialog::okWritesChoices()
{
    settings dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    child<QCheckBox>(&dlg, "saveLayout")->setChecked(true);
    child<QRadioButton>(&dlg, "slowBackfill")->setChecked(true);
    QVERIFY(!dlg.slowBackfillFlag);

    QMetaObject::invokeMethod(&dlg, "on_buttonBox_accepted");
    QCOMPARE(storedBool(SettingsKeys::saveLayout), Stored::true_);
    QCOMPARE(storedBool(SettingsKeys::controlAmibroker), Stored::false_);
    QCOMPARE(storedBool(SettingsKeys::slowBackfill), Stored::true_);
    QVERIFY(!AppSettings().contains(SettingsKeys::fastBackfill));
    QVERIFY(dlg.slowBackfillFlag);
    QVERIFY(!dlg.controlAmibrokerFlag);
    QVERIFY(!dlg.isVisible());

    // Back to fast: both the store and the flag follow.
    child<QRadioButton>(&dlg, "fastBackfill")->setChecked(true);
    QMetaObject::invokeMethod(&dlg, "on_buttonBox_accepted");
    QCOMPARE(storedBool(SettingsKeys::slowBackfill), Stored::false_);
    QVERIFY(!dlg.slowBackfillFlag);
}

void TestSettingsDialog::uncheckingControlClearsFlagWithoutCall()
{
    AppSettings().setValue(SettingsKeys::controlAmibroker, true);
    FakeMainWindow main;
    auto *dlg = new settings(&main);
    main.dialog = dlg;
    QVERIFY(dlg->controlAmibrokerFlag);

    child<QCheckBox>(dlg, "controlAmibroker")->setChecked(false);
    QMetaObject::invokeMethod(dlg, "on_buttonBox_accepted");
    QVERIFY(!dlg->controlAmibrokerFlag);
    QCOMPARE(storedBool(SettingsKeys::controlAmibroker), Stored::false_);
    // Give a wrongly queued call every chance to arrive.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(main.calls, 0);
}

void TestSettingsDialog::checkedControlQueuesParentSlotOnce()
{
    FakeMainWindow main;
    auto *dlg = new settings(&main);
    main.dialog = dlg;
    QVERIFY(!dlg->controlAmibrokerFlag);

    child<QCheckBox>(dlg, "controlAmibroker")->setChecked(true);
    main.insideAccept = true;
    QMetaObject::invokeMethod(dlg, "on_buttonBox_accepted");
    main.insideAccept = false;
    QCOMPARE(main.calls, 0); // queued, not yet run
    QVERIFY(dlg->controlAmibrokerFlag); // the reload already set it
    QTRY_COMPARE(main.calls, 1);
    QVERIFY(!main.callWasSynchronous);
    QVERIFY(dlg->controlAmibrokerFlag);
    QCOMPARE(storedBool(SettingsKeys::controlAmibroker), Stored::true_);
    QCoreApplication::processEvents();
    QCOMPARE(main.calls, 1);
}

void TestSettingsDialog::parentWithoutSlotIsHarmless()
{
    QWidget plainParent;
    auto *dlg = new settings(&plainParent);
    child<QCheckBox>(dlg, "controlAmibroker")->setChecked(true);
    // A missing slot must not produce Qt's "No such method" warning.
    s_warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    QMetaObject::invokeMethod(dlg, "on_buttonBox_accepted");
    QCoreApplication::processEvents();
    qInstallMessageHandler(previous);
    QVERIFY2(s_warnings.isEmpty(), qPrintable(s_warnings.join(QLatin1Char('\n'))));
    QVERIFY(dlg->controlAmibrokerFlag);
    QCOMPARE(storedBool(SettingsKeys::controlAmibroker), Stored::true_);
}

void TestSettingsDialog::cancelLeavesStoreAndFlags()
{
    {
        AppSettings s;
        s.setValue(SettingsKeys::saveLayout, true);
        s.setValue(SettingsKeys::controlAmibroker, true);
        s.setValue(SettingsKeys::slowBackfill, false);
    }
    FakeMainWindow main;
    auto *dlg = new settings(&main);
    dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    child<QCheckBox>(dlg, "saveLayout")->setChecked(false);
    child<QCheckBox>(dlg, "controlAmibroker")->setChecked(false);
    child<QRadioButton>(dlg, "slowBackfill")->setChecked(true);
    child<QRadioButton>(dlg, "mode1")->setChecked(true);

    QMetaObject::invokeMethod(dlg, "on_buttonBox_rejected");
    QVERIFY(!dlg->isVisible());
    QCOMPARE(storedBool(SettingsKeys::saveLayout), Stored::true_);
    QCOMPARE(storedBool(SettingsKeys::controlAmibroker), Stored::true_);
    QCOMPARE(storedBool(SettingsKeys::slowBackfill), Stored::false_);
    QVERIFY(!AppSettings().contains(SettingsKeys::dataMode));
    QVERIFY(dlg->controlAmibrokerFlag);
    QVERIFY(!dlg->slowBackfillFlag);
    QCoreApplication::processEvents();
    QCOMPARE(main.calls, 0);

    // The next opening (load, then show) shows the stored values again.
    dlg->load();
    QVERIFY(child<QCheckBox>(dlg, "saveLayout")->isChecked());
    QVERIFY(child<QCheckBox>(dlg, "controlAmibroker")->isChecked());
    QVERIFY(child<QRadioButton>(dlg, "fastBackfill")->isChecked());
    QVERIFY(child<QRadioButton>(dlg, "mode2")->isChecked());
}

void TestSettingsDialog::buttonsDriveSlotsByName()
{
    // The slots are reached only through their names; clicking the real buttons proves the
    // by-name wiring, once each.
    settings dlg;
    auto *box = child<QDialogButtonBox>(&dlg, "buttonBox");

    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    child<QCheckBox>(&dlg, "saveLayout")->setChecked(true);
    QTest::mouseClick(box->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    QVERIFY(!dlg.isVisible());
    QVERIFY(!AppSettings().contains(SettingsKeys::saveLayout));

    dlg.load();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    child<QCheckBox>(&dlg, "saveLayout")->setChecked(true);
    QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(storedBool(SettingsKeys::saveLayout), Stored::true_);
    QCOMPARE(stored(SettingsKeys::dataMode).toInt(), 2);
}

void TestSettingsDialog::gapFillOnByDefaultAndStored()
{
    settings dlg;
    auto *box = child<QCheckBox>(&dlg, "autoGapFill");
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Fill gaps after interruptions"));
    QVERIFY(box->isChecked()); // nothing stored: on
    QVERIFY(!AppSettings().contains(SettingsKeys::autoGapFill));

    box->setChecked(false);
    QMetaObject::invokeMethod(&dlg, "on_buttonBox_rejected");
    QVERIFY(!AppSettings().contains(SettingsKeys::autoGapFill));
    dlg.load();
    QVERIFY(box->isChecked());

    box->setChecked(false);
    QMetaObject::invokeMethod(&dlg, "on_buttonBox_accepted");
    QCOMPARE(storedBool(SettingsKeys::autoGapFill), Stored::false_);
    settings again;
    QVERIFY(!child<QCheckBox>(&again, "autoGapFill")->isChecked());
}

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
