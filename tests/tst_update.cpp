#include "mainwindow.h"
#include "support.h"

#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

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
    QString package;
    QString namedPackage;
    static constexpr qint64 namedSize = 300 * 1024 * 1024;
    QString client;
    QString otherClient;
};

void TestUpdate::initTestCase()
{
    useUtf8Locale();
    prependPath(standinsDir());
    QVERIFY(QDir().mkpath(logDir()));

    // Large and slow enough to extract (about a second) for the archiver to
    // report several figures on the way.
    const QString source = work.filePath(QStringLiteral("package"));
    QVERIFY(writeFile(source + QStringLiteral("/data/子目录/说明.txt"), "新版本\n"));
    QVERIFY(writeFile(source + QStringLiteral("/data/nested/deeper/readme.txt"), "deep\n"));
    QVERIFY(writeFile(source + QStringLiteral("/existing.txt"), "new\n"));
    writeText(source + QStringLiteral("/data/big.txt"), 36 * 1024 * 1024);
    QVERIFY(QFile::copy(standinsDir() + QStringLiteral("/kro.exe"),
                        source + QStringLiteral("/kro.exe")));
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
    QFile::remove(todaysLog());
}

void TestUpdate::update_data()
{
    QTest::addColumn<bool>("named");
    QTest::newRow("update") << false;
    QTest::newRow("names holding the success text") << true;
}

void TestUpdate::update()
{
    QFETCH(bool, named);
    makeClient(QStringLiteral("客户 端 ") + QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(QFile::copy(named ? namedPackage : package,
                        client + QStringLiteral("/update/kro_update.zip")));
    // Relative to the client folder, the current one: a name the GBK locale
    // can encode.
    const QString namedFile = QStringLiteral("data/Everything is Ok.pak");
    const qint64 oldClient = startClient(client);

    useGbkLocale();
    MainWindow window;
    // Stopped before the extraction shell even started.
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
    QTRY_COMPARE(processesIn(client, QStringLiteral("kro.exe")).size(), 1);
    QCOMPARE(namedAtHandOver, named ? namedSize : 0);
    QVERIFY(!processesIn(client, QStringLiteral("kro.exe")).contains(oldClient));
    useUtf8Locale();

    QCOMPARE(values.last(), 100);
    values.removeLast();
    QVERIFY2(!values.isEmpty(), "no progress figure before the end");
    for (int i = 0; i < values.size(); ++i) {
        QVERIFY2(values.at(i) > 1 && values.at(i) < 100, qPrintable(QString::number(values.at(i))));
        QVERIFY(i == 0 || values.at(i) > values.at(i - 1));
    }

    checkExtracted(client);

    // The interpreter's whole transcripts: banner, prompts and what the
    // commands printed, with no echo of the command lines.
    const QString banner = QStringLiteral("Microsoft Windows 6.1.7601\r\n\r\n");
    const QString prompt = client + QLatin1Char('>');
    const QStringList log = logMessages(readGbk(todaysLog()));
    QCOMPARE(log.size(), 3);
    QCOMPARE(log.at(0),
             banner + prompt +
                 QStringLiteral("已经强行结束 PID 为 %1 的进程 \"kro.exe\"。\r\n").arg(oldClient) +
                 QStringLiteral("\r\n") + prompt);
    QCOMPARE(log.at(1), QStringLiteral("7za x update/kro_update.zip  -aoa -mx2 -bsp1\n"));
    QCOMPARE(log.at(2), banner + prompt + QStringLiteral("\r\n") + prompt);
}

void TestUpdate::checkExtracted(const QString &folder)
{
    QCOMPARE(readFile(folder + QStringLiteral("/existing.txt")), QByteArray("new\n"));
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
    QTest::newRow("first killed mid-extraction") << AfterKill << 5;
    // The client the first started does not hold the folder for it.
    QTest::newRow("first closed after the hand-over") << AfterHandOver << 6;
    QTest::newRow("two install folders at once") << OtherFolder << 6;
}

// Real updater processes, the second started while the first's archiver is
// at work on a package that takes a few seconds.
void TestUpdate::twoUpdaters()
{
    QFETCH(Second, second);
    QFETCH(int, logRecords);

    // Beside the test, so that its log is the test's: this build's.
    const QString updater = QCoreApplication::applicationDirPath() + QStringLiteral("/updater");
    QFile::remove(updater);
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_EXE), updater));
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    if (second == OtherFolder) {
        makeClient(QStringLiteral("另一个 ") + tag);
        otherClient = client;
        QVERIFY(QFile::copy(namedPackage, otherClient + QStringLiteral("/update/kro_update.zip")));
    }
    makeClient(tag);
    QVERIFY(QFile::copy(namedPackage, client + QStringLiteral("/update/kro_update.zip")));

    QProcess first;
    first.setWorkingDirectory(client);
    first.start(updater, QStringList());
    QProcess next;
    if (second == OtherFolder) {
        next.setWorkingDirectory(otherClient);
        next.start(updater, QStringList());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!processesIn(client, QStringLiteral("7za")).isEmpty(), 30000);
    switch (second) {
    case SameFolder: {
        // The same folder by another path.
        const QString link = work.filePath(QStringLiteral("link to ") + tag);
        QVERIFY(QFile::link(client, link));
        next.setWorkingDirectory(link + QLatin1Char('/'));
        next.start(updater, QStringList());
        QVERIFY(next.waitForFinished(20000));
        QCOMPARE(next.exitStatus(), QProcess::NormalExit);
        QCOMPARE(next.exitCode(), 0);
        break;
    }
    case AfterHandOver:
        QTRY_COMPARE_WITH_TIMEOUT(processesIn(client, QStringLiteral("kro.exe")).size(), 1, 60000);
        Q_FALLTHROUGH();
    case AfterKill:
        first.kill();
        QVERIFY(first.waitForFinished());
        next.setWorkingDirectory(client);
        next.start(updater, QStringList());
        break;
    case OtherFolder:
        // Each stopped the clients before the other's could start.
        QTRY_VERIFY_WITH_TIMEOUT(!processesIn(otherClient, QStringLiteral("7za")).isEmpty(), 30000);
        break;
    }

    for (const QString &folder : { client, otherClient }) {
        if (folder.isEmpty())
            continue;
        QTRY_COMPARE_WITH_TIMEOUT(processesIn(folder, QStringLiteral("kro.exe")).size(), 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(processesIn(folder, QStringLiteral("7za")).isEmpty(), 30000);
        checkExtracted(folder);
        QCOMPARE(QFileInfo(folder + QStringLiteral("/data/Everything is Ok.pak")).size(),
                 namedSize);
    }
    QTRY_COMPARE(logMessages(readGbk(todaysLog())).size(), logRecords);
    // Started once: the updaters still running start no more.
    for (const QString &folder : { client, otherClient }) {
        if (!folder.isEmpty())
            QCOMPARE(processesIn(folder, QStringLiteral("kro.exe")).size(), 1);
    }
    for (QProcess *updaterProcess : { &first, &next }) {
        updaterProcess->kill();
        updaterProcess->waitForFinished();
    }
}

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
