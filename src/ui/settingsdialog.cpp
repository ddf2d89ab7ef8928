#include "ui/settingsdialog.h"

#include "app/settingskeys.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDebug>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QRadioButton>

namespace {
const char kControlEnabledSlot[] = "on_controlAmibrokerEnabled";
}

settings::settings(QWidget *parent) : QDialog(parent)
{
    controlAmibrokerFlag = true;
    slowBackfillFlag = false;
    buildForm();
    applyFonts();
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    load();
}

void settings::buildForm()
{
    setObjectName(QStringLiteral("settings"));
    setWindowTitle(QStringLiteral("Settings"));
    setFixedSize(490, 285);

    gridLayout = new QGridLayout(this);
    gridLayout->setObjectName(QStringLiteral("gridLayout"));

    label = new QLabel(QStringLiteral("Data Mode : "), this);
    label->setObjectName(QStringLiteral("label"));
    gridLayout->addWidget(label, 0, 0, 1, 1);

    mode1 = new QRadioButton(QStringLiteral("Server 1"), this);
    mode1->setObjectName(QStringLiteral("mode1"));
    gridLayout->addWidget(mode1, 0, 1, 1, 1);

    mode2 = new QRadioButton(QStringLiteral("Server 2(default)"), this);
    mode2->setObjectName(QStringLiteral("mode2"));
    gridLayout->addWidget(mode2, 0, 2, 1, 1);

    buttonGroup = new QButtonGroup(this);
    buttonGroup->setObjectName(QStringLiteral("buttonGroup"));
    buttonGroup->setExclusive(true);
    buttonGroup->addButton(mode1);
    buttonGroup->addButton(mode2);

    backfillGroup = new QGroupBox(QStringLiteral("Backfill Mode :"), this);
    backfillGroup->setObjectName(QStringLiteral("backfillGroup"));
    backfillGroup->setMaximumHeight(65);
    backfillLayout = new QHBoxLayout(backfillGroup);
    backfillLayout->setObjectName(QStringLiteral("backfillLayout"));
    // Negative left and right keep the style's margins; only the height is tightened.
    backfillLayout->setContentsMargins(-1, 4, -1, 4);

    fastBackfill = new QRadioButton(QStringLiteral("Fast Backfill"), backfillGroup);
    fastBackfill->setObjectName(QStringLiteral("fastBackfill"));
    backfillLayout->addWidget(fastBackfill);
    slowBackfill = new QRadioButton(QStringLiteral("Slow Backfill"), backfillGroup);
    slowBackfill->setObjectName(QStringLiteral("slowBackfill"));
    backfillLayout->addWidget(slowBackfill);
    gridLayout->addWidget(backfillGroup, 1, 0, 1, 4);

    backfillButtonGroup = new QButtonGroup(this);
    backfillButtonGroup->setObjectName(QStringLiteral("backfillButtonGroup"));
    backfillButtonGroup->setExclusive(true);
    backfillButtonGroup->addButton(fastBackfill);
    backfillButtonGroup->addButton(slowBackfill);

    // Row 2, free between the backfill mode and the AmiBroker choices.
    autoGapFill = new QCheckBox(QStringLiteral("Fill gaps after interruptions"), this);
    autoGapFill->setObjectName(QStringLiteral("autoGapFill"));
    gridLayout->addWidget(autoGapFill, 2, 0, 1, 4);

    saveLayout = new QCheckBox(QStringLiteral("Save Layout"), this);
    saveLayout->setObjectName(QStringLiteral("saveLayout"));
    saveLayout->setChecked(true);
    gridLayout->addWidget(saveLayout, 3, 0, 1, 4);

    controlAmibroker = new QCheckBox(QStringLiteral("Control Amibroker From DataFeed"), this);
    controlAmibroker->setObjectName(QStringLiteral("controlAmibroker"));
    controlAmibroker->setChecked(true);
    gridLayout->addWidget(controlAmibroker, 4, 0, 1, 4);

    buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttonBox->setObjectName(QStringLiteral("buttonBox"));
    gridLayout->addWidget(buttonBox, 5, 0, 1, 2);

    // The slots follow the on_<object>_<signal> convention, so every object name above
    // must be set before this.
    QMetaObject::connectSlotsByName(this);
}

void settings::applyFonts()
{
    QFont font(QStringLiteral("Verdana"));
    font.setPixelSize(14);
    setFont(font);
    const auto widgets = findChildren<QWidget *>();
    for (QWidget *w : widgets)
        w->setFont(font);

    // The OK and Cancel buttons keep the form's smaller font. The buttons carry an explicit
    // font from the loop above, so the box's font would not reach them by inheritance.
    const QFont buttonFont(QStringLiteral("Verdana"), 10);
    buttonBox->setFont(buttonFont);
    const auto buttons = buttonBox->findChildren<QWidget *>();
    for (QWidget *w : buttons)
        w->setFont(buttonFont);
}

void settings::load()
{
    AppSettings store;
    saveLayout->setChecked(store.value(SettingsKeys::saveLayout, false).toBool());

    const bool control = store.value(SettingsKeys::controlAmibroker, false).toBool();
    controlAmibroker->setChecked(control);
    controlAmibrokerFlag = control;

    const bool slow = store.value(SettingsKeys::slowBackfill, false).toBool();
    slowBackfill->setChecked(slow);
    fastBackfill->setChecked(!slow);
    slowBackfillFlag = slow;

    autoGapFill->setChecked(store.value(SettingsKeys::autoGapFill, true).toBool());

    // Only the second server pair is offered; the stored mode is rewritten as 2 on OK.
    mode2->setChecked(true);
    mode1->setChecked(false);
}

void settings::on_buttonBox_accepted()
{
    {
        AppSettings store;
        store.setValue(SettingsKeys::saveLayout, saveLayout->isChecked());
        store.setValue(SettingsKeys::controlAmibroker, controlAmibroker->isChecked());
        store.setValue(SettingsKeys::slowBackfill, slowBackfill->isChecked());
        slowBackfillFlag = slowBackfill->isChecked();
        store.setValue(SettingsKeys::autoGapFill, autoGapFill->isChecked());

        // Queued, so the main window refreshes its view of the flag after this handler is
        // done. A parent without that slot (a bare widget) simply gets no call.
        QObject *owner = parent();
        if (controlAmibroker->isChecked() && owner) {
            const QByteArray signature = QByteArray(kControlEnabledSlot) + "()";
            if (owner->metaObject()->indexOfMethod(signature.constData()) >= 0)
                QMetaObject::invokeMethod(owner, kControlEnabledSlot, Qt::QueuedConnection);
            else
                qDebug() << "settings: parent" << owner->metaObject()->className()
                         << "has no slot" << kControlEnabledSlot;
        }

        store.setValue(SettingsKeys::dataMode, 2);
    }
    load();
    close();
}

void settings::on_buttonBox_rejected()
{
    close();
}
