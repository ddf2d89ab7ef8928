// Wishlist files: the Save and Load buttons.
#include "ui/mainwindow.h"

#include "amibroker/livedataupdator.h"
#include "platform/installpaths.h"
#include "ui/catalogue.h"
#include "ui/filedialogs.h"
#include "ui/messagehelper.h"
#include "ui/wishlistfile.h"

#include <QDebug>
#include <QFile>
#include <QMessageBox>
#include <QSaveFile>

namespace {

const QString kFilter = QStringLiteral("Vantrel File(*.vn)");

} // namespace

void verodezuvivuderaz2::on_save_list_clicked()
{
    const QString path =
        FileDialogs::getSaveFileName(this, QStringLiteral("Save Wishlist To"), QString(), kFilter);
    if (path.isEmpty())
        return;

    // Save errors are plain warning boxes, not the message helper's enlarged ones.
    auto warn = [this](const QString &text) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Error"), text, QMessageBox::Ok, this);
        MessageHelper::exec(box);
    };
    // QSaveFile would replace a FIFO or a device node with a regular file, and a target in
    // the installation root is one of the program's own files (the user ID among them).
    switch (WishlistFile::checkSaveTarget(path, InstallPaths::rootSlash())) {
    case WishlistFile::PathCheck::NotRegularFile:
        qDebug().noquote() << "Wishlist not saved: the target is not a regular file:" << path;
        warn(QStringLiteral("Failed to open file for writing"));
        return;
    case WishlistFile::PathCheck::InsideInstallation:
        qDebug().noquote() << "Wishlist not saved: the target lies in the installation folder:" << path;
        warn(QStringLiteral("A wishlist cannot be saved inside the installation folder.\n"
                            "Please choose another folder."));
        return;
    default:
        break;
    }
    // Written beside the target and renamed over it at the end, so a failed write never
    // leaves the user with a truncated list in place of the old one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        warn(QStringLiteral("Failed to open file for writing"));
        return;
    }
    const QStringList symbols = m_updator ? m_updator->selectedSymbols : QStringList();
    const QStringList exchanges = m_updator ? m_updator->correspondingExchanges : QStringList();
    file.write(WishlistFile::encrypt(symbols, exchanges));
    if (!file.commit()) {
        warn(QStringLiteral("Failed to write file"));
        return;
    }
    qDebug().noquote() << "Wishlist saved:" << symbols.size() << "symbols to" << path;
}

void verodezuvivuderaz2::on_load_list_2_clicked()
{
    // Without the account's limit no size can be checked; the list stays as it is.
    if (!m_symbolLimitKnown) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Limit Unknown"),
                            QStringLiteral("The symbol limit of your account could not be read.\n"
                                           "The wishlist was not loaded."));
        return;
    }
    const QString path =
        FileDialogs::getOpenFileName(this, QStringLiteral("Import Wishlist"), QString(), kFilter);
    if (path.isEmpty())
        return;

    auto error = [this](const QString &text) {
        MessageHelper::show(this, QMessageBox::Warning, QStringLiteral("Error"), text);
    };
    const QString tooLarge = QStringLiteral("This file is too large to be a wishlist file.");
    // Checked before opening: opening a FIFO for reading waits for a writer for ever.
    const WishlistFile::PathCheck check = WishlistFile::checkLoadSource(path);
    if (check == WishlistFile::PathCheck::TooLarge) {
        qDebug().noquote() << "Wishlist file refused, over" << WishlistFile::kMaxFileSize << "bytes:" << path;
        error(tooLarge);
        return;
    }
    QFile file(path);
    if (check != WishlistFile::PathCheck::Usable || !file.open(QIODevice::ReadOnly)) {
        if (check == WishlistFile::PathCheck::NotRegularFile)
            qDebug().noquote() << "Wishlist file refused, not a regular file:" << path;
        error(QStringLiteral("Failed to open file for reading"));
        return;
    }
    // One byte past the limit is enough to know the file is too large (it may have grown).
    const QByteArray bytes = file.read(WishlistFile::kMaxFileSize + 1);
    file.close();
    if (bytes.size() > WishlistFile::kMaxFileSize) {
        error(tooLarge);
        return;
    }

    WishlistFile::Watchlist list;
    if (!WishlistFile::read(bytes, Catalogue::segmentCodes(), &list)) {
        qDebug() << "Wishlist file refused:" << path << bytes.size() << "bytes";
        error(QStringLiteral("This file is not a wishlist file."));
        return;
    }
    if (!m_updator)
        return;

    m_updator->selectedSymbols = list.symbols;
    m_updator->correspondingExchanges = list.exchanges;
    if (m_symbolLimit < list.symbols.size()) {
        MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Limit Exceeded"),
                            QStringLiteral("Cannot add %1 symbols.\nMaximum limit is %2.")
                                .arg(list.symbols.size())
                                .arg(m_symbolLimit));
        m_updator->selectedSymbols.clear();
        m_updator->correspondingExchanges.clear();
        // The table is rebuilt below as well, or it would keep showing the old rows.
    }
    // The feed learns the new list at the next re-subscription.
    updateUrlDataState();
    updateSymbolsSelectedLabel();
    qDebug().noquote() << "Wishlist loaded:" << m_updator->selectedSymbols.size() << "symbols from" << path;
}
