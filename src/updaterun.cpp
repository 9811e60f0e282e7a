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

bool holds_success_line(const QString &text, int seen)
{
    const int length = Fixed::successLine.size();
    // A line wholly within the first `seen` characters was judged before.
    for (int at = text.indexOf(Fixed::successLine, qMax(0, seen - length + 1)); at >= 0;
         at = text.indexOf(Fixed::successLine, at + 1)) {
        // A progress line names the file being extracted after its figure,
        // so a name that holds the words never starts a line. The archiver
        // erases its progress line before the success line with backspaces
        // or a carriage return.
        const bool starts = at == 0 || QStringView(u"\n\r\b").contains(text.at(at - 1));
        const int end = at + length;
        const bool ends = end == text.size() || text.at(end) == QLatin1Char('\n') ||
            text.at(end) == QLatin1Char('\r');
        if (starts && ends)
            return true;
    }
    return false;
}

void MainWindow::start_update()
{
    run_cmd(Fixed::stopClient);
    if (!wait_for_client_end(Fixed::clientEndTimeoutMs))
        write_log(Fixed::clientStillRunning.arg(Fixed::clientEndTimeoutMs / 1000));

    write_log(Fixed::extractPackage);
    process->start(interpreter_program(), QStringList(), QIODevice::ReadWrite);
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

    const QString text = outputtail + chunk;
    const bool succeeded = holds_success_line(text, outputtail.size());
    // As long as the success line: enough to judge a line split across two
    // deliveries, with the character before it.
    outputtail = text.right(Fixed::successLine.size());
    if (succeeded) {
        progressbar->setValue(100);
        label->setText(Fixed::completedText);
        run_cmd(Fixed::startClient);
    }
}
