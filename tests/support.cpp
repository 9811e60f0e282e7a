#include "support.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextCodec>
#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
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

QProcessEnvironment fakedClock(const QString &clock)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), fakeTimeLibrary);
    environment.insert(QStringLiteral("FAKETIME"), clock);
    return environment;
}

QByteArray run(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
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

void clearLog(const QString &dir)
{
    for (const QString &file :
         QDir(dir).entryList({ QStringLiteral("updater_*.log") }, QDir::Files))
        QFile::remove(dir + QLatin1Char('/') + file);
}

QString readLog(const QString &dir)
{
    QString text;
    const QFileInfoList files = QDir(dir).entryInfoList({ QStringLiteral("updater_*.log") },
                                                        QDir::Files, QDir::Time | QDir::Reversed);
    for (const QFileInfo &file : files)
        text += readGbk(file.filePath());
    return text;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
        file.write(data) == data.size();
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

QStringList surroundings(const QString &root, const QString &client)
{
    QStringList seen;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        if (entry == client || entry.startsWith(client + QLatin1Char('/')))
            continue;
        const QFileInfo info = it.fileInfo();
        seen << QStringLiteral("%1 %2 %3").arg(entry).arg(info.size()).arg(info.symLinkTarget());
    }
    seen.sort();
    return seen;
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

void writeFiller(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    const QByteArray lines = QByteArray("the same line over and over again\n").repeated(1 << 16);
    for (; size > 0; size -= lines.size())
        file.write(lines.left(size));
}

void makeClientFolder(const QString &dir)
{
    QDir().mkpath(dir + QStringLiteral("/update"));
    QFile::copy(standinsDir() + QStringLiteral("/kro.exe"), dir + QStringLiteral("/kro.exe"));
    QDir::setCurrent(dir);
}

qint64 startClient(const QString &dir, const QString &name, const QStringList &arguments)
{
    const QString program = dir + QLatin1Char('/') + name;
    if (!QFileInfo::exists(program))
        QFile::copy(standinsDir() + QStringLiteral("/kro.exe"), program);
    QProcess client;
    client.setProgram(program);
    client.setArguments(arguments);
    client.setWorkingDirectory(dir);
    client.setStandardOutputFile(QProcess::nullDevice());
    client.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    client.startDetached(&pid);
    return QTest::qWaitFor([&] { return processesIn(dir, name).contains(pid); }) ? pid : 0;
}

void gateArchiver(const QString &dir)
{
    const QByteArray archiver =
        QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("7za")));
    writeScript(dir + QStringLiteral("/7za"),
                "mkfifo .gate 2>/dev/null\nread go < .gate\nexec '" + archiver + "' \"$@\"\n");
    prependPath(dir);
}

bool releaseArchiver(const QString &dir)
{
    const QByteArray gate = QFile::encodeName(dir + QStringLiteral("/.gate"));
    int fd = -1;
    // Opened for writing once the archiver waits on it for reading.
    const bool waiting = QTest::qWaitFor(
        [&] {
            fd = ::open(gate.constData(), O_WRONLY | O_NONBLOCK);
            return fd >= 0;
        },
        30000);
    if (!waiting)
        return false;
    const bool written = ::write(fd, "\n", 1) == 1;
    ::close(fd);
    return written;
}

void drainShell(QObject *window, const QString &dir)
{
    QTRY_VERIFY_WITH_TIMEOUT(processesIn(dir, QStringLiteral("7za")).isEmpty(), 30000);
    auto *shell = window->findChild<QProcess *>();
    while (shell->waitForReadyRead(300)) { }
}

Ink inkIn(const QImage &window, const QRect &box, qreal scale)
{
    Ink found;
    found.box = QRectF(QPointF(box.topLeft()) * scale, QSizeF(box.size()) * scale)
                    .toAlignedRect()
                    .intersected(window.rect());
    for (int y = found.box.top(); y <= found.box.bottom(); ++y) {
        for (int x = found.box.left(); x <= found.box.right(); ++x) {
            // Text is black or grey; the bar's coloured fill is not.
            const QColor colour = window.pixelColor(x, y);
            if (colour.value() < 100 && colour.hsvSaturation() < 80)
                found.ink |= QRect(x, y, 1, 1);
        }
    }
    return found;
}

QString describe(const Ink &ink)
{
    return QStringLiteral("text %1,%2 %3x%4 in the box %5,%6 %7x%8")
        .arg(ink.ink.x())
        .arg(ink.ink.y())
        .arg(ink.ink.width())
        .arg(ink.ink.height())
        .arg(ink.box.x())
        .arg(ink.box.y())
        .arg(ink.box.width())
        .arg(ink.box.height());
}

static quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xffffffff;
    for (const char byte : data) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

void writeZip(const QString &path, const QList<ZipEntry> &entries, const QByteArray &comment)
{
    QByteArray local;
    QByteArray central;
    QDataStream out(&local, QIODevice::WriteOnly);
    QDataStream dir(&central, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    dir.setByteOrder(QDataStream::LittleEndian);
    for (const ZipEntry &entry : entries) {
        const quint32 offset = quint32(local.size());
        const quint32 crc = crc32(entry.data);
        const quint32 size = quint32(entry.data.size());
        const quint32 mode = entry.symlink ? 0120777 : entry.folder ? 040755 : 0100644;
        // On DOS and Windows the attributes' low byte: 0x10 for a folder.
        const quint32 attributes = entry.dos ? (entry.folder ? 0x10 : 0x20) : mode << 16;
        const quint16 flags = entry.utf8 ? 0x0800 : 0;
        QByteArray extra;
        if (!entry.unicodePath.isEmpty()) {
            QDataStream field(&extra, QIODevice::WriteOnly);
            field.setByteOrder(QDataStream::LittleEndian);
            field << quint16(0x7075) << quint16(5 + entry.unicodePath.size()) << quint8(1)
                  << crc32(entry.name);
            field.writeRawData(entry.unicodePath.constData(), entry.unicodePath.size());
        }
        out << quint32(0x04034b50) << quint16(20) << flags << entry.method << quint16(0)
            << quint16(0x21) << crc << size << size << quint16(entry.name.size())
            << quint16(extra.size());
        out.writeRawData(entry.name.constData(), entry.name.size());
        out.writeRawData(extra.constData(), extra.size());
        out.writeRawData(entry.data.constData(), entry.data.size());
        dir << quint32(0x02014b50) << quint16((entry.dos ? 0 : 3) << 8 | 20) << quint16(20) << flags
            << entry.method << quint16(0) << quint16(0x21) << crc << size << size
            << quint16(entry.name.size()) << quint16(extra.size()) << quint16(0) << quint16(0)
            << quint16(0) << attributes << offset;
        dir.writeRawData(entry.name.constData(), entry.name.size());
        dir.writeRawData(extra.constData(), extra.size());
    }
    QByteArray end;
    QDataStream tail(&end, QIODevice::WriteOnly);
    tail.setByteOrder(QDataStream::LittleEndian);
    tail << quint32(0x06054b50) << quint16(0) << quint16(0) << quint16(entries.size())
         << quint16(entries.size()) << quint32(central.size()) << quint32(local.size())
         << quint16(comment.size());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(local + central + end + comment);
}
