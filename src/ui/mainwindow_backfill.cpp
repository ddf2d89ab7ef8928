// Backfill slots of the main window: the intraday flow (Backfill button, the rows'
// buttons, the start-up backfill) and the end-of-day flow, both through the one backfill
// downloader.
#include "ui/mainwindow.h"

#include "amibroker/livedataupdator.h"
#include "backfill/backfillimport.h"
#include "backfill/backfillrequest.h"
#include "backfill/gaprepair.h"
#include "backfill/mydownloader.h"
#include "live/symbolmapping.h"
#include "live/watchlist.h"
#include "platform/installpaths.h"
#include "ui/catalogue.h"
#include "ui/eoddata.h"
#include "ui/messagehelper.h"
#include "ui/settingsdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

bool verodezuvivuderaz2::s_backfillWarned = false;

namespace {

const QString kStop = QStringLiteral("Stop");
const QString kBackfill = QStringLiteral("Backfill");

constexpr int kIntradayRequestDelayMs = 50;
constexpr int kEodRequestDelayMs = 10;
constexpr int kRequestTimeoutMs = 90000;
constexpr int kWarningDays = 60;

const char kRunStyle[] =
    "QProgressBar {  border: none;  background: transparent;  text-align: center;  color: white;"
    "  font-weight: normal;}QProgressBar::chunk {  background-color: #28a745;}";

} // namespace

void verodezuvivuderaz2::backfillDone()
{
    ui.backfillButton->setEnabled(true);
    ui.backfillButton->setText(kBackfill);
}

void verodezuvivuderaz2::responseError()
{
    // The downloader retries on its own; the user may stop the run meanwhile.
    ui.backfillButton->setEnabled(true);
    gapRepairRequestFailed();
}

void verodezuvivuderaz2::backfillGivenUp(QString symbol, QString reason, bool forSpace)
{
    // The downloader has written the symbol and the reason to the error log; the run goes
    // on with the next symbol. A refusal for disk space is named with its figures at the
    // end too: it tells the user what to free.
    showStatusMessage(QStringLiteral("Backfill skipped %1: %2").arg(symbol, reason));
    const QString skipped = forSpace ? QStringLiteral("%1 (%2)").arg(symbol, reason) : symbol;
    if (!m_backfillSkipped.contains(skipped))
        m_backfillSkipped.append(skipped);
    if (QProgressBar *bar = ui.progressBarRT)
        bar->setFormat(QStringLiteral("(%1) skipped").arg(symbol));
    backfillDone();
    doAutoBackFill();
}

void verodezuvivuderaz2::eodGivenUp(QString symbol, QString reason)
{
    showStatusMessage(QStringLiteral("EOD Backfill skipped %1: %2").arg(symbol, reason));
    eodBackfillDone();
    if (QProgressBar *bar = ui.progressBarRT)
        bar->setFormat(QStringLiteral("EOD Backfill Failed"));
}

QString verodezuvivuderaz2::chosenBackfillPath() const
{
    const bool slow = m_settingsDialog && m_settingsDialog->slowBackfillFlag;
    return BackfillRequest::chooseBackfillPath(slow, m_txtBackfillPath, m_txtBackfillPath1Min);
}

void verodezuvivuderaz2::queueRowBackfill(const QString &symbol, const QString &days,
                                          const QString &path)
{
    // The request names the server's symbol: the user's name is mapped back first.
    const QString serverSymbol = SymbolMapping::reverseLookup(symbol);
    QString why;
    const QString url = BackfillRequest::intradayUrl(path, userIdText(), secureKey(), days,
                                                     serverSymbol, &why);
    if (!url.isEmpty()) {
        m_updator->backfillQueue.append(url);
        return;
    }
    // A refused setting refuses every row alike: it is named once.
    const bool symbolRefused = why == QLatin1String("unusable symbol");
    const QString reason = symbolRefused ? QStringLiteral("%1 %2").arg(why, symbol) : why;
    if (m_backfillRefused.contains(reason))
        return;
    m_backfillRefused.append(reason);
    QFile log;
    BackfillImport::openLog(&log);
    BackfillImport::logLine(&log, QStringLiteral(" - request not made (%1) for ").arg(why), symbol);
}

