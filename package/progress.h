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

#endif // PROGRESS_H
