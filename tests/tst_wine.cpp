#include "support.h"

#include <QDirIterator>
#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// The shipped Windows build doing its whole job under Wine, on a virtual
// display, with Wine's own interpreter and taskkill, the Windows 7za.exe and
// a Windows stand-in client, in a client folder with a Chinese name and a
// space, on a Simplified-Chinese Windows (code page 936).
class TestWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void archiverBanner();
    void update_data();
    void update();
    void packageNames_data();
    void packageNames();
    void packageTool_data();
    void packageTool();
    void packageToolMake();
    void packageToolHeldOpen();

private:
    QProcess *startWindowsProgram(const QString &program, const QStringList &arguments = {});
    bool runWindowsProgram(QProcess &process, const QStringList &command,
                           const QString &dir = QString()) const;
    void setDisplayScale(int dpi);
    void endWineServer() const;
    QStringList clientStarts() const;
    int runTool(bool windows, const QStringList &arguments, QStringList *lines,
                QString *errors = nullptr) const;
    QImage grabUpdater() const;

    QTemporaryDir work;
    QProcessEnvironment wine;
    QString package;
    QByteArray newClient; // the package's kro.exe
    QString client;
    QString outside;
    int logPixels = 0;
};

namespace {

// The shipped folder, or another such as a signed one.
const QString shipDir = qEnvironmentVariable("UPDATER_SHIP_DIR", QStringLiteral(SHIP_DIR));
// Wine names a process after the first word of its command line: the
// updater's interpreters and archiver are these.
const QString interpreter = QStringLiteral("cmd");
const QString archiver = QStringLiteral("7za");
const QString windowsClient = QStringLiteral(WINDOWS_CLIENT);
const QString windowsTaskkill = QStringLiteral(WINDOWS_TASKKILL);
const QString windowsHold = QStringLiteral(WINDOWS_HOLD);
// The package tool's Windows folder, with its own 7za.exe.
const QString toolDir = QStringLiteral(TOOL_DIR);
enum class Package {
    Good,
    NotAZip,
    Missing,
    Truncated,
    SevenZip,
    DotDot,
    Absolute,
    LinkRelative,
    LinkAbsolute,
    Stream,
    DeviceNames,
    ClientQt,
    UpdaterItself,
    NamedLikeSuccess,
    Made,
    InterpreterInFolder,
    Encrypted,
};
// How the updater is started: with the client running or not, with a client
// that ends only some time after taskkill has returned (within the updater's
// wait, or after it), or twice in the same folder, the second once the first
// is at work.
enum class Start { ClientRunning, NoClient, SlowToEnd, OutlivesWait, Twice };
// Where the shipped folder lies: in the client's folder itself, or in a
// subfolder of its own that a launcher starts it from.
enum class Layout { Flat, Subfolder };
const QString subfolder = QStringLiteral("更新");
// Two releases of the client, but for its program, for the package tool.
const QMap<QString, QByteArray> madeFrom {
    { QStringLiteral("version.txt"), "version 1\r\n" },
    { QStringLiteral("资源/旧.txt"), "old\r\n" },
    { QStringLiteral("data/same.txt"), "same\r\n" },
};
const QMap<QString, QByteArray> madeTo {
    { QStringLiteral("version.txt"), "version 2\r\n" },
    { QStringLiteral("资源/新/说明.txt"), "新版本\r\n" },
    { QStringLiteral("data/same.txt"), "same\r\n" },
    { QStringLiteral("data/a.txt"), "new\r\n" },
};
// A file the archiver names in its progress lines for a while.
const QString namedFile = QStringLiteral("/data/Everything is Ok.pak");
constexpr qint64 namedSize = 300 * 1024 * 1024;

QString windowsPath(const QString &path)
{
    return QStringLiteral("Z:") + QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

bool copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(file);
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(file, target))
            return false;
    }
    return true;
}

// What the window shows, read from its pixels at a display scale: how far
// the bar is filled (0 to 100), how wide the label's text is in multiples
// of its height, which tells the three texts apart (about 7, 13 and 21
// characters), and whether the label's text and the bar's figure lie inside
// their boxes.
struct WindowState
{
    int filled = -1;
    double textWidth = 0;
    Ink label;
    Ink figure;
};

WindowState readWindow(const QImage &image, qreal scale)
{
    WindowState state;
    if (image.isNull())
        return state;
    state.label = inkIn(image, QRect(10, 37, 580, 20), scale);
    state.figure = inkIn(image, QRect(10, 15, 580, 12), scale);
    if (!state.label.ink.isEmpty())
        state.textWidth = double(state.label.ink.width()) / state.label.ink.height();

    // Across the bar's middle, the fill runs from the left in a colour; the
    // empty groove and its frame after it have none.
    const QRgb background = image.pixel(1, 1);
    const int y = qRound(21 * scale);
    const int right = qMin(image.width(), qRound(590 * scale));
    int x = qFloor(10 * scale);
    auto coloured = [&](int at) { return image.pixelColor(at, y).hsvSaturation() > 60; };
    while (x < right && !coloured(x))
        ++x;
    const int fillStart = x;
    while (x < right && coloured(x))
        ++x;
    const int fill = x - fillStart;
    while (x < right && image.pixel(x, y) != background)
        ++x;
    const int empty = qMax(0, x - fillStart - fill - qCeil(scale)); // less the frame
    if (fill > 0)
        state.filled = qRound(100.0 * fill / (fill + empty));
    return state;
}

QString describe(const WindowState &state)
{
    return QStringLiteral("filled %1, label width %2, label %3, figure %4")
        .arg(state.filled)
        .arg(state.textWidth)
        .arg(describe(state.label), describe(state.figure));
}

} // namespace

Q_DECLARE_METATYPE(Package)
Q_DECLARE_METATYPE(Layout)
Q_DECLARE_METATYPE(Start)
Q_DECLARE_METATYPE(ZipEntry)

