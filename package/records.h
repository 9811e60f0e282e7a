#ifndef RECORDS_H
#define RECORDS_H

#include "names.h"

#include <QList>

// One entry of a package, as its central directory records it.
struct Record
{
    StoredName name;
    quint32 attributes = 0; // external: a Unix mode in the high 16 bits
    bool encrypted = false;
    // A folder as the archiver tells it: a trailing separator, or the folder
    // attribute of the system that made it.
    bool folder() const;
    bool link() const;
};

struct Package
{
    QList<Record> records;
    QByteArray comment;
    // Read by the tool's own reading of the central directory: libzip
    // refuses a package whose names flagged UTF-8 are not UTF-8 (or hold
    // control characters), which the archiver reads all the same.
    bool readHere = false;
};

// Reads a package's records; false, with `error`, when it is not a zip.
bool read_package(const QString &path, Package *package, QString *error);

// Reads the bytes of entry `index` (below 64 MB) of the package at `path`.
bool read_entry(const QString &path, int index, QByteArray *bytes);

#endif // RECORDS_H
