#ifndef UPDATERFILES_H
#define UPDATERFILES_H

#include <QStringList>

// The top of the folder shipped beside updater.exe: the files in use while
// the updater runs (its program and DLLs, their plugins and the archiver)
// and what a release hands on with them. Folders end in "/".
inline const QStringList updaterFiles = {
    QStringLiteral("updater.exe"),    QStringLiteral("Qt5Core.dll"), QStringLiteral("Qt5Gui.dll"),
    QStringLiteral("Qt5Widgets.dll"), QStringLiteral("platforms/"),  QStringLiteral("styles/"),
    QStringLiteral("7za.exe"),        QStringLiteral("licenses/"),   QStringLiteral("SHA256SUMS"),
};

// Where the updater reads the package, in the install folder.
inline const QString packagePath = QStringLiteral("update/kro_update.zip");

// The updater's own folder in a client's install folder, by default; an
// empty name means laid flat into the install folder itself.
inline const QString defaultSubfolder = QStringLiteral("更新");

// Whether `path`, relative to the install folder with "/" between folders,
// is one of the updater's own files, or the package itself, with the
// updater laid out in `subfolder`. Letter case plays no part, as on Windows.
bool is_updater_file(const QString &path, const QString &subfolder);

#endif // UPDATERFILES_H
