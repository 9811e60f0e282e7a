#include "mainwindow.h"
#include "support.h"

#include <QLabel>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

// The whole update with the real archiver and the stand-ins for the
// interpreter, taskkill and the client.
class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void update_data();
    void update();

private:
    void makeClient(const QString &name);

    QTemporaryDir work;
    QString package;
    QString namedPackage;
    static constexpr qint64 namedSize = 300 * 1024 * 1024;
    QString client;
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

    QCOMPARE(readFile(client + QStringLiteral("/existing.txt")), QByteArray("new\n"));
    QCOMPARE(readFile(client + QStringLiteral("/data/子目录/说明.txt")), QByteArray("新版本\n"));
    QCOMPARE(readFile(client + QStringLiteral("/data/nested/deeper/readme.txt")),
             QByteArray("deep\n"));
    QCOMPARE(QFileInfo(client + QStringLiteral("/data/big.txt")).size(), 36 * 1024 * 1024);

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

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
