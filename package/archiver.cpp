#include "archiver.h"

#include "progress.h"

#include <QCoreApplication>
#include <QProcess>

namespace {

// The last percentage in `output`: the digits before its last "%".
QString lastFigure(const QString &output)
{
    const int percent = output.lastIndexOf(QLatin1Char('%'));
    int start = percent;
    while (start > 0 && output.at(start - 1).isDigit())
        --start;
    return percent > 0 ? output.mid(start, percent - start) : QString();
}

} // namespace

ArchiverRun run_archiver(const QStringList &arguments, const QString &what, Progress &progress)
{
#ifdef Q_OS_WIN
    // The one shipped with the tool, wherever it is run from.
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/7za.exe");
#else
    const QString program = QStringLiteral("7za");
#endif
    QProcess archiver;
    archiver.setStandardInputFile(QProcess::nullDevice());
    // Its messages in UTF-8 whatever the system's code pages.
    archiver.start(
        program, arguments + QStringList { QStringLiteral("-bsp1"), QStringLiteral("-sccUTF-8") });
    ArchiverRun run;
    if (!archiver.waitForStarted(-1)) {
        run.errors
            << QStringLiteral("%1 could not be started: %2").arg(program, archiver.errorString());
        return run;
    }
    run.started = true;
    while (!archiver.waitForFinished(1000)) {
        if (interrupted()) {
            archiver.kill();
            archiver.waitForFinished(-1);
            run.errors << QStringLiteral("interrupted");
            return run;
        }
        const QString figure = lastFigure(QString::fromUtf8(archiver.readAllStandardOutput()));
        if (!figure.isEmpty())
            progress.show(QStringLiteral("%1: %2%").arg(what, figure));
    }
    progress.clear();
    for (const QString &line :
         QString::fromUtf8(archiver.readAllStandardError()).split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            run.errors << line.trimmed();
    }
    run.succeeded = archiver.exitStatus() == QProcess::NormalExit && archiver.exitCode() == 0 &&
        run.errors.isEmpty();
    if (!run.succeeded && run.errors.isEmpty())
        run.errors << QStringLiteral("7za ended with exit code %1").arg(archiver.exitCode());
    return run;
}