void verodezuvivuderaz2::on_backfillButton_clicked()
{
    if (!m_updator)
        return;
    m_updator->backfillQueue.clear();
    m_backfillRefused.clear();
    m_backfillSkipped.clear();
    const QString days = ui.daysBox->currentText();
    const QString path = chosenBackfillPath();
    QTableWidget *table = ui.displayTableWidget;
    for (int row = 0; row < table->rowCount(); ++row) {
        const auto *button = qobject_cast<QPushButton *>(table->cellWidget(row, 3));
        if (button && m_watchlist->contains(button->objectName()))
            queueRowBackfill(button->objectName(), days, path);
    }
    doAutoBackFill();
}

void verodezuvivuderaz2::backfillButtonClicked(bool clicked)
{
    Q_UNUSED(clicked)
    if (!m_updator)
        return;
    m_updator->backfillQueue.clear();
    m_backfillRefused.clear();
    m_backfillSkipped.clear();
    const QObject *button = sender();
    if (!button)
        return;
    const QString symbol = button->objectName();
    const QString exchange = button->property("exchName").toString();
    if (Catalogue::indexOfCode(exchange) < 0
        || !m_watchlist->contains(symbol))
        return;
    queueRowBackfill(symbol, ui.daysBox->currentText(), chosenBackfillPath());
    doAutoBackFill();
}

void verodezuvivuderaz2::do5DayBackfill()
{
    if (!m_updator)
        return;
    const QString path = chosenBackfillPath();
    if (ui.autofillCheckBox->isChecked()) {
        const QString days = ui.autoFilldaysBox->currentText();
        QTableWidget *table = ui.displayTableWidget;
        for (int row = 0; row < table->rowCount(); ++row) {
            if (const auto *button = qobject_cast<QPushButton *>(table->cellWidget(row, 3)))
                queueRowBackfill(button->objectName(), days, path);
        }
    }
    doAutoBackFill();
}

void verodezuvivuderaz2::stopIntradayRun()
{
    MyDownloader *downloader = m_backfillDownloader;
    disconnect(downloader, &MyDownloader::downloadfinished, m_updator.get(),
               &liveDataUpdator::doBackFill);
    disconnect(downloader, &MyDownloader::responseError, this, &verodezuvivuderaz2::responseError);
    disconnect(downloader, &MyDownloader::updateProgress2, this,
               &verodezuvivuderaz2::updateProgress2);
    disconnect(downloader, &MyDownloader::givenUp, this, &verodezuvivuderaz2::backfillGivenUp);
    ui.backfillButton->setText(kBackfill);
    ui.backfillButton->setEnabled(true);
    m_updator->backfillQueue.clear();
    m_backfillRefused.clear();
    m_backfillSkipped.clear();
    downloader->requestTimer()->stop();
    // The transfer in flight, the archiver and the timers end with the run.
    downloader->cancel();
    if (m_gapRepair)
        m_gapRepair->runStopped();
}

void verodezuvivuderaz2::stopBackfillForClose()
{
    if (!m_updator)
        return;
    m_updator->stopBackfill();
    m_updator->backfillQueue.clear();
    disconnect(m_updator.get(), &liveDataUpdator::doAutoBackfill, this,
               &verodezuvivuderaz2::doAutoBackFill);
    disconnect(m_updator.get(), &liveDataUpdator::eodBackfillDone, this,
               &verodezuvivuderaz2::eodBackfillDone);
    if (MyDownloader *downloader = m_backfillDownloader) {
        disconnect(downloader, nullptr, m_updator.get(), nullptr);
        disconnect(downloader, nullptr, this, nullptr);
        downloader->cancel();
    }
}

