#include "support.h"

#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    void list_data();
    void list();
    void make_data();
    void make();
    void badManifest_data();
    void badManifest();
    void bigClient();
    void interrupted();

private:
    // Runs the tool; its exit code, its output in `lines`, its errors in
    // `errors`. `shell` runs before it, in sh.
    int tool(const QStringList &arguments, QStringList *lines = nullptr, QString *errors = nullptr,
             const QString &shell = QString());
    void writeTree(const QString &root, const QMap<QString, QByteArray> &files);

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

// The entries of a package as the archiver lists them, and their methods.
QMap<QString, QString> entries(const QString &package)
{
    const QString listing = QString::fromUtf8(
        run(QStringLiteral("7za"), { QStringLiteral("l"), QStringLiteral("-slt"), package }));
    QMap<QString, QString> methods;
    QString name;
    for (const QString &line : listing.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("Path = ")) && !line.endsWith(QLatin1String(".zip")))
            methods.insert(name = line.mid(7), QString());
        else if (line.startsWith(QLatin1String("Method = ")) && !name.isEmpty())
            methods.insert(name, line.mid(9));
    }
    return methods;
}

// Every file under `root`, by the key Windows finds it under.
Files filesIn(const QString &root)
{
    Files files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        files.insert(QDir(root).relativeFilePath(file).toUpper(), readFile(file));
    }
    return files;
}

bool copyTree(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (!writeFile(to + QLatin1Char('/') + QDir(from).relativeFilePath(file), readFile(file)))
            return false;
    }
    return true;
}

} // namespace

void TestPackage::initTestCase()
{
    useUtf8Locale();
    old = work.filePath(QStringLiteral("old"));
    updated = work.filePath(QStringLiteral("new"));
}

