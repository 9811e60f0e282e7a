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
    bool folder() const;
    bool link() const;
};

struct Package
{
    QList<Record> records;
    QByteArray comment;
};

// Reads a package's records; false, with `error`, when it is not a zip.
bool read_package(const QString &path, Package *package, QString *error);

#endif // RECORDS_H
