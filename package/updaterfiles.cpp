#include "updaterfiles.h"

bool is_updater_file(const QString &path, const QString &subfolder)
{
    if (path.compare(packagePath, Qt::CaseInsensitive) == 0)
        return true;
    const QString top = path.section(QLatin1Char('/'), 0, 0);
    if (!subfolder.isEmpty())
        return top.compare(subfolder, Qt::CaseInsensitive) == 0;
    for (const QString &file : updaterFiles) {
        const bool match = file.endsWith(QLatin1Char('/'))
            ? top.compare(file.chopped(1), Qt::CaseInsensitive) == 0
            : path.compare(file, Qt::CaseInsensitive) == 0;
        if (match)
            return true;
    }
    return false;
}
