#include "archiver.h"

#include "progress.h"

#include <QProcess>
#include <QRegularExpression>

ArchiverRun run_archiver(const QStringList &arguments, const QString &what, Progress &progress)
{
    QProcess archiver;
    archiver.setStandardInputFile(QProcess::nullDevice());
    archiver.start(QStringLiteral("7za"), arguments + QStringList { QStringLiteral("-bsp1") });
    ArchiverRun run;
    if (!archiver.waitForStarted(-1)) {
        run.errors << QStringLiteral("7za could not be started: %1").arg(archiver.errorString());
        return run;
    }
    static const QRegularExpression percent(QStringLiteral("(\\d+)%"));
    while (!archiver.waitForFinished(1000)) {
        const QString output = QString::fromUtf8(archiver.readAllStandardOutput());
        QString figure;
        for (auto it = percent.globalMatch(output); it.hasNext();)
            figure = it.next().captured(1);
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
