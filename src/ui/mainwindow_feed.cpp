// The Connect button and the polling request kept for the watchlist.
#include "ui/mainwindow.h"

#include "amibroker/liveimporter.h"
#include "app/settingskeys.h"
#include "live/livefeed.h"
#include "live/watchlist.h"
#include "platform/installpaths.h"
#include "platform/windowfunctions.h"

#include <QLineEdit>
#include <QPushButton>

void MainWindow::on_connectButton_clicked()
{
    const QString problem = m_feed->start(m_watchlist->symbols(), ui.machineIDLabel->text());
    if (!problem.isEmpty()) {
        showStatusMessage(QStringLiteral("<span style=\"color:#ff0000;\"><b>No live feed: %1</b></span>")
                              .arg(problem.toHtmlEscaped()));
    }
    m_feed->prepareFirstPollingRequest(ui.machineIDLabel->text());
    WindowFunctions::raiseWindowTitled(QStringLiteral("AmiBroker"));
    m_importer->loadDatabase(InstallPaths::databaseDir());
    ui.connectButton->setEnabled(false);
}

void MainWindow::updateUrlDataState()
{
    m_feed->preparePollingRequest(AppSettings().value(SettingsKeys::dataMode, 1).toInt(),
                                  ui.machineIDLabel->text(), m_watchlist->symbols());
    addDisplayTable();
    updateSymbolsSelectedLabel();
}
