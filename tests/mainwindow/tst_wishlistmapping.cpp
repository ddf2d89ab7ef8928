// Save, Load and Mapping through the main window against the real server database and
// Debian's openssl (the real binary's run of both is in e2e_app).
#include "live/watchlist.h"
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

#include <sys/stat.h>
#include <sys/sysmacros.h>

class tst_WishlistMapping : public QObject
{
    Q_OBJECT
    std::unique_ptr<TestEnv> m_env;
    WindowTestHooks m_hooks;
    std::unique_ptr<OpenedDatabase> m_database;
    std::unique_ptr<MainWindow> m_window;
    QList<FileDialogs::Request> m_requests;
    QString m_answer; // path the next file dialog returns
    QTemporaryDir m_userDir; // a folder of the user's, outside the installation root

    const QStringList &symbols() { return m_window->watchlist()->symbols(); }
    const QStringList &exchanges() { return m_window->watchlist()->exchanges(); }
    void setWatchlist(const QStringList &symbols, const QStringList &exchanges)
    {
        m_window->watchlist()->replace({symbols, exchanges});
    }
    QPushButton *button(const char *name) { return m_window->findChild<QPushButton *>(name); }

    void newWindow()
    {
        m_window.reset();
        m_database = std::make_unique<OpenedDatabase>();
        m_window = std::make_unique<MainWindow>(m_database.get());
        QVERIFY(m_database->isOpen());
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
        setWatchlist(QStringList{"NIFTY-I", "EURUSD", "GOLDM-I"}, QStringList{"FUTURE", "FOREX", "MCX"});
        m_answer = m_userDir.path() + "/list.vn";
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
        setWatchlist(QStringList{"ACC"}, QStringList{"CASH"});
        const QStringList filesBefore = QDir(m_env->root()).entryList(QDir::Files);
        m_answer.clear();
        button("save_list")->click();
        button("load_list_2")->click();
        QCOMPARE(m_requests.size(), 2);
        QVERIFY(m_hooks.boxes.isEmpty());
        QCOMPARE(QDir(m_env->root()).entryList(QDir::Files), filesBefore);

        m_answer = m_userDir.path() + "/no/such/folder/list.vn";
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

    // Files and targets the user may pick that must be refused before anything is read or
    // written; the watchlist and the target stay as they were.
    void hostileFilesAreRefused_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("box"); // "title|text"
        const QString noRead = QStringLiteral("Error|Failed to open file for reading");
        const QString noWrite = QStringLiteral("Error|Failed to open file for writing");
        const QString inside = QStringLiteral("Error|A wishlist cannot be saved inside the installation "
                                              "folder.\nPlease choose another folder.");
        QTest::newRow("load a FIFO") << "load" << "fifo" << noRead;
        QTest::newRow("load a folder") << "load" << "folder" << noRead;
        QTest::newRow("load a device node") << "load" << "device" << noRead;
        QTest::newRow("load a genuine list over the cap") << "load" << "large"
                                                          << "Error|This file is too large to be a wishlist file.";
        QTest::newRow("load with the limit unknown") << "load" << "unknown-limit"
                                                     << "Limit Unknown|The symbol limit of your account could "
                                                        "not be read.\nThe wishlist was not loaded.";
        QTest::newRow("save onto a FIFO") << "save" << "fifo" << noWrite;
        QTest::newRow("save onto a device node") << "save" << "device" << noWrite;
        QTest::newRow("save onto a folder") << "save" << "folder" << noWrite;
        QTest::newRow("save onto the user ID") << "save" << "userid" << inside;
        QTest::newRow("save onto a format file") << "save" << "format" << inside;
        QTest::newRow("save into the database folder") << "save" << "database" << inside;
        QTest::newRow("save through a link to the user ID") << "save" << "link" << inside;
    }
    void hostileFilesAreRefused()
    {
        QFETCH(QString, action);
        QFETCH(QString, target);
        QFETCH(QString, box);
        const QString dir = m_userDir.path();
        auto write = [](const QString &path, const QByteArray &bytes) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
        };
        QVERIFY(write(m_env->root() + "/userid.txt", "KEEP-ME\n"));
        QVERIFY(write(m_env->root() + "/dataFormatRT.dll", "$FORMAT Ticker\n"));
        QVERIFY(QDir().mkpath(m_env->root() + "/Amibroker/RTDataDatabase"));