void TestWine::initTestCase()
{
    useUtf8Locale();
    QVERIFY2(QFileInfo::exists(shipDir + QStringLiteral("/updater.exe")), qPrintable(shipDir));
    QVERIFY(QFileInfo::exists(windowsClient));
    QVERIFY(QFileInfo::exists(windowsTaskkill));

    wine = QProcessEnvironment::systemEnvironment();
    wine.insert(QStringLiteral("WINEPREFIX"),
                QCoreApplication::applicationDirPath() + QStringLiteral("/wineprefix"));
    wine.insert(QStringLiteral("WINEARCH"), QStringLiteral("win64"));
    wine.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No downloads of Wine's .NET and HTML engines: nothing here uses them.
    wine.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    // A Simplified-Chinese system: ANSI and OEM code page 936, Chinese messages.
    wine.insert(QStringLiteral("LC_ALL"), QStringLiteral("zh_CN.UTF-8"));
    wine.insert(QStringLiteral("DISPLAY"), qEnvironmentVariable("DISPLAY"));

    // A run ended by a time limit leaves its server behind, its desktop on
    // that run's display, which is gone: this run's programs would join it.
    endWineServer();
    QProcess boot;
    QVERIFY(runWindowsProgram(boot, { QStringLiteral("wineboot"), QStringLiteral("-i") }));
    QCOMPARE(boot.exitCode(), 0);

    // Large enough for the archiver to report progress on the way; the
    // client's own program is replaced by another, which needs it stopped
    // first.
    const QString source = work.filePath(QStringLiteral("package"));
    QVERIFY(writeFile(source + QStringLiteral("/资源/子目录/说明.txt"), "新版本\r\n"));
    QVERIFY(writeFile(source + QStringLiteral("/version.txt"), "version 2\r\n"));
    writeText(source + QStringLiteral("/data.txt"), 16 * 1024 * 1024);
    newClient = readFile(windowsClient) + "release 2\r\n";
    QVERIFY(writeFile(source + QStringLiteral("/kro.exe"), newClient));
    package = work.filePath(QStringLiteral("kro_update.zip"));
    QVERIFY(makeZip(source, package, { QStringLiteral("-mx1") }));

    // What a hostile package aims at beside the client folders.
    outside = work.filePath(QStringLiteral("outside"));
    QVERIFY(writeFile(outside + QStringLiteral("/keep.txt"), "outside\r\n"));
}

void TestWine::cleanup()
{
    const QStringList names = { QStringLiteral("updater.exe"), interpreter, archiver,
                                QStringLiteral("kro.exe") };
    auto running = [&] {
        QList<qint64> pids;
        for (const QString &name : names)
            pids += processesIn(client, name);
        return pids;
    };
    for (const qint64 pid : running())
        ::kill(pid_t(pid), SIGKILL);
    QTRY_VERIFY(running().isEmpty());
}

// Wine's processes are gone before the next suite's taskkill looks for a
// kro.exe.
void TestWine::cleanupTestCase()
{
    endWineServer();
}

// Ends the Wine server of this suite's prefix and every program on it.
void TestWine::endWineServer() const
{
    for (const QString &option : { QStringLiteral("-k"), QStringLiteral("-w") }) {
        QProcess server;
        server.setProcessEnvironment(wine);
        server.start(QStringLiteral("wineserver"), { option });
        server.waitForFinished();
    }
}

QProcess *TestWine::startWindowsProgram(const QString &program, const QStringList &arguments)
{
    auto *process = new QProcess(this);
    process->setProcessEnvironment(wine);
    process->setWorkingDirectory(client);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(QStringLiteral("wine"), QStringList { program } + arguments);
    return process;
}

// Runs a Windows program under Wine in `process`, to its end.
bool TestWine::runWindowsProgram(QProcess &process, const QStringList &command,
                                 const QString &dir) const
{
    process.setProcessEnvironment(wine);
    process.setWorkingDirectory(dir);
    process.start(QStringLiteral("wine"), command);
    return process.waitForFinished(180000);
}

// The display scale as a user's desktop sets it: Windows' LogPixels, read by
// each program as it starts.
void TestWine::setDisplayScale(int dpi)
{
    if (dpi == logPixels)
        return;
    QProcess reg;
    QVERIFY(runWindowsProgram(
        reg,
        { QStringLiteral("reg"), QStringLiteral("add"),
          QStringLiteral("HKCU\\Control Panel\\Desktop"), QStringLiteral("/v"),
          QStringLiteral("LogPixels"), QStringLiteral("/t"), QStringLiteral("REG_DWORD"),
          QStringLiteral("/d"), QString::number(dpi), QStringLiteral("/f") }));
    QCOMPARE(reg.exitCode(), 0);
    logPixels = dpi;
}

// One line per start of the stand-in client.
QStringList TestWine::clientStarts() const
{
    return QString::fromUtf8(readFile(client + QStringLiteral("/kro_starts.log")))
        .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
}

// The updater's window: the largest top-level window of that name.
QImage TestWine::grabUpdater() const
{
    QProcess tree;
    tree.start(QStringLiteral("xwininfo"), { QStringLiteral("-root"), QStringLiteral("-tree") });
    tree.waitForFinished();
    static const QRegularExpression window(
        QStringLiteral("^\\s*(0x[0-9a-f]+) \"updater\".*\\s(\\d+)x(\\d+)\\+"),
        QRegularExpression::MultilineOption);
    WId id = 0;
    int largest = 0;
    auto it = window.globalMatch(QString::fromUtf8(tree.readAll()));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const int area = match.captured(2).toInt() * match.captured(3).toInt();
        if (area > largest) {
            largest = area;
            id = match.captured(1).toULongLong(nullptr, 16);
        }
    }
    return id ? QGuiApplication::primaryScreen()->grabWindow(id).toImage() : QImage();
}

// The shipped archiver is the 7-Zip of the source package it was built
// from: Debian numbers it "22.01+really26.02+dfsg-…".
void TestWine::archiverBanner()
{
    const QString source = QString::fromLatin1(readFile(QStringLiteral(ARCHIVER_SOURCE)).trimmed());
    QVERIFY2(source.contains(QLatin1String("really")), qPrintable(source));
    const QString release =
        source.section(QStringLiteral("really"), 1).section(QLatin1Char('+'), 0, 0);

    QProcess sevenZip;
    QVERIFY(runWindowsProgram(sevenZip, { QStringLiteral("7za.exe") }, shipDir));
    const QByteArray banner = sevenZip.readAllStandardOutput();
    QVERIFY2(banner.contains("7-Zip (a) " + release.toLatin1() + " (x64)"), banner.constData());
}

