#include "support.h"
#include "updaterfiles.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QtTest>

// The folder a user ships with the Windows build: exactly what the updater
// needs, every program a stripped 64-bit Windows program or DLL whose imports
// are found there or in Windows itself, the updater a windowed program
// carrying its manifest; and what a release hands on with them: licences,
// notices and the sums of it all.
class TestShipped : public QObject
{
    Q_OBJECT

private slots:
    void contents_data();
    void contents();
    void portableExecutables_data();
    void portableExecutables();
    void imports_data();
    void imports();
    void manifest();
    void sums_data();
    void sums();
    void notice_data();
    void notice();
};

namespace {

const QString shipDir = QStringLiteral(SHIP_DIR);
const QString toolDir = QStringLiteral(TOOL_DIR);

const QStringList programs = {
    QStringLiteral("7za.exe"),
    QStringLiteral("Qt5Core.dll"),
    QStringLiteral("Qt5Gui.dll"),
    QStringLiteral("Qt5Widgets.dll"),
    QStringLiteral("platforms/qwindows.dll"),
    QStringLiteral("styles/qwindowsvistastyle.dll"),
    QStringLiteral("updater.exe"),
};

const QStringList releaseFiles = {
    QStringLiteral("SHA256SUMS"),
    QStringLiteral("licenses/NOTICE.txt"),
    QStringLiteral("licenses/7-zip/License.txt"),
    QStringLiteral("licenses/7-zip/copying.txt"),
    QStringLiteral("licenses/7-zip/debian-copyright"),
    QStringLiteral("licenses/gcc-runtime/copyright"),
    QStringLiteral("licenses/mingw-w64/copyright"),
    QStringLiteral("licenses/qt/LICENSE.GPL3"),
    QStringLiteral("licenses/qt/LICENSE.LGPL3"),
    QStringLiteral("licenses/qt/debian-copyright"),
    QStringLiteral("licenses/qt/third-party/aglfn.txt"),
    QStringLiteral("licenses/qt/third-party/doubleconversion.txt"),
    QStringLiteral("licenses/qt/third-party/easing.txt"),
    QStringLiteral("licenses/qt/third-party/freebsd.txt"),
    QStringLiteral("licenses/qt/third-party/grayraster.txt"),
    QStringLiteral("licenses/qt/third-party/harfbuzz.txt"),
    QStringLiteral("licenses/qt/third-party/md4.txt"),
    QStringLiteral("licenses/qt/third-party/md5.txt"),
    QStringLiteral("licenses/qt/third-party/qbkcodec.txt"),
    QStringLiteral("licenses/qt/third-party/rfc6234.txt"),
    QStringLiteral("licenses/qt/third-party/sha1.txt"),
    QStringLiteral("licenses/qt/third-party/sha3_endian.txt"),
    QStringLiteral("licenses/qt/third-party/sha3_keccak.txt"),
    QStringLiteral("licenses/qt/third-party/smooth-scaling-algorithm.txt"),
    QStringLiteral("licenses/qt/third-party/tinycbor.txt"),
    QStringLiteral("licenses/qt/third-party/unicode-character-database.txt"),
    QStringLiteral("licenses/qt/third-party/unicode-cldr.txt"),
    QStringLiteral("licenses/qt/third-party/xserverhelper.txt"),
    QStringLiteral("licenses/qt/third-party/zlib.txt"),
};

// The package tool's folder, released on its own.
const QStringList toolPrograms = {
    QStringLiteral("7za.exe"),
    QStringLiteral("Qt5Core.dll"),
    QStringLiteral("libnettle-8.dll"),
    QStringLiteral("updater-package.exe"),
};
const QStringList toolReleaseFiles = releaseFiles +
    QStringList {
        QStringLiteral("licenses/libzip/LICENSE"),
        QStringLiteral("licenses/libzip/debian-copyright"),
        QStringLiteral("licenses/nettle/COPYING.LESSERv3"),
        QStringLiteral("licenses/nettle/COPYINGv2"),
        QStringLiteral("licenses/nettle/debian-copyright"),
        QStringLiteral("licenses/zlib/LICENSE"),
        QStringLiteral("licenses/zlib/debian-copyright"),
    };

struct Folder
{
    QString dir;
    QStringList programs;
    QStringList releaseFiles;
};
const QMap<QString, Folder> folders = {
    { QStringLiteral("updater"), { shipDir, programs, releaseFiles } },
    { QStringLiteral("package tool"), { toolDir, toolPrograms, toolReleaseFiles } },
};

// A row for each folder.
void folderRows()
{
    QTest::addColumn<QString>("folder");
    for (const QString &name : folders.keys())
        QTest::newRow(qPrintable(name)) << name;
}

// A row for each program of each folder: its folder and its name.
void programRows()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("file");
    for (auto folder = folders.begin(); folder != folders.end(); ++folder) {
        for (const QString &file : folder->programs)
            QTest::newRow(qPrintable(folder.key() + QLatin1Char(' ') + file))
                << folder->dir << file;
    }
}

