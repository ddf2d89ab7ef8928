#include "ui/filedialogs.h"

#include <QFileDialog>

namespace FileDialogs {

static Hook &hook()
{
    static Hook h;
    return h;
}

void setHook(Hook h) { hook() = std::move(h); }

static QString ask(const Request &request)
{
    if (hook())
        return hook()(request);
    // Unattended runs of the real binary (end-to-end tests) answer every dialog at once.
    if (qEnvironmentVariableIsSet("VANTREL_FILE_DIALOG_ANSWER"))
        return qEnvironmentVariable("VANTREL_FILE_DIALOG_ANSWER");
    if (request.kind == Kind::Save)
        return QFileDialog::getSaveFileName(request.parent, request.caption, request.directory,
                                            request.filter);
    return QFileDialog::getOpenFileName(request.parent, request.caption, request.directory,
                                        request.filter);
}

QString getSaveFileName(QWidget *parent, const QString &caption, const QString &directory,
                        const QString &filter)
{
    return ask({Kind::Save, parent, caption, directory, filter});
}

QString getOpenFileName(QWidget *parent, const QString &caption, const QString &directory,
                        const QString &filter)
{
    return ask({Kind::Open, parent, caption, directory, filter});
}

} // namespace FileDialogs
