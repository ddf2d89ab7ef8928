// Wishlist files: the Save and Load buttons.
#include "ui/mainwindow.h"

#include "live/watchlist.h"
#include "platform/installpaths.h"
#include "ui/catalogue.h"
#include "ui/filedialogs.h"
#include "ui/messagehelper.h"
#include "ui/wishlistio.h"

#include <QDebug>
#include <QMessageBox>

namespace {

const QString kFilter = QStringLiteral("Vantrel File(*.vn)");

} // namespace

void MainWindow::on_save_list_clicked()
{
    const QString path =
        FileDialogs::getSaveFileName(this, QStringLiteral("Save Wishlist To"), QString(), kFilter);
    if (path.isEmpty())
        return;
    const QString error = WishlistFile::saveTo(path, InstallPaths::rootSlash(), m_watchlist->symbols(),
                                               m_watchlist->exchanges());
    if (!error.isEmpty()) {
        // Save errors are plain warning boxes, not the message helper's enlarged ones.
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Error"), error, QMessageBox::Ok, this);
        MessageHelper::exec(box);
    }
}

void MainWindow::on_load_list_2_clicked()
{
    // Without the account's limit no size can be checked; the list stays as it is.
    if (!m_watchlist->isLimitKnown()) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Limit Unknown"),
                            QStringLiteral("The symbol limit of your account could not be read.\n"
                                           "The wishlist was not loaded."));
        return;
    }
    const QString path =
        FileDialogs::getOpenFileName(this, QStringLiteral("Import Wishlist"), QString(), kFilter);
    if (path.isEmpty())
        return;
    WishlistFile::Watchlist list;
    const QString error = WishlistFile::loadFrom(path, Catalogue::segmentCodes(), &list);
    if (!error.isEmpty()) {
        MessageHelper::show(this, QMessageBox::Warning, QStringLiteral("Error"), error);
        return;
    }
    if (m_watchlist->isOverLimit(list.symbols.size())) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Limit Exceeded"),
                            QStringLiteral("Cannot add %1 symbols.\nMaximum limit is %2.")
                                .arg(list.symbols.size())
                                .arg(m_watchlist->limit()));
        // Emptied; the table is rebuilt below as well, or it would keep showing the old rows.
        m_watchlist->clear();
    } else {
        m_watchlist->replace({list.symbols, list.exchanges});
    }
    // The feed learns the new list at the next re-subscription.
    updateUrlDataState();
    updateSymbolsSelectedLabel();
    qDebug().noquote() << "Wishlist loaded:" << m_watchlist->size() << "symbols from" << path;
}
