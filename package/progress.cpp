#include "progress.h"

#include <csignal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

volatile std::sig_atomic_t caught = 0;

#ifdef Q_OS_WIN
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (caught)
        return FALSE;
    caught = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    // A closed console gives the process a few seconds before it ends it.
    if (event == CTRL_CLOSE_EVENT)
        Sleep(5000);
    return TRUE;
}
#else
void onSignal(int signal)
{
    caught = signal;
    std::signal(signal, SIG_DFL);
}
#endif

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    // Its escape codes need the console's terminal mode.
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return _isatty(_fileno(stderr)) && GetConsoleMode(console, &mode) &&
        SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return ::isatty(STDERR_FILENO);
#endif
}

} // namespace

Progress::Progress()
    : terminal(stderrIsTerminal())
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

void watch_interruptions()
{
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGHUP, onSignal);
#endif
}

bool interrupted()
{
    return caught != 0;
}

int interrupted_exit_code()
{
    return 128 + int(caught);
}
