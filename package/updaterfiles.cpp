#include "updaterfiles.h"

#include "digest.h"

bool is_shipped_archiver(const QByteArray &bytes)
{
    const QByteArray shipped = QByteArrayLiteral(UPDATER_ARCHIVER_SHA256);
    Sha256 sha256;
    sha256.add(bytes.constData(), bytes.size());
    return !shipped.isEmpty() && sha256.result().toHex() == shipped;
}

std::optional<QString> layout_folder(const QString &given)
{
    if (given == QLatin1String("flat"))
        return QString();
    QString folder = given;
    folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const QStringList parts = folder.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..") ||
            part.contains(QLatin1Char(':')))
            return std::nullopt;
    }
    return folder;
}

bool is_updater_file(const QString &path, const QString &subfolder)
{
    if (path.compare(packagePath, Qt::CaseInsensitive) == 0)
        return true;
    if (!subfolder.isEmpty()) {
        return path.compare(subfolder, Qt::CaseInsensitive) == 0 ||
            path.startsWith(subfolder + QLatin1Char('/'), Qt::CaseInsensitive);
    }
    const QString top = path.section(QLatin1Char('/'), 0, 0);
    for (const QString &file : updaterFiles) {
        const bool match = file.endsWith(QLatin1Char('/'))
            ? top.compare(file.chopped(1), Qt::CaseInsensitive) == 0
            : path.compare(file, Qt::CaseInsensitive) == 0;
        if (match)
            return true;
    }
    return false;
}

bool shadows_tool(const QString &path)
{
    if (path.contains(QLatin1Char('/')))
        return false;
    if (path.compare(QLatin1String("cmd.exe"), Qt::CaseInsensitive) == 0)
        return true;
    const QString stem = path.section(QLatin1Char('.'), 0, -2);
    const QString extension = path.section(QLatin1Char('.'), -1);
    const bool runnable = QStringList { QStringLiteral("com"), QStringLiteral("exe"),
                                        QStringLiteral("bat"), QStringLiteral("cmd") }
                              .contains(extension, Qt::CaseInsensitive);
    return runnable && path.contains(QLatin1Char('.')) &&
        (stem.compare(QLatin1String("7za"), Qt::CaseInsensitive) == 0 ||
         stem.compare(QLatin1String("taskkill"), Qt::CaseInsensitive) == 0);
}
