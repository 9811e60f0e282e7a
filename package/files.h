#ifndef FILES_H
#define FILES_H

#include <QByteArray>
#include <QString>

// `path` as libzip opens it: UTF-8, and on Windows absolute with the
// long-path prefix, so that paths past 260 characters work.
QByteArray zip_path(const QString &path);

// Where `path` is, for telling whether two paths name one place: resolved
// through links, and on Windows in one letter case. A path that does not
// exist yet is taken as it would be made.
QString place_key(const QString &path);
// Whether `path` lies inside the folder `folder` (its place keys).
bool lies_inside(const QString &path, const QString &folder);

// Moves `from` over `to`, replacing it at once; false, with `error`, when
// it cannot.
bool replace_file(const QString &from, const QString &to, QString *error);

#endif // FILES_H