void verodezuvivuderaz2::doAutoBackFill()
{
    if (m_backfillBusy || !m_updator || !m_backfillDownloader)
        return;
    m_backfillBusy = true;
    ui.backfillButton->setEnabled(false);

    if (!s_backfillWarned) {
        bool isNumber = false;
        const int days = ui.daysBox->currentText().toInt(&isNumber, 10);
        if (isNumber && days > kWarningDays) {
            MessageHelper::show(this, QMessageBox::Warning, QStringLiteral("Performance Warning"),
                                QStringLiteral("Downloading more than 60 days Backfill might slow "
                                               "down performance."));
            s_backfillWarned = true;
        }
    }

    MyDownloader *downloader = m_backfillDownloader;
    if (ui.backfillButton->text() == kStop) {
        stopIntradayRun();
    } else {
        connect(m_updator.get(), &liveDataUpdator::doAutoBackfill, this,
                &verodezuvivuderaz2::doAutoBackFill, Qt::UniqueConnection);
        if (!m_updator->backfillQueue.isEmpty()) {
            const QString url = m_updator->backfillQueue.takeFirst();
            if (!m_backfillStarted) {
                m_backfillStarted = true;
                if (QProgressBar *bar = ui.progressBarRT) {
                    if (!m_backfillStyled) {
                        bar->setTextVisible(true);
                        bar->setStyleSheet(QString::fromLatin1(kRunStyle));
                        m_backfillStyled = true;
                    }
                    bar->setValue(0);
                    bar->setFormat(QStringLiteral("Starting Intraday Backfill..."));
                }
            }
            if (m_gapRepair && m_gapRepair->isRunning()) {
                m_gapRepair->stepStarted(url);
                if (QProgressBar *bar = ui.progressBarRT)
                    bar->setFormat(m_gapRepair->currentProgressText());
            }
            downloader->initialize(BackfillRequest::downloadFileName(userIdText()), url,
                                   InstallPaths::backfillDirTrailing(), 0);
            downloader->requestTimer()->stop();
            connect(downloader, &MyDownloader::downloadfinished, m_updator.get(),
                    &liveDataUpdator::doBackFill, Qt::UniqueConnection);
            connect(downloader, &MyDownloader::responseError, this,
                    &verodezuvivuderaz2::responseError, Qt::UniqueConnection);
            connect(downloader, &MyDownloader::updateProgress2, this,
                    &verodezuvivuderaz2::updateProgress2, Qt::UniqueConnection);
            disconnect(downloader, &MyDownloader::givenUp, this, &verodezuvivuderaz2::eodGivenUp);
            connect(downloader, &MyDownloader::givenUp, this, &verodezuvivuderaz2::backfillGivenUp,
                    Qt::UniqueConnection);
            ui.backfillButton->setEnabled(true);
            ui.backfillButton->setText(kStop);
            downloader->requestTimer()->start(kIntradayRequestDelayMs);
            downloader->timeoutTimer()->setInterval(kRequestTimeoutMs);
            downloader->timeoutTimer()->start();
            m_backfillBusy = false;
            return;
        }
        downloader->requestTimer()->stop();
        const bool repair = m_gapRepair && m_gapRepair->isRunning();
        // A run that could not ask for everything says so instead of "Backfill Done", and
        // one that had to skip symbols names them after it.
        QString endText = repair ? m_gapRepair->endText() : QStringLiteral("Backfill Done");
        if (!m_backfillRefused.isEmpty())
            endText = QStringLiteral("Backfill not requested: ") + m_backfillRefused.join(QStringLiteral("; "));
        else if (!m_backfillSkipped.isEmpty())
            endText += QStringLiteral(" (skipped: %1)").arg(m_backfillSkipped.join(QStringLiteral(", ")));
        if (QProgressBar *bar = ui.progressBarRT) {
            bar->setValue(100);
            bar->setFormat(endText.left(200));
        }
        if (!m_backfillRefused.isEmpty() || !m_backfillSkipped.isEmpty())
            showStatusMessage(endText);
        m_backfillRefused.clear();
        m_backfillSkipped.clear();
        qDebug().noquote() << (repair ? "Gap repair run complete:" : "Intraday backfill run complete:")
                           << endText;
        ui.backfillButton->setText(kBackfill);
        ui.backfillButton->setEnabled(true);
        if (repair)
            m_gapRepair->runCompleted();
    }
    noteBackfillIdle();
    m_backfillStarted = false;
    m_backfillStyled = false;
    m_backfillBusy = false;
}

void verodezuvivuderaz2::updateProgress2(QString progress, QString speed)
{
    QProgressBar *bar = ui.progressBarRT;
    if (!bar)
        return;
    bar->setValue(BackfillRequest::intradayProgressValue(progress));
    QString symbol;
    if (const auto *downloader = qobject_cast<const MyDownloader *>(sender()))
        symbol = BackfillRequest::symbolOfUrl(downloader->url().toString());
    if (m_gapRepair && m_gapRepair->isRunning())
        bar->setFormat(m_gapRepair->currentProgressText());
    else
        bar->setFormat(BackfillRequest::intradayProgressText(symbol, speed));
}

