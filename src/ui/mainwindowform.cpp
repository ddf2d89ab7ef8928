#include "ui/mainwindowform.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTextEdit>

// Resources live in the GUI library; a static library's resources must be registered by
// hand, and the macro may only be used outside any namespace.
static void initGuiResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

void ensureResources()
{
    static const bool registered = (initGuiResources(), true);
    Q_UNUSED(registered)
}

const QString kDarkBlueButton = QStringLiteral("background-color: rgb(0, 79, 116);\ncolor: rgb(244, 244, 244);");
const QString kDarkBlueButtonNl = QStringLiteral("background-color: rgb(0, 79, 116);\ncolor: rgb(244, 244, 244);\n");
const QString kListButton = QStringLiteral("background-color: rgb(215, 218, 255);");
const QString kLightButton = QStringLiteral("background-color: rgb(244, 244, 244);");
const QString kProgressText = QStringLiteral("color: rgb(255, 255, 255);");
const QString kWhiteBackground = QStringLiteral("background-color: rgb(255, 255, 255);");

template <typename W>
W *make(QWidget *parent, const char *name, int x, int y, int w, int h)
{
    auto *widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

QPushButton *button(QWidget *parent, const char *name, int x, int y, int w, int h,
                    const QString &text, const QString &style)
{
    auto *b = make<QPushButton>(parent, name, x, y, w, h);
    b->setText(text);
    b->setStyleSheet(style);
    return b;
}

QRadioButton *segment(QWidget *parent, const char *name, int x, const QString &text, int w)
{
    auto *r = make<QRadioButton>(parent, name, x, 20, w, 17);
    r->setText(text);
    return r;
}

QLabel *label(QWidget *parent, const char *name, int x, int y, int w, int h, const QString &text)
{
    auto *l = make<QLabel>(parent, name, x, y, w, h);
    l->setText(text);
    return l;
}

QProgressBar *progress(QWidget *parent, const char *name, int x, int y, int w, int h)
{
    auto *p = make<QProgressBar>(parent, name, x, y, w, h);
    p->setValue(0);
    p->setTextVisible(true);
    p->setAlignment(Qt::AlignCenter);
    p->setStyleSheet(kProgressText);
    return p;
}

} // namespace

