#include "support.h"

#include <QDirIterator>
#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <csignal>

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
    void update_data();
    void update();

private:
    QProcess *startWindowsProgram(const QString &program);
    QStringList clientStarts() const;
    QImage grabUpdater() const;

    QTemporaryDir work;
    QProcessEnvironment wine;
    QString package;
    QString client;
};

namespace {

const QString shipDir = QStringLiteral(SHIP_DIR);
const QString windowsClient = QStringLiteral(WINDOWS_CLIENT);
enum class Package { Good, NotAZip, Missing };

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

// What the window shows, read from its pixels: how far the bar is filled
// (0 to 100) and how wide the label's text is, in multiples of its height,
// which tells the three texts apart (about 7, 13 and 21 characters).
struct WindowState
{
    int filled = -1;
    double textWidth = 0;
};

WindowState readWindow(const QImage &image)
{
    WindowState state;
    if (image.size() != QSize(600, 67))
        return state;
    // The bar (x 10, y 15, 580 × 12) is a framed groove with the figure
    // beside it. The frame's top edge gives the groove's width; across the
    // middle, the fill runs from the left in a colour, the empty groove has
    // none.
    const int left = 11;
    const QRgb frame = image.pixel(10, 15);
    int right = left;
    while (right < 590 && image.pixel(right, 15) == frame)
        ++right;
    const QColor fill = image.pixelColor(left, 21);
    int end = left;
    while (end < right && fill.hsvSaturation() > 60 && image.pixelColor(end, 21) == fill)
        ++end;
    if (right > left + 100)
        state.filled = qRound(100.0 * (end - left) / (right - 1 - left));

    // The label's ink: whatever differs from the window's background there.
    const QRgb background = image.pixel(2, 2);
    QRect ink;
    for (int y = 37; y < 57; ++y) {
        for (int x = 10; x < 590; ++x) {
            if (image.pixel(x, y) != background)
                ink |= QRect(x, y, 1, 1);
        }
    }
    if (!ink.isEmpty())
        state.textWidth = double(ink.width()) / ink.height();
    return state;
}

} // namespace

Q_DECLARE_METATYPE(Package)

void TestWine::initTestCase()
{
    useUtf8Locale();
    QVERIFY2(QFileInfo::exists(shipDir + QStringLiteral("/updater.exe")), qPrintable(shipDir));
    QVERIFY(QFileInfo::exists(windowsClient));

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

    QProcess boot;
    boot.setProcessEnvironment(wine);
    boot.start(QStringLiteral("wine"), { QStringLiteral("wineboot"), QStringLiteral("-i") });
    QVERIFY(boot.waitForFinished(180000));
    QCOMPARE(boot.exitCode(), 0);

    // Large enough for the archiver to report progress on the way; the
    // client's own program is replaced too, which needs it stopped first.
    const QString source = work.filePath(QStringLiteral("package"));
    QVERIFY(writeFile(source + QStringLiteral("/资源/子目录/说明.txt"), "新版本\r\n"));
    QVERIFY(writeFile(source + QStringLiteral("/version.txt"), "version 2\r\n"));
    writeText(source + QStringLiteral("/data.txt"), 16 * 1024 * 1024);
    QVERIFY(QFile::copy(windowsClient, source + QStringLiteral("/kro.exe")));
    package = work.filePath(QStringLiteral("kro_update.zip"));
    QVERIFY(makeZip(source, package, { QStringLiteral("-mx1") }));
}

void TestWine::cleanup()
{
    const QStringList names = { QStringLiteral("updater.exe"), QStringLiteral("cmd.exe"),
                                QStringLiteral("7za.exe"), QStringLiteral("kro.exe") };
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
    for (const QString &option : { QStringLiteral("-k"), QStringLiteral("-w") }) {
        QProcess server;
        server.setProcessEnvironment(wine);
        server.start(QStringLiteral("wineserver"), { option });
        server.waitForFinished();
    }
}

QProcess *TestWine::startWindowsProgram(const QString &program)
{
    auto *process = new QProcess(this);
    process->setProcessEnvironment(wine);
    process->setWorkingDirectory(client);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(QStringLiteral("wine"), { program });
    return process;
}

// One line per start of the stand-in client.
QStringList TestWine::clientStarts() const
{
    return QString::fromUtf8(readFile(client + QStringLiteral("/kro_starts.log")))
        .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
}

