#include "mainwindow.h"
#include "support.h"

#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The whole update with the real archiver and the stand-ins for the
// interpreter, taskkill and the client.
class TestUpdate : public QObject
{
    Q_OBJECT

public:
    // Where a second updater starts while the first is at work.
    enum Second { SameFolder, AfterKill, AfterHandOver, OtherFolder };
    Q_ENUM(Second)

private slots:
    void initTestCase();
    void cleanup();
    void update_data();
    void update();
    void folderNames_data();
    void folderNames();
    void twoUpdaters_data();
    void twoUpdaters();

private:
    void makeClient(const QString &name);
    void checkExtracted(const QString &folder);

    QTemporaryDir work;
    QByteArray path;
    QString package;
    QString namedPackage;
    QByteArray newClient; // the package's kro.exe
    static constexpr qint64 namedSize = 300 * 1024 * 1024;
    QString client;
    QString otherClient;
};

void TestUpdate::initTestCase()
{
    useUtf8Locale();
    prependPath(standinsDir());
    path = qgetenv("PATH");
    QVERIFY(QDir().mkpath(logDir()));

    const QString source = work.filePath(QStringLiteral("package"));
    QVERIFY(writeFile(source + QStringLiteral("/data/子目录/说明.txt"), "新版本\n"));
    QVERIFY(writeFile(source + QStringLiteral("/data/nested/deeper/readme.txt"), "deep\n"));
    QVERIFY(writeFile(source + QStringLiteral("/existing.txt"), "new\n"));
    writeText(source + QStringLiteral("/data/big.txt"), 36 * 1024 * 1024);
    // Another release of the client's own program, which only a stopped
    // client lets the archiver replace on Windows.
    newClient = readFile(standinsDir() + QStringLiteral("/kro.exe")) + "release 2\n";
    QVERIFY(writeFile(source + QStringLiteral("/kro.exe"), newClient));
    QVERIFY(QFile::setPermissions(source + QStringLiteral("/kro.exe"),
                                  QFile::permissions(standinsDir() + QStringLiteral("/kro.exe"))));
    package = work.filePath(QStringLiteral("kro_update.zip"));
    QVERIFY(makeZip(source, package, { QStringLiteral("-mm=BZip2"), QStringLiteral("-mx1") }));

    // The same, and a file and a folder named with the success text: the
    // archiver's progress lines name them while it works on the file.
    const QString named = work.filePath(QStringLiteral("named"));
    writeFiller(named + QStringLiteral("/data/Everything is Ok.pak"), namedSize);
    QVERIFY(writeFile(named + QStringLiteral("/Everything is Ok/readme.txt"), "ok\n"));
    namedPackage = work.filePath(QStringLiteral("named.zip"));
    QVERIFY(QFile::copy(package, namedPackage));
    QVERIFY(makeZip(named, namedPackage, { QStringLiteral("-mx1") }));
    QVERIFY(QDir(named).removeRecursively());
}

void TestUpdate::cleanup()
{
    useUtf8Locale();
    qputenv("PATH", path);
    qunsetenv("TASKKILL_TEARDOWN_MS");
    killProcessesIn(client);
    killProcessesIn(otherClient);
    otherClient.clear();
    QVERIFY(QDir::setCurrent(QCoreApplication::applicationDirPath()));
}

// A client folder with the stand-in client and an old file; the test runs in it.
void TestUpdate::makeClient(const QString &name)
{
    client = work.filePath(name);
    makeClientFolder(client);
    QFile old(client + QStringLiteral("/existing.txt"));
    old.open(QIODevice::WriteOnly);
    old.write("old\n");
    clearLog();
}

void TestUpdate::update_data()
{
    QTest::addColumn<bool>("named");
    // How long the client takes to end after taskkill has returned.
    QTest::addColumn<int>("teardownMs");
    QTest::newRow("update") << false << 0;
    QTest::newRow("names holding the success text") << true << 0;
    QTest::newRow("client slow to end") << false << 3000;
    // Linux replaces a running program's file, so the extraction succeeds
    // here, where Windows refuses it (tst_wine).
    QTest::newRow("client outliving the wait") << false << 15000;
}

