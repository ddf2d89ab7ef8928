#pragma once

#include <QString>

// Whether an executable an update brought may be started. On Windows, when the build names
// a publisher (CMake variable VANTREL_UPDATE_PUBLISHER), its Authenticode signature must
// verify (WinVerifyTrust) and be issued to that publisher. The package itself is already
// verified against the vendor's update key before it is unpacked; this is the second,
// Windows-native check on what is actually run.
namespace ExecutableTrust {

// The publisher this build requires; empty when none.
QString requiredPublisher();

// True when `path` may run. Off Windows there is no Authenticode: a build that names a
// publisher refuses every executable there, one that names none accepts.
bool mayRun(const QString &path, const QString &publisher, QString *why);

} // namespace ExecutableTrust