int TestPackage::tool(const QStringList &arguments, QStringList *lines, QString *errors,
                      const QString &shell)
{
    QProcess process;
    if (shell.isEmpty())
        process.start(QStringLiteral(PACKAGE_TOOL), arguments);
    else
        process.start(QStringLiteral("sh"),
                      QStringList { QStringLiteral("-c"), shell + QStringLiteral("; exec \"$@\""),
                                    QStringLiteral("sh"), QStringLiteral(PACKAGE_TOOL) } +
                          arguments);
    if (!process.waitForFinished(300000))
        return -1;
    if (lines)
        *lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// Files and empty folders ("name/"), and what no package can carry: "link:"
// a link to the value, "fifo:" a named pipe, "latin1:" a name whose bytes
// are percent-encoded Latin-1.
void TestPackage::writeTree(const QString &root, const Files &files)
{
    // The toolkit sees no name that is not UTF-8, nor removes it.
    run(QStringLiteral("rm"), { QStringLiteral("-rf"), root });
    QDir().mkpath(root);
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString kind = it.key().section(QLatin1Char(':'), 0, 0);
        const QString name = root + QLatin1Char('/') + it.key().section(QLatin1Char(':'), -1);
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(QString::fromUtf8(it.value()), name));
        else if (kind == QLatin1String("fifo"))
            QVERIFY(::mkfifo(QFile::encodeName(name).constData(), 0644) == 0);
        else if (kind == QLatin1String("latin1"))
            QVERIFY(::close(::open(QByteArray::fromPercentEncoding(QFile::encodeName(name)),
                                   O_CREAT | O_WRONLY, 0644)) == 0);
        else if (name.endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(name));
        else
            QVERIFY(writeFile(name, it.value()));
    }
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
    auto kindsOf = [](const char *kind, int count) {
        return QString(QLatin1String(kind) + QLatin1Char(' '))
            .repeated(count)
            .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    };
    ZipEntry unicodePath { gbk->fromUnicode(QStringLiteral("资源/说明.txt")), "x", false, true,
                           false };
    unicodePath.unicodePath = chinese;
    ZipEntry dosFolder { "data", QByteArray(), false, true, false };
    dosFolder.folder = true;

    row("clean, Chinese names") << QList<ZipEntry> { { chinese, "x" }, { "data/a.txt", "x" } }
                                << none << Plain << plain << QStringList() << 0;
    row("GBK names without the flag")
        << QList<ZipEntry> { { gbk->fromUnicode(QStringLiteral("资源/说明.txt")), "x", false, true,
                               false } }
        << none << Plain << plain << QStringList { "encoding" } << 1;
    row("GBK names with the Unicode path field")
        << QList<ZipEntry> { unicodePath } << none << Plain << plain << QStringList() << 0;
    row("UTF-8 names without the flag, made on Windows")
        << QList<ZipEntry> { { chinese, "x", false, true, false } } << none << Plain << plain
        << QStringList { "encoding" } << 1;
    row("UTF-8 names without the flag, made on Unix")
        << QList<ZipEntry> { { chinese, "x", false, false, false } } << none << Plain << plain
        << QStringList() << 0;
    row("flagged UTF-8 that is not") << QList<ZipEntry> { { "a\xff.txt", "x" } } << none << Plain
                                     << plain << QStringList { "encoding" } << 1;
    row("a name in code page 437")
        << QList<ZipEntry> { { "filename_with_\x91o\x86.txt", "x", false, true, false } } << none
        << Plain << plain << QStringList { "encoding" } << 1;
    row("names that differ in letter case")
        << QList<ZipEntry> { { "Data/a.txt", "1" }, { "data/A.txt", "2" } } << none << Plain
        << plain << QStringList { "collision" } << 1;
    row("a file where a folder is") << QList<ZipEntry> { { "data", "1" }, { "data/a.txt", "2" } }
                                    << none << Plain << plain << QStringList { "collision" } << 1;
    row("a folder by its attribute")
        << QList<ZipEntry> { dosFolder, { "data\\a.txt", "2", false, true } } << none << Plain
        << plain << QStringList() << 0;
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
    // Refused by libzip, read by the archiver.
    row("a backspace before the success line, flagged UTF-8")
        << QList<ZipEntry> { { "x\b" + successLine, "x" } } << none << Plain << plain
        << QStringList { "success-line", "windows-name" } << 1;
    row("the updater's files in its subfolder")
        << QList<ZipEntry> { { QStringLiteral("更新/updater.exe").toUtf8(), "x" },
                             { "update/kro_update.zip", "x" } }
        << none << Plain << plain << kindsOf("updater-file", 2) << 1;
    row("the updater's files in a nested subfolder")
        << QList<ZipEntry> { { QStringLiteral("tools/更新/updater.exe").toUtf8(), "x" },
                             { "tools/readme.txt", "x" } }
        << none << Plain << QStringList { "--layout", "tools\\更新\\" }
        << kindsOf("updater-file", 1) << 1;
    row("the updater's files laid flat")
        << QList<ZipEntry> { { "Qt5Core.dll", "x" },
                             { "platforms/qwindows.dll", "x" },
                             { QStringLiteral("更新/a.txt").toUtf8(), "x" } }
        << none << Plain << QStringList { "--layout", "flat" } << kindsOf("updater-file", 2) << 1;
    row("programs in place of the interpreter's tools")
        << QList<ZipEntry> { { "7za.exe", "x" },     { "TaskKill.BAT", "x" }, { "cmd.exe", "x" },
                             { "7za.dll", "x" },     { "data/7za.exe", "x" }, { "7za.cmd", "x" },
                             { "taskkill.com", "x" } }
        << none << Plain << plain << kindsOf("shadowing", 5) << 1;
    row("programs in place of the interpreter's tools, laid flat")
        << QList<ZipEntry> { { "7za.bat", "x" }, { "7za.exe", "x" } } << none << Plain
        << QStringList { "--layout", "flat" } << QStringList { "shadowing", "updater-file" } << 1;
    row("names Windows cannot hold")
        << QList<ZipEntry> { { "a:b.txt", "x" },       { "CON", "x" },    { "aux.txt", "x" },
                             { "data/LPT1.log", "x" }, { "trail.", "x" }, { "why?.txt", "x" },
                             { "COM¹.txt", "x" },      { "lpt³", "x" } }
        << none << Plain << plain << kindsOf("windows-name", 8) << 1;
    row("two names that become one")
        << QList<ZipEntry> { { "a:b.txt", "1" }, { "a_b.txt", "2" } } << none << Plain << plain
        << QStringList { "collision", "windows-name" } << 1;
    row("dot-dot, absolute and link entries")
        << QList<ZipEntry> { { "../up.txt", "x" }, { "/abs.txt", "x" }, { "link", "a", true } }
        << none << Plain << plain << kindsOf("unsafe-path", 3) << 1;
    // 60 characters of install folder, its separator and the path.
    row("a path of 259 characters") << QList<ZipEntry> { { QByteArray(198, 'p'), "x" } } << none
                                    << Plain << plain << QStringList() << 0;
    row("a path past 259 characters") << QList<ZipEntry> { { QByteArray(199, 'p'), "x" } } << none
                                      << Plain << plain << QStringList { "long-path" } << 0;
    row("a path past 259 characters, strict")
        << QList<ZipEntry> { { QByteArray(199, 'p'), "x" } } << none << Plain
        << QStringList { "--strict" } << QStringList { "long-path" } << 1;
    row("a name past 255 characters")
        << QList<ZipEntry> { { "d/" + QByteArray(256, 'n'), "x" } } << none << Plain
        << QStringList { "--install-path-length", "3" } << QStringList { "long-path" } << 1;
    // 32,700 folders deep: a package of 64 kB.
    row("a path past 32,767 characters")
        << QList<ZipEntry> { { QByteArray("a/").repeated(32700) + "a", "x" } } << none << Plain
        << plain << QStringList { "long-path" } << 1;
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
    // It could not judge.
    row("no archiver") << QList<ZipEntry> { { "a.txt", "x" } } << none << Plain
                       << QStringList { "no-archiver" } << QStringList() << 2;
    row("a bad option value") << QList<ZipEntry> { { "a.txt", "x" } } << none << Plain
                              << QStringList { "--install-path-length", "x" } << QStringList() << 2;
    row("a layout outside the install folder")
        << QList<ZipEntry> { { "a.txt", "x" } } << none << Plain
        << QStringList { "--layout", "../更新" } << QStringList() << 2;
    row("an unknown option") << QList<ZipEntry> { { "a.txt", "x" } } << none << Plain
                             << QStringList { "--level", "9" } << QStringList() << 2;
    // The proof over OLD (a.txt "1", same.txt) and NEW (a.txt "2", same.txt,
    // new/b.txt); OLD2 holds another same.txt.
    const QStringList apply { "--apply", "OLD", "NEW" };
    const QList<ZipEntry> served { { "a.txt", "2" }, { "new/b.txt", "b" } };
    row("proof: OLD to NEW") << served << none << Plain << apply << QStringList() << 0;
    row("proof: a changed file missing") << QList<ZipEntry> { { "new/b.txt", "b" } } << none
                                         << Plain << apply << QStringList { "proof" } << 1;
    row("proof: other bytes") << QList<ZipEntry> { { "a.txt", "3" }, { "new/b.txt", "b" } } << none
                              << Plain << apply << QStringList { "proof" } << 1;
    row("proof: an OLD the package does not serve")
        << served << none << Plain << QStringList { "--apply", "OLD", "OLD2", "NEW" }
        << QStringList { "proof" } << 1;
    row("proof by hashes") << served << none << Plain
                           << QStringList { "--apply", "OLD.manifest", "NEW.manifest" }
                           << QStringList() << 0;
    row("proof by hashes: a file edited since")
        << served << none << Plain << QStringList { "--apply", "OLD.edited", "NEW" }
        << QStringList { "proof" } << 1;
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
        writeTree(old + QLatin1Char('2'), { { "a.txt", "1" }, { "same.txt", "t" } });
        writeTree(updated, { { "a.txt", "2" }, { "same.txt", "s" }, { "new/b.txt", "b" } });
        for (const QString &release : { old, updated }) {
            QCOMPARE(tool({ QStringLiteral("manifest"), release, QStringLiteral("-o"),
                            release + QStringLiteral(".manifest") }),
                     0);
        }
        // same.txt's hash as if OLD's file had been edited after the manifest.
        QByteArray edited = readFile(old + QStringLiteral(".manifest"));
        const int at = edited.indexOf("  same.txt") - 64;
        edited[at] = edited.at(at) == '0' ? '1' : '0';
        QVERIFY(writeFile(old + QStringLiteral(".edited"), edited));
        for (QString &option : options) {
            option.replace(QStringLiteral("OLD"), old);
            option.replace(QStringLiteral("NEW"), updated);
        }
    }
    const QString target = options.contains(QLatin1String("missing.zip"))
        ? work.filePath(QStringLiteral("missing.zip"))
        : package;
    options.removeAll(QStringLiteral("missing.zip"));
    const QString shell = options.removeAll(QStringLiteral("no-archiver"))
        ? QStringLiteral("PATH=/nonexistent")
        : QString();

    QStringList lines;
    QCOMPARE(
        tool(QStringList { QStringLiteral("check"), target } + options, &lines, nullptr, shell),
        exitCode);
    QCOMPARE(kinds(lines), expected);
}

