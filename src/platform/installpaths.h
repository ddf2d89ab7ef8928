#pragma once

#include <QString>

// Every fixed path of the installation, built from one root in one place.
// On Windows the root is the fixed "C:\Kovanta" and the strings below are the exact
// forms the product has always used (some are compared or concatenated as they stand).
// Elsewhere the root is $KOVANTA_ROOT, else $HOME/Kovanta, and every form uses '/'.
namespace InstallPaths {

QString root();              // "C:\Kovanta"

// Test seam, process-wide and on every system: the installation root is this folder
// instead of the fixed or configured one. Empty restores the ordinary root.
void setTestRoot(const QString &folder);
QString testRoot();

QString rootSlash();         // "C:/Kovanta"
QString rootSlashTrailing(); // "C:/Kovanta/"

QString sqlDriversDir();     // "C:\Kovanta\sqldrivers"
QString backfillWorkDir();   // "C:\Kovanta\sqldrivers\x86"
QString amibrokerDir();      // "C:\Kovanta\Amibroker"
QString databaseDir();       // "C:\Kovanta\Amibroker\RTDataDatabase"
QString layoutFile();        // "...\RTDataDatabase\Layouts\Default.awl"
QString dbFilesDir();        // "C:\Kovanta\dbfiles"
QString liveSpoolDir();      // "C:\Kovanta\livespool": live batches the charting program could not take yet

QString backfillDir();          // "C:/Kovanta/Backfill"
QString backfillDirTrailing();  // "C:/Kovanta/Backfill/"
QString backfillDirNative();    // "C:\Kovanta\Backfill"

QString tickFileName();      // "rtsocket.txt"
QString tickFile();          // "C:\Kovanta\rtsocket.txt"
QString pollFile();          // "C:\Kovanta\rt.txt"
QString importFile();        // "C:\Kovanta\rtimport.txt"
QString formatRealtime();    // "C:\Kovanta\dataFormatRT.dll"
QString formatEod();         // "C:\Kovanta\dataFormatEod.dll"
QString formatIntraday();    // "C:\Kovanta\dataFormat.dll"
QString backfillZip();       // "C:\Kovanta\backfilldata.zip"
QString updateZip();         // "C:/Kovanta/Vantrel_update.zip"
QString updateWorkDir();     // "C:/Kovanta/.vantrel-update" (unpacking and staging)
QString updateStagingDir();  // "C:/Kovanta/.vantrel-update/new" (the unpacked package, installed from here)
QString instanceLockFile();  // "<root>/Vantrel.lock" (single-instance lock off Windows)
QString updateLauncher();    // "C:/Kovanta/Vantrel.bat" (elsewhere <root>/Vantrel.sh)
QString updatedExecutable(); // "C:/Kovanta/VantrelNew.exe" (elsewhere <root>/VantrelNew)
QString userIdFile();        // "C:\Kovanta\userid.txt"
QString outageStateFile();   // "C:\Kovanta\outage_state.txt" (when ticks were last imported)
QString dayLedgerFile();     // "C:\Kovanta\dayledger.txt" (the minutes each symbol has today)

// Backfill import work files, all in backfillWorkDir().
QString backfillErrorLog();                       // "...\x86\backfill_error.log"
QString backfillProcessedCopy(const QString &fileName); // "...\x86\processed_<name>"
QString backfillChunkFile(int number);            // "...\x86\cvav_debugvminst_openglw_part001.log"
// Where a file the charting program refused is kept for a later manual import:
// "...\x86\failed_<source>_part003.txt", or "...\x86\failed_<source>.txt" for a whole
// file (part 0). The source name is
// reduced to letters, digits, '.', '-' and '_' so it can never leave the folder.
QString backfillFailedCopy(const QString &sourceName, int part);

// Seed database file names copied by the layout step.
QStringList seedDatabaseFiles();

// Joins a folder and a file name with the separator this platform's paths use.
QString join(const QString &dir, const QString &name);

} // namespace InstallPaths