void TestWine::update_data()
{
    QTest::addColumn<Package>("packageKind");
    QTest::addColumn<Layout>("layout");
    QTest::addColumn<Start>("start");
    QTest::addColumn<int>("dpi");
    QTest::addColumn<bool>("succeeds");

    const Layout flat = Layout::Flat;
    const Start running = Start::ClientRunning;
    QTest::newRow("update") << Package::Good << flat << running << 96 << true;
    QTest::newRow("no client running") << Package::Good << flat << Start::NoClient << 96 << true;
    // Its kro.exe cannot be replaced until it has ended: 3 s, and past the wait.
    QTest::newRow("client slow to end") << Package::Good << flat << Start::SlowToEnd << 96 << true;
    QTest::newRow("client outliving the wait")
        << Package::Good << flat << Start::OutlivesWait << 96 << false;
    QTest::newRow("not a zip") << Package::NotAZip << flat << running << 96 << false;
    QTest::newRow("no package") << Package::Missing << flat << running << 96 << false;
    // The display scales most Windows laptops and 4K monitors run at.
    QTest::newRow("scale 150") << Package::Good << flat << running << 144 << true;
    QTest::newRow("scale 200") << Package::Good << flat << running << 192 << true;
    QTest::newRow("scale 250") << Package::Good << flat << running << 240 << true;
    // Hostile and broken packages: nothing may land outside the client folder.
    QTest::newRow("truncated") << Package::Truncated << flat << running << 96 << false;
    // The archiver reads zips alone.
    QTest::newRow("7z archive named zip") << Package::SevenZip << flat << running << 96 << false;
    QTest::newRow("dot-dot entries") << Package::DotDot << flat << running << 96 << true;
    QTest::newRow("absolute entries") << Package::Absolute << flat << running << 96 << true;
    QTest::newRow("link to a relative path outside")
        << Package::LinkRelative << flat << running << 96 << false;
    QTest::newRow("link to an absolute path")
        << Package::LinkAbsolute << flat << running << 96 << false;
    QTest::newRow("stream names") << Package::Stream << flat << running << 96 << true;
    QTest::newRow("device names") << Package::DeviceNames << flat << running << 96 << true;
    // Deploying: in a subfolder of its own the updater's files are never in
    // the package's way; laid flat, a package cannot replace the running updater.
    QTest::newRow("subfolder layout")
        << Package::ClientQt << Layout::Subfolder << running << 96 << true;
    QTest::newRow("flat layout, package holds the updater")
        << Package::UpdaterItself << flat << running << 96 << false;
    QTest::newRow("names holding the success text")
        << Package::NamedLikeSuccess << flat << running << 96 << true;
    // An error, not a wait for a password on the updater's open input.
    QTest::newRow("an encrypted entry") << Package::Encrypted << flat << running << 96 << false;
    QTest::newRow("package made by the package tool")
        << Package::Made << flat << running << 96 << true;
    // A cmd.exe where the updater and the client lie is not the interpreter.
    QTest::newRow("cmd.exe in the install folder")
        << Package::InterpreterInFolder << flat << running << 96 << true;
    // A double click: one window, one client.
    QTest::newRow("second start in the same folder")
        << Package::NamedLikeSuccess << flat << Start::Twice << 96 << true;
}