void TestPackage::list_data()
{
    QTest::addColumn<QList<ZipEntry>>("zipped");
    QTest::addColumn<QString>("codePage");
    QTest::addColumn<QStringList>("expected");

    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    const ZipEntry gbkName { gbk->fromUnicode(QStringLiteral("资源/说明.txt")), "x", false, true,
                             false };
    ZipEntry unicodePath = gbkName;
    unicodePath.unicodePath = QStringLiteral("资源/新.txt").toUtf8();
    ZipEntry dosFolder { "data", QByteArray(), false, true, false };
    dosFolder.folder = true;
    const QList<ZipEntry> zipped { gbkName, unicodePath, dosFolder, { "a:b.txt", "x" } };
    QTest::newRow("code page 936")
        << zipped << "936"
        << QStringList { QStringLiteral("资源/说明.txt"), QStringLiteral("资源/新.txt"), "data/",
                         "a_b.txt" };
    QTest::newRow("code page 437")
        << zipped << "437"
        << QStringList { QStringLiteral("╫╩╘┤/╦╡├≈.txt"), QStringLiteral("资源/新.txt"), "data/",
                         "a_b.txt" };
    QTest::newRow("no player's code page") << zipped << "1252" << QStringList { "2" };
    QTest::newRow("no such package") << QList<ZipEntry>() << "936" << QStringList { "2" };
}

