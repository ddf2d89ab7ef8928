// Save, Load and Mapping through the main window against the real server database and
// Debian's openssl (the real binary's run of both is in e2e_app).
#include "amibroker/livedataupdator.h"
#include "app/settingskeys.h"
#include "live/symbolmapping.h"
#include "ui/filedialogs.h"
#include "ui/mainwindow.h"
#include "ui/symbolmappingdialog.h"
#include "ui/wishlistfile.h"

#include "opensslcli.h"
#include "testenv.h"
#include "windowtesthooks.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTableWidget>
#include <QtTest>
#include <functional>
#include <memory>

class tst_WishlistMapping : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> m_env;
    WindowTestHooks m_hooks;
    std::unique_ptr<verodezuvivuderaz2> m_window;
    QList<FileDialogs::Request> m_requests;
    QString m_answer; // path the next file dialog returns

    QStringList &symbols() { return m_window->liveUpdator()->selectedSymbols; }
    QStringList &exchanges() { return m_window->liveUpdator()->correspondingExchanges; }
    QPushButton *button(const char *name) { return m_window->findChild<QPushButton *>(name); }

    void newWindow()
    {
        m_window = std::make_unique<verodezuvivuderaz2>();
        QVERIFY(m_window->isConstructed());
        m_window->setSymbolLimit(50);
    }

    // Runs `act` on the mapping dialog once the Mapping button has opened it.
    void withMappingDialog(std::function<void(SymbolMappingDialog *)> act)
    {
        bool ran = false;
        QTimer::singleShot(0, this, [&] {
            auto *dialog = qobject_cast<SymbolMappingDialog *>(QApplication::activeModalWidget());
            ran = dialog != nullptr;
            if (!dialog)
                return;
            act(dialog);
            if (dialog->isVisible())
                dialog->reject();
        });
        button("MappingButton")->click();
        QVERIFY(ran);
    }

    static QPushButton *dialogButton(QDialog *d, const QString &text)
    {
        for (QPushButton *b : d->findChildren<QPushButton *>())
            if (b->text() == text)
                return b;
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        m_env = std::make_unique<TestEnv>();
        QVERIFY2(TestEnv::mariadbUp(), "start the database with scripts/mariadb.sh start");
        QApplication::setQuitOnLastWindowClosed(false);
        m_hooks.install();
        FileDialogs::setHook([this](const FileDialogs::Request &r) {
            m_requests << r;
            return m_answer;
        });
    }

    void cleanupTestCase()
    {
        m_hooks.uninstall();
        FileDialogs::setHook({});
    }

    void init()
    {
        TestEnv::clearSettings();
        AppSettings().setValue(SettingsKeys::firstRun, false);
        m_hooks.clear();
        m_requests.clear();
        newWindow();
    }

    void cleanup() { m_window.reset(); }

    void savedWatchlistLoadsBackAfterARestart()
    {
        symbols() = QStringList{"NIFTY-I", "EURUSD", "GOLDM-I"};
        exchanges() = QStringList{"FUTURE", "FOREX", "MCX"};
        m_answer = m_env->root() + "/list.vn";
        button("save_list")->click();
        QCOMPARE(m_requests.size(), 1);
        const FileDialogs::Request save = m_requests.takeFirst();
        QVERIFY(save.kind == FileDialogs::Kind::Save && save.parent == m_window.get());
        QCOMPARE(save.caption, QStringLiteral("Save Wishlist To"));
        QCOMPARE(save.filter, QStringLiteral("Vantrel File(*.vn)"));
        QVERIFY(save.directory.isEmpty());

        QFile f(m_answer);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray plain = OpenSslCli::aes(false, 256, "cbc", WishlistFile::key(), WishlistFile::iv(), f.readAll());
        QCOMPARE(plain, QByteArray("NIFTY-I,EURUSD,GOLDM-I#FUTURE,FOREX,MCX") + char(0x80) + QByteArray(8, '\0'));

        m_window.reset();
        newWindow();
        QVERIFY(symbols().isEmpty());
        button("load_list_2")->click();
        const FileDialogs::Request load = m_requests.takeFirst();
        QVERIFY(load.kind == FileDialogs::Kind::Open && load.parent == m_window.get());
        QCOMPARE(load.caption, QStringLiteral("Import Wishlist"));
        QCOMPARE(load.filter, QStringLiteral("Vantrel File(*.vn)"));
        QCOMPARE(symbols(), QStringList({"NIFTY-I", "EURUSD", "GOLDM-I"}));
        QCOMPARE(exchanges(), QStringList({"FUTURE", "FOREX", "MCX"}));
        QTableWidget *table = m_window->form().displayTableWidget;
        QCOMPARE(table->rowCount(), 3);
        QCOMPARE(table->item(2, 0)->text(), QStringLiteral("GOLDM-I"));
        QCOMPARE(m_window->findChild<QLabel *>("SymbolsSelected")->text(), QStringLiteral("S:(3)"));
        QVERIFY(m_hooks.boxes.isEmpty());
    }

    void cancelledDialogsAndFailuresChangeNothing()
    {
        symbols() = QStringList{"ACC"};
        exchanges() = QStringList{"CASH"};
        const QStringList filesBefore = QDir(m_env->root()).entryList(QDir::Files);
        m_answer.clear();
        button("save_list")->click();
        button("load_list_2")->click();
        QCOMPARE(m_requests.size(), 2);
        QVERIFY(m_hooks.boxes.isEmpty());
        QCOMPARE(QDir(m_env->root()).entryList(QDir::Files), filesBefore);

        m_answer = m_env->root() + "/no/such/folder/list.vn";
        button("save_list")->click();
        button("load_list_2")->click();
        QFile odd(m_env->root() + "/odd.vn"); // 17 bytes: not whole blocks
        QVERIFY(odd.open(QIODevice::WriteOnly) && odd.write(WishlistFile::encrypt({"SBIN"}, {"CASH"}) + 'x') == 17);
        odd.close();
        m_answer = odd.fileName();
        button("load_list_2")->click();
        QFile empty(m_env->root() + "/empty.vn");
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        m_answer = empty.fileName();
        button("load_list_2")->click();

        QCOMPARE(m_hooks.titles(), QStringList({"Error", "Error", "Error", "Error"}));
        QCOMPARE(m_hooks.boxes.at(0).text, QStringLiteral("Failed to open file for writing"));
        QCOMPARE(m_hooks.boxes.at(1).text, QStringLiteral("Failed to open file for reading"));
        QCOMPARE(m_hooks.boxes.at(2).text, QStringLiteral("This file is not a wishlist file."));
        QCOMPARE(m_hooks.boxes.at(3).text, QStringLiteral("This file is not a wishlist file."));
        for (const RecordedBox &b : m_hooks.boxes)
            QCOMPARE(b.icon, QMessageBox::Warning);
        QCOMPARE(symbols(), QStringList{"ACC"});
        QCOMPARE(exchanges(), QStringList{"CASH"});
    }

    void loadBeyondTheLimitEmptiesTheWatchlist()
    {
        const QString path = m_env->root() + "/three.vn";
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(WishlistFile::encrypt({"ACC", "SBIN", "NIFTY-I"}, {"CASH", "CASH", "FUTURE"}));
        f.close();
        m_answer = path;

        m_window->setSymbolLimit(3); // exactly the limit loads
        button("load_list_2")->click();
        QCOMPARE(symbols().size(), 3);
        QVERIFY(m_hooks.boxes.isEmpty());

        m_window->setSymbolLimit(2);
        button("load_list_2")->click();
        QCOMPARE(m_hooks.titles(), QStringList{"Limit Exceeded"});
        QCOMPARE(m_hooks.boxes.first().text, QStringLiteral("Cannot add 3 symbols.\nMaximum limit is 2."));
        QCOMPARE(m_hooks.boxes.first().icon, QMessageBox::Information);
        QVERIFY(symbols().isEmpty() && exchanges().isEmpty());
        QCOMPARE(m_window->form().displayTableWidget->rowCount(), 0);
    }

    void mappingDialogFormAndSizing()
    {
        AppSettings().setValue(SettingsKeys::symbolMappingEntries, QStringList{"A,1", "B,2"});
        withMappingDialog([this](SymbolMappingDialog *d) {
            QVERIFY(!button("MappingButton")->isEnabled());
            QCOMPARE(d->parentWidget(), m_window.get());
            QCOMPARE(d->windowTitle(), QStringLiteral("Symbol Mapping"));
            QCOMPARE(d->minimumSize(), QSize(550, 350));
            QVERIFY(!(d->windowFlags() & Qt::WindowContextHelpButtonHint));
            QCOMPARE(d->font().family(), QStringLiteral("Verdana"));
            QCOMPARE(d->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Old Symbol"));
            QCOMPARE(d->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("New Symbol"));
            QVERIFY(!d->tableView()->verticalHeader()->isVisible());
            for (const char *text : {"Add", "Remove", "Save", "Save && Close"}) {
                QPushButton *b = dialogButton(d, text);
                QVERIFY2(b, text);
                QVERIFY(b->styleSheet().startsWith("QPushButton {  background-color: #edf0f5;"));
            }
            // Short names: 150 pixels; a long one widens column 0 up to half the parent's width.
            for (int i = 0; i < 18; ++i)
                d->model()->appendRow({new QStandardItem(QString::number(i)), new QStandardItem("N")});
            QCOMPARE(d->tableView()->columnWidth(0), 150);
            d->model()->appendRow({new QStandardItem(QString(300, 'W')), new QStandardItem("N")});
            QCOMPARE(d->tableView()->columnWidth(0), m_window->width() / 2);
            QVERIFY(!d->tableView()->horizontalHeader()->stretchLastSection());
        });
        QVERIFY(button("MappingButton")->isEnabled());
        QVERIFY(m_window->findChildren<SymbolMappingDialog *>().isEmpty());
        // Closing without saving stored nothing.
        QCOMPARE(SymbolMapping::storedEntries(), QStringList({"A,1", "B,2"}));
    }

    void mappingStoreMapsAndReverseLookup()
    {
        AppSettings().setValue(SettingsKeys::symbolMappingEntries,
                               QStringList{" NIFTY-I , NIFTY_FUT ", "ONLYOLD", "", "A,B,C"});
        withMappingDialog([this](SymbolMappingDialog *d) {
            QStandardItemModel *m = d->model();
            QCOMPARE(m->rowCount(), 3);
            QCOMPARE(m->item(1, 0)->text(), QStringLiteral("ONLYOLD"));
            QCOMPARE(m->item(1, 1)->text(), QString());
            QCOMPARE(m->item(2, 1)->text(), QStringLiteral("B"));
            dialogButton(d, "Add")->click();
            QCOMPARE(d->tableView()->currentIndex(), m->index(3, 0));
            m->item(3, 0)->setText(" X ");
            m->item(3, 1)->setText("FUT,1");
            dialogButton(d, "Add")->click(); // stays empty: not stored
            m->appendRow({new QStandardItem("P"), new QStandardItem("SAME")});
            m->appendRow({new QStandardItem("Q"), new QStandardItem("SAME")});
            QCOMPARE(d->oldToNewMap().value("X"), QStringLiteral("FUT,1")); // commas go only on storing
            QCOMPARE(d->newToOldMap().value("SAME"), QStringLiteral("Q"));
            QVERIFY(!d->oldToNewMap().contains("ONLYOLD"));

            QSignalSpy changed(d, &SymbolMappingDialog::mappingsChanged);
            dialogButton(d, "Save")->click();
            QCOMPARE(m_hooks.titles(), QStringList{"Save mapping"});
            QCOMPARE(m_hooks.boxes.first().text, QStringLiteral("Mappings saved."));
            QVERIFY(d->isVisible());
            QCOMPARE(changed.count(), 0);
            QCOMPARE(SymbolMapping::storedEntries(),
                     QStringList({"NIFTY-I,NIFTY_FUT", "ONLYOLD,", "A,B", "X,FUT 1", "P,SAME", "Q,SAME"}));

            d->tableView()->selectRow(0);
            dialogButton(d, "Remove")->click();
            dialogButton(d, "Save && Close")->click();
            QCOMPARE(changed.count(), 1);
            QCOMPARE(d->result(), int(QDialog::Accepted));
            QVERIFY(!d->isVisible());
        });
        QCOMPARE(m_hooks.boxes.size(), 1); // Save && Close confirms nothing
        QCOMPARE(SymbolMapping::storedEntries(), QStringList({"ONLYOLD,", "A,B", "X,FUT 1", "P,SAME", "Q,SAME"}));
        QCOMPARE(SymbolMapping::reverseLookup("SAME"), QStringLiteral("P"));
        QCOMPARE(SymbolMapping::reverseLookup("FUT 1"), QStringLiteral("X"));
        QCOMPARE(SymbolMapping::reverseLookup("UNMAPPED"), QStringLiteral("UNMAPPED"));
        QCOMPARE(SymbolMapping::reverseLookup(""), QString());
        // A name with a line break would split an import line: such an entry is never applied.
        QCOMPARE(SymbolMapping::parse({"EVIL,NE\nW", "OK,FINE"}), SymbolMap({{"OK", "FINE"}}));
        QCOMPARE(SymbolMapping::reverse(QStringList{"EVIL,X\tY"}, "X\tY"), QStringLiteral("X\tY"));
    }
};

QTEST_MAIN(tst_WishlistMapping)
#include "tst_wishlistmapping.moc"