struct PeHeader
{
    quint16 machine = 0;
    quint16 characteristics = 0;
    quint16 subsystem = 0;
};

PeHeader readPeHeader(const QByteArray &file)
{
    PeHeader header;
    auto word = [&file](int at) {
        return at + 2 <= file.size() ? qFromLittleEndian<quint16>(file.constData() + at) : 0;
    };
    if (!file.startsWith("MZ") || file.size() < 0x40)
        return header;
    const int pe = int(qFromLittleEndian<quint32>(file.constData() + 0x3c));
    if (file.mid(pe, 4) != QByteArray("PE\0\0", 4))
        return header;
    header.machine = word(pe + 4);
    header.characteristics = word(pe + 22);
    header.subsystem = word(pe + 24 + 68); // the same offset in PE32 and PE32+
    return header;
}

// The DLLs Windows provides, as Wine implements them.
QSet<QString> systemDlls()
{
    QSet<QString> names;
    QDirIterator it(QStringLiteral("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"),
                    { QStringLiteral("*.dll") }, QDir::Files);
    while (it.hasNext())
        names << QFileInfo(it.next()).fileName().toLower();
    return names;
}

} // namespace

void TestShipped::contents_data()
{
    folderRows();
}

void TestShipped::contents()
{
    QFETCH(QString, folder);
    const Folder &shipped = folders.value(folder);
    QStringList files;
    QDirIterator it(shipped.dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(shipped.dir).relativeFilePath(it.next());
    files.sort(Qt::CaseInsensitive);
    QStringList expected = shipped.programs + shipped.releaseFiles;
    expected.sort(Qt::CaseInsensitive);
    QCOMPARE(files, expected);
    if (shipped.dir != shipDir)
        return;

    // What the package tool keeps out of packages is this folder's top.
    QStringList top;
    for (const QFileInfo &entry :
         QDir(shipDir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot))
        top << entry.fileName() + (entry.isDir() ? QStringLiteral("/") : QString());
    QStringList kept = updaterFiles;
    top.sort();
    kept.sort();
    QCOMPARE(top, kept);
}

void TestShipped::portableExecutables_data()
{
    programRows();
}

void TestShipped::portableExecutables()
{
    QFETCH(QString, dir);
    QFETCH(QString, file);

    const PeHeader header = readPeHeader(readFile(dir + QLatin1Char('/') + file));
    QCOMPARE(header.machine, quint16(0x8664)); // x86-64
    const quint16 dllFlag = 0x2000;
    const bool dll = file.endsWith(QLatin1String(".dll"));
    QCOMPARE(bool(header.characteristics & dllFlag), dll);
    // A DLL's subsystem does not matter; the updater must open no console,
    // the archiver and the package tool are console programs.
    const int gui = 2;
    const int console = 3;
    if (!dll)
        QCOMPARE(int(header.subsystem), file == QLatin1String("updater.exe") ? gui : console);

    // Debugging sections are loaded with the rest: under Wine, as private
    // memory of every process.
    const QByteArray sections = run(QStringLiteral("x86_64-w64-mingw32-objdump"),
                                    { QStringLiteral("-h"), dir + QLatin1Char('/') + file });
    QVERIFY(sections.contains(".text"));
    QVERIFY2(!sections.contains(".debug"), sections.constData());
}

void TestShipped::imports_data()
{
    programRows();
}

void TestShipped::imports()
{
    QFETCH(QString, dir);
    QFETCH(QString, file);
    // The archiver runs on its own, its runtime linked in: a studio may
    // ship it without the rest.
    const bool standalone = file == QLatin1String("7za.exe");

    static const QSet<QString> system = systemDlls();
    QVERIFY(system.contains(QStringLiteral("kernel32.dll")));
    QSet<QString> shipped;
    for (const QFileInfo &name : QDir(dir).entryInfoList(QDir::Files))
        shipped << name.fileName().toLower();

    const QString dump =
        QString::fromUtf8(run(QStringLiteral("x86_64-w64-mingw32-objdump"),
                              { QStringLiteral("-p"), dir + QLatin1Char('/') + file }));
    static const QRegularExpression dllName(QStringLiteral("DLL Name: (\\S+)"));
    QStringList imports;
    auto it = dllName.globalMatch(dump);
    while (it.hasNext())
        imports << it.next().captured(1).toLower();
    QVERIFY2(!imports.isEmpty(), qPrintable(dump.left(400)));
    // The window is drawn in software: Direct3D and OpenGL would only cost
    // every start their loading.
    static const QStringList graphics = { QStringLiteral("d3d9.dll"), QStringLiteral("d3d11.dll"),
                                          QStringLiteral("dxgi.dll"),
                                          QStringLiteral("opengl32.dll") };
    for (const QString &import : imports) {
        QVERIFY2((!standalone && shipped.contains(import)) || system.contains(import),
                 qPrintable(file + QStringLiteral(" needs ") + import));
        QVERIFY2(!graphics.contains(import), qPrintable(file + QStringLiteral(" needs ") + import));
    }
}

// Resource 1 of type 24, the application manifest Windows reads at start-up,
// is the project's manifest to the byte.
void TestShipped::manifest()
{
    const QByteArray embedded =
        run(QStringLiteral("wrestool"),
            { QStringLiteral("-x"), QStringLiteral("--raw"), QStringLiteral("--type=24"),
              QStringLiteral("--name=1"), shipDir + QStringLiteral("/updater.exe") });
    QCOMPARE(embedded, readFile(QStringLiteral(SOURCE_DIR "/src/updater.manifest")));
}

void TestShipped::sums_data()
{
    folderRows();
}

// SHA256SUMS lists every other file in the folder with its sum.
void TestShipped::sums()
{
    QFETCH(QString, folder);
    const Folder &shipped = folders.value(folder);
    QStringList listed;
    const QList<QByteArray> lines =
        readFile(shipped.dir + QStringLiteral("/SHA256SUMS")).split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const QString file = QString::fromUtf8(line.mid(66));
        const QByteArray contents = readFile(shipped.dir + QLatin1Char('/') + file);
        const QByteArray sum = QCryptographicHash::hash(contents, QCryptographicHash::Sha256);
        QCOMPARE(line.left(66), sum.toHex() + "  ");
        listed << file;
    }
    QStringList expected = shipped.programs + shipped.releaseFiles;
    expected.removeOne(QStringLiteral("SHA256SUMS"));
    expected.sort();
    QCOMPARE(listed, expected);
}

