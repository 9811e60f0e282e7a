#ifndef CHECK_H
#define CHECK_H

#include "records.h"

#include <QList>
#include <QString>

class Progress;

// One entry, or the package as a whole, of a kind that goes wrong on a
// player's machine.
struct Finding
{
    bool error = true; // else a warning
    QString kind;
    QString name; // as stored, for people (see shown_name)
    QString what; // what happens on a player's machine
};

struct CheckOptions
{
    QString subfolder; // the updater's own folder; empty when laid flat
    // Characters in the install folder's path, for paths that would pass
    // Windows' limit.
    int installPathLength = 60;
};

// What players' machines make of the records of the package at `path`.
QList<Finding> check_records(const QString &path, const Package &package,
                             const CheckOptions &options);

struct Check
{
    QList<Finding> findings;
    bool judged = false; // false: the package could not be tested
    QString why; // why not
};

// The whole check: the records, then the archiver's own test of the package.
Check check_package(const QString &path, const CheckOptions &options, Progress &progress);

// Prints the findings, a line each, and a summary naming `package`; the exit
// code they make: 1 for an error, or a warning when `strict`, else 0.
int report_findings(const QString &package, const QList<Finding> &findings, bool strict);

#endif // CHECK_H
