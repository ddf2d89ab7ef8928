#pragma once

class QCheckBox;
class QComboBox;
class QDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTableWidget;
class QTextEdit;
class QWidget;

// The main window's widgets, built in code with fixed pixel geometry. Every widget is a
// child of the window (or of one of its group boxes), so the window owns them all; this
// struct only keeps the pointers.
struct MainWindowForm
{
    QPushButton *contactSupportButton = nullptr;
    QGroupBox *realTimeDataGroupBox = nullptr;
    QRadioButton *cashBox = nullptr;
    QRadioButton *futureBox = nullptr;
    QRadioButton *optionBox = nullptr;
    QRadioButton *commBox = nullptr;
    QRadioButton *currBox = nullptr;
    QRadioButton *spotBox = nullptr;
    QRadioButton *SXOPTBox = nullptr;
    QRadioButton *SXOPTBox2 = nullptr;
    QRadioButton *ForexBox = nullptr;
    QPushButton *copyIDButton = nullptr;
    QPushButton *amibrokerPathButton = nullptr;
    QPushButton *restartButton = nullptr;
    QGroupBox *backfillGroup = nullptr;
    QComboBox *daysBox = nullptr;
    QPushButton *backfillButton = nullptr;
    QLabel *softwareIDLabel = nullptr;
    QLabel *statusLabel = nullptr;
    QPushButton *connectButton = nullptr;
    QProgressBar *progressBar = nullptr;
    QProgressBar *progressBarRT = nullptr;
    QLineEdit *machineIDLabel = nullptr;
    QLabel *label_2 = nullptr;
    QTextEdit *messageBox = nullptr;
    QPushButton *pushButton = nullptr;
    QListWidget *symbolsListWidget = nullptr;
    QPushButton *selectAll = nullptr;
    QPushButton *selectNone = nullptr;
    QPushButton *addSelected = nullptr;
    QTableWidget *displayTableWidget = nullptr;
    QPushButton *DeleteAll = nullptr;
    QPushButton *save_list = nullptr;
    QPushButton *load_list_2 = nullptr;
    QGroupBox *backfillGroup_3 = nullptr;
    QCheckBox *autofillCheckBox = nullptr;
    QComboBox *autoFilldaysBox = nullptr;
    QPushButton *MappingButton = nullptr;
    QLabel *SymbolsSelected = nullptr;
    QPushButton *dataHealthButton = nullptr;
    QLabel *dataHealthLabel = nullptr;
    QLineEdit *machineIDLabel_2 = nullptr;

    // Builds every widget in the form's order and ends with connect-by-name, so the
    // window's "on_<object>_<signal>" slots are wired.
    void setupUi(QDialog *window);

    // The segment buttons in segment index order (CASH ... FOREX).
    QRadioButton *segmentButton(int index) const;

    // The adjustments made after building: search box, one font for the window and every
    // descendant, pop-up sizes.
    void applyAdjustments(QDialog *window);
};
