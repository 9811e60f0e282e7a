#include "support.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

// The package tool on packages with the exact bytes that matter, on release
// folders made here, with the real archiver.
class TestPackage : public QObject
{
    Q_OBJECT

public:
    // What is done to a package after its entries are written.
    enum Making { Plain, ZipCrypto, Aes, CrcError, Truncated, SevenZip, NotAZip };
    Q_ENUM(Making)

private slots:
    void initTestCase();
    void check_data();
    void check();
    void make_data();
    void make();

private:
    // Runs the tool; its exit code, its output in `lines`.
    int tool(const QStringList &arguments, QStringList *lines = nullptr);

    QTemporaryDir work;
    QString old;
    QString updated;
};

using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(ZipEntry)

namespace {

// The kinds of the findings among the tool's lines, sorted.
QStringList kinds(const QStringList &lines)
{
    QStringList found;
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() >= 3 &&
            (fields.first() == QLatin1String("error") ||
             fields.first() == QLatin1String("warning")))
            found << fields.at(1);
    }
    found.sort();
    return found;
}

void writeTree(const QString &root, const Files &files)
{
    QDir(root).removeRecursively();
    QDir().mkpath(root);
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (it.key().endsWith(QLatin1Char('/')))
            QDir().mkpath(root + QLatin1Char('/') + it.key());
        else
            writeFile(root + QLatin1Char('/') + it.key(), it.value());
    }
}

// The names of a package's entries, as the archiver lists them.
QStringList entries(const QString &package)
{
    const QString listing = QString::fromUtf8(
        run(QStringLiteral("7za"), { QStringLiteral("l"), QStringLiteral("-slt"), package }));
    QStringList names;
    for (const QString &line : listing.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("Path = ")) && !line.endsWith(QLatin1String(".zip")))
            names << line.mid(7);
    }
    names.sort();
    return names;
}

} // namespace

void TestPackage::initTestCase()
{
    useUtf8Locale();
    old = work.filePath(QStringLiteral("old"));
    updated = work.filePath(QStringLiteral("new"));
}

