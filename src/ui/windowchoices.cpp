#include "ui/windowchoices.h"

#include "app/settingskeys.h"
#include "live/watchlist.h"
#include "ui/catalogue.h"
#include "ui/messagehelper.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QDir>

namespace WindowChoices {

bool takeFirstRun()
{
    if (!AppSettings().value(SettingsKeys::firstRun, true).toBool())
        return false;
    AppSettings store;
    store.setValue(SettingsKeys::firstRun, false);
    store.setValue(SettingsKeys::autoBackfillChecked, true);
    store.setValue(SettingsKeys::autoFilldays, QStringLiteral("5"));
    store.sync();
    return true;
}

void restoreAutofill(QCheckBox *autofill, QComboBox *days)
{
    AppSettings store;
    autofill->setChecked(store.value(SettingsKeys::autoBackfillChecked, false).toBool());
    days->setCurrentText(store.value(SettingsKeys::autoFilldays, QString()).toString());
}

QList<int> savedSegments()
{
    QList<int> on;
    AppSettings store;
    for (int k = 0; k < Catalogue::kSegmentCount; ++k) {
        if (store.value(SettingsKeys::segmentCheckbox(k), false).toBool())
            on.append(k);
    }
    return on;
}

void saveAtClose(const std::array<bool, 9> &segments, const Watchlist &watchlist, const QCheckBox *autofill,
                 const QComboBox *days, QWidget *parent)
{
    AppSettings store;
    for (int k = 0; k < Catalogue::kSegmentCount; ++k)
        store.setValue(SettingsKeys::segmentCheckbox(k), segments[size_t(k)]);
    watchlist.save(store);
    store.setValue(SettingsKeys::autoBackfillChecked, autofill->isChecked());
    store.setValue(SettingsKeys::autoFilldays, days->currentText());
    store.sync();
    if (store.status() == QSettings::NoError)
        return;
    qDebug().noquote() << "Settings could not be written to" << store.fileName() << "status" << store.status();
    MessageHelper::show(parent, QMessageBox::Warning, QStringLiteral("Settings Not Saved"),
                        QStringLiteral("Your settings could not be written to\n%1\n\n"
                                       "The watchlist and the choices of this session are "
                                       "not kept for the next start.")
                            .arg(QDir::toNativeSeparators(store.fileName())));
}

} // namespace WindowChoices
