#ifndef ARCHIVER_H
#define ARCHIVER_H

#include <QStringList>

class Progress;

// What a run of the archiver the updater uses said: 7za on PATH, or on
// Windows the 7za.exe beside this tool.
struct ArchiverRun
{
    bool started = false;
    bool succeeded = false;
    QStringList errors; // its standard error and failure, a line each
};

// Runs the archiver with `arguments`, its input closed, showing `what` and
// its percentages as progress.
ArchiverRun run_archiver(const QStringList &arguments, const QString &what, Progress &progress);

#endif // ARCHIVER_H
