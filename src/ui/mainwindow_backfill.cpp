// Backfill slots of the main window. The intraday and end-of-day flows plug in here once
// the backfill downloader exists; the button state handling is already in place.
#include "ui/mainwindow.h"

#include <QDebug>
#include <QPushButton>

void verodezuvivuderaz2::backfillDone()
{
    ui.backfillButton->setEnabled(true);
    ui.backfillButton->setText(QStringLiteral("Backfill"));
}

void verodezuvivuderaz2::responseError()
{
    // The downloader retries on its own; the user may stop the run meanwhile.
    ui.backfillButton->setEnabled(true);
}

void verodezuvivuderaz2::updateProgress2(QString progress, QString speed)
{
    qDebug() << "Backfill progress" << progress << speed << "(intraday backfill not available yet)";
}

void verodezuvivuderaz2::doAutoBackFill()
{
    qDebug() << "Automatic intraday backfill step: not available yet";
}

void verodezuvivuderaz2::backfillButtonClicked(bool clicked)
{
    Q_UNUSED(clicked)
    const QObject *button = sender();
    qDebug() << "One-symbol backfill for" << (button ? button->objectName() : QString())
             << (button ? button->property("exchName").toString() : QString())
             << ": not available yet";
}

void verodezuvivuderaz2::do5DayBackfill()
{
    qDebug() << "Start-up intraday backfill: not available yet";
}

void verodezuvivuderaz2::on_backfillButton_clicked()
{
    qDebug() << "Manual intraday backfill: not available yet";
}

void verodezuvivuderaz2::eodBackfillButton_clicked(QString symbol)
{
    qDebug() << "End-of-day backfill for" << symbol << ": not available yet";
}

void verodezuvivuderaz2::doEodBackfill()
{
    qDebug() << "End-of-day backfill step: not available yet";
}

void verodezuvivuderaz2::eodBackfillDone()
{
    qDebug() << "End-of-day backfill done: not available yet";
}