int TestPackage::tool(const QStringList &arguments, QStringList *lines)
{
    QProcess process;
    process.start(QStringLiteral(PACKAGE_TOOL), arguments);
    if (!process.waitForFinished(120000))
        return -1;
    if (lines)
        *lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void TestPackage::check_data()
{
    QTest::addColumn<QList<ZipEntry>>("zipped");
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<Making>("making");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("exitCode");

    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    const QByteArray chinese = QStringLiteral("资源/说明.txt").toUtf8();
    const QByteArray successLine = "Everything is Ok";
    auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
    const QByteArray none;
    const QStringList plain;

    row("clean, Chinese names") << QList<ZipEntry> { { chinese, "x" }, { "data/a.txt", "x" } }
                                << none << Plain << plain << QStringList() << 0;
    row("GBK names without the flag")
        << QList<ZipEntry> { { gbk->fromUnicode(QStringLiteral("资源/说明.txt")), "x", false, true,
                               false } }
        << none << Plain << plain << QStringList { "encoding" } << 1;
    row("UTF-8 names without the flag, made on Windows")
        << QList<ZipEntry> { { chinese, "x", false, true, false } } << none << Plain << plain
        << QStringList { "encoding" } << 1;
    row("UTF-8 names without the flag, made on Unix")
        << QList<ZipEntry> { { chinese, "x", false, false, false } } << none << Plain << plain
        << QStringList() << 0;
    row("a name in code page 437")
        << QList<ZipEntry> { { "filename_with_\x91o\x86.txt", "x", false, true, false } } << none
        << Plain << plain << QStringList { "encoding" } << 1;
    row("names that differ in letter case")
        << QList<ZipEntry> { { "Data/a.txt", "1" }, { "data/A.txt", "2" } } << none << Plain
        << plain << QStringList { "collision" } << 1;
    row("a file where a folder is") << QList<ZipEntry> { { "data", "1" }, { "data/a.txt", "2" } }
                                    << none << Plain << plain << QStringList { "collision" } << 1;
    row("ZipCrypto") << QList<ZipEntry> { { "a.txt", "x" } } << none << ZipCrypto << plain
                     << QStringList { "encrypted" } << 1;
    row("AES") << QList<ZipEntry> { { "a.txt", "x" } } << none << Aes << plain
               << QStringList { "encrypted" } << 1;
    row("a comment holding the success line")
        << QList<ZipEntry> { { "a.txt", "x" } } << "built by CI\r\n" + successLine + "\r\n"
        << Plain << plain << QStringList { "comment" } << 1;
    row("a comment") << QList<ZipEntry> { { "a.txt", "x" } } << QByteArray("built by CI") << Plain
                     << plain << QStringList { "comment" } << 0;
    row("a carriage return before the success line")
        << QList<ZipEntry> { { "x\r" + successLine, "x" } } << none << Plain << plain
        << QStringList { "success-line", "windows-name" } << 1;
    row("the updater's files in its subfolder")
        << QList<ZipEntry> { { QStringLiteral("更新/updater.exe").toUtf8(), "x" },
                             { "update/kro_update.zip", "x" } }
        << none << Plain << plain << QStringList { "updater-file", "updater-file" } << 1;
    row("the updater's files laid flat")
        << QList<ZipEntry> { { "Qt5Core.dll", "x" },
                             { "platforms/qwindows.dll", "x" },
                             { QStringLiteral("更新/a.txt").toUtf8(), "x" } }
        << none << Plain << QStringList { "--layout", "flat" }
        << QStringList { "updater-file", "updater-file" } << 1;
    row("names Windows cannot hold")
        << QList<ZipEntry> { { "a:b.txt", "x" },       { "CON", "x" },    { "aux.txt", "x" },
                             { "data/LPT1.log", "x" }, { "trail.", "x" }, { "why?.txt", "x" } }
        << none << Plain << plain
        << QString("windows-name ").repeated(6).split(' ', Qt::SkipEmptyParts) << 1;
    row("two names that become one")
        << QList<ZipEntry> { { "a:b.txt", "1" }, { "a_b.txt", "2" } } << none << Plain << plain
        << QStringList { "collision", "windows-name" } << 1;
    row("dot-dot, absolute and link entries")
        << QList<ZipEntry> { { "../up.txt", "x" }, { "/abs.txt", "x" }, { "link", "a", true } }
        << none << Plain << plain
        << QString("unsafe-path ").repeated(3).split(' ', Qt::SkipEmptyParts) << 1;
    const QByteArray longName = QByteArray(60, 'd') + '/' + QByteArray(60, 'f') + ".txt";
    row("a path past 260 characters")
        << QList<ZipEntry> { { longName, "x" } } << none << Plain
        << QStringList { "--install-path-length", "150" } << QStringList { "long-path" } << 0;
    row("a path past 260 characters, strict")
        << QList<ZipEntry> { { longName, "x" } } << none << Plain
        << QStringList { "--install-path-length", "150", "--strict" } << QStringList { "long-path" }
        << 1;
    row("a CRC error") << QList<ZipEntry> { { "a.txt", QByteArray(4096, 'a') } } << none << CrcError
                       << plain << QStringList { "damaged" } << 1;
    row("an unsupported method") << QList<ZipEntry> { { "a.txt", "x", false, false, true, 19 } }
                                 << none << Plain << plain << QStringList { "damaged" } << 1;
    row("truncated") << QList<ZipEntry> { { "a.txt", QByteArray(4096, 'a') } } << none << Truncated
                     << plain << QStringList { "not-a-zip" } << 1;
    row("a 7z archive named zip") << QList<ZipEntry> { { "a.txt", "x" } } << none << SevenZip
                                  << plain << QStringList { "not-a-zip" } << 1;
    row("not a zip") << QList<ZipEntry>() << none << NotAZip << plain << QStringList { "not-a-zip" }
                     << 1;
    row("no such package") << QList<ZipEntry>() << none << Plain << QStringList { "missing.zip" }
                           << QStringList() << 2;
    // The proof over folders OLD (a.txt "1", same.txt) and NEW (a.txt "2",
    // same.txt, new/b.txt).
    const QStringList apply { "--apply", "OLD", "NEW" };
    row("proof: OLD to NEW") << QList<ZipEntry> { { "a.txt", "2" }, { "new/b.txt", "b" } } << none
                             << Plain << apply << QStringList() << 0;
    row("proof: a changed file missing") << QList<ZipEntry> { { "new/b.txt", "b" } } << none
                                         << Plain << apply << QStringList { "proof" } << 1;
    row("proof: other bytes") << QList<ZipEntry> { { "a.txt", "3" }, { "new/b.txt", "b" } } << none
                              << Plain << apply << QStringList { "proof" } << 1;
}

void TestPackage::check()
{
    QFETCH(QList<ZipEntry>, zipped);
    QFETCH(QByteArray, comment);
    QFETCH(Making, making);
    QFETCH(QStringList, options);
    QFETCH(QStringList, expected);
    QFETCH(int, exitCode);

    const QString package = work.filePath(QStringLiteral("package.zip"));
    QFile::remove(package);
    if (making == ZipCrypto || making == Aes || making == SevenZip) {
        const QString source = work.filePath(QStringLiteral("source"));
        for (const ZipEntry &entry : zipped)
            QVERIFY(
                writeFile(source + QLatin1Char('/') + QString::fromUtf8(entry.name), entry.data));
        QStringList options { QStringLiteral("a"), package, source + QStringLiteral("/*"),
                              QStringLiteral("-psecret") };
        options << (making == Aes ? QStringLiteral("-mem=AES256") : QStringLiteral("-tzip"));
        if (making == SevenZip)
            options = QStringList { QStringLiteral("a"), QStringLiteral("-t7z"), package,
                                    source + QStringLiteral("/*") };
        run(QStringLiteral("7za"), options);
        QVERIFY(QDir(source).removeRecursively());
    } else if (making == NotAZip) {
        QVERIFY(writeFile(package, "PK\3\4 but not a zip\n"));
    } else {
        writeZip(package, zipped, comment);
    }
    QFile file(package);
    if (making == CrcError) {
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(30 + 5 + 2000));
        file.write("b");
    } else if (making == Truncated) {
        QVERIFY(file.resize(file.size() - 40));
    }
    file.close();
    if (options.contains(QLatin1String("--apply"))) {
        writeTree(old, { { "a.txt", "1" }, { "same.txt", "s" } });
        writeTree(updated, { { "a.txt", "2" }, { "same.txt", "s" }, { "new/b.txt", "b" } });
        options.replace(options.indexOf(QStringLiteral("OLD")), old);
        options.replace(options.indexOf(QStringLiteral("NEW")), updated);
    }
    const QString target = options.contains(QLatin1String("missing.zip"))
        ? work.filePath(QStringLiteral("missing.zip"))
        : package;
    options.removeAll(QStringLiteral("missing.zip"));

    QStringList lines;
    QCOMPARE(tool(QStringList { QStringLiteral("check"), target } + options, &lines), exitCode);
    QCOMPARE(kinds(lines), expected);
}

