#include "platform/statefile.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <io.h>
#include <qt_windows.h>

#include <string>

namespace StateFile {

namespace {

QString lastErrorText(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString out = n && text ? QString::fromWCharArray(text, int(n)).trimmed()
                            : QStringLiteral("error %1").arg(code);
    if (text)
        LocalFree(text);
    return out;
}

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

} // namespace

bool open(QFile *file, const QString &path, Access access, QString *error)
{
    const DWORD desired = access == Access::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = access == Access::Create ? OPEN_ALWAYS : OPEN_EXISTING;
    // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself instead of its
    // target; it is then refused below. Named pipes and devices are not disk files.
    HANDLE h = CreateFileW(nativePath(path).c_str(), desired,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = lastErrorText(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        *error = (GetFileType(h) == FILE_TYPE_DISK) ? QStringLiteral("a symbolic link, junction or folder")
                                                     : QStringLiteral("a pipe or device");
        CloseHandle(h);
        return false;
    }
    // Binary mode: no _O_TEXT.
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), access == Access::Read ? _O_RDONLY : 0);
    if (fd < 0) {
        *error = QStringLiteral("no file descriptor for the handle");
        CloseHandle(h);
        return false;
    }
    const QIODevice::OpenMode mode =
        (access == Access::Read ? QIODevice::ReadOnly : QIODevice::ReadWrite) | QIODevice::Unbuffered;
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        *error = file->errorString();
        _close(fd); // closes the handle too
        return false;
    }
    return true;
}

bool syncToDisk(QFile *file)
{
    const intptr_t h = _get_osfhandle(file->handle());
    return h != -1 && FlushFileBuffers(reinterpret_cast<HANDLE>(h));
}

bool renameOver(const QString &from, const QString &to, QString *error)
{
    // A link at `to` is replaced as a directory entry, its target left alone.
    if (MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *error = lastErrorText(GetLastError());
    return false;
}

} // namespace StateFile
