#pragma once

#include <QMessageBox>
#include <functional>

class QWidget;

// Every modal box of the program runs through here.
// - show(): the main window's message helper (enlarged font, fixed style sheet).
// - exec(): runs any prepared box.
// Test seams: setHook() lets a test read and answer each box (click one of its buttons)
// instead of blocking; the environment variable VANTREL_BOX_LOG=<file> makes the real
// binary append "title|text" of every box to that file and answer it with its default
// button at once, so end-to-end tests can run the process unattended.
namespace MessageHelper {

using Hook = std::function<void(QMessageBox &box)>;

void setHook(Hook hook);

// Runs the box modally and returns what QMessageBox::exec returns.
int exec(QMessageBox &box);

// Applies the helper's look: font enlarged by 3 points and the fixed style sheet.
void applyStyle(QMessageBox &box);

QMessageBox::StandardButton show(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                 const QString &text,
                                 QMessageBox::StandardButtons buttons = QMessageBox::Ok);

} // namespace MessageHelper
