#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>

#include <optional>

class QDateTime;
class QLabel;
class QProcess;
class QProgressBar;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    MainWindow();
    ~MainWindow() override;

    void write_log(QString message);
    QString run_cmd(QString command);

public slots:
    void on_readerror();
    void on_readoutput();

private:
    void start_update();

    QLabel *label;
    QProgressBar *progressbar;
    QProcess *process;
    // End of the output so far, so that a success line split across two
    // deliveries is still seen.
    QString outputtail;
};

// The command interpreter every command line is run by.
QString interpreter_program();

// One log record: CR LF, the message, the stamp taken from `time`, LF.
QString log_record(const QString &message, const QDateTime &time);

// The percentage in front of the first "%" of an archiver output chunk, if
// the chunk has one short enough to be a progress figure.
std::optional<int> read_progress(const QString &chunk);

// Whether archiver output `text` holds the success line as a line of its
// own: after a line break, a carriage return, a backspace or at the start of
// the output, and before a line break, a carriage return or the end of
// `text`. Only lines that end after its first `seen` characters count.
bool holds_success_line(const QString &text, int seen);

// Waits up to `timeoutMs` until no process of the client's name runs; false
// when some still do.
bool wait_for_client_end(int timeoutMs);

// Claims the working directory, the install folder, for this updater until
// it ends; false when another updater already holds it.
bool claim_folder();

// The name of the Windows mutex that claims install folder `folder`: the
// same for every spelling of one folder.
QString folder_mutex_name(QString folder);

#endif // MAINWINDOW_H
