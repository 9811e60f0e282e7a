#include "mainwindow.h"

#include "fixed.h"

#include <QProcess>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

QString interpreter_program()
{
#ifdef Q_OS_WIN
    // The system's own, by its full path: by name, Windows would run a
    // cmd.exe in the updater's folder or the install folder first.
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return QString::fromWCharArray(folder, int(length)) + QLatin1Char('\\') + Fixed::interpreter +
        QStringLiteral(".exe");
#else
    // The stand-in, on PATH.
    return Fixed::interpreter;
#endif
}

QString MainWindow::run_cmd(QString command)
{
    QProcess interpreter;
    interpreter.start(interpreter_program(), QStringList(), QIODevice::ReadWrite);
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
