#ifndef UPDATERFILES_H
#define UPDATERFILES_H

#include <QByteArray>
#include <QStringList>

#include <optional>

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

// Whether `bytes` are the 7za.exe shipped with this release, which a studio
// may lay beside the client; false when the build did not know it.
bool is_shipped_archiver(const QByteArray &bytes);

// The updater's folder as given to --layout ("flat" for none): "/" between
// folders and none at either end. Nothing when it is no folder inside the
// install folder (absolute, a drive, "." or "..").
std::optional<QString> layout_folder(const QString &given);

// Whether `path`, relative to the install folder with "/" between folders,
// is one of the updater's own files, or the package itself, with the
// updater laid out in `subfolder`. Letter case plays no part, as on Windows.
bool is_updater_file(const QString &path, const QString &subfolder);

// Whether `path` lies at the top of the install folder and is what the
// interpreter, which looks in its working folder first, would run for 7za or
// taskkill, or what Windows took for the interpreter itself: 7za or taskkill
// with .com, .exe, .bat or .cmd, or cmd.exe, in any letter case.
bool shadows_tool(const QString &path);

#endif // UPDATERFILES_H