void TestWine::update()
{
    QFETCH(Package, packageKind);
    QFETCH(Layout, layout);
    QFETCH(Start, start);
    const bool clientRunning = start != Start::NoClient;
    QFETCH(int, dpi);
    QFETCH(bool, succeeds);
    const qreal scale = dpi / 96.0;

    client = work.filePath(QStringLiteral("测试 客户端 ") +
                           QString::fromLatin1(QTest::currentDataTag()));
    const QString home =
        layout == Layout::Subfolder ? client + QLatin1Char('/') + subfolder : client;
    QVERIFY(copyTree(shipDir, home));
    QVERIFY(QDir().mkpath(home + QStringLiteral("/log")));
    QVERIFY(QDir().mkpath(client + QStringLiteral("/update")));
    QVERIFY(QFile::copy(windowsClient, client + QStringLiteral("/kro.exe")));
    const QString target = client + QStringLiteral("/update/kro_update.zip");
    const QList<ZipEntry> plain { { "data/a.txt", "new\r\n" } };
    switch (packageKind) {
    case Package::InterpreterInFolder:
        // Were it run, it would note a client start and never read a line.
        QVERIFY(QFile::copy(windowsClient, client + QStringLiteral("/cmd.exe")));
        Q_FALLTHROUGH();
    case Package::Good:
        QVERIFY(QFile::copy(package, target));
        break;
    case Package::NotAZip:
        QVERIFY(writeFile(target, "PK\3\4 this is not a zip\r\n"));
        break;
    case Package::Missing:
        break;
    case Package::Truncated: {
        QVERIFY(QFile::copy(package, target));
        QFile file(target);
        QVERIFY(file.resize(file.size() / 2));
        break;
    }
    case Package::SevenZip: {
        const QString source = work.filePath(QStringLiteral("7z source"));
        QVERIFY(writeFile(source + QStringLiteral("/data/a.txt"), "new\r\n"));
        QProcess zip;
        zip.setWorkingDirectory(source);
        zip.start(QStringLiteral("7za"),
                  { QStringLiteral("a"), QStringLiteral("-t7z"), target, QStringLiteral("data") });
        QVERIFY(zip.waitForFinished(60000));
        QCOMPARE(zip.exitCode(), 0);
        QVERIFY(QDir(source).removeRecursively());
        break;
    }
    case Package::DotDot:
        writeZip(target,
                 plain +
                     QList<ZipEntry> { { "..\\escape.txt", "x", false, true },
                                       { "data\\..\\..\\..\\escape2.txt", "x", false, true },
                                       { "../escape3.txt", "x" } });
        break;
    case Package::Absolute:
        writeZip(
            target,
            plain +
                QList<ZipEntry> { { windowsPath(outside).toUtf8() + "\\abs.txt", "x", false, true },
                                  { "C:\\kro_abs.txt", "x", false, true },
                                  { "\\\\?\\" + windowsPath(outside).toUtf8() + "\\unc.txt", "x",
                                    false, true } });
        break;
    case Package::LinkRelative:
        writeZip(target,
                 plain +
                     QList<ZipEntry> { { "p2/link", "../../outside", true },
                                       { "p2/link/evil.txt", "x" } });
        break;
    case Package::LinkAbsolute:
        writeZip(target,
                 plain +
                     QList<ZipEntry> { { "p2/link", windowsPath(outside).toUtf8(), true },
                                       { "p2/link/evil.txt", "x" } });
        break;
    case Package::Stream:
        writeZip(target,
                 plain +
                     QList<ZipEntry> { { "data/a.txt:evil", "x" },
                                       { "kro.exe:Zone.Identifier", "x", false, true } });
        break;
    case Package::DeviceNames:
        writeZip(target,
                 plain +
                     QList<ZipEntry> { { "CON", "x" }, { "aux.txt", "x" }, { "data/nul", "x" } });
        break;
    case Package::ClientQt:
        // The client is a Qt program of its own, with its own Qt5Core.dll.
        QVERIFY(writeFile(client + QStringLiteral("/Qt5Core.dll"), "client Qt 1\r\n"));
        writeZip(target,
                 plain +
                     QList<ZipEntry> { { "Qt5Core.dll", "client Qt 2\r\n" },
                                       { "version.txt", "version 2\r\n" } });
        break;
    case Package::UpdaterItself:
        writeZip(
            target,
            QList<ZipEntry> { { "version.txt", "version 2\r\n" },
                              { "updater.exe", readFile(shipDir + QStringLiteral("/updater.exe")) },
                              { "zz_after.txt", "x" } });
        break;
    case Package::Made: {
        // The client folder holds the first release; the package the tool
        // makes from the two takes it to the second.
        for (auto file = madeFrom.begin(); file != madeFrom.end(); ++file) {
            QVERIFY(
                writeFile(work.filePath(QStringLiteral("release 1/")) + file.key(), file.value()));
            QVERIFY(writeFile(client + QLatin1Char('/') + file.key(), file.value()));
        }
        for (auto file = madeTo.begin(); file != madeTo.end(); ++file)
            QVERIFY(
                writeFile(work.filePath(QStringLiteral("release 2/")) + file.key(), file.value()));
        QProcess tool;
        tool.start(QStringLiteral(PACKAGE_TOOL),
                   { QStringLiteral("make"), work.filePath(QStringLiteral("release 1")),
                     work.filePath(QStringLiteral("release 2")), QStringLiteral("-o"), target,
                     QStringLiteral("--layout"), QStringLiteral("flat") });
        QVERIFY(tool.waitForFinished(60000));
        QVERIFY2(tool.exitCode() == 0, tool.readAllStandardOutput().constData());
        break;
    }
    case Package::Encrypted: {
        // An encrypted entry, and a plain one added after it.
        const QString source = work.filePath(QStringLiteral("encrypted source"));
        QVERIFY(writeFile(source + QStringLiteral("/data/a.txt"), "new\r\n"));
        QVERIFY(makeZip(source, target, { QStringLiteral("-psecret") }));
        QVERIFY(QFile::remove(source + QStringLiteral("/data/a.txt")));
        QVERIFY(writeFile(source + QStringLiteral("/plain.txt"), "plain\r\n"));
        QVERIFY(makeZip(source, target));
        QVERIFY(QDir(source).removeRecursively());
        QVERIFY(writeFile(client + QStringLiteral("/data/a.txt"), "sixteen bytes!\r\n"));
        break;
    }
    case Package::NamedLikeSuccess: {
        const QString source = work.filePath(QStringLiteral("named source"));
        QVERIFY(writeFile(source + QStringLiteral("/data/a.txt"), "new\r\n"));
        writeFiller(source + namedFile, namedSize);
        QVERIFY(writeFile(source + QStringLiteral("/Everything is Ok/readme.txt"), "ok\r\n"));
        QVERIFY(makeZip(source, target, { QStringLiteral("-mx1") }));
        QVERIFY(QDir(source).removeRecursively());
        break;
    }
    }
    setDisplayScale(dpi);

    qint64 oldClient = 0;
    QString oldWindowsPid;
    if (clientRunning) {
        startWindowsProgram(QStringLiteral("kro.exe"));
        QTRY_COMPARE_WITH_TIMEOUT(clientStarts().size(), 1, 30000);
        QTRY_COMPARE(processesIn(client, QStringLiteral("kro.exe")).size(), 1);
        oldClient = processesIn(client, QStringLiteral("kro.exe")).first();
        oldWindowsPid = clientStarts().first().section(QLatin1Char(' '), 1, 1);
    }
    const int startsBefore = clientStarts().size();
    const QStringList before = surroundings(work.path(), client);
    const QByteArray keptShipped = readFile(home + QStringLiteral("/Qt5Core.dll"));

    const int teardownMs = start == Start::SlowToEnd ? 3000
        : start == Start::OutlivesWait               ? 15000
                                                     : 0;
    if (teardownMs > 0) {
        // Found in the install folder before Wine's own.
        QVERIFY(QFile::copy(windowsTaskkill, client + QStringLiteral("/taskkill.exe")));
        wine.insert(QStringLiteral("TASKKILL_TEARDOWN_MS"), QString::number(teardownMs));
    }
    if (layout == Layout::Subfolder) {
        // Started as a studio's launcher does it (see the README): from the
        // client folder, with the updater's subfolder on PATH for 7za.
        const QString launcher = client + QStringLiteral("/启动更新.bat");
        QVERIFY(writeFile(launcher,
                          QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral(
                              "@echo off\r\n"
                              "set \"PATH=%~dp0更新;%PATH%\"\r\n"
                              "start \"\" /D \"%~dp0.\" \"%~dp0更新\\updater.exe\"\r\n"))));
        startWindowsProgram(QStringLiteral("cmd"), { QStringLiteral("/c"), windowsPath(launcher) });
    } else {
        startWindowsProgram(QStringLiteral("updater.exe"));
    }
    wine.remove(QStringLiteral("TASKKILL_TEARDOWN_MS"));
    const QString logDir = home + QStringLiteral("/log");
    if (start == Start::Twice) {
        // Once the first holds the folder and is at work, as its extraction
        // record says: the same folder spelt otherwise, in upper case, with
        // forward slashes and a trailing one. The second leaves at once, with
        // nothing done.
        QTRY_VERIFY_WITH_TIMEOUT(logMessages(readLog(logDir)).size() >= 2, 60000);
        QProcess *second = startWindowsProgram(
            QStringLiteral("start"),
            { QStringLiteral("/wait"), QStringLiteral("/d"),
              windowsPath(client).toUpper().replace(QLatin1Char('\\'), QLatin1Char('/')) +
                  QLatin1Char('/'),
              windowsPath(home + QStringLiteral("/updater.exe")) });
        QVERIFY(second->waitForFinished(30000));
        QCOMPARE(second->exitCode(), 0);
    }
    WindowState state;
    auto drawn = [&](bool done) {
        state = readWindow(grabUpdater(), scale);
        const bool shown = done
            ? state.filled == 100 && state.textWidth > 10 && state.textWidth < 17
            : state.textWidth > 17;
        return shown && state.label.inside() && state.figure.inside();
    };
    if (succeeds) {
        // Generous: a start slowed by load is no fault of the updater.
        QTRY_COMPARE_WITH_TIMEOUT(clientStarts().size(), startsBefore + 1, 120000);
        if (packageKind == Package::NamedLikeSuccess)
            QCOMPARE(QFileInfo(client + namedFile).size(), namedSize);
        QTRY_VERIFY2_WITH_TIMEOUT(drawn(true), qPrintable(describe(state)), 10000);
    } else {
        QTRY_VERIFY2_WITH_TIMEOUT(drawn(false), qPrintable(describe(state)), 120000);
    }
    // The archiver ends by itself, within a bound, whatever the package.
    QTRY_VERIFY_WITH_TIMEOUT(processesIn(client, archiver).isEmpty(), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!processesIn(client, QStringLiteral("kro.exe")).contains(oldClient),
                             30000);
    const QList<qint64> updaters = processesIn(client, QStringLiteral("updater.exe"));
    QCOMPARE(updaters.size(), 1);
    const qint64 updater = updaters.first();
    // The window in device-independent pixels: larger by the display scale.
    const QImage window = grabUpdater();
    QCOMPARE(window.size(), QSize(qRound(600 * scale), qRound(67 * scale)));

    // Drawn in software alone: neither Direct3D nor an OpenGL driver is loaded.
    const QByteArray maps = readFile(QStringLiteral("/proc/%1/maps").arg(updater));
    QVERIFY(maps.contains("user32.dll"));
    for (const char *library :
         { "d3d9.dll", "d3d11.dll", "dxgi.dll", "wined3d.dll", "opengl32.dll", "_dri.so" })
        QVERIFY2(!maps.contains(library), library);

    if (packageKind == Package::Good || packageKind == Package::InterpreterInFolder) {
        QCOMPARE(readFile(client + QStringLiteral("/version.txt")), QByteArray("version 2\r\n"));
        QCOMPARE(readFile(client + QStringLiteral("/资源/子目录/说明.txt")),
                 QByteArray("新版本\r\n"));
        QCOMPARE(QFileInfo(client + QStringLiteral("/data.txt")).size(), 16 * 1024 * 1024);
        // Replaced once the client had gone; left whole where it had not.
        QCOMPARE(readFile(client + QStringLiteral("/kro.exe")),
                 succeeds ? newClient : readFile(windowsClient));
    } else if (succeeds) {
        QCOMPARE(readFile(client + QStringLiteral("/data/a.txt")), QByteArray("new\r\n"));
    }
    if (packageKind == Package::Made) {
        // The second release, and what the first had that it lacks.
        QMap<QString, QByteArray> expected = madeTo;
        expected.insert(QStringLiteral("资源/旧.txt"),
                        madeFrom.value(QStringLiteral("资源/旧.txt")));
        QMap<QString, QByteArray> found;
        QDirIterator it(client, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = QDir(client).relativeFilePath(it.next());
            const QString top = path.section(QLatin1Char('/'), 0, 0);
            if (!QFileInfo::exists(shipDir + QLatin1Char('/') + top) &&
                !QStringList { "log", "update", "kro.exe", "kro_starts.log" }.contains(top))
                found.insert(path, readFile(client + QLatin1Char('/') + path));
        }
        QCOMPARE(found.keys(), expected.keys());
        QVERIFY(found == expected);
    }
    // The file it could not write is left as it was, and the rest is written.
    if (packageKind == Package::Encrypted) {
        QCOMPARE(readFile(client + QStringLiteral("/data/a.txt")),
                 QByteArray("sixteen bytes!\r\n"));
        QCOMPARE(readFile(client + QStringLiteral("/plain.txt")), QByteArray("plain\r\n"));
    }
    if (packageKind == Package::ClientQt) {
        QCOMPARE(readFile(client + QStringLiteral("/Qt5Core.dll")), QByteArray("client Qt 2\r\n"));
        QCOMPARE(readFile(client + QStringLiteral("/version.txt")), QByteArray("version 2\r\n"));
    }
    QCOMPARE(readFile(home + QStringLiteral("/Qt5Core.dll")), keptShipped);
    // Started once at the most, and only when the archiver is done.
    QCOMPARE(clientStarts().size(), startsBefore + (succeeds ? 1 : 0));
    if (!succeeds)
        QVERIFY(processesIn(client, QStringLiteral("kro.exe")).isEmpty());
    QCOMPARE(surroundings(work.path(), client), before);
    QVERIFY(!QFileInfo::exists(wine.value(QStringLiteral("WINEPREFIX")) +
                               QStringLiteral("/drive_c/kro_abs.txt")));

    if (packageKind == Package::LinkRelative || packageKind == Package::LinkAbsolute) {
        // Wine has no symbolic links: a link let through would fail here too.
        // What keeps Windows safe is the archiver refusing it, before it
        // makes the link.
        QTemporaryDir scratch;
        QProcess sevenZip;
        QVERIFY(runWindowsProgram(sevenZip,
                                  { shipDir + QStringLiteral("/7za.exe"), QStringLiteral("x"),
                                    windowsPath(target), QStringLiteral("-y") },
                                  scratch.path()));
        const QByteArray errors = sevenZip.readAllStandardError();
        QVERIFY2(errors.contains("Dangerous link path was ignored : p2\\link"), errors.constData());
    }

    // The log: GBK text, records CR LF + message + stamp + LF. A transcript
    // is what the interpreter printed within its wait, cut wherever that
    // ended.
    const QString banner = QStringLiteral("Microsoft Windows 6.1.7601\r\n\r\n");
    const QString prompt = windowsPath(client) + QLatin1Char('>');
    const QString stopped = clientRunning
        ? QStringLiteral("已经强行结束 PID 为 %1 的进程 \"kro.exe\"。\r\n").arg(oldWindowsPid)
        : QStringLiteral("错误: 找不到进程 \"kro.exe\"。\r\n");
    QStringList expected = { banner + prompt + stopped + QStringLiteral("\r\n") + prompt,
                             QStringLiteral("7za x update/kro_update.zip  -aoa -mx2 -bsp1\n") };
    if (start == Start::OutlivesWait)
        expected.insert(1, QStringLiteral("kro.exe 在 10 秒内未结束，仍开始解压\n"));
    if (succeeds)
        expected << banner + prompt + QStringLiteral("\r\n") + prompt;
    QTRY_COMPARE(logMessages(readLog(logDir)).size(), expected.size());
    const QStringList messages = logMessages(readLog(logDir));
    for (int i = 0; i < expected.size(); ++i) {
        const bool transcript = expected.at(i).startsWith(banner);
        QVERIFY2(transcript ? expected.at(i).startsWith(messages.at(i))
                            : expected.at(i) == messages.at(i),
                 qPrintable(messages.at(i)));
    }
    static const QRegularExpression stamp(
        QStringLiteral("\\[\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]\n"));
    QByteArray rebuilt;
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    QStringList stamps;
    QByteArray log;
    for (const QString &file : QDir(logDir).entryList(QDir::Files, QDir::Time | QDir::Reversed))
        log += readFile(logDir + QLatin1Char('/') + file);
    for (auto it = stamp.globalMatch(QString::fromLatin1(log)); it.hasNext();)
        stamps << it.next().captured();
    QCOMPARE(stamps.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        rebuilt += "\r\n" + gbk->fromUnicode(messages.at(i)) + stamps.at(i).toLatin1();
    QCOMPARE(log, rebuilt);

    // The updater goes; the client it started stays.
    const QList<qint64> clients = processesIn(client, QStringLiteral("kro.exe"));
    ::kill(pid_t(updater), SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(processesIn(client, interpreter).isEmpty(), 10000);
    QCOMPARE(processesIn(client, QStringLiteral("kro.exe")), clients);
    QCOMPARE(clients.size(), succeeds ? 1 : 0);
}

// What the shipped archiver makes of names on Simplified-Chinese,
// Traditional-Chinese and English Windows is what the package tool says it
// makes of them: where each entry lands, and which entry's bytes a file
// holds where two land in one place.
void TestWine::packageNames_data()
{
    QTest::addColumn<QList<ZipEntry>>("zipped");

    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    const QByteArray chinese = QStringLiteral("资源/说明.txt").toUtf8();
    QTest::newRow("GBK names without the flag") << QList<ZipEntry> {
        { gbk->fromUnicode(QStringLiteral("资源/说明.txt")), "1", false, true, false },
        { gbk->fromUnicode(QStringLiteral("更新说明.txt")), "2", false, true, false }
    };
    QTest::newRow("UTF-8 names without the flag, made on Windows")
        << QList<ZipEntry> { { chinese, "1", false, true, false } };
    QTest::newRow("UTF-8 names without the flag, made on Unix")
        << QList<ZipEntry> { { chinese, "1", false, false, false } };
    QTest::newRow("a name in code page 437")
        << QList<ZipEntry> { { "filename_with_\x91o\x86.txt", "1", false, true, false } };
    QTest::newRow("names that differ in letter case")
        << QList<ZipEntry> { { "Data/a.txt", "1" }, { "data/A.txt", "2" } };
    QTest::newRow("names Windows cannot hold")
        << QList<ZipEntry> { { "a:b.txt", "1" },   { "CON", "2" },
                             { "aux.txt", "3" },   { "data/LPT1.log", "4" },
                             { "trail.", "5" },    { "why?.txt", "6" },
                             { "com0 .txt", "7" }, { "x\rEverything is Ok", "8" } };
    // Each byte as a lead byte, before trails of every range the code
    // pages treat apart; and bytes that are not UTF-8 in names read as UTF-8.
    QList<ZipEntry> pairs;
    QList<ZipEntry> notUtf8;
    for (int lead = 0x80; lead <= 0xff; ++lead) {
        QByteArray name = QByteArray::number(lead, 16) + '_';
        for (const int trail :
             { 0x30, 0x40, 0x41, 0x5c, 0x7e, 0x7f, 0x80, 0x9f, 0xa0, 0xa1, 0xb0, 0xfe, 0xff })
            name += char(lead) + QByteArray(1, char(trail));
        pairs << ZipEntry { name + ".txt", QByteArray::number(lead), false, true, false };
        notUtf8 << ZipEntry { "u" + QByteArray::number(lead, 16) + char(lead) + "x.txt", "1", false,
                              false, false };
    }
    QTest::newRow("every byte pair kind") << pairs;
    QTest::newRow("not UTF-8, made on Unix") << notUtf8;
    QTest::newRow("two names that become one") << QList<ZipEntry> {
        { "a:b.txt", "1" }, { "a_b.txt", "2" }, { "c|d", "3" }, { "c<d", "4" }
    };
}

void TestWine::packageNames()
{
    QFETCH(QList<ZipEntry>, zipped);
    const QString package = work.filePath(QStringLiteral("names.zip"));
    writeZip(package, zipped);

    const QList<QPair<int, QString>> machines { { 936, QStringLiteral("zh_CN.UTF-8") },
                                                { 950, QStringLiteral("zh_TW.UTF-8") },
                                                { 437, QStringLiteral("en_US.UTF-8") } };
    for (const auto &[codePage, locale] : machines) {
        const QStringList landing =
            QString::fromUtf8(run(QStringLiteral(PACKAGE_TOOL),
                                  { QStringLiteral("list"), package, QStringLiteral("--code-page"),
                                    QString::number(codePage) }))
                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(landing.size(), zipped.size());
        // Letter case plays no part on Windows; the later entry wins.
        QMap<QString, QByteArray> said;
        for (int i = 0; i < landing.size(); ++i)
            said.insert(landing.at(i).toUpper(), zipped.at(i).data);

        QTemporaryDir scratch;
        QProcessEnvironment machine = wine;
        machine.insert(QStringLiteral("LC_ALL"), locale);
        QProcess archiver;
        archiver.setProcessEnvironment(machine);
        archiver.setWorkingDirectory(scratch.path());
        archiver.start(QStringLiteral("wine"),
                       { shipDir + QStringLiteral("/7za.exe"), QStringLiteral("x"),
                         windowsPath(package), QStringLiteral("-aoa") });
        QVERIFY(archiver.waitForFinished(60000));
        QMap<QString, QByteArray> done;
        QDirIterator it(scratch.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            done.insert(QDir(scratch.path()).relativeFilePath(file).toUpper(), readFile(file));
        }
        auto lines = [](const QMap<QString, QByteArray> &files) {
            QStringList shown;
            for (auto file = files.begin(); file != files.end(); ++file)
                shown << file.key() + QLatin1Char('\t') + QString::fromLatin1(file.value());
            return shown;
        };
        QVERIFY2(
            lines(done) == lines(said),
            qPrintable(QStringLiteral("code page %1: the archiver wrote\n%2\nthe tool said\n%3")
                           .arg(codePage)
                           .arg(lines(done).join(QLatin1Char('\n')),
                                lines(said).join(QLatin1Char('\n')))));
    }
}

// The package tool, the Linux one or the Windows one under Wine, with
// `arguments` (absolute paths as Windows names them for the latter), run
// from a folder other than its own; its exit code, its output in `lines`
// with paths as Linux names them and its lines' ends.
int TestWine::runTool(bool windows, const QStringList &arguments, QStringList *lines,
                      QString *errors) const
{
    QProcess tool;
    tool.setWorkingDirectory(work.path());
    if (windows) {
        QStringList translated { toolDir + QStringLiteral("/updater-package.exe") };
        for (const QString &argument : arguments)
            translated << (argument.startsWith(QLatin1Char('/')) ? windowsPath(argument)
                                                                 : argument);
        tool.setProcessEnvironment(wine);
        tool.start(QStringLiteral("wine"), translated);
    } else {
        tool.start(QStringLiteral(PACKAGE_TOOL), arguments);
    }
    if (!tool.waitForFinished(300000))
        return -1;
    QString output = QString::fromUtf8(tool.readAllStandardOutput());
    if (windows) {
        for (const QString &argument : arguments) {
            if (argument.startsWith(QLatin1Char('/')))
                output.replace(windowsPath(argument), argument);
        }
    }
    // Lines end as Windows' do, there.
    *lines = output.remove(QLatin1Char('\r')).split(QLatin1Char('\n'));
    if (errors)
        *errors = QString::fromUtf8(tool.readAllStandardError());
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

// The Windows tool says of packages what the Linux one says, line for line,
// with the same exit codes, bad arguments included.
void TestWine::packageTool_data()
{
    QTest::addColumn<QList<ZipEntry>>("zipped");
    QTest::addColumn<QStringList>("arguments"); // PACKAGE: the package's path
    QTest::addColumn<bool>("corrupt"); // a byte of the first entry's data changed

    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    const QByteArray chinese = QStringLiteral("资源/说明.txt").toUtf8();
    const QStringList check { "check", "PACKAGE" };
    const ZipEntry gbkName { gbk->fromUnicode(QStringLiteral("资源/说明.txt")), "1", false, true,
                             false };
    QTest::newRow("clean") << QList<ZipEntry> { { chinese, "x" }, { "data/a.txt", "x" } } << check
                           << false;
    QTest::newRow("GBK names without the flag") << QList<ZipEntry> { gbkName } << check << false;
    QTest::newRow("names that differ in letter case")
        << QList<ZipEntry> { { "Data/a.txt", "1" }, { "data/A.txt", "2" } } << check << false;
    QTest::newRow("the updater's files")
        << QList<ZipEntry> { { QStringLiteral("更新/updater.exe").toUtf8(), "x" },
                             { "update/kro_update.zip", "x" } }
        << check << false;
    QTest::newRow("names Windows cannot hold") << QList<ZipEntry> {
        { "a:b.txt", "x" }, { "CON", "x" }, { "COM¹.txt", "x" }, { "trail.", "x" }
    } << check << false;
    QTest::newRow("dot-dot, absolute and link entries")
        << QList<ZipEntry> { { "../up.txt", "x" }, { "/abs.txt", "x" }, { "link", "a", true } }
        << check << false;
    QTest::newRow("programs in place of the interpreter's tools")
        << QList<ZipEntry> { { "7za.bat", "x" }, { "taskkill.exe", "x" } } << check << false;
    QTest::newRow("a backspace before the success line")
        << QList<ZipEntry> { { "x\bEverything is Ok", "x" } } << check << false;
    QTest::newRow("a path past 259 characters")
        << QList<ZipEntry> { { QByteArray(199, 'p'), "x" } } << check << false;
    QTest::newRow("a CRC error") << QList<ZipEntry> { { "a.txt", QByteArray(4096, 'a') } } << check
                                 << true;
    QTest::newRow("not a zip") << QList<ZipEntry>() << check << false;
    QTest::newRow("where entries land on code page 950")
        << QList<ZipEntry> { gbkName, { "a:b.txt", "x" } }
        << QStringList { "list", "PACKAGE", "--code-page", "950" } << false;
    QTest::newRow("a layout outside the install folder")
        << QList<ZipEntry> { { "a.txt", "x" } }
        << QStringList { "check", "PACKAGE", "--layout", "../更新" } << false;
    QTest::newRow("no such command") << QList<ZipEntry>() << QStringList { "frobnicate" } << false;
    QTest::newRow("no such package")
        << QList<ZipEntry>() << QStringList { "check", "MISSING" } << false;
}

void TestWine::packageTool()
{
    QFETCH(QList<ZipEntry>, zipped);
    QFETCH(QStringList, arguments);
    QFETCH(bool, corrupt);

    const QString package = work.filePath(QStringLiteral("tool.zip"));
    if (zipped.isEmpty()) {
        QVERIFY(writeFile(package, "PK\3\4 but not a zip\n"));
    } else {
        writeZip(package, zipped);
    }
    if (corrupt) {
        QFile file(package);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(30 + 5 + 2000));
        file.write("b");
    }
    arguments.replaceInStrings(QStringLiteral("PACKAGE"), package);
    arguments.replaceInStrings(QStringLiteral("MISSING"), work.filePath(QStringLiteral("no.zip")));
    QStringList onLinux;
    QStringList onWindows;
    const int exitCode = runTool(false, arguments, &onLinux);
    QCOMPARE(runTool(true, arguments, &onWindows), exitCode);
    QCOMPARE(onWindows, onLinux);
}

// Releases made on Windows and on Linux from the same folders give the same
// package, byte for byte: Chinese names, a nested and an empty folder, a
// file deflate does not shrink, a path past Windows' 260 characters.
void TestWine::packageToolMake()
{
    const QString old = work.filePath(QStringLiteral("tool release 1"));
    const QString updated = work.filePath(QStringLiteral("tool release 2"));
    QByteArray noise(200000, Qt::Uninitialized);
    for (char &c : noise)
        c = char(QRandomGenerator::global()->generate());
    const QString deep =
        QStringLiteral("深/") + QString(QStringLiteral("长路径目录/")).repeated(40);
    QVERIFY(writeFile(old + QStringLiteral("/version.txt"), "1\r\n"));
    QVERIFY(writeFile(old + QStringLiteral("/资源/旧.txt"), "old\r\n"));
    QVERIFY(writeFile(updated + QStringLiteral("/version.txt"), "2\r\n"));
    QVERIFY(writeFile(updated + QStringLiteral("/资源/旧.txt"), "old\r\n"));
    QVERIFY(writeFile(updated + QStringLiteral("/资源/新/更深/说明.txt"), "新版本\r\n"));
    QVERIFY(writeFile(updated + QStringLiteral("/music.ogg"), noise));
    QVERIFY(
        writeFile(updated + QLatin1Char('/') + deep + QStringLiteral("readme.txt"), "deep\r\n"));
    QVERIFY(QDir().mkpath(updated + QStringLiteral("/empty")));
    QVERIFY(windowsPath(updated + QLatin1Char('/') + deep).size() > 260);

    QStringList lines;
    const QString onLinux = work.filePath(QStringLiteral("linux.zip"));
    const QString onWindows = work.filePath(QStringLiteral("windows.zip"));
    QCOMPARE(runTool(false, { QStringLiteral("make"), old, updated, QStringLiteral("-o"), onLinux },
                     &lines),
             0);
    QString errors;
    const int made =
        runTool(true, { QStringLiteral("make"), old, updated, QStringLiteral("-o"), onWindows },
                &lines, &errors);
    QVERIFY2(made == 0, qPrintable(lines.join(QLatin1Char('\n')) + errors));
    QVERIFY(lines.contains(QStringLiteral("proof: OLD %1 with the package extracted over it is "
                                          "NEW, by bytes: 4 files extracted and alike, 1 alike in "
                                          "OLD and NEW")
                               .arg(old)));
    QCOMPARE(readFile(onWindows), readFile(onLinux));
    QCOMPARE(
        runTool(true,
                { QStringLiteral("check"), onWindows, QStringLiteral("--apply"), old, updated },
                &lines),
        0);
}

// A file another program holds open is an error naming it, not a package
// without it.
void TestWine::packageToolHeldOpen()
{
    const QString old = work.filePath(QStringLiteral("held release 1"));
    const QString updated = work.filePath(QStringLiteral("held release 2"));
    QVERIFY(writeFile(old + QStringLiteral("/a.txt"), "1"));
    QVERIFY(writeFile(updated + QStringLiteral("/a.txt"), "2"));
    QVERIFY(writeFile(updated + QStringLiteral("/held.pak"), "held"));
    QProcess hold;
    hold.setProcessEnvironment(wine);
    hold.start(QStringLiteral("wine"),
               { windowsHold, windowsPath(updated + QStringLiteral("/held.pak")) });
    QVERIFY(hold.waitForReadyRead(60000));
    QCOMPARE(hold.readAllStandardOutput(), QByteArray("held\n"));
    const auto end = qScopeGuard([&hold] {
        hold.kill();
        hold.waitForFinished();
    });
    const QString package = work.filePath(QStringLiteral("held.zip"));
    QStringList lines;
    QString errors;
    QCOMPARE(runTool(true, { QStringLiteral("make"), old, updated, QStringLiteral("-o"), package },
                     &lines, &errors),
             2);
    QVERIFY2(errors.contains(QStringLiteral("held.pak")), qPrintable(errors));
    QVERIFY(!QFileInfo::exists(package));
}

// The virtual display ends with the suite, however the suite ends.
class DisplayProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

// However the suite ends, a time limit's kill included, the Wine server of
// its prefix ends with it, and every program on it: a process outside the
// suite's tree waits for the suite's end on a pipe that only the suite holds.
void endWineServerAfterSuite()
{
    // Everything the waiting process needs is made before it exists: it
    // runs beside the toolkit's threads.
    const QByteArray server =
        QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("wineserver")));
    const QByteArray prefix = "WINEPREFIX=" +
        QFile::encodeName(QCoreApplication::applicationDirPath() + QStringLiteral("/wineprefix"));
    char *const argv[] = { const_cast<char *>("wineserver"), const_cast<char *>("-k"), nullptr };
    char *const envp[] = { const_cast<char *>(prefix.constData()), nullptr };
    int alive[2];
    if (server.isEmpty() || ::pipe2(alive, O_CLOEXEC) != 0)
        return;
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        ::close(alive[1]);
        const int null = ::open("/dev/null", O_RDWR);
        for (const int fd : { STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO })
            ::dup2(null, fd);
        char byte;
        while (::read(alive[0], &byte, 1) < 0 && errno == EINTR) { }
        ::execve(server.constData(), argv, envp);
        ::_exit(127);
    }
    ::close(alive[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
}

// A virtual display of its own, for Wine and for reading the window back.
int main(int argc, char *argv[])
{
    DisplayProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                 QStringLiteral("0"), QStringLiteral("1600x300x24"), QStringLiteral("-nolisten"),
                 QStringLiteral("tcp") });
    if (!xvfb.waitForReadyRead(30000)) {
        qCritical("No virtual display: %s", xvfb.readAllStandardError().constData());
        return 1;
    }
    qputenv("DISPLAY", ':' + xvfb.readAllStandardOutput().trimmed());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    endWineServerAfterSuite();
    TestWine test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wine.moc"