void MainWindowForm::setupUi(QDialog *window)
{
    ensureResources();

    window->setObjectName(QStringLiteral("verodezuvivuderaz2"));
    window->resize(800, 578);
    window->setMinimumSize(800, 578);
    window->setMaximumSize(800, 578);
    window->setWindowIcon(QIcon(QStringLiteral(":/Vantrel.jpg")));
    window->setWindowOpacity(0.97);
    window->setStyleSheet(QStringLiteral(
        "border-color: rgb(170, 170, 255);\nbackground-color: rgb(43, 172, 201);\n"));

    contactSupportButton = button(window, "contactSupportButton", 602, 20, 85, 62,
                                  QStringLiteral("Support"),
                                  QStringLiteral("background-color: rgb(0, 0, 0);\ncolor: rgb(255, 255, 255);"));

    realTimeDataGroupBox = make<QGroupBox>(window, "realTimeDataGroupBox", 21, 81, 757, 51);
    realTimeDataGroupBox->setTitle(QStringLiteral("Feeds"));
    cashBox = segment(realTimeDataGroupBox, "cashBox", 17, QStringLiteral("CASH"), 61);
    futureBox = segment(realTimeDataGroupBox, "futureBox", 97, QStringLiteral("FUTURE"), 78);
    optionBox = segment(realTimeDataGroupBox, "optionBox", 187, QStringLiteral("OPTION"), 78);
    commBox = segment(realTimeDataGroupBox, "commBox", 277, QStringLiteral("COMM"), 71);
    currBox = segment(realTimeDataGroupBox, "currBox", 447, QStringLiteral("CURR"), 61);
    spotBox = segment(realTimeDataGroupBox, "spotBox", 517, QStringLiteral("SPOT"), 61);
    SXOPTBox = segment(realTimeDataGroupBox, "SXOPTBox", 587, QStringLiteral("SXOPT"), 71);
    SXOPTBox2 = segment(realTimeDataGroupBox, "SXOPTBox2", 357, QStringLiteral("CMOPT"), 71);
    ForexBox = segment(realTimeDataGroupBox, "ForexBox", 677, QStringLiteral("FOREX"), 71);

    copyIDButton = button(window, "copyIDButton", 448, 20, 78, 62, QStringLiteral("Copy ID"),
                          kDarkBlueButtonNl);
    amibrokerPathButton = button(window, "amibrokerPathButton", 20, 20, 90, 62,
                                 QStringLiteral("Settings"), kDarkBlueButton);
    restartButton = button(window, "restartButton", 114, 20, 75, 62, QStringLiteral("Restart"),
                           kDarkBlueButtonNl);

    backfillGroup = make<QGroupBox>(window, "backfillGroup", 282, 14, 160, 67);
    backfillGroup->setTitle(QStringLiteral("Backfill Days"));
    daysBox = make<QComboBox>(backfillGroup, "daysBox", 10, 17, 55, 41);
    daysBox->addItems({QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("5"),
                       QStringLiteral("10"), QStringLiteral("15"), QStringLiteral("20"),
                       QStringLiteral("30"), QStringLiteral("60"), QStringLiteral("90"),
                       QStringLiteral("120")});
    backfillButton = button(backfillGroup, "backfillButton", 70, 17, 80, 41,
                            QStringLiteral("Backfill"), kDarkBlueButtonNl);

    softwareIDLabel = label(window, "softwareIDLabel", 20, 474, 71, 31, QStringLiteral("USER ID :"));
    statusLabel = label(window, "statusLabel", 680, 518, 101, 31,
                        QStringLiteral("Connected / Disconnected"));
    connectButton = make<QPushButton>(window, "connectButton", 30, 500, 16, 23);
    connectButton->setText(QStringLiteral("Connect"));

    progressBar = progress(window, "progressBar", 270, 350, 71, 32);
    progressBarRT = progress(window, "progressBarRT", 270, 430, 291, 38);

    machineIDLabel = make<QLineEdit>(window, "machineIDLabel", 100, 474, 355, 31);
    machineIDLabel->setReadOnly(true);
    label_2 = label(window, "label_2", 20, 520, 71, 20, QStringLiteral("Messages :"));

    messageBox = make<QTextEdit>(window, "messageBox", 100, 518, 551, 31);
    messageBox->setReadOnly(true);
    messageBox->setLineWidth(0);
    messageBox->setAlignment(Qt::AlignCenter); // the empty first paragraph is centred

    pushButton = button(window, "pushButton", 530, 20, 68, 62, QStringLiteral("EOD"),
                        QStringLiteral("background-color: rgb(170, 0, 0);\ncolor: rgb(238, 238, 238);"));

    symbolsListWidget = make<QListWidget>(window, "symbolsListWidget", 20, 168, 241, 230);
    symbolsListWidget->setStyleSheet(kWhiteBackground);
    selectAll = button(window, "selectAll", 20, 403, 119, 32, QStringLiteral("Select All"), kListButton);
    selectNone = button(window, "selectNone", 141, 403, 120, 32, QStringLiteral("None"), kListButton);
    addSelected = button(window, "addSelected", 20, 436, 241, 32, QStringLiteral("Add Symbol"), kListButton);

    displayTableWidget = make<QTableWidget>(window, "displayTableWidget", 270, 134, 509, 293);
    displayTableWidget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    displayTableWidget->setStyleSheet(kWhiteBackground);

    DeleteAll = button(window, "DeleteAll", 690, 473, 91, 40, QStringLiteral("Delete All"),
                       QStringLiteral("background-color: rgb(157, 0, 0);\ncolor: rgb(255, 255, 255);"));
    save_list = button(window, "save_list", 638, 430, 70, 38, QStringLiteral("Save"), kLightButton);
    load_list_2 = button(window, "load_list_2", 710, 430, 70, 38, QStringLiteral("Load"), kLightButton);

    backfillGroup_3 = make<QGroupBox>(window, "backfillGroup_3", 194, 20, 81, 62);
    backfillGroup_3->setTitle(QString());
    autofillCheckBox = make<QCheckBox>(backfillGroup_3, "autofillCheckBox", 6, 6, 71, 16);
    autofillCheckBox->setText(QStringLiteral("Autofill"));
    autoFilldaysBox = make<QComboBox>(backfillGroup_3, "autoFilldaysBox", 10, 29, 50, 25);
    autoFilldaysBox->addItems({QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("5"),
                               QStringLiteral("7"), QStringLiteral("10"), QStringLiteral("20"),
                               QStringLiteral("30")});

    MappingButton = button(window, "MappingButton", 566, 430, 70, 38, QStringLiteral("Mapping"),
                           kDarkBlueButton);
    SymbolsSelected = label(window, "SymbolsSelected", 620, 474, 61, 31, QStringLiteral("S"));
    machineIDLabel_2 = make<QLineEdit>(window, "machineIDLabel_2", 20, 134, 241, 31);
    // Whether today's charts are whole: the summary line and the table behind it.
    dataHealthButton = button(window, "dataHealthButton", 466, 474, 130, 31, QStringLiteral("Data Health"),
                              kDarkBlueButton);
    dataHealthLabel = label(window, "dataHealthLabel", 20, 553, 630, 22, QString());

    QMetaObject::connectSlotsByName(window);
}

QRadioButton *MainWindowForm::segmentButton(int index) const
{
    switch (index) {
    case 0: return cashBox;
    case 1: return futureBox;
    case 2: return optionBox;
    case 3: return commBox;
    case 4: return currBox;
    case 5: return spotBox;
    case 6: return SXOPTBox;
    case 7: return SXOPTBox2;
    case 8: return ForexBox;
    default: return nullptr;
    }
}

void MainWindowForm::applyAdjustments(QDialog *window)
{
    machineIDLabel_2->setStyleSheet(QStringLiteral("QLineEdit { background-color: white; }"));
    machineIDLabel_2->setPlaceholderText(QStringLiteral("Type symbol name to search..."));
    machineIDLabel_2->setClearButtonEnabled(true);
    machineIDLabel_2->setToolTip(QStringLiteral("Search symbols by typing name"));
    machineIDLabel_2->setReadOnly(false);

    // A segment can hold close to two hundred thousand contracts: every row has the same
    // height, and saying so spares the view from measuring each one before it paints.
    symbolsListWidget->setUniformItemSizes(true);

    // Pop-up sizes first: they make the combo boxes build their pop-up lists, which must
    // exist when the font goes onto every descendant.
    daysBox->setMaxVisibleItems(20);
    autoFilldaysBox->setMaxVisibleItems(10);

    QFont verdana(QStringLiteral("Verdana"));
    verdana.setPixelSize(13);
    window->setFont(verdana);
    // Two passes: under the window's style sheet, giving a combo box's pop-up (a window of
    // its own) a font re-polishes that pop-up and resets the fonts of its list and scroll
    // bars; the second pass finds the pop-up settled and the fonts stay.
    for (int pass = 0; pass < 2; ++pass) {
        const QList<QWidget *> descendants = window->findChildren<QWidget *>();
        for (QWidget *w : descendants)
            w->setFont(verdana);
    }
}
