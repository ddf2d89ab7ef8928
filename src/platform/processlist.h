#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The machine's process list, as the single-instance check of the main window reads it.
// On Windows it is the standard output of "tasklist"; elsewhere an equivalent listing is
// built from /proc (one line per process: image name, then process ID).
namespace ProcessList {

// Raw listing bytes. Empty when the listing cannot be obtained in time (the check then
// lets the program start).
QByteArray snapshot();

// The listing as the check reads it: bytes up to the first zero byte as Latin-1 text,
// runs of white space collapsed to single blanks.
QString snapshotText();
QString listingText(const QByteArray &output);

// How many running copies of this program the listing shows. Counts image names that
// start with "Vantrel" (any letter case) followed only by letters or digits and an
// optional ".exe": "Vantrel.exe", "VantrelNew.exe" and "Vantrel" count, while our own
// tools such as "vantrel-devserver" do not.
int countInstances(const QByteArray &output);

// Standard output of `program`, or empty when it cannot be started or has not finished
// within `budgetMs` counted from the call: one limit for starting and running together, so
// a slow start leaves less time to run. A program over its budget is killed.
QByteArray runWithin(const QString &program, const QStringList &arguments, int budgetMs);

// True when one image name (a single blank-free token) is a copy of this program.
bool isInstanceImageName(const QString &imageName);

} // namespace ProcessList