void TestPackage::list()
{
    QFETCH(QList<ZipEntry>, zipped);
    QFETCH(QString, codePage);
    QFETCH(QStringList, expected);

    const QString package = work.filePath(QStringLiteral("list.zip"));
    QFile::remove(package);
    if (!zipped.isEmpty())
        writeZip(package, zipped);
    QStringList lines;
    const int exitCode =
        tool({ QStringLiteral("list"), package, QStringLiteral("--code-page"), codePage }, &lines);
    if (expected == QStringList { "2" }) {
        QCOMPARE(exitCode, 2);
        return;
    }
    QCOMPARE(exitCode, 0);
    lines.removeAll(QString());
    QCOMPARE(lines, expected);
}

void TestPackage::make_data()
{
    QTest::addColumn<QList<Files>>("olds");
    QTest::addColumn<Files>("after");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("packed");
    // Lines that must be there; those after "!" begin none.
    QTest::addColumn<QStringList>("reported");
    QTest::addColumn<int>("exitCode");
    auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
    const QStringList none;

    const Files release { { "kro.exe", "client 1" }, { "data/same.pak", QByteArray(70000, 's') } };
    Files changed = release;
    changed.insert("kro.exe", "client 2");
    row("a changed file") << QList<Files> { release } << changed << none
                          << QStringList { "kro.exe" } << none << 0;
    Files added = release;
    added.insert(QStringLiteral("资源/新/说明.txt"), "新");
    added.insert("empty/", QByteArray());
    row("a new file in a new Chinese folder, an empty folder")
        << QList<Files> { release } << added << none
        << QStringList { "empty", QStringLiteral("资源/新/说明.txt") } << none << 0;
    Files lacking = changed;
    lacking.remove("data/same.pak");
    row("a file NEW lacks") << QList<Files> { release } << lacking << none
                            << QStringList { "kro.exe" }
                            << QStringList { "left behind, in OLD but not in NEW:\t1 file: "
                                             "data/same.pak" }
                            << 0;
    Files withUpdater = changed;
    withUpdater.insert(QStringLiteral("更新/updater.exe"), "updater 2");
    withUpdater.insert(QStringLiteral("更新/platforms/qwindows.dll"), "plugin");
    row("the updater's files in NEW")
        << QList<Files> { release } << withUpdater << none << QStringList { "kro.exe" }
        << QStringList { QStringLiteral("left out, the updater's own:\t2 files: "
                                        "更新/platforms/qwindows.dll, 更新/updater.exe") }
        << 0;
    row("the updater's folder given with a slash")
        << QList<Files> { release } << withUpdater << QStringList { "--layout", "更新/" }
        << QStringList { "kro.exe" } << none << 0;
    Files nested = changed;
    nested.insert(QStringLiteral("tools/更新/updater.exe"), "updater 2");
    nested.insert("tools/readme.txt", "tools");
    row("the updater in a nested folder")
        << QList<Files> { release } << nested << QStringList { "--layout", "tools/更新" }
        << QStringList { "kro.exe", "tools/readme.txt" } << none << 0;
    row("nothing new") << QList<Files> { release } << release << none << none << none << 1;

    // Three releases: a player may hold either of the first two.
    const Files first { { "kro.exe", "client 1" },
                        { "data/same.pak", "same" },
                        { "data/back.pak", "v1" },
                        { "gone.txt", "gone" },
                        { "first-only.txt", "1" } };
    const Files second { { "kro.exe", "client 2" },
                         { "data/same.pak", "same" },
                         { "data/back.pak", "v2" } };
    const Files third { { "kro.exe", "client 2" },
                        { "data/same.pak", "same" },
                        { "data/back.pak", "v1" },
                        { "gone.txt", "gone" } };
    const QStringList changes { "data/back.pak", "gone.txt", "kro.exe" };
    row("three releases") << QList<Files> { first, second } << third << none << changes
                          << QStringList { "left behind, in OLD " + old +
                                           "1 but not in NEW:\t1 "
                                           "file: first-only.txt" }
                          << 0;
    row("three releases, the OLDs as manifests")
        << QList<Files> { first, second } << third << QStringList { "manifests" } << changes << none
        << 0;
    row("three releases, NEW's manifest too")
        << QList<Files> { first, second } << third << QStringList { "--manifest" } << changes
        << none << 0;
    row("the whole package") << QList<Files>() << withUpdater << none
                             << QStringList { "data/same.pak", "kro.exe" }
                             << QStringList { "proof: the package extracted into an empty folder "
                                              "is NEW: 2 files extracted and alike" }
                             << 0;
    Files compressed = changed;
    QByteArray noise(300000, Qt::Uninitialized);
    for (char &c : noise)
        c = char(QRandomGenerator::global()->generate());
    compressed.insert("music.ogg", noise);
    compressed.insert("text.txt", QByteArray("compressible text ").repeated(1000));
    row("an incompressible file stored")
        << QList<Files> { release } << compressed << none
        << QStringList { "kro.exe", "music.ogg", "text.txt" } << none << 0;

    // Letter case, as Windows sees it.
    Files caseFolder = changed;
    caseFolder.insert("Readme/index.txt", "x");
    Files withReadme = release;
    withReadme.insert("readme", "r");
    row("a file in OLD, a folder of another case in NEW")
        << QList<Files> { withReadme } << caseFolder << none << none << none << 1;
    Files twoCases = changed;
    twoCases.insert("Data/Same.pak", "other");
    row("two paths in NEW in two cases")
        << QList<Files> { release } << twoCases << none << none << none << 1;
    Files recased = changed;
    recased.remove("data/same.pak");
    recased.insert("DATA/SAME.PAK", QByteArray(70000, 's'));
    row("a file that changes case only")
        << QList<Files> { release } << recased << none << QStringList { "kro.exe" }
        << QStringList { "!left behind" } << 0;

    // What no package can carry, and bad input.
    Files folderForFile = release;
    folderForFile.remove("kro.exe");
    folderForFile.insert("kro.exe/a", "x");
    row("a folder where OLD has a file")
        << QList<Files> { release } << folderForFile << none << none << none << 1;
    Files device = changed;
    device.insert("data/aux.txt", "x");
    row("a name Windows cannot hold")
        << QList<Files> { release } << device << none << none << none << 1;
    for (const char *special : { "link:data/link", "fifo:data/pipe", "latin1:caf%E9.txt" }) {
        Files odd = changed;
        odd.insert(QString::fromUtf8(special), "kro.exe");
        row(qPrintable(QStringLiteral("NEW holds %1").arg(QString::fromUtf8(special))))
            << QList<Files> { release } << odd << none << none << none << 1;
    }
    // UTF-8 that libzip will not take flagged as UTF-8.
    Files control = changed;
    control.insert("x\bEverything is Ok", "x");
    row("a name libzip cannot pack")
        << QList<Files> { release } << control << none << none
        << QStringList { "error\tfolders\tcannot pack `hex:780845766572797468696e67206973204f6b`: "
                         "Invalid argument" }
        << 1;
    Files linkInOld = release;
    linkInOld.insert("link:docs", "data");
    Files docs = changed;
    docs.insert("docs/a.txt", "a");
    row("a link in OLD where NEW has a folder")
        << QList<Files> { linkInOld } << docs << none << none
        << QStringList { "error\tfolders\t`docs` is a link or special file in OLD " + old +
                         "1 and a folder in NEW: the archiver cannot replace the one with the "
                         "other, and the updater deletes nothing" }
        << 1;
    for (const char *program : { "taskkill.bat", "7za.exe", "CMD.EXE" }) {
        Files shadowed = changed;
        shadowed.insert(QLatin1String(program), "x");
        row(qPrintable(QStringLiteral("NEW holds %1").arg(QLatin1String(program))))
            << QList<Files> { release } << shadowed << none << none << none << 1;
    }
    Files archiver = changed;
    archiver.insert("7za.exe", "the updater's own");
    Files withArchiver = release;
    withArchiver.insert("7za.exe", "the updater's own");
    row("the updater's archiver laid flat")
        << QList<Files> { withArchiver } << archiver << QStringList { "--layout", "flat" }
        << QStringList { "kro.exe" } << none << 0;
    row("no such folder") << QList<Files> { release } << changed << QStringList { "no-old" } << none
                          << none << 2;
    row("an OLD that is NEW") << QList<Files> { release } << changed << QStringList { "old-is-new" }
                              << none << none << 2;
    row("the same OLD twice") << QList<Files> { release } << changed << QStringList { "old-twice" }
                              << none << none << 2;
    row("an OLD that is a file") << QList<Files> { release } << changed
                                 << QStringList { "old-is-file" } << none << none << 2;
    row("a manifest as NEW") << QList<Files> { release } << changed
                             << QStringList { "new-manifest" } << none << none << 2;
    row("the package inside NEW") << QList<Files> { release } << changed
                                  << QStringList { "output-in-new" } << none << none << 2;
    row("an option make does not take")
        << QList<Files> { release } << changed << QStringList { "--code-page", "936" } << none
        << none << 2;
}

