#include "mainwindow.h"

#include "fixed.h"

#include <QCryptographicHash>
#include <QDir>

#ifdef Q_OS_WIN
#include <QVarLengthArray>

#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

QString folder_mutex_name(QString folder)
{
    // One folder, however it is spelt: either slash, any letter case, with
    // or without a trailing separator or the long-path prefix.
    folder.replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (folder.startsWith(QLatin1String("\\\\?\\UNC\\"), Qt::CaseInsensitive))
        folder.replace(0, 8, QStringLiteral("\\\\"));
    else if (folder.startsWith(QLatin1String("\\\\?\\")))
        folder.remove(0, 4);
    while (folder.endsWith(QLatin1Char('\\')) && folder.size() > 1)
        folder.chop(1);
    // As NTFS compares names: one code unit for another, no locale.
    for (QChar &c : folder)
        c = c.toUpper();
    // A hash: a kernel object's name is shorter than a path may be, and
    // holds no backslash.
    return Fixed::folderMutexPrefix +
        QString::fromLatin1(
               QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha256).toHex());
}

bool claim_folder()
{
#ifdef Q_OS_WIN
    // The folder as the system resolves it: short names and links lead to
    // the same one.
    QString folder = QDir::currentPath();
    const HANDLE dir = CreateFileW(L".", 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir != INVALID_HANDLE_VALUE) {
        const DWORD size = GetFinalPathNameByHandleW(dir, nullptr, 0, FILE_NAME_NORMALIZED);
        QVarLengthArray<wchar_t, MAX_PATH> path(int(size) + 1);
        const DWORD length =
            size ? GetFinalPathNameByHandleW(dir, path.data(), size + 1, FILE_NAME_NORMALIZED) : 0;
        if (length > 0 && length <= size)
            folder = QString::fromWCharArray(path.data(), int(length));
        CloseHandle(dir);
    }
    // Never closed: the system releases it when this process ends, however
    // it ends. Not inherited by the interpreters or the client.
    const HANDLE mutex = CreateMutexW(
        nullptr, FALSE, reinterpret_cast<const wchar_t *>(folder_mutex_name(folder).utf16()));
    const DWORD error = GetLastError();
    // Denied: another user's updater holds it.
    return mutex ? error != ERROR_ALREADY_EXISTS : error != ERROR_ACCESS_DENIED;
#else
    // A lock on the folder itself, held until this process ends, however it
    // ends. Closed on exec, so that the client it starts never holds it.
    const int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return dir < 0 || ::flock(dir, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
#endif
}
