#ifndef PACK_H
#define PACK_H

#include "release.h"

#include <vector>

class Progress;

struct Packed
{
    qint64 bytes = 0; // of the files packed
    qint64 stored = 0; // files that deflate made no smaller
};

// Writes the package `path`: the entries of NEW at `carried`, in NEW's
// order, named in UTF-8 with the flag, each file deflated (level 6) or
// stored where deflate makes it no smaller, readable by all and with its
// time in NEW. Each file is read once, on all cores, its SHA-256 taken on
// the way; a scratch folder beside `path` holds the deflated files until
// the package is written. False, with `error`, when a file cannot be read
// or packed (then `blamed` is its fault, not the machine's).
bool write_package(Release &updated, const std::vector<int> &carried, const QString &path,
                   Progress &progress, Packed *packed, QString *error, bool *blamed);

#endif // PACK_H
