#pragma once

#include <QDialog>

class QButtonGroup;
class QCheckBox;
class QDialogButtonBox;
class QGroupBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QRadioButton;

// The settings dialog: how AmiBroker is treated at restart and shutdown, fast or slow
// five-day backfill, and the data-mode choice. The main window creates it once, hidden,
// and shows it modally; other parts read the two live flags directly.
class settings : public QDialog
{
    Q_OBJECT

public:
    explicit settings(QWidget *parent = nullptr);

    // Fills the form and the live flags from the settings store.
    void load();

    // Whether the program saves and ends AmiBroker at restart and shutdown. True until
    // the first load, then always the stored "controlAmibroker" value.
    bool controlAmibrokerFlag = true;
    // Whether the five-day backfill runs slowly: the stored "slowBackfill" value.
    bool slowBackfillFlag = false;

private slots:
    void on_buttonBox_accepted();
    void on_buttonBox_rejected();

private:
    void buildForm();
    void applyFonts();

    QGridLayout *gridLayout = nullptr;
    QLabel *label = nullptr;
    QRadioButton *mode1 = nullptr;
    QRadioButton *mode2 = nullptr;
    QGroupBox *backfillGroup = nullptr;
    QHBoxLayout *backfillLayout = nullptr;
    QRadioButton *fastBackfill = nullptr;
    QRadioButton *slowBackfill = nullptr;
    QCheckBox *saveLayout = nullptr;
    QCheckBox *controlAmibroker = nullptr;
    QCheckBox *autoGapFill = nullptr;
    QDialogButtonBox *buttonBox = nullptr;
    QButtonGroup *buttonGroup = nullptr;
    QButtonGroup *backfillButtonGroup = nullptr;
};