QImage TestWine::grabUpdater() const
{
    QProcess tree;
    tree.start(QStringLiteral("xwininfo"), { QStringLiteral("-root"), QStringLiteral("-tree") });
    tree.waitForFinished();
    static const QRegularExpression window(
        QStringLiteral("^\\s*(0x[0-9a-f]+) \"updater\".*\\s600x67\\+"),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = window.match(QString::fromUtf8(tree.readAll()));
    if (!match.hasMatch())
        return QImage();
    const WId id = match.captured(1).toULongLong(nullptr, 16);
    return QGuiApplication::primaryScreen()->grabWindow(id).toImage();
}

void TestWine::update_data()
{
    QTest::addColumn<Package>("packageKind");
    QTest::addColumn<bool>("clientRunning");

    QTest::newRow("update") << Package::Good << true;
    QTest::newRow("no client running") << Package::Good << false;
    QTest::newRow("not a zip") << Package::NotAZip << true;
    QTest::newRow("no package") << Package::Missing << true;
}

void TestWine::update()
{
    QFETCH(Package, packageKind);
    QFETCH(bool, clientRunning);
    const bool succeeds = packageKind == Package::Good;

    client = work.filePath(QStringLiteral("测试 客户端 ") +
                           QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(copyTree(shipDir, client));
    QVERIFY(QDir().mkpath(client + QStringLiteral("/log")));
    QVERIFY(QDir().mkpath(client + QStringLiteral("/update")));
    QVERIFY(QFile::copy(windowsClient, client + QStringLiteral("/kro.exe")));
    const QString target = client + QStringLiteral("/update/kro_update.zip");
    if (packageKind == Package::Good)
        QVERIFY(QFile::copy(package, target));
    if (packageKind == Package::NotAZip)
        QVERIFY(writeFile(target, "PK\3\4 this is not a zip\r\n"));

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

    QProcess *updater = startWindowsProgram(QStringLiteral("updater.exe"));
    QVERIFY(updater->waitForStarted());

    WindowState state;
    if (succeeds) {
        QTRY_COMPARE_WITH_TIMEOUT(clientStarts().size(), startsBefore + 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT((state = readWindow(grabUpdater())).filled == 100, 10000);
        QVERIFY2(state.textWidth > 10 && state.textWidth < 17,
                 qPrintable(QString::number(state.textWidth)));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT((state = readWindow(grabUpdater())).textWidth > 17, 60000);
        QTRY_VERIFY(processesIn(client, QStringLiteral("7za.exe")).isEmpty());
        QVERIFY2(state.filled < 100, qPrintable(QString::number(state.filled)));
    }
    QVERIFY(!processesIn(client, QStringLiteral("kro.exe")).contains(oldClient));

    // Drawn in software alone: neither Direct3D nor an OpenGL driver is loaded.
    const QByteArray maps = readFile(QStringLiteral("/proc/%1/maps").arg(updater->processId()));
    QVERIFY(maps.contains("user32.dll"));
    for (const char *library : { "d3d9.dll", "_dri.so" })
        QVERIFY2(!maps.contains(library), library);

    if (succeeds) {
        QCOMPARE(readFile(client + QStringLiteral("/version.txt")), QByteArray("version 2\r\n"));
        QCOMPARE(readFile(client + QStringLiteral("/资源/子目录/说明.txt")),
                 QByteArray("新版本\r\n"));
        QCOMPARE(QFileInfo(client + QStringLiteral("/data.txt")).size(), 16 * 1024 * 1024);
        QCOMPARE(readFile(client + QStringLiteral("/kro.exe")), readFile(windowsClient));
    } else {
        QCOMPARE(clientStarts().size(), startsBefore);
        QVERIFY(processesIn(client, QStringLiteral("kro.exe")).isEmpty());
    }

    // The log, to the byte: GBK text, records CR LF + message + stamp + LF.
    const QString banner = QStringLiteral("Microsoft Windows 6.1.7601\r\n\r\n");
    const QString prompt = windowsPath(client) + QLatin1Char('>');
    const QString stopped = clientRunning
        ? QStringLiteral("已经强行结束 PID 为 %1 的进程 \"kro.exe\"。\r\n").arg(oldWindowsPid)
        : QStringLiteral("错误: 找不到进程 \"kro.exe\"。\r\n");
    QStringList expected = { banner + prompt + stopped + QStringLiteral("\r\n") + prompt,
                             QStringLiteral("7za x update/kro_update.zip  -aoa -mx2 -bsp1\n") };
    if (succeeds)
        expected << banner + prompt + QStringLiteral("\r\n") + prompt;
    const QString logFile = client + QStringLiteral("/log/updater_") +
        QDate::currentDate().toString(QStringLiteral("MM-dd")) + QStringLiteral(".log");
    QTRY_COMPARE(logMessages(readGbk(logFile)).size(), expected.size());
    const QByteArray log = readFile(logFile);
    static const QRegularExpression stamp(
        QStringLiteral("\\[\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]\n"));
    QByteArray rebuilt;
    QTextCodec *gbk = QTextCodec::codecForName("GBK");
    const QStringList stamps = [&] {
        QStringList found;
        auto it = stamp.globalMatch(QString::fromLatin1(log));
        while (it.hasNext())
            found << it.next().captured();
        return found;
    }();
    QCOMPARE(stamps.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        rebuilt += "\r\n" + gbk->fromUnicode(expected.at(i)) + stamps.at(i).toLatin1();
    QCOMPARE(log, rebuilt);

    // The updater goes; the client it started stays.
    const QList<qint64> clients = processesIn(client, QStringLiteral("kro.exe"));
    updater->kill();
    QVERIFY(updater->waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(processesIn(client, QStringLiteral("cmd.exe")).isEmpty(), 10000);
    QCOMPARE(processesIn(client, QStringLiteral("kro.exe")), clients);
    QCOMPARE(clients.size(), succeeds ? 1 : 0);
}

// A virtual display of its own, for Wine and for reading the window back.
int main(int argc, char *argv[])
{
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                 QStringLiteral("0"), QStringLiteral("800x200x24"), QStringLiteral("-nolisten"),
                 QStringLiteral("tcp") });
    if (!xvfb.waitForReadyRead(30000)) {
        qCritical("No virtual display: %s", xvfb.readAllStandardError().constData());
        return 1;
    }
    qputenv("DISPLAY", ':' + xvfb.readAllStandardOutput().trimmed());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    TestWine test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wine.moc"
