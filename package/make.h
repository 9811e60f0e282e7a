#ifndef MAKE_H
#define MAKE_H

#include "check.h"

struct MakeOptions
{
    CheckOptions check;
    bool strict = false;
    QString manifest; // where NEW's manifest goes; none when empty
};

// Makes the package that takes every release OLD (a folder or its
// manifest; with none, any install) to the release folder NEW, checks and
// proves it, and writes it to `output` only then; prints what it did. The
// exit code: 0 made, 1 not made for what the releases hold, 2 bad input.
int make_package(const QStringList &olds, const QString &newRoot, const QString &output,
                 const MakeOptions &options);

// Writes the manifest of the release folder `root` to `output`, the
// updater's own files left out. The exit code as for make_package.
int make_manifest(const QString &root, const QString &output, const CheckOptions &options);

// Whether `releases`, as given, name different places, none of them
// `output`'s folder or holding it; false, with `error`, when not.
bool distinct_releases(const QStringList &releases, const QString &output, QString *error);

#endif // MAKE_H
