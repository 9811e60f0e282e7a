#include "mainwindow.h"
#include "support.h"

#include <QLabel>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

// Broken and hostile packages, awkward targets and logs, and client processes,
// each through a whole update with the real archiver and the stand-ins. None
// may crash the updater, start the client after a failed extraction, lose a
// log record that could be written, or leave anything outside the client
// folder.
class TestHostile : public QObject
{
    Q_OBJECT

public:
    enum Case {
        MissingPackage,
        NotAZip,
        Truncated,
        CrcCorrupt,
        NoArchiver,
        DotDotEntries,
        AbsoluteEntries,
        LinkOutside,
        ReadOnlyTarget,
        FolderTarget,
        LogUnwritable,
        LogNameIsFolder,
        Encrypted,
    };
    Q_ENUM(Case)
    // Succeeds: the client started; fails: the error text; waits: the
    // archiver waits for an answer on the interpreter's open input, for good.
    enum Outcome { Succeeds, Fails, Waits };
    Q_ENUM(Outcome)

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void update_data();
    void update();

private:
    void prepare(Case what);

    QByteArray path;
    QTemporaryDir *work = nullptr;
    QString client;
    QString outside;
};

void TestHostile::initTestCase()
{
    useUtf8Locale();
    prependPath(standinsDir());
    path = qgetenv("PATH");
}

void TestHostile::init()
{
    work = new QTemporaryDir;
    client = work->filePath(QStringLiteral("client"));
    outside = work->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside));
    QFile keep(outside + QStringLiteral("/keep.txt"));
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.write("outside\n");
    QFile::remove(logDir());
    QDir(logDir()).removeRecursively();
    QVERIFY(QDir().mkpath(logDir()));
    makeClientFolder(client);
}

void TestHostile::cleanup()
{
    useUtf8Locale();
    qputenv("PATH", path);
    killProcessesIn(client);
    QVERIFY(QDir::setCurrent(QCoreApplication::applicationDirPath()));
    delete work;
}

void TestHostile::update_data()
{
    QTest::addColumn<Case>("what");
    QTest::addColumn<Outcome>("outcome");

    QTest::newRow("missing package") << MissingPackage << Fails;
    QTest::newRow("not a zip") << NotAZip << Fails;
    QTest::newRow("truncated zip") << Truncated << Fails;
    QTest::newRow("CRC-corrupt entry") << CrcCorrupt << Fails;
    QTest::newRow("archiver missing from PATH") << NoArchiver << Fails;
    QTest::newRow("../ entries land inside") << DotDotEntries << Succeeds;
    QTest::newRow("absolute entries land inside") << AbsoluteEntries << Succeeds;
    QTest::newRow("link pointing outside, file through it") << LinkOutside << Fails;
    QTest::newRow("read-only target overwritten") << ReadOnlyTarget << Succeeds;
    QTest::newRow("target occupied by a folder") << FolderTarget << Fails;
    QTest::newRow("log folder cannot be written") << LogUnwritable << Succeeds;
    QTest::newRow("log file name is a folder") << LogNameIsFolder << Succeeds;
    // The archiver asks for a password, having emptied the file it was
    // about to write.
    QTest::newRow("encrypted entry") << Encrypted << Waits;
}

