#include "support.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The installed tree works on its own: run from a client folder with no PATH
// set-up, the updater finds its stand-ins, and the client it starts outlives
// both the interpreter that started it and the updater.
class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void installedUpdate();

private:
    QTemporaryDir work;
    QString client;
};

void TestInstall::cleanup()
{
    killProcessesIn(client);
}

void TestInstall::installedUpdate()
{
    useUtf8Locale();
    const QString prefix = work.filePath(QStringLiteral("prefix"));
    QProcess install;
    install.start(QStringLiteral("cmake"),
                  { QStringLiteral("--install"), QStringLiteral(BUILD_DIR),
                    QStringLiteral("--prefix"), prefix });
    QVERIFY(install.waitForFinished(60000));
    QVERIFY2(install.exitCode() == 0, install.readAllStandardError().constData());
    for (const char *file : { "bin/updater", "libexec/updater/cmd", "libexec/updater/taskkill",
                              "libexec/updater/kro.exe" })
        QVERIFY2(QFileInfo(prefix + QLatin1Char('/') + QLatin1String(file)).isExecutable(), file);
    QVERIFY(QDir().mkpath(prefix + QStringLiteral("/bin/log")));

    client = work.filePath(QStringLiteral("client"));
    QVERIFY(QDir().mkpath(client + QStringLiteral("/update")));
    QVERIFY(QFile::copy(prefix + QStringLiteral("/libexec/updater/kro.exe"),
                        client + QStringLiteral("/kro.exe")));
    writeZip(client + QStringLiteral("/update/kro_update.zip"), { { "data/a.txt", "new\n" } });
    const qint64 oldClient = startClient(client);

    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(client);
    updater.start(prefix + QStringLiteral("/bin/updater"), QStringList());
    QVERIFY(updater.waitForStarted());

    auto restarted = [&] {
        const QList<qint64> clients = processesIn(client, QStringLiteral("kro.exe"));
        return clients.size() == 1 && clients.first() != oldClient;
    };
    QTRY_VERIFY_WITH_TIMEOUT(restarted(), 30000);
    const qint64 newClient = processesIn(client, QStringLiteral("kro.exe")).value(0);
    QCOMPARE(readFile(client + QStringLiteral("/data/a.txt")), QByteArray("new\n"));
    QTRY_COMPARE(logMessages(readLog(prefix + QStringLiteral("/bin/log"))).size(), 3);

    updater.kill();
    QVERIFY(updater.waitForFinished());
    // The extraction shell ends with its input once the updater is gone.
    QTRY_VERIFY(processesIn(client, QStringLiteral("cmd")).isEmpty());
    QVERIFY(isRunning(newClient));
}

QTEST_MAIN(TestInstall)
#include "tst_install.moc"
