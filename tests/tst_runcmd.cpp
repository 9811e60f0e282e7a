#include "mainwindow.h"
#include "support.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

class TestRunCmd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void transcript_data();
    void transcript();
    void slowInterpreterIsKilled();

private:
    void setInterpreter(const QByteArray &body);

    QTemporaryDir fakes;
    QByteArray basePath = qgetenv("PATH");
    int interpreters = 0;
};

// Each interpreter is a file of its own, first on PATH: a shell that a
// window started earlier may still be reading its script, which must not
// change under it.
void TestRunCmd::setInterpreter(const QByteArray &body)
{
    const QString dir = fakes.filePath(QString::number(++interpreters));
    QVERIFY(QDir().mkpath(dir));
    writeScript(dir + QStringLiteral("/cmd"), body);
    qputenv("PATH", QFile::encodeName(dir) + ':' + basePath);
}

void TestRunCmd::initTestCase()
{
    useGbkLocale();
    QVERIFY(QDir().mkpath(logDir()));
}

void TestRunCmd::init()
{
    setInterpreter("exec cat >/dev/null\n");
    clearLog();
}

void TestRunCmd::transcript_data()
{
    QTest::addColumn<QByteArray>("interpreter");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expected");

    QTest::newRow("echoes the command fed on standard input")
        << QByteArray("read line; printf 'C:\\\\>%s\\n' \"$line\"\n") << "kro.exe\n"
        << "C:\\>kro.exe\n";
    QTest::newRow("GBK decoding")
        << QByteArray("cat >/dev/null; printf '\\311\\375\\274\\266\\260\\374 ok\\n'\n") << "x\n"
        << QStringLiteral("升级包 ok\n");
    QTest::newRow("token masked everywhere")
        << QByteArray("cat >/dev/null; echo 'a!qwe579zoph b !qwe579zoph!qwe579zoph'\n") << "x\n"
        << "a** b ****\n";
    QTest::newRow("token in another case left alone")
        << QByteArray("cat >/dev/null; echo '!QWE579ZOPH !Qwe579zoph'\n") << "x\n"
        << "!QWE579ZOPH !Qwe579zoph\n";
    QTest::newRow("standard error neither returned nor logged")
        << QByteArray("cat >/dev/null; echo out; echo secret-error >&2\n") << "x\n"
        << "out\n";
    QTest::newRow("text after a NUL cut off")
        << QByteArray("cat >/dev/null; printf 'before\\000after'\n") << "x\n"
        << "before";
    QTest::newRow("command sent up to its first NUL")
        << QByteArray("cat\n") << QStringLiteral("kro.exe\n").insert(3, QChar(0)) << "kro";
    QTest::newRow("no interpreter output") << QByteArray("cat >/dev/null\n") << "x\n"
                                           << "";
}

void TestRunCmd::transcript()
{
    QFETCH(QByteArray, interpreter);
    QFETCH(QString, command);
    QFETCH(QString, expected);

    MainWindow window;
    setInterpreter(interpreter);
    QCOMPARE(window.run_cmd(command), expected);

    const QString log = readLog();
    QCOMPARE(logMessages(log).last(), expected);
    QVERIFY(!log.contains(QLatin1String("secret-error")));
    QVERIFY(!log.contains(QLatin1String("!qwe579zoph")));
}

void TestRunCmd::slowInterpreterIsKilled()
{
    MainWindow window;
    QTemporaryDir work;
    const QString pidFile = work.filePath(QStringLiteral("pid"));
    setInterpreter("echo $$ > '" + pidFile.toUtf8() + "'; echo partial; exec sleep 30\n");

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(window.run_cmd(QStringLiteral("x\n")), QStringLiteral("partial\n"));
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 900 && elapsed < 10000, qPrintable(QString::number(elapsed)));

    QCOMPARE(logMessages(readLog()).last(), QStringLiteral("partial\n"));
    QVERIFY(!isRunning(readFile(pidFile).trimmed().toLongLong()));
}

QTEST_MAIN(TestRunCmd)
#include "tst_runcmd.moc"
