#include "mainwindow.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTextStream>

QString log_record(const QString &message, const QDateTime &time)
{
    return QStringLiteral("\r\n") + message + QLatin1Char('[') +
        time.toString(QStringLiteral("MM-dd hh:mm:ss")) + QStringLiteral("]\n");
}

void MainWindow::write_log(QString message)
{
    // One reading of the clock, so a record always lands in the file of the
    // day its stamp shows.
    const QDateTime now = QDateTime::currentDateTime();
    QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/log/updater_") +
               now.toString(QStringLiteral("MM-dd")) + QStringLiteral(".log"));
    // The log folder is never created: without it, logging is off.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream stream(&file); // the locale codec, GBK
    stream << log_record(message, now);
    stream.flush();
}
