#include "app/installlayout.h"

#include "platform/installpaths.h"

#include <QDir>
#include <QFile>

namespace InstallLayout {

void prepare()
{
    // Single-level creation on purpose: without the sqldrivers folder the working folder
    // is made later by the backfill import itself.
    if (!QDir(InstallPaths::backfillWorkDir()).exists())
        QDir().mkdir(InstallPaths::backfillWorkDir());

    if (QDir(InstallPaths::databaseDir()).exists())
        return; // an existing database is never touched

    QDir().mkdir(InstallPaths::root());
    QDir().mkdir(InstallPaths::amibrokerDir());
    QDir().mkdir(InstallPaths::databaseDir());

    for (const QString &name : InstallPaths::seedDatabaseFiles()) {
        // QFile::copy never overwrites an existing target.
        QFile::copy(InstallPaths::join(InstallPaths::dbFilesDir(), name),
                    InstallPaths::join(InstallPaths::databaseDir(), name));
    }
}

} // namespace InstallLayout
