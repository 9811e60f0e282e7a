#include "mainwindow.h"
#include "support.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// Started as the leader of a process group, the updater and its
// interpreters all end together.
class GroupProcess : public QProcess
{
public:
    ~GroupProcess() override
    {
        if (processId() > 0)
            ::kill(-static_cast<pid_t>(processId()), SIGKILL);
        waitForFinished();
    }

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void recordFormat_data();
    void recordFormat();
    void recordBytes_data();
    void recordBytes();
    void noLogFolder();
    void dailyFiles();

private:
    QTemporaryDir fakes;
};

void TestLog::initTestCase()
{
    useGbkLocale();
    writeScript(fakes.filePath(QStringLiteral("cmd")), "exec cat >/dev/null\n");
    prependPath(fakes.path());
}

void TestLog::init()
{
    QDir(logDir()).removeRecursively();
    QVERIFY(QDir().mkpath(logDir()));
}

void TestLog::recordFormat_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");

    const QDateTime time(QDate(2026, 3, 7), QTime(14, 5, 9));
    QTest::newRow("plain") << "hello"
                           << "\r\nhello[03-07 14:05:09]\n";
    QTest::newRow("empty") << ""
                           << "\r\n[03-07 14:05:09]\n";
    QTest::newRow("ends in LF") << "7za x\n"
                                << "\r\n7za x\n[03-07 14:05:09]\n";
    QTest::newRow("CR LF inside") << "a\r\nb"
                                  << "\r\na\r\nb[03-07 14:05:09]\n";
}

void TestLog::recordFormat()
{
    QFETCH(QString, message);
    QFETCH(QString, expected);
    QCOMPARE(log_record(message, QDateTime(QDate(2026, 3, 7), QTime(14, 5, 9))), expected);
}

void TestLog::recordBytes_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ascii") << "taskkill" << QByteArray("taskkill");
    QTest::newRow("chinese in GBK")
        << QStringLiteral("升级包") << QByteArray("\xc9\xfd\xbc\xb6\xb0\xfc");
    QTest::newRow("line feed at end") << "7za x\n" << QByteArray("7za x\n");
}

// What write_log really appends to the day's file, byte for byte: the day
// in its name is the day in its stamp.
void TestLog::recordBytes()
{
    QFETCH(QString, message);
    QFETCH(QByteArray, bytes);

    MainWindow window;
    clearLog();
    window.write_log(message);
    const QStringList files = QDir(logDir()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    const QByteArray added = readFile(logDir() + QLatin1Char('/') + files.first());

    const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]\n$"));
    QVERIFY2(added.startsWith("\r\n" + bytes), added.constData());
    QVERIFY2(stamp.match(QString::fromLatin1(added.mid(2 + bytes.size()))).hasMatch(),
             added.constData());
    QCOMPARE(
        files.first(),
        QStringLiteral("updater_%1.log").arg(QString::fromLatin1(added.mid(3 + bytes.size(), 5))));
}

void TestLog::noLogFolder()
{
    QVERIFY(QDir(logDir()).removeRecursively());
    static QStringList messages;
    messages.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
            if (!text.startsWith(QLatin1String("QProcess: Destroyed")))
                messages << text;
        });
    {
        MainWindow window;
        window.write_log(QStringLiteral("lost"));
    }
    qInstallMessageHandler(previous);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(QLatin1Char('\n'))));
    QVERIFY(!QFileInfo::exists(logDir()));
}

// The real updater under a faked clock: every record lands in the file of
// the day its stamp shows, and the year plays no part.
void TestLog::dailyFiles()
{
    QTemporaryDir work;
    const QString app = work.filePath(QStringLiteral("app"));
    const QString client = work.filePath(QStringLiteral("client"));
    QVERIFY(QDir().mkpath(app + QStringLiteral("/log")));
    QVERIFY(QDir().mkpath(client));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_EXE), app + QStringLiteral("/updater")));

    struct Run
    {
        const char *clock;
        const char *file;
        const char *stamp;
    };
    const Run runs[] = {
        { "@2026-03-07 12:00:00", "updater_03-07.log", "[03-07 12:00:0" },
        { "@2026-03-08 12:00:00", "updater_03-08.log", "[03-08 12:00:0" },
        { "@2027-03-07 12:00:00", "updater_03-07.log", "[03-07 12:00:0" },
    };
    for (const Run &run : runs) {
        const QString file = app + QStringLiteral("/log/") + QLatin1String(run.file);
        const int before = logMessages(readGbk(file)).size();
        GroupProcess updater;
        updater.setWorkingDirectory(client);
        updater.setProcessEnvironment(fakedClock(QLatin1String(run.clock)));
        updater.start(app + QStringLiteral("/updater"), QStringList());
        QVERIFY(updater.waitForStarted());
        // The stop transcript and the extraction command line.
        QTRY_COMPARE_WITH_TIMEOUT(logMessages(readGbk(file)).size(), before + 2, 10000);

        const QString text = readGbk(file);
        QCOMPARE(text.count(QLatin1String(run.stamp)), before + 2);
    }
    QCOMPARE(
        QDir(app + QStringLiteral("/log")).entryList(QDir::Files),
        QStringList({ QStringLiteral("updater_03-07.log"), QStringLiteral("updater_03-08.log") }));
    QCOMPARE(logMessages(readGbk(app + QStringLiteral("/log/updater_03-07.log"))).size(), 4);
}

QTEST_MAIN(TestLog)
#include "tst_log.moc"
