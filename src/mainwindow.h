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
    // End of the previous output delivery, so that a success line split
    // across two deliveries is still seen.
    QString outputtail;
};

// One log record: CR LF, the message, the stamp taken from `time`, LF.
QString log_record(const QString &message, const QDateTime &time);

// The percentage in front of the first "%" of an archiver output chunk, if
// the chunk has one short enough to be a progress figure.
std::optional<int> read_progress(const QString &chunk);

#endif // MAINWINDOW_H
