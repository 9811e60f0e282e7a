#include "mainwindow.h"

#include "fixed.h"

#include <QDeadlineTimer>

#ifdef Q_OS_WIN
#include <QVector>

#include <windows.h>

#include <tlhelp32.h>
#else
#include <QDir>
#include <QFile>

#include <vector>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
// The running processes of the client's name, in any letter case, each
// opened for waiting. Another user's cannot be opened, and does not hold the
// update up.
QVector<HANDLE> runningClients()
{
    QVector<HANDLE> clients;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return clients;
    const auto image = reinterpret_cast<const wchar_t *>(Fixed::clientImage.utf16());
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (CompareStringOrdinal(entry.szExeFile, -1, image, -1, TRUE) != CSTR_EQUAL)
            continue;
        const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        // Ended already, its object kept only by another's handle.
        if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            clients << process;
        else
            CloseHandle(process);
    }
    CloseHandle(snapshot);
    return clients;
}

// Returns once one of `clients` (of the first 64) has ended, or at the
// deadline, and lets them go.
void waitForOne(const QVector<HANDLE> &clients, const QDeadlineTimer &deadline)
{
    const DWORD count = DWORD(qMin(clients.size(), MAXIMUM_WAIT_OBJECTS));
    WaitForMultipleObjects(count, clients.constData(), FALSE, DWORD(deadline.remainingTime()));
    for (const HANDLE client : clients)
        CloseHandle(client);
}
#else
// The running processes of the client's name that this user may end, as the
// stand-in taskkill finds them, each opened for waiting.
std::vector<pollfd> runningClients()
{
    std::vector<pollfd> clients;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number)
            continue;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (!comm.open(QIODevice::ReadOnly) ||
            comm.readAll().trimmed() != Fixed::clientImage.toLatin1())
            continue;
        if (::kill(pid, 0) != 0 && errno == EPERM)
            continue;
        // Through syscall(): this C library's header declares it without C linkage.
        const int process = int(::syscall(SYS_pidfd_open, pid, 0));
        if (process < 0)
            continue;
        // Readable once the process has ended, a zombie included.
        pollfd client { process, POLLIN, 0 };
        if (::poll(&client, 1, 0) == 0)
            clients.push_back(client);
        else
            ::close(process);
    }
    return clients;
}

void waitForOne(std::vector<pollfd> &clients, const QDeadlineTimer &deadline)
{
    ::poll(clients.data(), clients.size(), int(deadline.remainingTime()));
    for (const pollfd &client : clients)
        ::close(client.fd);
}
#endif

} // namespace

bool wait_for_client_end(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        // Taken afresh each time: the client may have started children of
        // its name, or more than can be waited on at once.
        auto clients = runningClients();
        if (clients.empty())
            return true;
        const bool late = deadline.hasExpired();
        // At once when late.
        waitForOne(clients, deadline);
        if (late)
            return false;
    }
}
