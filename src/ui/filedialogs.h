#pragma once

#include <QString>
#include <functional>

class QWidget;

// Every file dialog of the program runs through here, as every box runs through the
// message helper. Test seam: setHook() answers each dialog with a path (empty = cancelled)
// instead of showing it; the environment variable VANTREL_FILE_DIALOG_ANSWER=<path> makes
// the real binary answer every file dialog with that path, for unattended runs.
namespace FileDialogs {

enum class Kind { Open, Save };

struct Request
{
    Kind kind;
    QWidget *parent;
    QString caption;
    QString directory;
    QString filter;
};

using Hook = std::function<QString(const Request &request)>;

void setHook(Hook hook);

// QFileDialog::getSaveFileName / getOpenFileName, or the hook's answer.
QString getSaveFileName(QWidget *parent, const QString &caption, const QString &directory,
                        const QString &filter);
QString getOpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                        const QString &filter);

} // namespace FileDialogs
