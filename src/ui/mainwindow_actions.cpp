// Status line and the window's simple buttons.
#include "ui/mainwindow.h"

#include "app/settingskeys.h"
#include "platform/desktop.h"
#include "ui/messagehelper.h"
#include "ui/settingsdialog.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

void MainWindow::showStatusMessage(QString message) { ui.statusLabel->setText(message); }

void MainWindow::on_controlAmibrokerEnabled()
{
    if (m_settingsDialog) {
        m_settingsDialog->controlAmibrokerFlag =
            AppSettings().value(SettingsKeys::controlAmibroker, false).toBool();
    }
}

void MainWindow::on_copyIDButton_clicked()
{
    const QString details = QStringLiteral("Software : Vantrel \nUser ID  : ") + ui.machineIDLabel->text()
                            + QStringLiteral("\nVersion  : ") + QCoreApplication::applicationVersion();
    if (QClipboard *clipboard = QGuiApplication::clipboard())
        clipboard->setText(details);
    MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Software Details"),
                        QStringLiteral("\nYour details copied to clipboard. Right click and Paste to Share\n"));
}

void MainWindow::on_contactSupportButton_clicked()
{
    Desktop::openWebLink(m_contactSupportLink.isEmpty() ? QString::fromUtf8(VANTREL_VENDOR_SITE) : m_contactSupportLink);
}

void MainWindow::on_amibrokerPathButton_clicked()
{
    if (!m_settingsDialog)
        return;
    m_settingsDialog->load();
    // Re-parenting a dialog must keep its window flags, or it would become a child widget.
    m_settingsDialog->setParent(this, m_settingsDialog->windowFlags());
    m_settingsDialog->exec();
}
