// Status line, uptime overlay and the window's simple buttons.
#include "ui/mainwindow.h"

#include "app/settingskeys.h"
#include "platform/desktop.h"
#include "ui/messagehelper.h"
#include "ui/settingsdialog.h"
#include "ui/uptimetext.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

void verodezuvivuderaz2::showStatusMessage(QString message) { ui.statusLabel->setText(message); }

void verodezuvivuderaz2::setupUptimeOverlay()
{
    m_uptime.start();

    m_uptimeLabel = new QLabel(this);
    m_uptimeLabel->setObjectName(QStringLiteral("uptimeLabel"));
    m_uptimeLabel->setText(QStringLiteral("Uptime: 0:00:00"));
    m_uptimeLabel->setAlignment(Qt::AlignCenter);
    m_uptimeLabel->setStyleSheet(QStringLiteral(
        "QLabel#uptimeLabel { color: #ffffff; background: rgba(0,0,0,0.6); padding: 4px 8px; "
        "border-radius: 4px; font-weight: 600; }"));
    m_uptimeLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_uptimeLabel->adjustSize();
    m_uptimeLabel->show();
    placeUptimeLabel();

    m_uptimeTextTimer = new QTimer(this);
    m_uptimeTextTimer->setInterval(1000);
    connect(m_uptimeTextTimer, &QTimer::timeout, this, [this] { updateUptimeText(); });
    m_uptimeTextTimer->start();

    // Placed on its own beat so the label follows its text as it grows.
    m_uptimePlaceTimer = new QTimer(this);
    m_uptimePlaceTimer->setInterval(500);
    connect(m_uptimePlaceTimer, &QTimer::timeout, this, [this] { placeUptimeLabel(); });
    m_uptimePlaceTimer->start();
}

void verodezuvivuderaz2::updateUptimeText()
{
    m_uptimeLabel->setText(UptimeText::format(m_uptime.elapsed()));
    m_uptimeLabel->adjustSize();
}

void verodezuvivuderaz2::placeUptimeLabel()
{
    m_uptimeLabel->move(UptimeText::cornerPosition(size(), m_uptimeLabel->size(), 2));
}

void verodezuvivuderaz2::on_controlAmibrokerEnabled()
{
    if (m_settingsDialog) {
        m_settingsDialog->controlAmibrokerFlag =
            AppSettings().value(SettingsKeys::controlAmibroker, false).toBool();
    }
}

void verodezuvivuderaz2::on_copyIDButton_clicked()
{
    const QString details = QStringLiteral("Software : Vantrel \nUser ID  : ") + ui.machineIDLabel->text()
                            + QStringLiteral("\nVersion  : ") + QCoreApplication::applicationVersion();
    if (QClipboard *clipboard = QGuiApplication::clipboard())
        clipboard->setText(details);
    MessageHelper::show(this, QMessageBox::Information, QStringLiteral("Software Details"),
                        QStringLiteral("\nYour details copied to clipboard. Right click and Paste to Share\n"));
}

void verodezuvivuderaz2::on_contactSupportButton_clicked()
{
    const QString link = m_contactSupportLink.isEmpty() ? QString::fromUtf8(VANTREL_VENDOR_SITE)
                                                        : m_contactSupportLink;
    // The link comes from the server record: only a web page may be opened, never a file
    // or a program the desktop would start.
    const QUrl url = QUrl::fromUserInput(link);
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        qDebug() << "Support link ignored, not a web address:" << link;
        return;
    }
    Desktop::openUrl(url);
}

void verodezuvivuderaz2::on_amibrokerPathButton_clicked()
{
    if (!m_settingsDialog)
        return;
    m_settingsDialog->load();
    // Re-parenting a dialog must keep its window flags, or it would become a child widget.
    m_settingsDialog->setParent(this, m_settingsDialog->windowFlags());
    m_settingsDialog->exec();
}
