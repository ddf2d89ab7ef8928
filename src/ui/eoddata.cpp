#include "ui/eoddata.h"

#include "app/settingskeys.h"
#include "backfill/backfillrequest.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

eoddata::eoddata(QWidget *parent) : QDialog(parent)
{
    buildForm();

    AppSettings store;
    m_watchlistOnly = store.value(SettingsKeys::selectedSymbolsBackfill, true).toBool();
    selectedSymbolsBackfill->setChecked(m_watchlistOnly);
    const QString lastFeed = store.value(SettingsKeys::lastFeed, QString()).toString();
    if (!lastFeed.isEmpty()) {
        const int index = eodFeedBox->findText(lastFeed, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (index >= 0)
            eodFeedBox->setCurrentIndex(index);
    }
}

void eoddata::buildForm()
{
    setObjectName(QStringLiteral("eoddata"));
    resize(500, 305);
    setMinimumSize(500, 305);
    setMaximumSize(1000, 1000);
    setWindowTitle(QStringLiteral("Vantrel EOD"));
    setWindowIcon(QIcon(QStringLiteral(":/Vantrel.jpg")));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowCloseButtonHint);

    eodBackfillGroup = new QGroupBox(QStringLiteral("EOD Backfill"), this);
    eodBackfillGroup->setObjectName(QStringLiteral("eodBackfillGroup"));
    eodBackfillGroup->setGeometry(40, 50, 421, 171);

    selectedSymbolsBackfill =
        new QCheckBox(QStringLiteral("WatchList Symbol EOD Backfill Only"), eodBackfillGroup);
    selectedSymbolsBackfill->setObjectName(QStringLiteral("selectedSymbolsBackfill"));
    selectedSymbolsBackfill->setGeometry(20, 40, 331, 20);

    endDateLabel = new QLabel(QStringLiteral("Select EOD"), eodBackfillGroup);
    endDateLabel->setObjectName(QStringLiteral("endDateLabel"));
    endDateLabel->setGeometry(20, 80, 81, 16);

    eodDataSelectorBox = new QComboBox(eodBackfillGroup);
    eodDataSelectorBox->setObjectName(QStringLiteral("eodDataSelectorBox"));
    eodDataSelectorBox->setGeometry(20, 100, 111, 42);
    eodDataSelectorBox->addItems({QStringLiteral("recent"), QStringLiteral("currentYear"),
                                  QStringLiteral("pastYears")});

    feedLabel = new QLabel(QStringLiteral("Feed"), eodBackfillGroup);
    feedLabel->setObjectName(QStringLiteral("feedLabel"));
    feedLabel->setGeometry(150, 80, 51, 16);

    eodFeedBox = new QComboBox(eodBackfillGroup);
    eodFeedBox->setObjectName(QStringLiteral("eodFeedBox"));
    eodFeedBox->setGeometry(150, 100, 111, 42);
    eodFeedBox->addItems({QStringLiteral("CASH"), QStringLiteral("FUTURE"), QStringLiteral("COMM"),
                          QStringLiteral("SPOT")});

    backfillButton = new QPushButton(QStringLiteral("Backfill"), eodBackfillGroup);
    backfillButton->setObjectName(QStringLiteral("backfillButton"));
    backfillButton->setGeometry(280, 99, 111, 44);
    backfillButton->setStyleSheet(QStringLiteral("background-color: rgb(0, 170, 255);"));

    QFont font(QStringLiteral("Verdana"));
    font.setPixelSize(14);
    setFont(font);
    for (QWidget *w : findChildren<QWidget *>())
        w->setFont(font);

    QMetaObject::connectSlotsByName(this);
}

void eoddata::on_selectedSymbolsBackfill_clicked(bool checked)
{
    m_watchlistOnly = checked;
    AppSettings().setValue(SettingsKeys::selectedSymbolsBackfill, checked);
}

void eoddata::closeEvent(QCloseEvent *event)
{
    AppSettings store;
    store.setValue(SettingsKeys::selectedSymbolsBackfill, m_watchlistOnly);
    store.setValue(SettingsKeys::lastFeed, eodFeedBox->currentText());
    event->accept();
    deleteLater();
}

void eoddata::on_backfillButton_clicked()
{
    const int period = eodDataSelectorBox->currentIndex() + 1;
    const QString feed = eodFeedBox->currentText();
    m_watchlistOnly = selectedSymbolsBackfill->isChecked();
    AppSettings().setValue(SettingsKeys::lastFeed, feed);
    emit doBackfill(BackfillRequest::eodRequestName(feed, period));
    deleteLater();
}