void verodezuvivuderaz2::on_pushButton_clicked()
{
    auto *dialog = new eoddata(this);
    dialog->setModal(true);
    connect(dialog, &eoddata::doBackfill, this, &verodezuvivuderaz2::eodBackfillButton_clicked);
    dialog->show();
}

void verodezuvivuderaz2::eodBackfillButton_clicked(QString symbol)
{
    if (!m_updator || !m_backfillDownloader)
        return;
    if (const auto *dialog = qobject_cast<const eoddata *>(sender()))
        m_updator->eodWatchlistOnly = dialog->watchlistOnly();

    MyDownloader *downloader = m_backfillDownloader;
    disconnect(downloader, nullptr, m_updator.get(), nullptr);
    disconnect(downloader, nullptr, this, nullptr);

    const bool stopping = ui.backfillButton->text() == kStop;
    downloader->requestTimer()->stop();
    QProgressBar *bar = ui.progressBarRT;
    if (stopping) {
        downloader->cancel();
        if (m_gapRepair && m_gapRepair->isRunning()) {
            m_updator->backfillQueue.clear();
            m_gapRepair->runStopped();
        }
        ui.backfillButton->setText(kBackfill);
        ui.backfillButton->setEnabled(true);
        if (bar)
            bar->setFormat(QStringLiteral("Backfill Stopped"));
        return;
    }

    const QString url = BackfillRequest::eodUrl(&m_oneDayUrl, symbol);
    if (bar) {
        bar->setValue(0);
        bar->setFormat(QStringLiteral("Starting EOD Backfill..."));
    }
    downloader->initialize(QStringLiteral("backfilldata.zip"), url,
                           InstallPaths::backfillDirTrailing(), 0);
    connect(downloader, &MyDownloader::downloadfinished, this, &verodezuvivuderaz2::doEodBackfill,
            Qt::UniqueConnection);
    connect(downloader, &MyDownloader::downloadfinished, downloader->requestTimer(), &QTimer::stop,
            Qt::UniqueConnection);
    connect(downloader, &MyDownloader::responseError, this, &verodezuvivuderaz2::responseError,
            Qt::UniqueConnection);
    connect(downloader, &MyDownloader::updateProgress2, this, &verodezuvivuderaz2::eodProgress,
            Qt::UniqueConnection);
    connect(downloader, &MyDownloader::givenUp, this, &verodezuvivuderaz2::eodGivenUp,
            Qt::UniqueConnection);
    connect(m_updator.get(), &liveDataUpdator::eodBackfillDone, this,
            &verodezuvivuderaz2::eodBackfillDone, Qt::UniqueConnection);
    ui.backfillButton->setEnabled(true);
    ui.backfillButton->setText(kStop);
    downloader->requestTimer()->start(kEodRequestDelayMs);
}

void verodezuvivuderaz2::eodProgress(QString progress, QString speed)
{
    QProgressBar *bar = ui.progressBarRT;
    if (!bar)
        return;
    bar->setFormat(QStringLiteral("Downloading: %1 (%2)").arg(progress, speed));
    const int value = BackfillRequest::eodProgressValue(progress);
    if (value >= 0)
        bar->setValue(value);
}

void verodezuvivuderaz2::doEodBackfill()
{
    if (!m_updator)
        return;
    // The worker's thread body only posts the import back to this thread.
    m_updator->mode = 1;
    m_updator->start();
}

void verodezuvivuderaz2::eodBackfillDone()
{
    if (QProgressBar *bar = ui.progressBarRT) {
        bar->setValue(100);
        bar->setFormat(QStringLiteral("EOD Backfill Done"));
    }
    ui.backfillButton->setText(kBackfill);
    ui.backfillButton->setEnabled(true);
    if (m_backfillDownloader && m_updator) {
        disconnect(m_backfillDownloader, &MyDownloader::downloadfinished, this,
                   &verodezuvivuderaz2::doEodBackfill);
        disconnect(m_backfillDownloader, &MyDownloader::givenUp, this, &verodezuvivuderaz2::eodGivenUp);
        connect(m_backfillDownloader, &MyDownloader::downloadfinished, m_updator.get(),
                &liveDataUpdator::doBackFill, Qt::UniqueConnection);
    }
    QFile::remove(InstallPaths::backfillZip());
    noteBackfillIdle();
}
