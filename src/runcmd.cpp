#include "mainwindow.h"

#include "fixed.h"

#include <QProcess>

QString MainWindow::run_cmd(QString command)
{
    QProcess interpreter;
    interpreter.start(Fixed::interpreter, QStringList(), QIODevice::ReadWrite);
    interpreter.waitForStarted(Fixed::startTimeoutMs);
    interpreter.write(command.toLatin1().constData());
    interpreter.closeWriteChannel();
    interpreter.waitForFinished(Fixed::finishTimeoutMs);

    QString transcript = QString::fromLocal8Bit(interpreter.readAllStandardOutput().constData());
    transcript.replace(Fixed::secretToken, Fixed::secretMask);
    write_log(transcript);

    // Kills an interpreter that has not finished within the wait.
    interpreter.close();
    return transcript;
}