void TestHostile::prepare(Case what)
{
    const QString zip = client + QStringLiteral("/update/kro_update.zip");
    const QList<ZipEntry> plain { { "data/a.txt", "new\n" } };
    switch (what) {
    case MissingPackage:
        break;
    case NotAZip: {
        QFile file(zip);
        file.open(QIODevice::WriteOnly);
        file.write("this is not a zip\n");
        break;
    }
    case Truncated: {
        const QString source = work->filePath(QStringLiteral("source"));
        QDir().mkpath(source);
        writeText(source + QStringLiteral("/big.txt"), 1024 * 1024);
        QVERIFY(makeZip(source, zip));
        QFile file(zip);
        QVERIFY(file.resize(file.size() / 2));
        break;
    }
    case CrcCorrupt: {
        writeZip(zip, { { "data/a.txt", QByteArray(4096, 'a') } });
        QFile file(zip);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(30 + 10 + 2000)); // in the stored data
        file.write("b");
        break;
    }
    case NoArchiver:
        writeZip(zip, plain);
        qputenv("PATH", QFile::encodeName(standinsDir()));
        break;
    case DotDotEntries:
        writeZip(zip,
                 plain +
                     QList<ZipEntry> { { "../escape.txt", "x" }, { "a/../../escape2.txt", "x" } });
        break;
    case AbsoluteEntries:
        writeZip(zip, plain + QList<ZipEntry> { { QFile::encodeName(outside) + "/abs.txt", "x" } });
        break;
    case LinkOutside:
        writeZip(zip,
                 plain +
                     QList<ZipEntry> { { "link", "../outside", true },
                                       { "link/through.txt", "x" },
                                       { "alink", QFile::encodeName(outside), true },
                                       { "alink/through.txt", "x" } });
        break;
    case ReadOnlyTarget: {
        writeZip(zip, plain);
        QDir().mkpath(client + QStringLiteral("/data"));
        QFile old(client + QStringLiteral("/data/a.txt"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old\n");
        QVERIFY(old.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadOther));
        break;
    }
    case FolderTarget:
        writeZip(zip, plain);
        QVERIFY(QDir().mkpath(client + QStringLiteral("/data/a.txt/inner")));
        break;
    case LogUnwritable:
        writeZip(zip, plain);
        QVERIFY(QDir(logDir()).removeRecursively());
        // Not even root may create a file there.
        QVERIFY(QFile::link(QStringLiteral("/proc"), logDir()));
        break;
    case LogNameIsFolder:
        writeZip(zip, plain);
        QVERIFY(QDir().mkpath(todaysLog()));
        break;
    case Encrypted: {
        const QString source = work->filePath(QStringLiteral("source"));
        QVERIFY(writeFile(source + QStringLiteral("/data/a.txt"), "new\n"));
        QVERIFY(makeZip(source, zip, { QStringLiteral("-psecret") }));
        QVERIFY(writeFile(client + QStringLiteral("/data/a.txt"), "sixteen bytes!!\n"));
        break;
    }
    }
}

void TestHostile::update()
{
    QFETCH(Case, what);
    QFETCH(Outcome, outcome);
    const bool succeeds = outcome == Succeeds;

    prepare(what);
    const qint64 oldClient = startClient(client);
    QVERIFY(oldClient > 0);
    const QStringList before = surroundings(work->path(), client);

    useGbkLocale();
    auto window = std::make_unique<MainWindow>();
    QVERIFY(!isRunning(oldClient));
    window->show();
    auto *label = window->findChild<QLabel *>();
    if (outcome == Waits) {
        auto waiting = [&] {
            return !processesIn(client, QStringLiteral("7za")).isEmpty() &&
                QFileInfo(client + QStringLiteral("/data/a.txt")).size() == 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(waiting(), 30000);
        // And goes on waiting: no late error text, no client.
        QTest::qWait(2000);
        QVERIFY(waiting());
        QCOMPARE(label->text(), extractingText);
        QCOMPARE(window->findChild<QProgressBar *>()->value(), 1);
        QVERIFY(processesIn(client, QStringLiteral("kro.exe")).isEmpty());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), succeeds ? doneText : failedText, 30000);
    drainShell(window.get(), client);
    QCOMPARE(label->text(), succeeds ? doneText : failedText);
    QCOMPARE(processesIn(client, QStringLiteral("kro.exe")).size(), succeeds ? 1 : 0);
    if (succeeds)
        QCOMPARE(window->findChild<QProgressBar *>()->value(), 100);
    window.reset();
    useUtf8Locale();

    QCOMPARE(surroundings(work->path(), client), before);
    if (succeeds)
        QCOMPARE(readFile(client + QStringLiteral("/data/a.txt")), QByteArray("new\n"));
    if (what == LogUnwritable || what == LogNameIsFolder)
        return;
    // The stop transcript, the extraction line and, on success, the start transcript.
    QCOMPARE(logMessages(readLog()).size(), succeeds ? 3 : 2);
}

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
