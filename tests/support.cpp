#include "support.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTextCodec>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

void useGbkLocale()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("GBK"));
}

void useUtf8Locale()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}

QString standinsDir()
{
    return QStringLiteral(TEST_STANDINS_DIR);
}

void prependPath(const QString &dir)
{
    qputenv("PATH", QFile::encodeName(dir) + ':' + qgetenv("PATH"));
}

void writeScript(const QString &path, const QByteArray &body)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write("#!/bin/sh\n" + body);
    file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
}

QString logDir()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/log");
}

QString todaysLog()
{
    return logDir() + QStringLiteral("/updater_") +
        QDate::currentDate().toString(QStringLiteral("MM-dd")) + QStringLiteral(".log");
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString readGbk(const QString &path)
{
    return QTextCodec::codecForName("GBK")->toUnicode(readFile(path));
}

QStringList logMessages(const QString &text)
{
    static const QRegularExpression record(
        QStringLiteral("\r\n(.*?)\\[\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]\n"),
        QRegularExpression::DotMatchesEverythingOption);
    QStringList messages;
    auto it = record.globalMatch(text);
    while (it.hasNext())
        messages << it.next().captured(1);
    return messages;
}

bool isRunning(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() && stat.at(close + 2) != 'Z';
}

QList<qint64> processesIn(const QString &dir, const QString &name)
{
    QList<qint64> pids;
    char *real = ::realpath(dir.toUtf8().constData(), nullptr);
    const QByteArray canonical = real ? QByteArray(real) : QByteArray();
    ::free(real);
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        const QString proc = QStringLiteral("/proc/") + entry;
        if (readFile(proc + QStringLiteral("/comm")).trimmed() != name.toUtf8())
            continue;
        char cwd[4096];
        const ssize_t n =
            ::readlink(QFile::encodeName(proc + QStringLiteral("/cwd")), cwd, sizeof cwd);
        if (n > 0 && QByteArray(cwd, int(n)) == canonical && isRunning(pid))
            pids << pid;
    }
    return pids;
}

void killProcessesIn(const QString &dir)
{
    for (const QString &name : { QStringLiteral("kro.exe"), QStringLiteral("7za") }) {
        for (const qint64 pid : processesIn(dir, name))
            ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

bool makeZip(const QString &source, const QString &archive, const QStringList &options)
{
    QProcess zip;
    zip.setWorkingDirectory(source);
    zip.start(
        QStringLiteral("7za"),
        QStringList { QStringLiteral("a"), QStringLiteral("-tzip"), archive, QStringLiteral(".") } +
            options);
    return zip.waitForFinished(120000) && zip.exitStatus() == QProcess::NormalExit &&
        zip.exitCode() == 0;
}

void writeText(const QString &path, qint64 size)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QByteArray random(3 * 1024 * 1024 / 4, Qt::Uninitialized);
    while (size > 0) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(random.data()),
                                              random.size() / 4);
        const QByteArray text = random.toBase64();
        file.write(text.left(size));
        size -= text.size();
    }
}