        QString path;
        if (target == "fifo") {
            path = dir + "/pipe.vn";
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        } else if (target == "folder") {
            path = dir + "/folder.vn";
            QVERIFY(QDir().mkpath(path));
        } else if (target == "device") {
            path = dir + "/null.vn"; // a private copy of /dev/null's node, never the real one
            if (::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0600, makedev(1, 3)) != 0)
                QSKIP("creating a device node needs root");
        } else if (target == "large") {
            QStringList symbols, exchanges;
            for (int i = 0; i < 120000; ++i) {
                symbols << QStringLiteral("SYM%1").arg(i, 6, 10, QLatin1Char('0'));
                exchanges << QStringLiteral("CASH");
            }
            path = dir + "/large.vn";
            QVERIFY(write(path, WishlistFile::encrypt(symbols, exchanges)));
            QVERIFY(QFileInfo(path).size() > WishlistFile::kMaxFileSize);
            m_window->setSymbolLimit(200000);
        } else if (target == "unknown-limit") {
            path = dir + "/good.vn";
            QVERIFY(write(path, WishlistFile::encrypt({"SBIN"}, {"CASH"})));
            m_window->setSymbolLimitUnreadable();
        } else if (target == "userid") {
            path = m_env->root() + "/userid.txt";
        } else if (target == "format") {
            path = m_env->root() + "/dataFormatRT.dll";
        } else if (target == "database") {
            path = m_env->root() + "/Amibroker/RTDataDatabase/list.vn";
        } else if (target == "link") {
            path = dir + "/link.vn";
            QVERIFY(QFile::link(m_env->root() + "/userid.txt", path));
        }
        const QFileInfo before(path);
        const bool wasFile = before.isFile();

        setWatchlist(QStringList{"ACC"}, QStringList{"CASH"});
        m_answer = path;
        button(action == "save" ? "save_list" : "load_list_2")->click();

        QCOMPARE(m_hooks.boxes.size(), 1);
        QCOMPARE(m_hooks.boxes.first().title + '|' + m_hooks.boxes.first().text, box);
        QCOMPARE(symbols(), QStringList{"ACC"});
        QCOMPARE(exchanges(), QStringList{"CASH"});
        const QFileInfo after(path);
        QCOMPARE(after.exists(), before.exists());
        QCOMPARE(after.isFile(), wasFile);
        QCOMPARE(after.isDir(), before.isDir());
        QFile userId(m_env->root() + "/userid.txt");
        QVERIFY(userId.open(QIODevice::ReadOnly));
        QCOMPARE(userId.readAll(), QByteArray("KEEP-ME\n"));
        QVERIFY(!QFile::exists(m_env->root() + "/Amibroker/RTDataDatabase/list.vn"));
        if (target == "fifo" || target == "device" || target == "folder" || target == "link")
            QFile::remove(path) || QDir(path).removeRecursively();
    }

    // A list as long as a whole catalogue loads in one pass over its entries and one table
    // fill, in a shown window (bench_wishlist measures how its time grows with the length).
    void longWishlistLoadsWhole()
    {
        QStringList many, codes;
        for (int i = 0; i < 60000; ++i) {
            many << QStringLiteral("S%1").arg(i);
            codes << QStringLiteral("CASH");
        }
        const QString path = m_userDir.path() + "/many.vn";
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(WishlistFile::encrypt(many, codes));
        f.close();
        m_window->setSymbolLimit(60000);
        m_answer = path;
        m_window->show();
        button("load_list_2")->click();
        // What the fill queued (one polish request per row button) is worked off as well.
        QCoreApplication::processEvents();
        QVERIFY(m_hooks.boxes.isEmpty());
        QCOMPARE(symbols(), many);
        QCOMPARE(m_window->form().displayTableWidget->rowCount(), 60000);
        QCOMPARE(m_window->form().displayTableWidget->item(59999, 0)->text(), QStringLiteral("S59999"));
    }

    // Mapping a followed symbol onto the name of another followed one would merge their
    // series: the dialog asks, and only a Yes stores the rows.
    void mappingOntoAFollowedSymbolAsks_data()
    {
        QTest::addColumn<QStringList>("rows"); // "old,new"
        QTest::addColumn<QString>("answer");   // button pressed in the question; empty: no question
        QTest::addColumn<bool>("stored");
        QTest::newRow("onto a followed symbol, No") << QStringList{"SBIN-I,TATASTEEL"} << "&No" << false;
        QTest::newRow("onto a followed symbol, Yes") << QStringList{"SBIN-I,TATASTEEL"} << "&Yes" << true;
        QTest::newRow("two followed onto one name") << QStringList{"SBIN-I,STEEL", "TATASTEEL,STEEL"} << "&No" << false;
        QTest::newRow("onto a name no one follows") << QStringList{"SBIN-I,SBIN_FUT"} << "" << true;
        QTest::newRow("old name not followed") << QStringList{"ACC,TATASTEEL"} << "" << true;
        QTest::newRow("swap of two followed names") << QStringList{"SBIN-I,TATASTEEL", "TATASTEEL,SBIN-I"} << "&No" << false;
    }
    void mappingOntoAFollowedSymbolAsks()
    {
        QFETCH(QStringList, rows);
        QFETCH(QString, answer);
        QFETCH(bool, stored);
        setWatchlist(QStringList{"SBIN-I", "TATASTEEL"}, QStringList{"FUTURE", "CASH"});
        m_hooks.answer = answer;
        withMappingDialog([&](SymbolMappingDialog *d) {
            for (const QString &row : rows)
                d->model()->appendRow({new QStandardItem(row.section(',', 0, 0)), new QStandardItem(row.section(',', 1))});
            dialogButton(d, "Save && Close")->click();
            QCOMPARE(d->isVisible(), !stored);
        });
        m_hooks.answer.clear();
        QCOMPARE(SymbolMapping::storedEntries(), stored ? rows : QStringList());
        if (answer.isEmpty()) {
            QVERIFY(m_hooks.boxes.isEmpty());
        } else {
            QCOMPARE(m_hooks.titles(), QStringList{"Mapping Conflict"});
            QVERIFY2(m_hooks.boxes.first().text.contains(QStringLiteral("SBIN-I -> ")),
                     qPrintable(m_hooks.boxes.first().text));
        }
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
