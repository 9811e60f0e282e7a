#include "files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#endif

QByteArray zip_path(const QString &path)
{
#ifdef Q_OS_WIN
    const QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    return (native.startsWith(QLatin1String("\\\\")) ? native : QStringLiteral("\\\\?\\") + native)
        .toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

QString place_key(const QString &path)
{
    const QFileInfo info(path);
    QString place = info.canonicalFilePath();
    if (place.isEmpty()) {
        const QString folder = info.absoluteDir().canonicalPath();
        place = folder.isEmpty() ? info.absoluteFilePath()
                                 : folder + QLatin1Char('/') + info.fileName();
    }
#ifdef Q_OS_WIN
    for (QChar &c : place)
        c = c.toUpper();
#endif
    return place;
}

bool lies_inside(const QString &path, const QString &folder)
{
    return place_key(path).startsWith(place_key(folder) + QLatin1Char('/'));
}

bool replace_file(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QString::fromUtf8(zip_path(from)).utf16()),
                    reinterpret_cast<const wchar_t *>(QString::fromUtf8(zip_path(to)).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD code = GetLastError();
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    *error = text ? QString::fromWCharArray(text).trimmed() : QString::number(code);
    LocalFree(text);
    return false;
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
#endif
}