void TestShipped::notice_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("components");
    // Each holds the two runtimes and, but for the updater, its own
    // component; the package tool also zlib and libzip.
    for (auto folder = folders.begin(); folder != folders.end(); ++folder) {
        for (const QString &file : folder->programs) {
            const int components = file == QLatin1String("updater.exe") ? 2
                : file == QLatin1String("updater-package.exe")          ? 4
                                                                        : 3;
            QTest::newRow(qPrintable(folder.key() + QLatin1Char(' ') + file))
                << folder->dir << file << components;
        }
    }
}

// Every program is named by its folder's notice, on the line of each
// component it holds, and each such line's licence texts are in the folder.
void TestShipped::notice()
{
    QFETCH(QString, dir);
    QFETCH(QString, file);
    QFETCH(int, components);

    const QString notice =
        QString::fromUtf8(readFile(dir + QStringLiteral("/licenses/NOTICE.txt")));
    QStringList licences; // the licence texts of each line naming the file
    const QStringList lines = notice.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList columns = line.split(QStringLiteral(" | "));
        if (columns.size() != 5)
            continue;
        static const QRegularExpression into(QStringLiteral("^(linked|built) into "));
        const QStringList shippedAs = QString(columns[3]).remove(into).split(QStringLiteral(", "));
        if (shippedAs.contains(file))
            licences << columns[2].section(QStringLiteral(": "), 1);
    }
    QCOMPARE(licences.size(), components);
    for (const QString &texts : qAsConst(licences)) {
        for (const QString &text : texts.split(QStringLiteral(", ")))
            QVERIFY2(QFile::exists(dir + QStringLiteral("/licenses/") + text), qPrintable(text));
    }
}

QTEST_GUILESS_MAIN(TestShipped)
#include "tst_shipped.moc"
