// The Mapping button: the symbol mapping dialog, modal to the window.
#include "ui/mainwindow.h"

#include "live/watchlist.h"
#include "ui/messagehelper.h"
#include "ui/symbolmappingdialog.h"

#include <QMessageBox>
#include <QPushButton>
#include <exception>

void MainWindow::on_MappingButton_clicked()
{
    QPushButton *button = ui.MappingButton;
    button->setEnabled(false);
    // Enabled again however the dialog ends, a failure included.
    struct Reenable
    {
        QPushButton *button;
        ~Reenable() { button->setEnabled(true); }
    } reenable{button};

    try {
        SymbolMappingDialog dialog(this);
        dialog.setFollowedSymbols(m_watchlist->symbols());
        dialog.exec();
    } catch (const std::exception &e) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Mapping - Error"),
                        QStringLiteral("Unexpected error: %1").arg(QString::fromLocal8Bit(e.what())),
                        QMessageBox::Ok, this);
        MessageHelper::exec(box);
    } catch (...) {
        MessageHelper::show(this, QMessageBox::Critical, QStringLiteral("Mapping - Error"),
                            QStringLiteral("Unknown error while opening mapping dialog"));
    }
}