void TestPackage::make()
{
    QFETCH(QList<Files>, olds);
    QFETCH(Files, after);
    QFETCH(QStringList, options);
    QFETCH(QStringList, packed);
    QFETCH(QStringList, reported);
    QFETCH(int, exitCode);

    QStringList releases;
    for (int k = 0; k < olds.size(); ++k) {
        releases << old + QString::number(k + 1);
        writeTree(releases.last(), olds.at(k));
    }
    writeTree(updated, after);
    const QString out = work.filePath(QStringLiteral("out"));
    QDir(out).removeRecursively();
    QVERIFY(QDir().mkpath(out));
    QString package = out + QStringLiteral("/kro_update.zip");
    const QString newManifest = work.filePath(QStringLiteral("new.manifest"));
    QFile::remove(newManifest);

    QStringList given = releases;
    if (options.removeAll(QStringLiteral("manifests"))) {
        for (QString &release : given) {
            QCOMPARE(tool({ QStringLiteral("manifest"), release, QStringLiteral("-o"),
                            release + QStringLiteral(".manifest") }),
                     0);
            release += QStringLiteral(".manifest");
        }
    }
    if (options.removeAll(QStringLiteral("--manifest")))
        options << QStringLiteral("--manifest") << newManifest;
    QString newRelease = updated;
    if (options.removeAll(QStringLiteral("no-old")))
        given.first() += QStringLiteral("-missing");
    if (options.removeAll(QStringLiteral("old-is-new")))
        given.first() = updated + QLatin1Char('/');
    if (options.removeAll(QStringLiteral("old-twice")))
        given << releases.first();
    if (options.removeAll(QStringLiteral("old-is-file")))
        given.first() += QStringLiteral("/kro.exe");
    if (options.removeAll(QStringLiteral("output-in-new")))
        package = updated + QStringLiteral("/update/kro_update.zip");
    if (options.removeAll(QStringLiteral("new-manifest"))) {
        QCOMPARE(tool({ QStringLiteral("manifest"), updated, QStringLiteral("-o"), newManifest }),
                 0);
        newRelease = newManifest;
    }
    const QStringList arguments = QStringList { QStringLiteral("make") } + given +
        QStringList { newRelease, QStringLiteral("-o"), package } + options;

    QStringList lines;
    QString errors;
    const int made = tool(arguments, &lines, &errors);
    const QString shown = lines.join(QLatin1Char('\n')) + errors;
    QVERIFY2(made == exitCode, qPrintable(shown));
    for (const QString &line : reported) {
        if (line.startsWith(QLatin1Char('!')))
            QVERIFY2(lines.filter(QRegularExpression(QLatin1Char('^') + line.mid(1))).isEmpty(),
                     qPrintable(shown));
        else
            QVERIFY2(lines.contains(line), qPrintable(shown));
    }
    if (exitCode != 0) {
        // Nothing written where a package was asked for, nor beside it.
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
        QVERIFY(!QFileInfo::exists(updated + QStringLiteral("/update")));
        return;
    }
    // Deflated, but where that would not make a file smaller.
    const QMap<QString, QString> methods = entries(package);
    QCOMPARE(methods.keys(), packed);
    for (auto entry = methods.begin(); entry != methods.end(); ++entry) {
        const QFileInfo file(updated + QLatin1Char('/') + entry.key());
        if (entry.key().endsWith(QLatin1String(".ogg")))
            QCOMPARE(entry.value(), QStringLiteral("Store"));
        else if (file.isFile() && file.size() > 1000)
            QVERIFY2(entry.value().startsWith(QLatin1String("Deflate")), qPrintable(entry.key()));
    }
    QVERIFY2(lines.filter(QRegularExpression(QStringLiteral("^proof: "))).size() ==
                 qMax(1, int(olds.size())),
             qPrintable(shown));

    // Extracted over each OLD by the archiver, the package gives NEW.
    const Files expected = filesIn(updated);
    for (const QString &release : releases.isEmpty() ? QStringList { QString() } : releases) {
        const QString applied = work.filePath(QStringLiteral("applied"));
        QDir(applied).removeRecursively();
        QVERIFY(release.isEmpty() ? QDir().mkpath(applied) : copyTree(release, applied));
        run(QStringLiteral("7za"),
            { QStringLiteral("x"), package, QStringLiteral("-o") + applied,
              QStringLiteral("-aoa") });
        const Files got = filesIn(applied);
        for (auto file = expected.begin(); file != expected.end(); ++file) {
            if (!file.key().startsWith(QStringLiteral("更新/")) &&
                !file.key().startsWith("TOOLS/更新"))
                QVERIFY2(got.value(file.key()) == file.value(), qPrintable(release + file.key()));
        }
    }

    // The same bytes from the same folders, made another day, in another
    // time zone, with another umask and other modes in NEW.
    for (QDirIterator it(updated, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        QFile::setPermissions(
            it.next(),
            QFile::ReadOwner | QFile::WriteOwner |
                (it.fileName().endsWith(".exe") ? QFile::ExeOwner : QFile::Permissions()));
    const QString again = out + QStringLiteral("/again.zip");
    QStringList remade = arguments;
    remade.replace(remade.indexOf(package), again);
    if (remade.contains(QStringLiteral("--manifest")))
        remade.replace(remade.indexOf(newManifest), newManifest + QStringLiteral(".again"));
    // Made from the folders where the first was made from manifests.
    for (int k = 0; k < releases.size(); ++k)
        remade.replace(k + 1, releases.at(k));
    QStringList remadeLines;
    QString remadeErrors;
    QVERIFY2(tool(remade, &remadeLines, &remadeErrors,
                  QStringLiteral("umask 077; export TZ=Asia/Shanghai LD_PRELOAD='%1' FAKETIME=+1d")
                      .arg(fakeTimeLibrary)) == 0,
             qPrintable(remadeLines.join(QLatin1Char('\n')) + remadeErrors));
    QCOMPARE(readFile(again), readFile(package));

    if (!QFileInfo::exists(newManifest))
        return;
    // NEW's manifest: what the manifest command writes, which sha256sum checks.
    QCOMPARE(readFile(newManifest), readFile(newManifest + QStringLiteral(".again")));
    const QString written = newManifest + QStringLiteral(".written");
    QCOMPARE(tool({ QStringLiteral("manifest"), updated, QStringLiteral("-o"), written }), 0);
    QCOMPARE(readFile(newManifest), readFile(written));
    QProcess sums;
    sums.setWorkingDirectory(updated);
    sums.start(QStringLiteral("sha256sum"),
               { QStringLiteral("--check"), QStringLiteral("--strict"), QStringLiteral("--quiet"),
                 newManifest });
    QVERIFY(sums.waitForFinished(60000));
    QCOMPARE(sums.exitCode(), 0);
}

// Manifests that are not, each refused with the line at fault.
void TestPackage::badManifest_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");

    const QByteArray header = "# updater-package manifest 1\n";
    const QByteArray hash = QByteArray(64, 'a');
    QTest::newRow("another version") << QByteArray("# updater-package manifest 2\n") << 1;
    QTest::newRow("a line cut off") << header + "# file 1 a.txt\n" + hash + "  a.tx" << 3;
    QTest::newRow("an edited line") << header + "# file one a.txt\n" + hash + "  a.txt\n" << 2;
    QTest::newRow("a hash for another file") << header + "# file 1 a.txt\n" + hash + "  b.txt\n"
                                             << 3;
    QTest::newRow("a malformed hash") << header + "# file 1 a.txt\n" + hash.left(63) + "  a.txt\n"
                                      << 3;
    QTest::newRow("a missing hash") << header + "# file 1 a.txt\n" << 2;
    QTest::newRow("dot-dot") << header + "# folder ../up/\n" << 2;
    QTest::newRow("an absolute path") << header + "# file 1 /a.txt\n" + hash + "  /a.txt\n" << 3;
    QTest::newRow("a path given twice") << header + "# folder data/\n# file 1 DATA\n" + hash +
            "  DATA\n" << 4;
}

void TestPackage::badManifest()
{
    QFETCH(QByteArray, text);
    QFETCH(int, line);

    writeTree(updated, { { "a.txt", "x" } });
    const QString manifest = work.filePath(QStringLiteral("bad.manifest"));
    QVERIFY(writeFile(manifest, text));
    const QString out = work.filePath(QStringLiteral("out"));
    QDir(out).removeRecursively();
    QVERIFY(QDir().mkpath(out));
    QString errors;
    QCOMPARE(tool({ QStringLiteral("make"), manifest, updated, QStringLiteral("-o"),
                    out + QStringLiteral("/p.zip") },
                  nullptr, &errors),
             2);
    QVERIFY2(errors.contains(QStringLiteral("bad.manifest:%1:").arg(line)), qPrintable(errors));
    QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

// A client past the zip format's first limits: more than 65,535 entries
// and a file over 4 GiB, made whole, checked, proven and extracted by the
// archiver the updater uses.
void TestPackage::bigClient()
{
    const QString client = work.filePath(QStringLiteral("big"));
    QDir(client).removeRecursively();
    for (int i = 0; i < 70000; ++i)
        QVERIFY(writeFile(client + QStringLiteral("/data/%1/%2.txt").arg(i / 1000).arg(i),
                          QByteArray::number(i)));
    QFile large(client + QStringLiteral("/video.bin"));
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(4097LL * 1024 * 1024));
    large.close();
    const QString package = work.filePath(QStringLiteral("big.zip"));
    QStringList lines;
    QCOMPARE(tool({ QStringLiteral("make"), client, QStringLiteral("-o"), package }, &lines), 0);
    QVERIFY2(lines.contains(QStringLiteral("proof: the package extracted into an empty folder is "
                                           "NEW: 70001 files extracted and alike")),
             qPrintable(lines.join(QLatin1Char('\n'))));
    QFile::remove(package);
    QDir(client).removeRecursively();
}

// Ended from outside while it works, it leaves no scratch file: neither the
// package beside the output nor the extraction in TMPDIR.
void TestPackage::interrupted()
{
    writeTree(updated, {});
    writeFiller(updated + QStringLiteral("/data/large.pak"), 1LL << 30);
    const QString out = work.filePath(QStringLiteral("out"));
    const QString temporary = work.filePath(QStringLiteral("tmp"));
    for (const QString &folder : { out, temporary }) {
        QDir(folder).removeRecursively();
        QVERIFY(QDir().mkpath(folder));
    }
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), temporary);
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral(PACKAGE_TOOL),
               { QStringLiteral("make"), updated, QStringLiteral("-o"),
                 out + QStringLiteral("/kro_update.zip") });
    QTRY_VERIFY_WITH_TIMEOUT(
        !QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty(),
        30000);
    tool.terminate();
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitCode(), 128 + SIGTERM);
    for (const QString &folder : { out, temporary })
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
}

QTEST_MAIN(TestPackage)
#include "tst_package.moc"
