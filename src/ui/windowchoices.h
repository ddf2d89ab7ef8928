#pragma once

#include <QList>
#include <QString>

#include <array>

class AppSettings;
class QCheckBox;
class QComboBox;
class QWidget;
class Watchlist;

// The window's own choices in the settings store: which segment buttons were on, and the
// start-up backfill (Autofill and its days). The watchlist itself is the Watchlist's.
namespace WindowChoices {

// The first start of an installation: the store's first-run values are written (Autofill on,
// 5 days) and true is returned, so the window can tick the same in its widgets.
bool takeFirstRun();
// The saved Autofill choice into its two widgets.
void restoreAutofill(QCheckBox *autofill, QComboBox *days);
// Indexes of the segment buttons saved as on.
QList<int> savedSegments();
// Writes the segment buttons, the watchlist and the Autofill choice at close. A store that
// cannot be written (a folder in its place, an immutable file) would lose the session's
// changes without a word: "Settings Not Saved" tells the user, over `parent`.
void saveAtClose(const std::array<bool, 9> &segments, const Watchlist &watchlist, const QCheckBox *autofill,
                 const QComboBox *days, QWidget *parent);

} // namespace WindowChoices
