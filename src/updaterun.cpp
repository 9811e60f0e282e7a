#include "mainwindow.h"

#include "fixed.h"

#include <QLabel>
#include <QProcess>
#include <QProgressBar>

std::optional<int> read_progress(const QString &chunk)
{
    const int percent = chunk.indexOf(QLatin1Char('%'));
    if (percent < 0)
        return std::nullopt;
    // The archiver erases its previous figure with carriage returns on
    // Windows and with backspaces elsewhere.
    QString figure = chunk.left(percent);
    figure.remove(QLatin1Char('\r'));
    figure.remove(QLatin1Char('\b'));
    figure.remove(QLatin1Char(' '));
    if (figure.size() > 3)
        return std::nullopt;
    return figure.toInt(); // anything but a number reads as 0
}

void MainWindow::start_update()
{
    run_cmd(Fixed::stopClient);

    write_log(Fixed::extractPackage);
    process->start(Fixed::interpreter, QStringList(), QIODevice::ReadWrite);
    process->waitForStarted(Fixed::startTimeoutMs);
    // The shell's input stays open: it waits at its prompt until the window
    // goes, which ends it.
    process->write(Fixed::extractPackage.toLatin1().constData());
}

void MainWindow::on_readerror()
{
    // Read only to drain it: unread error output would pile up for as long
    // as the window lives.
    process->readAllStandardError();
    label->setText(Fixed::errorText);
}

void MainWindow::on_readoutput()
{
    const QString chunk = QString::fromUtf8(process->readAllStandardOutput().constData());

    if (const std::optional<int> value = read_progress(chunk))
        progressbar->setValue(*value);

    const bool succeeded = (outputtail + chunk).contains(Fixed::successLine);
    // Shorter than the success line, so a line wholly in the previous
    // delivery is never seen twice.
    outputtail = chunk.right(Fixed::successLine.size() - 1);
    if (succeeded) {
        progressbar->setValue(100);
        label->setText(Fixed::completedText);
        run_cmd(Fixed::startClient);
    }
}