void TestUpdate::update()
{
    QFETCH(bool, named);
    QFETCH(int, teardownMs);
    const bool outlived = teardownMs > 10000;
    makeClient(QStringLiteral("客户 端 ") + QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(QFile::copy(named ? namedPackage : package,
                        client + QStringLiteral("/update/kro_update.zip")));
    // Relative to the client folder, the current one: a name the GBK locale
    // can encode.
    const QString namedFile = QStringLiteral("data/Everything is Ok.pak");
    const qint64 oldClient = startClient(client);
    QVERIFY(oldClient > 0);
    if (teardownMs > 0)
        qputenv("TASKKILL_TEARDOWN_MS", QByteArray::number(teardownMs));

    useGbkLocale();
    MainWindow window;
    // Gone before the extraction shell even started, unless it outlived the wait.
    if (!outlived)
        QVERIFY(!isRunning(oldClient));
    QList<int> values;
    qint64 namedAtHandOver = -1;
    connect(window.findChild<QProgressBar *>(), &QProgressBar::valueChanged, [&](int value) {
        values << value;
        if (value == 100)
            namedAtHandOver = QFileInfo(namedFile).size();
    });
    window.show();

    auto *label = window.findChild<QLabel *>();
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), doneText, 60000);
    // Started once, when the archiver is done: not while a file is written.
    drainShell(&window, client);
    QTRY_VERIFY_WITH_TIMEOUT(!isRunning(oldClient), 30000);
    QTRY_COMPARE(processesIn(client, QStringLiteral("kro.exe")).size(), 1);
    QCOMPARE(namedAtHandOver, named ? namedSize : 0);
    QCOMPARE(label->text(), doneText);
    useUtf8Locale();
    QCOMPARE(values.last(), 100);

    checkExtracted(client);

    // The records: the stop transcript, the wait's record if it waited in
    // vain, the extraction command line and the start transcript. A
    // transcript is what the interpreter printed within its wait: its banner,
    // prompts and what the commands printed, with no echo of the command
    // lines, cut wherever the wait ended.
    const QString banner = QStringLiteral("Microsoft Windows 6.1.7601\r\n\r\n");
    const QString prompt = client + QLatin1Char('>');
    QStringList log = logMessages(readLog());
    QCOMPARE(log.size(), outlived ? 4 : 3);
    if (outlived)
        QCOMPARE(log.takeAt(1), QStringLiteral("kro.exe 在 10 秒内未结束，仍开始解压\n"));
    const QString stopped = banner + prompt +
        QStringLiteral("已经强行结束 PID 为 %1 的进程 \"kro.exe\"。\r\n").arg(oldClient) +
        QStringLiteral("\r\n") + prompt;
    QVERIFY2(stopped.startsWith(log.at(0)), qPrintable(log.at(0)));
    QCOMPARE(log.at(1), QStringLiteral("7za x update/kro_update.zip  -aoa -mx2 -bsp1\n"));
    QVERIFY2((banner + prompt + QStringLiteral("\r\n") + prompt).startsWith(log.at(2)),
             qPrintable(log.at(2)));
}

void TestUpdate::checkExtracted(const QString &folder)
{
    QCOMPARE(readFile(folder + QStringLiteral("/existing.txt")), QByteArray("new\n"));
    QCOMPARE(readFile(folder + QStringLiteral("/kro.exe")), newClient);
    QCOMPARE(readFile(folder + QStringLiteral("/data/子目录/说明.txt")), QByteArray("新版本\n"));
    QCOMPARE(readFile(folder + QStringLiteral("/data/nested/deeper/readme.txt")),
             QByteArray("deep\n"));
    QCOMPARE(QFileInfo(folder + QStringLiteral("/data/big.txt")).size(), 36 * 1024 * 1024);
}

// Spellings of install folders as Windows resolves them, and the names of
// the mutexes that claim them.
void TestUpdate::folderNames_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");

    const QString games = QStringLiteral("C:\\Games\\kro");
    QTest::newRow("letter case") << games << QStringLiteral("c:\\GAMES\\Kro") << true;
    QTest::newRow("forward slashes") << games << QStringLiteral("C:/Games/kro") << true;
    QTest::newRow("trailing separator") << games << QStringLiteral("C:\\Games\\kro\\") << true;
    QTest::newRow("long-path prefix") << games << QStringLiteral("\\\\?\\C:\\Games\\kro") << true;
    QTest::newRow("network share") << QStringLiteral("\\\\?\\UNC\\server\\share\\kro")
                                   << QStringLiteral("//SERVER/share/kro/") << true;
    QTest::newRow("full-width letters")
        << QStringLiteral("D:\\游戏\\ｋｒｏ") << QStringLiteral("d:\\游戏\\ＫＲＯ") << true;
    QTest::newRow("drive root") << QStringLiteral("C:\\") << QStringLiteral("c:/") << true;
    QTest::newRow("another folder") << games << QStringLiteral("C:\\Games\\kro2") << false;
    QTest::newRow("a folder inside") << games << QStringLiteral("C:\\Games\\kro\\更新") << false;
}

void TestUpdate::folderNames()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, same);

    const QString name = folder_mutex_name(first);
    QCOMPARE(name == folder_mutex_name(second), same);
    // A name in the session's namespace, which holds no other backslash.
    QVERIFY2(name.startsWith(QLatin1String("Local\\")) && name.count(QLatin1Char('\\')) == 1,
             qPrintable(name));
}

