// Backfill in the main window: its buttons (Backfill, the rows' buttons, the start-up
// backfill, the EOD dialog's request) call the backfill run, and the run's signals show
// in the button, the progress bar and the status line.
#include "ui/mainwindow.h"

#include "backfill/backfillrequest.h"
#include "backfill/backfillrun.h"
#include "live/watchlist.h"
#include "ui/catalogue.h"
#include "ui/eoddata.h"
#include "ui/messagehelper.h"
#include "ui/settingsdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>

bool MainWindow::s_backfillWarned = false;

namespace {

constexpr int kWarningDays = 60;

const char kRunStyle[] =
    "QProgressBar {  border: none;  background: transparent;  text-align: center;  color: white;"
    "  font-weight: normal;}QProgressBar::chunk {  background-color: #28a745;}";

} // namespace

void MainWindow::setupBackfillRun()
{
    BackfillRun::Source source;
    source.userId = [this] { return userIdText(); };
    source.secureKey = [this] { return secureKey(); };
    source.backfillPath = [this] {
        const bool slow = m_settingsDialog && m_settingsDialog->slowBackfillFlag;
        return BackfillRequest::chooseBackfillPath(slow, m_txtBackfillPath, m_txtBackfillPath1Min);
    };
    source.watchlist = [this] { return m_watchlist->symbols(); };
    m_backfill = new BackfillRun(std::move(source), this);
    connect(m_backfill, &BackfillRun::activeChanged, this, &MainWindow::showBackfillActive);
    connect(m_backfill, &BackfillRun::intradayStarted, this, [this] {
        ui.progressBarRT->setTextVisible(true);
        ui.progressBarRT->setStyleSheet(QString::fromLatin1(kRunStyle));
    });
    connect(m_backfill, &BackfillRun::progress, this, &MainWindow::showBackfillProgress);
    connect(m_backfill, &BackfillRun::statusText, this, &MainWindow::showStatusMessage);
}

QStringList MainWindow::backfillRows(bool watchlistOnly) const
{
    // A row takes part when its column 3 holds its "Backfill" button, named after the symbol.
    QStringList symbols;
    for (int row = 0; row < ui.displayTableWidget->rowCount(); ++row) {
        const auto *button = qobject_cast<QPushButton *>(ui.displayTableWidget->cellWidget(row, 3));
        if (button && (!watchlistOnly || m_watchlist->contains(button->objectName())))
            symbols.append(button->objectName());
    }
    return symbols;
}

void MainWindow::warnAboutLongBackfill()
{
    bool isNumber = false;
    const int days = ui.daysBox->currentText().toInt(&isNumber, 10);
    if (s_backfillWarned || !isNumber || days <= kWarningDays)
        return;
    MessageHelper::show(this, QMessageBox::Warning, QStringLiteral("Performance Warning"),
                        QStringLiteral("Downloading more than 60 days Backfill might slow down performance."));
    s_backfillWarned = true;
}

void MainWindow::backfillOrStop(const QStringList &symbols, const QString &days)
{
    if (!m_backfill)
        return;
    if (!m_backfill->isIdle()) {
        m_backfill->stop();
        return;
    }
    warnAboutLongBackfill();
    m_backfill->startIntraday(symbols, days);
}

void MainWindow::on_backfillButton_clicked() { backfillOrStop(backfillRows(true), ui.daysBox->currentText()); }

void MainWindow::backfillButtonClicked(bool clicked)
{
    Q_UNUSED(clicked)
    const QObject *button = sender();
    const QString symbol = button ? button->objectName() : QString();
    const bool usable = button && Catalogue::indexOfCode(button->property("exchName").toString()) >= 0
                        && m_watchlist->contains(symbol);
    if (usable || (m_backfill && !m_backfill->isIdle()))
        backfillOrStop({symbol}, ui.daysBox->currentText());
}

void MainWindow::do5DayBackfill()
{
    backfillOrStop(ui.autofillCheckBox->isChecked() ? backfillRows(false) : QStringList(),
                   ui.autoFilldaysBox->currentText());
}

void MainWindow::on_pushButton_clicked()
{
    auto *dialog = new eoddata(this);
    dialog->setModal(true);
    connect(dialog, &eoddata::doBackfill, this, &MainWindow::eodBackfillButton_clicked);
    dialog->show();
}

void MainWindow::eodBackfillButton_clicked(QString symbol)
{
    if (!m_backfill)
        return;
    if (!m_backfill->isIdle()) {
        m_backfill->stop();
        showBackfillProgress(-1, QStringLiteral("Backfill Stopped"));
        return;
    }
    const auto *dialog = qobject_cast<const eoddata *>(sender());
    m_backfill->startEod(symbol, !dialog || dialog->watchlistOnly());
}

void MainWindow::showBackfillActive(bool active)
{
    ui.backfillButton->setText(active ? QStringLiteral("Stop") : QStringLiteral("Backfill"));
    ui.backfillButton->setEnabled(true);
}

void MainWindow::showBackfillProgress(int value, QString text)
{
    if (value >= 0)
        ui.progressBarRT->setValue(value);
    ui.progressBarRT->setFormat(text);
}
