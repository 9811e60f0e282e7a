#ifndef ARCHIVER_H
#define ARCHIVER_H

#include <QStringList>

class Progress;

// What a run of the archiver the updater uses (7za, on PATH) said.
struct ArchiverRun
{
    bool succeeded = false;
    QStringList errors; // its standard error and failure, a line each
};

// Runs 7za with `arguments`, its input closed, showing `what` and its
// percentages as progress.
ArchiverRun run_archiver(const QStringList &arguments, const QString &what, Progress &progress);

#endif // ARCHIVER_H
