#include "update/updateleftovers.h"

#include "platform/filereplace_core.h"
#include "platform/installpaths.h"
#include "update/updaterecovery.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace UpdateLeftovers {

void removePackageAndStaging()
{
    const QString root = InstallPaths::rootSlash();
    QDir dir(root);
    if (!dir.exists())
        return;
    const QString package = QFileInfo(InstallPaths::updateZip()).fileName();
    // The package, a partial download kept under a temporary name, and the staging
    // folders of the unpacking (including those of builds that staged in the root).
    const QRegularExpression partial(QStringLiteral("^") + QRegularExpression::escape(package)
                                     + QStringLiteral("\\.[A-Za-z0-9]{6}$"));
    const QRegularExpression staging(QStringLiteral("^\\.") + QRegularExpression::escape(QFileInfo(root).fileName())
                                     + QStringLiteral("-staging-[A-Za-z0-9]{6}$"));
    // An install the next start must still finish needs its staged files.
    const bool journal = UpdateRecovery::pending();
    const QFileInfoList entries = dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &fi : entries) {
        const QString name = fi.fileName();
        bool removed = true;
        if ((name == package || partial.match(name).hasMatch()) && (!fi.isDir() || fi.isSymLink())) {
            removed = QFile::remove(fi.filePath());
        } else if (fi.isDir() && !fi.isSymLink()
                   && ((fi.filePath() == InstallPaths::updateWorkDir() && !journal) || staging.match(name).hasMatch())) {
            removed = QDir(fi.filePath()).removeRecursively();
        } else {
            continue;
        }
        qDebug().noquote() << (removed ? "UpdateLeftovers: removed" : "UpdateLeftovers: cannot remove")
                           << QDir::toNativeSeparators(fi.filePath());
    }
}

void removeAll()
{
    removePackageAndStaging();
    const int left = filereplace::removeAsideFiles(
        std::filesystem::u8path(InstallPaths::rootSlash().toUtf8().toStdString()));
    if (left > 0)
        qDebug() << "UpdateLeftovers:" << left << "old file(s) still in use; removed at a later start";
}

} // namespace UpdateLeftovers
