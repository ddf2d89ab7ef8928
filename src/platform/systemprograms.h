#pragma once

#include <QString>

// Full paths of the system's own programs (tasklist, taskkill, cmd.exe on Windows), so a
// file of the same name planted in the installation folder or the working directory is
// never run in their place.
namespace SystemPrograms {

// Windows: "<GetSystemDirectoryW()>\<name>". Elsewhere: the first of /usr/bin, /bin,
// /usr/sbin, /sbin that holds an executable of that name. Empty when none is found or the
// name is not a plain file name.
QString path(const QString &name);

} // namespace SystemPrograms
