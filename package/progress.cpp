#include "progress.h"

#include <cstdio>
#include <unistd.h>

Progress::Progress()
    : terminal(::isatty(STDERR_FILENO))
{
}

Progress::~Progress()
{
    clear();
}

void Progress::show(const QString &text)
{
    if (!terminal || (timer.isValid() && timer.elapsed() < 1000))
        return;
    timer.start();
    std::fprintf(stderr, "\r\033[K%s", text.toUtf8().constData());
    std::fflush(stderr);
    shown = true;
}

void Progress::clear()
{
    if (shown)
        std::fputs("\r\033[K", stderr);
    shown = false;
    timer.invalidate();
}

QString bytes_text(qint64 bytes)
{
    static const char *const units[] = { "bytes", "kB", "MB", "GB", "TB" };
    double value = double(bytes);
    int unit = 0;
    while (value >= 1000 && unit < 4) {
        value /= 1000;
        ++unit;
    }
    return unit == 0
        ? QStringLiteral("%1 bytes").arg(bytes)
        : QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}
