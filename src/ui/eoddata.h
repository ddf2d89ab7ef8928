#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

// The end-of-day backfill dialog: a feed, a period and whether only the watchlist's
// symbols are imported. Lives until a request is started or it is closed; the main
// window creates a new one for every click on "EOD".
class eoddata : public QDialog
{
    Q_OBJECT

public:
    explicit eoddata(QWidget *parent = nullptr);

    bool watchlistOnly() const { return m_watchlistOnly; }

signals:
    // Carries the request name, for example "CASH-1.zip".
    void doBackfill(QString symbol);

public slots:
    void on_backfillButton_clicked();
    void on_selectedSymbolsBackfill_clicked(bool checked);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildForm();

    bool m_watchlistOnly = true;
    QGroupBox *eodBackfillGroup = nullptr;
    QCheckBox *selectedSymbolsBackfill = nullptr;
    QLabel *endDateLabel = nullptr;
    QComboBox *eodDataSelectorBox = nullptr;
    QLabel *feedLabel = nullptr;
    QComboBox *eodFeedBox = nullptr;
    QPushButton *backfillButton = nullptr;
};
