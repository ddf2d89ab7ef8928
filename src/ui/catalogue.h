#pragma once

#include <QString>
#include <QStringList>

// The symbol catalogue's fixed segment table and its search filter: the parts of the
// catalogue that need no window.
namespace Catalogue {

constexpr int kSegmentCount = 9;

// Exchange codes in segment index order: CASH, FUTURE, OPTION, MCX, CURRENCY, SPOTINDEX,
// NCDEX, CMOPT, FOREX.
QStringList segmentCodes();
// Object names of the segment buttons, same order (cashBox ... ForexBox).
QStringList segmentButtonNames();
// Labels the buttons show, same order (four differ from the codes).
QStringList segmentLabels();

// Index of an exchange code, or -1.
int indexOfCode(const QString &code);

// The symbols a search shows: the needle is the text trimmed and upper-cased; an empty
// needle keeps everything, otherwise each symbol whose upper-cased form contains it is
// kept. The catalogue order is kept.
QStringList filter(const QStringList &symbols, const QString &searchText);

} // namespace Catalogue