void TestUpdate::twoUpdaters_data()
{
    QTest::addColumn<Second>("second");
    QTest::addColumn<int>("logRecords");

    // The first's three records alone: the second leaves without a word.
    QTest::newRow("second start in the same folder") << SameFolder << 3;
    // Two for the killed one, three for the next.
    QTest::newRow("first killed at the extraction") << AfterKill << 5;
    // The client the first started does not hold the folder for it.
    QTest::newRow("first closed after the hand-over") << AfterHandOver << 6;
    QTest::newRow("two install folders at once") << OtherFolder << 6;
}

// Real updater processes, the second started while the first's archiver
// waits for the test to let it go on.
void TestUpdate::twoUpdaters()
{
    QFETCH(Second, second);
    QFETCH(int, logRecords);

    // Beside the test, so that its log is the test's: this build's.
    const QString updater = QCoreApplication::applicationDirPath() + QStringLiteral("/updater");
    QFile::remove(updater);
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_EXE), updater));
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    QVERIFY(QDir().mkpath(work.filePath(tag)));
    gateArchiver(work.filePath(tag));
    if (second == OtherFolder) {
        makeClient(QStringLiteral("另一个 ") + tag);
        otherClient = client;
        QVERIFY(QFile::copy(package, otherClient + QStringLiteral("/update/kro_update.zip")));
    }
    makeClient(tag + QStringLiteral("/client"));
    QVERIFY(QFile::copy(package, client + QStringLiteral("/update/kro_update.zip")));

    QProcess first;
    first.setWorkingDirectory(client);
    first.start(updater, QStringList());
    QProcess next;
    if (second == OtherFolder) {
        next.setWorkingDirectory(otherClient);
        next.start(updater, QStringList());
    }
    qint64 firstClient = 0;
    switch (second) {
    case SameFolder: {
        QTRY_VERIFY_WITH_TIMEOUT(!processesIn(client, QStringLiteral("7za")).isEmpty(), 30000);
        // The same folder by another path.
        const QString link = work.filePath(QStringLiteral("link to ") + tag);
        QVERIFY(QFile::link(client, link));
        next.setWorkingDirectory(link + QLatin1Char('/'));
        next.start(updater, QStringList());
        QVERIFY(next.waitForFinished(20000));
        QCOMPARE(next.exitStatus(), QProcess::NormalExit);
        QCOMPARE(next.exitCode(), 0);
        QVERIFY(releaseArchiver(client));
        break;
    }
    case AfterHandOver:
        QVERIFY(releaseArchiver(client));
        QTRY_COMPARE_WITH_TIMEOUT(processesIn(client, QStringLiteral("kro.exe")).size(), 1, 60000);
        firstClient = processesIn(client, QStringLiteral("kro.exe")).first();
        // What the next one's extraction must put back.
        QVERIFY(writeFile(client + QStringLiteral("/existing.txt"), "old\n"));
        QVERIFY(QDir(client + QStringLiteral("/data")).removeRecursively());
        Q_FALLTHROUGH();
    case AfterKill:
        if (second == AfterKill)
            QTRY_VERIFY_WITH_TIMEOUT(!processesIn(client, QStringLiteral("7za")).isEmpty(), 30000);
        first.kill();
        QVERIFY(first.waitForFinished());
        // The killed one's archiver, if it still waits. Until it is gone it
        // counts as the gate's reader, and the next one's would miss its go.
        for (const qint64 pid : processesIn(client, QStringLiteral("7za")))
            ::kill(pid_t(pid), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(processesIn(client, QStringLiteral("7za")).isEmpty(), 30000);
        next.setWorkingDirectory(client);
        next.start(updater, QStringList());
        QVERIFY(releaseArchiver(client));
        break;
    case OtherFolder:
        // Each stopped the clients before the other's could start.
        QVERIFY(releaseArchiver(client));
        QVERIFY(releaseArchiver(otherClient));
        break;
    }

    for (const QString &folder : { client, otherClient }) {
        if (folder.isEmpty())
            continue;
        QTRY_COMPARE_WITH_TIMEOUT(processesIn(folder, QStringLiteral("kro.exe")).size(), 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(processesIn(folder, QStringLiteral("7za")).isEmpty(), 30000);
    }
    QTRY_COMPARE(logMessages(readLog()).size(), logRecords);
    // Started once: the updaters still running start no more. The next one
    // stopped the first one's client and started its own.
    for (const QString &folder : { client, otherClient }) {
        if (folder.isEmpty())
            continue;
        checkExtracted(folder);
        const QList<qint64> clients = processesIn(folder, QStringLiteral("kro.exe"));
        QCOMPARE(clients.size(), 1);
        QVERIFY(clients.first() != firstClient);
    }
    for (QProcess *updaterProcess : { &first, &next }) {
        updaterProcess->kill();
        updaterProcess->waitForFinished();
    }
}

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
