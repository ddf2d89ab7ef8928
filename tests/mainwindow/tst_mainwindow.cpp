// The main window against the real server database: form, symbol catalogue, watchlist
// and the simple actions.
#include "amibroker/liveimporter.h"
#include "app/settingskeys.h"
#include "backfill/backfillrun.h"
#include "live/latestbatch.h"
#include "live/livefeed.h"
#include "live/watchlist.h"
#include "serverdb/serverdatabase.h"
#include "ui/catalogue.h"
#include "ui/mainwindow.h"
#include "ui/settingsdialog.h"

#include "testenv.h"
#include "windowtesthooks.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <memory>

Q_DECLARE_METATYPE(QListWidgetItem *)

namespace {

struct FormRow
{
    const char *name;
    const char *className;
    const char *parent;
    QRect geometry;
    QString text;  // button/label text, group title, combo items joined by "|"
    QString style;
};

const QString kDarkBlue = QStringLiteral("background-color: rgb(0, 79, 116);\ncolor: rgb(244, 244, 244);");
const QString kDarkBlueNl = kDarkBlue + QLatin1Char('\n');
const QString kListButton = QStringLiteral("background-color: rgb(215, 218, 255);");
const QString kLight = QStringLiteral("background-color: rgb(244, 244, 244);");
const QString kWhite = QStringLiteral("background-color: rgb(255, 255, 255);");
const QString kProgress = QStringLiteral("color: rgb(255, 255, 255);");
const char kWin[] = "verodezuvivuderaz2";
const char kFeeds[] = "realTimeDataGroupBox";

// The form in creation order.
QList<FormRow> formTable()
{
    return {
        {"contactSupportButton", "QPushButton", kWin, {602, 20, 85, 62}, "Support",
         "background-color: rgb(0, 0, 0);\ncolor: rgb(255, 255, 255);"},
        {"realTimeDataGroupBox", "QGroupBox", kWin, {21, 81, 757, 51}, "Feeds", ""},
        {"cashBox", "QRadioButton", kFeeds, {17, 20, 61, 17}, "CASH", ""},
        {"futureBox", "QRadioButton", kFeeds, {97, 20, 78, 17}, "FUTURE", ""},
        {"optionBox", "QRadioButton", kFeeds, {187, 20, 78, 17}, "OPTION", ""},
        {"commBox", "QRadioButton", kFeeds, {277, 20, 71, 17}, "COMM", ""},
        {"currBox", "QRadioButton", kFeeds, {447, 20, 61, 17}, "CURR", ""},
        {"spotBox", "QRadioButton", kFeeds, {517, 20, 61, 17}, "SPOT", ""},
        {"SXOPTBox", "QRadioButton", kFeeds, {587, 20, 71, 17}, "SXOPT", ""},
        {"SXOPTBox2", "QRadioButton", kFeeds, {357, 20, 71, 17}, "CMOPT", ""},
        {"ForexBox", "QRadioButton", kFeeds, {677, 20, 71, 17}, "FOREX", ""},
        {"copyIDButton", "QPushButton", kWin, {448, 20, 78, 62}, "Copy ID", kDarkBlueNl},
        {"amibrokerPathButton", "QPushButton", kWin, {20, 20, 90, 62}, "Settings", kDarkBlue},
        {"restartButton", "QPushButton", kWin, {114, 20, 75, 62}, "Restart", kDarkBlueNl},
        {"backfillGroup", "QGroupBox", kWin, {282, 14, 160, 67}, "Backfill Days", ""},
        {"daysBox", "QComboBox", "backfillGroup", {10, 17, 55, 41}, "1|3|5|10|15|20|30|60|90|120", ""},
        {"backfillButton", "QPushButton", "backfillGroup", {70, 17, 80, 41}, "Backfill", kDarkBlueNl},
        {"softwareIDLabel", "QLabel", kWin, {20, 474, 71, 31}, "USER ID :", ""},
        {"statusLabel", "QLabel", kWin, {680, 518, 101, 31}, "Connected / Disconnected", ""},
        {"connectButton", "QPushButton", kWin, {30, 500, 16, 23}, "Connect", ""},
        {"progressBar", "QProgressBar", kWin, {270, 350, 71, 32}, "0", kProgress},
        {"progressBarRT", "QProgressBar", kWin, {270, 430, 291, 38}, "0", kProgress},
        {"machineIDLabel", "QLineEdit", kWin, {100, 474, 355, 31}, "", ""},
        {"label_2", "QLabel", kWin, {20, 520, 71, 20}, "Messages :", ""},
        {"messageBox", "QTextEdit", kWin, {100, 518, 551, 31}, "", ""},
        {"pushButton", "QPushButton", kWin, {530, 20, 68, 62}, "EOD",
         "background-color: rgb(170, 0, 0);\ncolor: rgb(238, 238, 238);"},
        {"symbolsListWidget", "QListWidget", kWin, {20, 168, 241, 230}, "", kWhite},
        {"selectAll", "QPushButton", kWin, {20, 403, 119, 32}, "Select All", kListButton},
        {"selectNone", "QPushButton", kWin, {141, 403, 120, 32}, "None", kListButton},
        {"addSelected", "QPushButton", kWin, {20, 436, 241, 32}, "Add Symbol", kListButton},
        {"displayTableWidget", "QTableWidget", kWin, {270, 134, 509, 293}, "", kWhite},
        {"DeleteAll", "QPushButton", kWin, {690, 473, 91, 40}, "Delete All",
         "background-color: rgb(157, 0, 0);\ncolor: rgb(255, 255, 255);"},
        {"save_list", "QPushButton", kWin, {638, 430, 70, 38}, "Save", kLight},
        {"load_list_2", "QPushButton", kWin, {710, 430, 70, 38}, "Load", kLight},
        {"backfillGroup_3", "QGroupBox", kWin, {194, 20, 81, 62}, "", ""},
        {"autofillCheckBox", "QCheckBox", "backfillGroup_3", {6, 6, 71, 16}, "Autofill", ""},
        {"autoFilldaysBox", "QComboBox", "backfillGroup_3", {10, 29, 50, 25}, "1|3|5|7|10|20|30", ""},
        {"MappingButton", "QPushButton", kWin, {566, 430, 70, 38}, "Mapping", kDarkBlue},
        {"SymbolsSelected", "QLabel", kWin, {620, 474, 61, 31}, "S", ""},
        {"machineIDLabel_2", "QLineEdit", kWin, {20, 134, 241, 31}, "",
         "QLineEdit { background-color: white; }"},
        {"dataHealthButton", "QPushButton", kWin, {466, 474, 130, 31}, "Data Health", kDarkBlue},
        {"dataHealthLabel", "QLabel", kWin, {20, 553, 630, 22}, "", ""},
    };
}

QString shownText(QWidget *w)
{
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return b->text();
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    if (auto *g = qobject_cast<QGroupBox *>(w))
        return g->title();
    if (auto *e = qobject_cast<QLineEdit *>(w))
        return e->text();
    if (auto *t = qobject_cast<QTextEdit *>(w))
        return t->toPlainText();
    if (auto *p = qobject_cast<QProgressBar *>(w))
        return QString::number(p->value());
    if (auto *c = qobject_cast<QComboBox *>(w)) {
        QStringList items;
        for (int i = 0; i < c->count(); ++i)
            items << c->itemText(i);
        return items.join(QLatin1Char('|'));
    }
    return QString();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnv> m_env;
    WindowTestHooks m_hooks;
    std::unique_ptr<OpenedDatabase> m_database;
    std::unique_ptr<MainWindow> m_window;

    MainWindow &window() { return *m_window; }
    const MainWindowForm &ui() { return m_window->form(); }
    const QStringList &symbols() { return m_window->watchlist()->symbols(); }
    const QStringList &exchanges() { return m_window->watchlist()->exchanges(); }
    void setWatchlist(const QStringList &symbols, const QStringList &exchanges)
    {
        m_window->watchlist()->replace({symbols, exchanges});
    }

    QStringList listTexts()
    {
        QStringList texts;
        for (int i = 0; i < ui().symbolsListWidget->count(); ++i)
            texts << ui().symbolsListWidget->item(i)->text();
        return texts;
    }

    QStringList checkedTexts()
    {
        QStringList texts;
        for (int i = 0; i < ui().symbolsListWidget->count(); ++i) {
            if (ui().symbolsListWidget->item(i)->checkState() == Qt::Checked)
                texts << ui().symbolsListWidget->item(i)->text();
        }
        return texts;
    }

    QListWidgetItem *listItem(const QString &text)
    {
        const auto found = ui().symbolsListWidget->findItems(text, Qt::MatchExactly);
        return found.isEmpty() ? nullptr : found.first();
    }

    void tick(const QStringList &texts)
    {
        for (const QString &t : texts) {
            QListWidgetItem *item = listItem(t);
            QVERIFY2(item, qPrintable(t + " is not listed"));
            item->setCheckState(Qt::Checked);
        }
    }

    QStringList tableColumn(int column)
    {
        QStringList texts;
        for (int r = 0; r < ui().displayTableWidget->rowCount(); ++r) {
            QTableWidgetItem *item = ui().displayTableWidget->item(r, column);
            texts << (item ? item->text() : QString());
        }
        return texts;
    }

    QStringList headerTexts()
    {
        QStringList texts;
        for (int c = 0; c < ui().displayTableWidget->columnCount(); ++c) {
            QTableWidgetItem *h = ui().displayTableWidget->horizontalHeaderItem(c);
            texts << (h ? h->text() : QString());
        }
        return texts;
    }

    QStringList dbSegment(const QString &code)
    {
        return m_database->segmentSymbols(code);
    }

private slots:
    void initTestCase()
    {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(m_env->isValid());
        if (!TestEnv::mariadbUp())
            QFAIL("The server database is not answering on 127.0.0.1:49111. Start it with "
                  "scripts/mariadb.sh start (demo data) and run the test again.");
        QApplication::setQuitOnLastWindowClosed(false);
        qRegisterMetaType<QListWidgetItem *>();
        m_hooks.install();
    }

    void cleanupTestCase() { m_hooks.uninstall(); }

    void init()
    {
        TestEnv::clearSettings();
        AppSettings().setValue(SettingsKeys::firstRun, false);
        m_hooks.clear();
        LatestBatch::clear();
        m_window.reset();
        m_database = std::make_unique<OpenedDatabase>();
        QVERIFY(m_database->isOpen());
        m_window = std::make_unique<MainWindow>(m_database.get());
        QVERIFY(m_hooks.boxes.isEmpty());
        m_window->setSymbolLimit(50);
    }

    void cleanup()
    {
        m_window.reset();
        LatestBatch::clear();
    }

    // ---- Form ----

    void formWidgetsMatchTheLayout()
    {
        const QList<FormRow> table = formTable();
        for (const FormRow &row : table) {
            const QString name = QString::fromLatin1(row.name);
            auto *w = window().findChild<QWidget *>(name);
            QVERIFY2(w, qPrintable(name + " missing"));
            QCOMPARE(QString::fromLatin1(w->metaObject()->className()), QString::fromLatin1(row.className));
            QVERIFY2(w->parentWidget(), qPrintable(name));
            QCOMPARE(w->parentWidget()->objectName(), QString::fromLatin1(row.parent));
            QCOMPARE(w->geometry(), row.geometry);
            QCOMPARE(shownText(w), row.text);
            QCOMPARE(w->styleSheet(), row.style);
        }
    }

    void formWidgetsAreCreatedInOrder()
    {
        QStringList expected;
        for (const FormRow &row : formTable())
            expected << QString::fromLatin1(row.name);
        // Children lists keep creation order; walking the window and its group boxes in
        // that order must give the form table's order.
        QStringList actual;
        const QSet<QString> wanted(expected.begin(), expected.end());
        std::function<void(QObject *)> walk = [&](QObject *o) {
            for (QObject *child : o->children()) {
                if (wanted.contains(child->objectName())) {
                    actual << child->objectName();
                    if (qobject_cast<QGroupBox *>(child))
                        walk(child);
                }
            }
        };
        walk(&window());
        QCOMPARE(actual, expected);
    }

    void windowPropertiesAndAdjustments()
    {
        MainWindow &w = window();
        QCOMPARE(w.objectName(), QStringLiteral("verodezuvivuderaz2"));
        QCOMPARE(w.size(), QSize(800, 578));
        QCOMPARE(w.minimumSize(), QSize(800, 578));
        QCOMPARE(w.maximumSize(), QSize(800, 578));
        QVERIFY(!w.windowIcon().isNull());
        QVERIFY(!QIcon(QStringLiteral(":/Vantrel.jpg")).pixmap(16, 16).isNull());
        QVERIFY(qAbs(w.windowOpacity() - 0.97) < 0.01);
        QCOMPARE(w.styleSheet(), QStringLiteral("border-color: rgb(170, 170, 255);\nbackground-color: rgb(43, 172, 201);\n"));
        QVERIFY(w.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(w.windowFlags().testFlag(Qt::Dialog));
        QCOMPARE(w.windowTitle(), QStringLiteral(VANTREL_VENDOR_SITE " (Vantrel 7.10)"));

        QLineEdit *search = ui().machineIDLabel_2;
        QCOMPARE(search->placeholderText(), QStringLiteral("Type symbol name to search..."));
        QVERIFY(search->isClearButtonEnabled());
        QCOMPARE(search->toolTip(), QStringLiteral("Search symbols by typing name"));
        QVERIFY(!search->isReadOnly());
        QVERIFY(ui().machineIDLabel->isReadOnly());
        QCOMPARE(ui().daysBox->maxVisibleItems(), 20);
        QCOMPARE(ui().autoFilldaysBox->maxVisibleItems(), 10);
        for (QProgressBar *bar : {ui().progressBar, ui().progressBarRT}) {
            QVERIFY(bar->isTextVisible());
            QCOMPARE(bar->alignment(), Qt::Alignment(Qt::AlignCenter));
        }
        QVERIFY(ui().messageBox->isReadOnly());
        QCOMPARE(ui().messageBox->lineWidth(), 0);
        QVERIFY(ui().messageBox->toPlainText().isEmpty());
        QVERIFY(ui().messageBox->document()->firstBlock().blockFormat().alignment() & Qt::AlignHCenter);
        QCOMPARE(ui().displayTableWidget->editTriggers(), QAbstractItemView::NoEditTriggers);
        for (int k = 0; k < 9; ++k)
            QVERIFY(ui().segmentButton(k)->autoExclusive());
    }

    void verdanaOnTheWindowAndEveryDescendant()
    {
        QCOMPARE(window().font().family(), QStringLiteral("Verdana"));
        QCOMPARE(window().font().pixelSize(), 13);
        const QList<QWidget *> all = window().findChildren<QWidget *>();
        QVERIFY(all.size() > 40);
        for (QWidget *w : all) {
            // The symbol list and the watchlist table switch to their own font when filled.
            if (w == ui().symbolsListWidget || w == ui().displayTableWidget)
                continue;
            // Made after the form, with their own looks: the uptime overlay and the
            // settings dialog.
            if (w->objectName() == QStringLiteral("uptimeLabel"))
                continue;
            if (w == window().settingsDialog() || window().settingsDialog()->isAncestorOf(w))
                continue;
            QVERIFY2(w->font().family() == QStringLiteral("Verdana") && w->font().pixelSize() == 13,
                     qPrintable(w->objectName() + " " + w->metaObject()->className() + " "
                                + w->font().family() + " " + QString::number(w->font().pixelSize()) + " "
                                + QString::number(w->font().pointSize()) + " parent "
                                + (w->parentWidget() ? w->parentWidget()->metaObject()->className() : "")));
        }
    }

    void slotsAreDeclaredInOrder()
    {
        const char *slotsInOrder[] = {
            "on_controlAmibrokerEnabled()", "on_connectButton_clicked()",
            "enableInterface(QString,QStringList,QString)",
            "showStatusMessage(QString)", "addDisplayTable()",
            "updateDisplayTable()", "closeButtonClicked(bool)", "backfillButtonClicked(bool)",
            "do5DayBackfill()", "updateSymbolsSelectedLabel()",
            "on_machineIDLabel_2_textChanged(QString)", "on_backfillButton_clicked()",
            "eodBackfillButton_clicked(QString)", "on_cashBox_toggled(bool)", "on_futureBox_toggled(bool)",
            "on_optionBox_toggled(bool)", "on_commBox_toggled(bool)", "on_currBox_toggled(bool)",
            "on_spotBox_toggled(bool)", "on_SXOPTBox_toggled(bool)", "on_SXOPTBox2_toggled(bool)",
            "on_ForexBox_toggled(bool)", "on_copyIDButton_clicked()", "on_restartButton_clicked()",
            "on_contactSupportButton_clicked()", "on_pushButton_clicked()",
            "on_MappingButton_clicked()", "on_selectAll_clicked()", "on_selectNone_clicked()",
            "on_addSelected_clicked()", "updateThreads()", "updateUrlDataState()",
            "on_DeleteAll_clicked()", "on_amibrokerPathButton_clicked()", "on_save_list_clicked()",
            "on_load_list_2_clicked()"};
        const QMetaObject *mo = window().metaObject();
        int previous = mo->methodOffset() - 1;
        for (const char *slot : slotsInOrder) {
            const int index = mo->indexOfSlot(slot);
            QVERIFY2(index > previous, slot);
            previous = index;
        }
    }

    void uptimeOverlayStaysInTheCorner()
    {
        auto *label = window().findChild<QLabel *>(QStringLiteral("uptimeLabel"));
        QVERIFY(label);
        QCOMPARE(label->parentWidget(), &window());
        QCOMPARE(label->alignment(), Qt::Alignment(Qt::AlignCenter));
        QVERIFY(label->testAttribute(Qt::WA_TransparentForMouseEvents));
        QVERIFY(label->styleSheet().startsWith(QStringLiteral("QLabel#uptimeLabel { color: #ffffff;")));
        QVERIFY(!label->isHidden());
        const QPoint corner(800 - 2, 578 - 2);
        QCOMPARE(label->geometry().bottomRight() + QPoint(1, 1), corner);
        if (label->text() == QStringLiteral("Uptime: 0:00:00"))
            QTRY_VERIFY_WITH_TIMEOUT(label->text().startsWith(QStringLiteral("Running: 0:00:0")), 3000);

        // A longer text: the placement timer moves the label so it stays 2 px from the corner.
        const int before = label->width();
        label->setText(QStringLiteral("Running: 12345:00:00 and then some more"));
        label->adjustSize();
        QVERIFY(label->width() > before);
        QTRY_COMPARE_WITH_TIMEOUT(label->geometry().bottomRight() + QPoint(1, 1), corner, 2000);
    }

    // ---- Catalogue ----

    void fullCatalogueFillsTheCacheFromTheServer()
    {
        QVERIFY(window().symbolCache().value(QStringLiteral("FUTURE")).isEmpty());
        window().loadFullCatalogue();
        for (const QString &code : Catalogue::segmentCodes())
            QCOMPARE(window().symbolCache().value(code), dbSegment(code));
        QVERIFY(window().symbolCache().value(QStringLiteral("FUTURE")).contains(QStringLiteral("NIFTY1")));
        QVERIFY(window().symbolCache().value(QStringLiteral("CASH")).contains(QStringLiteral("M&M")));
    }

    void searchInFutureListsEveryNifSymbol()
    {
        window().loadFullCatalogue();
        ui().futureBox->click();
        QCOMPARE(window().currentSegment(), QStringLiteral("FUTURE"));
        const QStringList future = dbSegment(QStringLiteral("FUTURE"));
        QCOMPARE(listTexts(), future);
        QCOMPARE(ui().symbolsListWidget->font().family(), QStringLiteral("Monospace"));
        QCOMPARE(ui().symbolsListWidget->font().pixelSize(), 12);

        // With a current row, refilling the list clears it, and an unblocked list reports
        // that as a change of the current row and of the selection.
        ui().symbolsListWidget->setCurrentRow(0);
        QCOMPARE(ui().symbolsListWidget->currentRow(), 0);
        QSignalSpy itemSignals(ui().symbolsListWidget, &QListWidget::itemChanged);
        QSignalSpy rowSignals(ui().symbolsListWidget, &QListWidget::currentRowChanged);
        QSignalSpy selectionSignals(ui().symbolsListWidget, &QListWidget::itemSelectionChanged);
        QVERIFY(itemSignals.isValid());
        QTest::keyClicks(ui().machineIDLabel_2, QStringLiteral(" nif "));
        const QStringList shown = listTexts();
        QVERIFY(shown.contains(QStringLiteral("BANKNIFTY-I")));
        QVERIFY(shown.contains(QStringLiteral("NIFTY-I")));
        QVERIFY(shown.contains(QStringLiteral("NIFTY1")));
        QStringList expected;
        for (const QString &s : future) {
            if (s.toUpper().contains(QStringLiteral("NIF")))
                expected << s;
        }
        QCOMPARE(shown, expected);
        QVERIFY(shown.size() < future.size());
        // Refilled with the list's signals off.
        QCOMPARE(ui().symbolsListWidget->currentRow(), -1);
        QCOMPARE(itemSignals.count(), 0);
        QCOMPARE(rowSignals.count(), 0);
        QCOMPARE(selectionSignals.count(), 0);
        for (int i = 0; i < ui().symbolsListWidget->count(); ++i)
            QVERIFY(ui().symbolsListWidget->item(i)->flags() & Qt::ItemIsUserCheckable);

        ui().machineIDLabel_2->clear();
        QCOMPARE(listTexts(), future);
    }

    void watchlistSymbolOfAnotherSegmentIsShownTicked()
    {
        setWatchlist(QStringList{QStringLiteral("NIFTY-I"), QStringLiteral("RELIANCE")},
                     QStringList{QStringLiteral("CASH"), QStringLiteral("CASH")});
        ui().futureBox->click();
        QCOMPARE(checkedTexts(), QStringList{QStringLiteral("NIFTY-I")});
        // The match is exact and case-sensitive: NIFTY-II is not ticked.
        QCOMPARE(listItem(QStringLiteral("NIFTY-II"))->checkState(), Qt::Unchecked);
        // A search keeps the ticks.
        ui().machineIDLabel_2->setText(QStringLiteral("nifty-"));
        QCOMPARE(checkedTexts(), QStringList{QStringLiteral("NIFTY-I")});
    }

    void switchingSegmentsClearsTheSearch()
    {
        ui().futureBox->click();
        ui().machineIDLabel_2->setText(QStringLiteral("nif"));
        QVERIFY(listTexts().size() < dbSegment(QStringLiteral("FUTURE")).size());

        ui().cashBox->click();
        QVERIFY(ui().machineIDLabel_2->text().isEmpty());
        QCOMPARE(window().currentSegment(), QStringLiteral("CASH"));
        QCOMPARE(listTexts(), dbSegment(QStringLiteral("CASH")));
        QVERIFY(window().segmentFlag(0));
        QVERIFY(!window().segmentFlag(1)); // the unchecked button reported false
        QVERIFY(!ui().futureBox->isChecked());
        // Clicking the checked button again changes nothing.
        ui().cashBox->click();
        QVERIFY(ui().cashBox->isChecked());
        QCOMPARE(window().currentSegment(), QStringLiteral("CASH"));
    }

    void selectAllAndNoneTouchOnlyTheShownItems()
    {
        ui().selectAll->click(); // empty list: nothing to do, nothing breaks
        QCOMPARE(ui().symbolsListWidget->count(), 0);

        ui().futureBox->click();
        ui().machineIDLabel_2->setText(QStringLiteral("BANKNIFTY"));
        ui().selectAll->click();
        QCOMPARE(checkedTexts(), listTexts());
        QVERIFY(symbols().isEmpty()); // ticking is not adding
        ui().selectNone->click();
        QVERIFY(checkedTexts().isEmpty());
    }

    // ---- Watchlist ----

    void addAndUntickChangeTheWatchlist()
    {
        ui().futureBox->click();
        tick({QStringLiteral("NIFTY-I"), QStringLiteral("BANKNIFTY-I")});
        ui().addSelected->click();
        QCOMPARE(symbols(), QStringList({QStringLiteral("BANKNIFTY-I"), QStringLiteral("NIFTY-I")}));
        QCOMPARE(exchanges(), QStringList({QStringLiteral("FUTURE"), QStringLiteral("FUTURE")}));
        QCOMPARE(listItem(QStringLiteral("NIFTY-I"))->background().color(), QColor(QStringLiteral("#00ff00")));
        QCOMPARE(tableColumn(0), symbols());
        QCOMPARE(tableColumn(1), QStringList({QStringLiteral("0"), QStringLiteral("0")}));
        QCOMPARE(headerTexts(), QStringList({"SYMBOL", "LTP", "LTQ", "Backfill", "Del"}));
        const int widths[] = {155, 75, 70, 95, 40};
        for (int c = 0; c < 5; ++c)
            QCOMPARE(ui().displayTableWidget->columnWidth(c), widths[c]);
        QCOMPARE(ui().SymbolsSelected->text(), QStringLiteral("S:(2)"));

        // Row buttons carry symbol and exchange.
        auto *backfill = qobject_cast<QPushButton *>(ui().displayTableWidget->cellWidget(1, 3));
        auto *remove = qobject_cast<QPushButton *>(ui().displayTableWidget->cellWidget(1, 4));
        QVERIFY(backfill && remove);
        QCOMPARE(backfill->text(), QStringLiteral("Backfill"));
        QCOMPARE(backfill->objectName(), QStringLiteral("NIFTY-I"));
        QCOMPARE(backfill->property("exchName").toString(), QStringLiteral("FUTURE"));
        QCOMPARE(remove->text(), QStringLiteral("X"));
        QCOMPARE(remove->objectName(), QStringLiteral("NIFTY-I1,FUTURE"));
        QCOMPARE(remove->width(), 30);

        // A symbol of another segment joins under the segment shown.
        ui().cashBox->click();
        tick({QStringLiteral("M&M")});
        ui().addSelected->click();
        QCOMPARE(symbols().last(), QStringLiteral("M&M"));
        QCOMPARE(exchanges().last(), QStringLiteral("CASH"));
        QVERIFY(window().liveFeed()->pollingRequest().text.contains(QStringLiteral("send=BANKNIFTY-I|NIFTY-I|M%26M&")));

        // Unticking a listed symbol removes it, whatever segment added it.
        ui().futureBox->click();
        listItem(QStringLiteral("NIFTY-I"))->setCheckState(Qt::Unchecked);
        ui().addSelected->click();
        QCOMPARE(symbols(), QStringList({QStringLiteral("BANKNIFTY-I"), QStringLiteral("M&M")}));
        QCOMPARE(exchanges(), QStringList({QStringLiteral("FUTURE"), QStringLiteral("CASH")}));
        QCOMPARE(tableColumn(0), symbols());
        QCOMPARE(listItem(QStringLiteral("NIFTY-I"))->background().color(), QColor(QStringLiteral("#ffffff")));
        QCOMPARE(ui().SymbolsSelected->text(), QStringLiteral("S:(2)"));
        QVERIFY(m_hooks.boxes.isEmpty());
    }

    void addBeyondTheLimitChangesNothing()
    {
        window().setSymbolLimit(10);
        const QStringList eight = dbSegment(QStringLiteral("CASH")).mid(0, 8);
        QCOMPARE(eight.size(), 8);
        setWatchlist(eight, QStringList(QVector<QString>(8, QStringLiteral("CASH")).toList()));
        ui().futureBox->click();
        tick({QStringLiteral("NIFTY-I"), QStringLiteral("NIFTY-II"), QStringLiteral("NIFTY1")});
        ui().addSelected->click();

        QCOMPARE(m_hooks.boxes.size(), 1);
        QCOMPARE(m_hooks.boxes[0].icon, QMessageBox::Information);
        QCOMPARE(m_hooks.boxes[0].title, QStringLiteral("Limit Exceeded"));
        QCOMPARE(m_hooks.boxes[0].text, QStringLiteral("Maximum symbols limit is 10\nYou are trying to add 11"));
        QCOMPARE(m_hooks.boxes[0].buttons, QStringList{QStringLiteral("OK")});
        QVERIFY(m_hooks.boxes[0].hasParent);
        QCOMPARE(symbols(), eight);
        QCOMPARE(exchanges().size(), 8);
        QCOMPARE(ui().displayTableWidget->rowCount(), 0); // no rebuild either

        // Exactly at the limit is fine.
        listItem(QStringLiteral("NIFTY1"))->setCheckState(Qt::Unchecked);
        ui().addSelected->click();
        QCOMPARE(m_hooks.boxes.size(), 1);
        QCOMPARE(symbols().size(), 10);
    }

    void limitZeroRefusesEveryAdd()
    {
        window().setSymbolLimit(0);
        ui().futureBox->click();
        tick({QStringLiteral("NIFTY-I")});
        ui().addSelected->click();
        QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Limit Exceeded")});
        QCOMPARE(m_hooks.boxes[0].text, QStringLiteral("Maximum symbols limit is 0\nYou are trying to add 1"));
        QVERIFY(symbols().isEmpty());
    }

    void deleteButtonOfNifty1RemovesExactlyNifty1()
    {
        ui().futureBox->click();
        tick({QStringLiteral("NIFTY-I"), QStringLiteral("NIFTY1"), QStringLiteral("NIFTY-II")});
        ui().addSelected->click();
        const QStringList before = symbols();
        QVERIFY(before.contains(QStringLiteral("NIFTY1")));
        // Rebuilding the table does not double the row button connections.
        window().addDisplayTable();
        window().addDisplayTable();

        const int row = before.indexOf(QStringLiteral("NIFTY1"));
        auto *remove = qobject_cast<QPushButton *>(ui().displayTableWidget->cellWidget(row, 4));
        QVERIFY(remove);
        QCOMPARE(remove->objectName(), QStringLiteral("NIFTY11,FUTURE"));
        QSignalSpy clicks(remove, &QPushButton::clicked);
        remove->click();
        QCOMPARE(clicks.count(), 1);

        QStringList expected = before;
        expected.removeAll(QStringLiteral("NIFTY1"));
        QCOMPARE(symbols(), expected);
        QCOMPARE(exchanges().size(), expected.size());
        QCOMPARE(tableColumn(0), expected);
        QCOMPARE(ui().SymbolsSelected->text(), QStringLiteral("S:(2)"));

        // NIFTY-I's own button removes NIFTY-I (the "1" it ends with is the separator).
        const int rowI = symbols().indexOf(QStringLiteral("NIFTY-I"));
        qobject_cast<QPushButton *>(ui().displayTableWidget->cellWidget(rowI, 4))->click();
        QCOMPARE(symbols(), QStringList{QStringLiteral("NIFTY-II")});
        QCOMPARE(tableColumn(0), QStringList{QStringLiteral("NIFTY-II")});
    }

    void quoteCellsAreColouredByDirection()
    {
        setWatchlist(QStringList{QStringLiteral("NIFTY-I"), QStringLiteral("ICICIBANK")},
                     QStringList{QStringLiteral("FUTURE"), QStringLiteral("CASH")});
        window().addDisplayTable();
        QTableWidget *t = ui().displayTableWidget;
        auto feed = [&](const QByteArray &lines) {
            LatestBatch::set(lines);
            window().updateDisplayTable();
        };
        const QColor lightBlue(173, 216, 230);
        const QColor pink(255, 192, 203);

        feed("T,NIFTY-I,20240105,09:15:01,100.5,75,0,0\n");
        QCOMPARE(t->item(0, 1)->text(), QStringLiteral("100.5"));
        QCOMPARE(t->item(0, 2)->text(), QStringLiteral("75"));
        QCOMPARE(t->item(1, 1)->text(), QStringLiteral("0")); // no tick for it yet

        feed("T,NIFTY-I,20240105,09:15:02,101,75,0,0\n");
        QCOMPARE(t->item(0, 1)->text(), QStringLiteral("101"));
        QCOMPARE(t->item(0, 1)->background().color(), lightBlue);

        feed("T,NIFTY-I,20240105,09:15:03,100.5,50,0,0\n");
        QCOMPARE(t->item(0, 1)->background().color(), pink);
        QCOMPARE(t->item(0, 2)->background().color(), pink);

        // Same text again: the colour stays.
        feed("T,NIFTY-I,20240105,09:15:04,100.5,50,0,0\n");
        QCOMPARE(t->item(0, 1)->background().color(), pink);

        // A failed line is ignored, a later line of the batch wins.
        feed("T,NIFTY-I,20240105,09:15:05,200,1,0,0\nFailed,NIFTY-I,x,x,1,1,1,1\nT,NIFTY-I,20240105,09:15:05,150,2,0,0\n");
        QCOMPARE(t->item(0, 1)->text(), QStringLiteral("150"));
        QCOMPARE(t->item(0, 1)->background().color(), lightBlue);

        // From "0" to a text that is no number: white.
        feed("T,ICICIBANK,20240105,09:15:06,n/a,--,0,0\n");
        QCOMPARE(t->item(1, 1)->text(), QStringLiteral("n/a"));
        QCOMPARE(t->item(1, 1)->background().color(), QColor(Qt::white));
        QCOMPARE(t->item(1, 2)->background().color(), QColor(Qt::white));
    }

    void refreshFollowsTheWatchlistRows()
    {
        // The watchlist grew without a table rebuild: the refresh adds the rows itself.
        setWatchlist(QStringList{QStringLiteral("NIFTY-I")}, QStringList{QStringLiteral("FUTURE")});
        window().addDisplayTable();
        m_window->watchlist()->add(QStringLiteral("XAUUSD"), QStringLiteral("FOREX"));
        LatestBatch::set("T,XAUUSD,20240105,09:15:01,2034.1,1,0,0\n");
        // The window's own 500 ms timer does the refresh.
        QTRY_COMPARE_WITH_TIMEOUT(ui().displayTableWidget->rowCount(), 2, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(ui().displayTableWidget->item(1, 1), 3000);
        QCOMPARE(ui().displayTableWidget->item(1, 0)->text(), QStringLiteral("XAUUSD"));
        QCOMPARE(ui().displayTableWidget->item(1, 1)->text(), QStringLiteral("2034.1"));
        QCOMPARE(ui().displayTableWidget->item(1, 1)->textAlignment(), int(Qt::AlignRight | Qt::AlignVCenter));
    }

    void rowButtonsReachTheScreenWhereverTheyComeIntoView()
    {
        // A long list filled into a shown window: the buttons of the first rows and of the
        // rows scrolled to must be on the screen, not only in the widget tree.
        window().setSymbolLimit(3000);
        for (int i = 0; i < 3000; ++i) {
            m_window->watchlist()->add(QStringLiteral("S%1").arg(i), QStringLiteral("CASH"));
        }
        window().show();
        QVERIFY(QTest::qWaitForWindowExposed(&window()));
        window().addDisplayTable();
        QTableWidget *t = ui().displayTableWidget;
        auto onScreen = [&](int row, int column) {
            QCoreApplication::processEvents();
            auto *button = qobject_cast<QPushButton *>(t->cellWidget(row, column));
            if (!button || !button->isVisible()
                || !t->viewport()->rect().contains(button->geometry()))
                return false;
            const QImage screen = window().windowHandle()->screen()->grabWindow(window().winId()).toImage();
            const QRect where(button->mapTo(&window(), QPoint()), button->size());
            return screen.copy(where) == button->grab().toImage().convertToFormat(screen.format());
        };
        QVERIFY(onScreen(0, 3));
        QVERIFY(onScreen(0, 4));
        QCOMPARE(t->cellWidget(0, 3)->font(), t->font());
        t->scrollToBottom();
        QVERIFY(onScreen(2999, 3));
        t->scrollToItem(t->item(1500, 0), QAbstractItemView::PositionAtCenter);
        QVERIFY(onScreen(1500, 4));
    }

    void deleteAllLeavesHeadersAndNoRows()
    {
        ui().futureBox->click();
        tick({QStringLiteral("NIFTY-I"), QStringLiteral("BANKNIFTY-I")});
        ui().addSelected->click();
        QCOMPARE(ui().displayTableWidget->rowCount(), 2);

        ui().DeleteAll->click();
        QVERIFY(symbols().isEmpty());
        QVERIFY(exchanges().isEmpty());
        QCOMPARE(ui().displayTableWidget->rowCount(), 0);
        QCOMPARE(headerTexts(), QStringList({"SYMBOL", "LTP", "LTQ", "Backfill", "Del"}));
        QCOMPARE(ui().SymbolsSelected->text(), QStringLiteral("S:(0)"));
        QVERIFY(window().liveFeed()->pollingRequest().text.contains(QStringLiteral("&send=&hash=")));
    }

    void tableOverTheLimitIsLeftAlone()
    {
        window().setSymbolLimit(1);
        setWatchlist(QStringList{QStringLiteral("NIFTY-I"), QStringLiteral("XAUUSD")},
                     QStringList{QStringLiteral("FUTURE"), QStringLiteral("FOREX")});
        window().addDisplayTable();
        QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Limit Exceeded")});
        QCOMPARE(m_hooks.boxes[0].text,
                 QStringLiteral("Maximum limit for symbols is 1.\nYou are trying to add 2 symbols."));
        QCOMPARE(ui().displayTableWidget->rowCount(), 0);
    }

    void pollingRequestFollowsTheDataMode()
    {
        window().liveFeed()->setLivePaths(QStringLiteral("127.0.0.1:49121/live/get"), QStringLiteral("127.0.0.1:49121/live/post"));
        window().liveFeed()->setNetworkPaths(QStringLiteral("127.0.0.1:49121/net/get"), QStringLiteral("127.0.0.1:49121/net/post"));
        window().setSecureKey(QStringLiteral("k1"));
        setWatchlist(QStringList{QStringLiteral("M&M")}, QStringList{QStringLiteral("CASH")});

        window().updateUrlDataState(); // "Data Mode" missing: behaves as 1
        QCOMPARE(window().liveFeed()->pollingRequest().text,
                 QStringLiteral("http://127.0.0.1:49121/live/get?uid=&send=M%26M&hash=k1"));
        AppSettings().setValue(SettingsKeys::dataMode, 2);
        window().updateUrlDataState();
        QCOMPARE(window().liveFeed()->pollingRequest().text,
                 QStringLiteral("http://127.0.0.1:49121/net/get?uid=&send=M%26M&hash=k1"));
        QCOMPARE(window().liveFeed()->pollingRequest().method, int(PollingRequest::Get));
        QCOMPARE(tableColumn(0), QStringList{QStringLiteral("M&M")}); // and the table follows
    }

    // ---- Actions ----

    void copyIdPutsTheDetailsOnTheClipboard()
    {
        QCoreApplication::setApplicationVersion(QStringLiteral("7.10"));
        ui().copyIDButton->click();
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QStringLiteral("Software : Vantrel \nUser ID  : \nVersion  : 7.10"));
        QCOMPARE(m_hooks.titles(), QStringList{QStringLiteral("Software Details")});
        QCOMPARE(m_hooks.boxes[0].text,
                 QStringLiteral("\nYour details copied to clipboard. Right click and Paste to Share\n"));
        QCOMPARE(m_hooks.boxes[0].icon, QMessageBox::Information);
    }

    void supportOpensTheSupportLink()
    {
        ui().contactSupportButton->click();
        QCOMPARE(m_hooks.openedUrls.size(), 1);
        QCOMPARE(m_hooks.openedUrls[0], QUrl::fromUserInput(QStringLiteral(VANTREL_VENDOR_SITE)));
        window().setSupportLink(QStringLiteral("http://127.0.0.1:49121/support"));
        ui().contactSupportButton->click();
        QCOMPARE(m_hooks.openedUrls.value(1), QUrl(QStringLiteral("http://127.0.0.1:49121/support")));
    }

    void settingsButtonRunsTheDialogModally()
    {
        settings *dialog = window().settingsDialog();
        QVERIFY(dialog);
        QCOMPARE(dialog->parentWidget(), &window());
        AppSettings().setValue(SettingsKeys::controlAmibroker, true);
        bool wasModal = false;
        QTimer::singleShot(0, this, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            wasModal = modal == dialog && dialog->isWindow();
            dialog->reject();
        });
        ui().amibrokerPathButton->click();
        QVERIFY(wasModal);
        QVERIFY(dialog->controlAmibrokerFlag); // reloaded from the store before showing
        QCOMPARE(dialog->parentWidget(), &window());
    }

    void controlAmibrokerSlotCopiesTheStoredValue()
    {
        settings *dialog = window().settingsDialog();
        QVERIFY(!dialog->controlAmibrokerFlag);
        AppSettings().setValue(SettingsKeys::controlAmibroker, true);
        window().on_controlAmibrokerEnabled();
        QVERIFY(dialog->controlAmibrokerFlag);
        AppSettings().remove(SettingsKeys::controlAmibroker);
        window().on_controlAmibrokerEnabled();
        QVERIFY(!dialog->controlAmibrokerFlag);
    }

    void statusAndBackfillButtonState()
    {
        window().showStatusMessage(QStringLiteral("Live: Connected"));
        QCOMPARE(ui().statusLabel->text(), QStringLiteral("Live: Connected"));

        // What the backfill run says, the window shows (wired by the constructor).
        BackfillRun *run = window().backfillRun();
        QVERIFY(run);
        ui().backfillButton->setEnabled(false);
        emit run->activeChanged(true);
        QVERIFY(ui().backfillButton->isEnabled());
        QCOMPARE(ui().backfillButton->text(), QStringLiteral("Stop"));
        emit run->activeChanged(false);
        QCOMPARE(ui().backfillButton->text(), QStringLiteral("Backfill"));
        QProgressBar *bar = ui().progressBarRT;
        emit run->intradayStarted();
        QVERIFY(bar->styleSheet().contains("background-color: #28a745;"));
        emit run->progress(37, QStringLiteral("(M&M-I) 1.0 KB/s"));
        emit run->progress(-1, QStringLiteral("(M&M-I) skipped"));
        QCOMPARE(bar->value(), 37); // a negative value keeps the bar's
        QCOMPARE(bar->format(), QStringLiteral("(M&M-I) skipped"));
        emit run->statusText(QStringLiteral("Backfill skipped M&M-I: x"));
        QCOMPARE(ui().statusLabel->text(), QStringLiteral("Backfill skipped M&M-I: x"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
