#ifndef PROGRESS_H
#define PROGRESS_H

#include <QElapsedTimer>
#include <QString>

// How far long work has come, on one line of a terminal, about once a
// second; nothing where standard error is not a terminal.
class Progress
{
public:
    Progress();
    ~Progress();

    // Shows `text` if a second has passed since the last line.
    void show(const QString &text);
    // Clears the line, for other output.
    void clear();

private:
    bool terminal;
    bool shown = false;
    QElapsedTimer timer;
};

// Sizes for people: "3.2 GB".
QString bytes_text(qint64 bytes);

// From here on Ctrl-C, SIGTERM or a closed console end long work at its next
// step instead of the program, so that its scratch files go with it; a
// second one ends the program.
void watch_interruptions();
bool interrupted();
// What the program exits with once interrupted.
int interrupted_exit_code();

#endif // PROGRESS_H
