#include "update/updaterecovery.h"

#include "platform/filereplace_core.h"
#include "platform/installjournal_core.h"
#include "platform/installpaths.h"

#include <QDebug>
#include <QFileInfo>

namespace UpdateRecovery {

namespace {
std::filesystem::path fsPath(const QString &path)
{
    return std::filesystem::u8path(path.toUtf8().toStdString());
}
} // namespace

bool pending()
{
    const QFileInfo journal(InstallPaths::rootSlash() + QLatin1Char('/') + QLatin1String(filereplace::journalName()));
    return journal.exists() || journal.isSymLink();
}

bool finishInterruptedInstall()
{
    if (!pending())
        return true;
    const filereplace::Recovery r =
        filereplace::recover(fsPath(InstallPaths::updateStagingDir()), fsPath(InstallPaths::rootSlash()));
    const QString why = QString::fromStdString(r.error);
    if (r.refused) {
        qDebug().noquote() << "UpdateRecovery: install journal refused and removed, nothing moved:" << why;
        return true;
    }
    if (!r.ok) {
        qDebug().noquote() << "UpdateRecovery: the interrupted install could not be carried out; kept for the next start:"
                           << why;
        return false;
    }
    if (r.rolledForward)
        qDebug() << "UpdateRecovery: the interrupted install was finished";
    else
        qDebug().noquote() << "UpdateRecovery: the interrupted install was undone:" << why;
    for (const std::string &kept : r.keptAside)
        qDebug().noquote() << "UpdateRecovery: in use, removed at the next start:" << QString::fromStdString(kept);
    return true;
}

} // namespace UpdateRecovery