void TestPackage::make_data()
{
    QTest::addColumn<Files>("before");
    QTest::addColumn<Files>("after");
    QTest::addColumn<QStringList>("packed");
    QTest::addColumn<QStringList>("reported"); // lines that must be there
    QTest::addColumn<int>("exitCode");

    const Files release { { "kro.exe", "client 1" }, { "data/same.pak", QByteArray(70000, 's') } };
    Files changed = release;
    changed.insert("kro.exe", "client 2");
    QTest::newRow("a changed file")
        << release << changed << QStringList { "kro.exe" } << QStringList() << 0;
    Files added = release;
    added.insert(QStringLiteral("资源/新/说明.txt"), "新");
    added.insert("empty/", QByteArray());
    QTest::newRow("a new file in a new Chinese folder, an empty folder")
        << release << added << QStringList { "empty", QStringLiteral("资源/新/说明.txt") }
        << QStringList() << 0;
    Files lacking = changed;
    lacking.remove("data/same.pak");
    QTest::newRow("a file NEW lacks")
        << release << lacking << QStringList { "kro.exe" }
        << QStringList { "left behind, in OLD but not in NEW:\tdata/same.pak" } << 0;
    Files withUpdater = changed;
    withUpdater.insert(QStringLiteral("更新/updater.exe"), "updater 2");
    withUpdater.insert(QStringLiteral("更新/platforms/qwindows.dll"), "plugin");
    QTest::newRow("the updater's files in NEW")
        << release << withUpdater << QStringList { "kro.exe" }
        << QStringList { QStringLiteral("left out, the updater's own:\t更新/updater.exe") } << 0;
    QTest::newRow("nothing new") << release << release << QStringList() << QStringList() << 1;
    Files folderForFile = release;
    folderForFile.remove("kro.exe");
    folderForFile.insert("kro.exe/a", "x");
    QTest::newRow("a folder where OLD has a file")
        << release << folderForFile << QStringList() << QStringList() << 1;
    Files device = changed;
    device.insert("data/aux.txt", "x");
    QTest::newRow("a name Windows cannot hold")
        << release << device << QStringList() << QStringList() << 1;
    QTest::newRow("no such folder") << Files() << changed << QStringList() << QStringList() << 2;
}

void TestPackage::make()
{
    QFETCH(Files, before);
    QFETCH(Files, after);
    QFETCH(QStringList, packed);
    QFETCH(QStringList, reported);
    QFETCH(int, exitCode);

    writeTree(old, before);
    writeTree(updated, after);
    if (before.isEmpty())
        QVERIFY(QDir(old).removeRecursively());
    const QString out = work.filePath(QStringLiteral("out"));
    QDir(out).removeRecursively();
    QVERIFY(QDir().mkpath(out));
    const QString package = out + QStringLiteral("/kro_update.zip");

    QStringList lines;
    QCOMPARE(tool({ QStringLiteral("make"), old, updated, QStringLiteral("-o"), package }, &lines),
             exitCode);
    for (const QString &line : reported)
        QVERIFY2(lines.contains(line), qPrintable(lines.join(QLatin1Char('\n'))));
    if (exitCode != 0) {
        // Nothing written where a package was asked for, nor beside it.
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
        return;
    }
    QCOMPARE(entries(package), packed);
    QVERIFY2(lines.filter(QStringLiteral("proof: OLD with the package")).size() == 1,
             qPrintable(lines.join(QLatin1Char('\n'))));
    // The same folders, the same bytes.
    const QString again = out + QStringLiteral("/again.zip");
    QCOMPARE(tool({ QStringLiteral("make"), old, updated, QStringLiteral("-o"), again }), 0);
    QCOMPARE(readFile(again), readFile(package));
}

QTEST_MAIN(TestPackage)
#include "tst_package.moc"
