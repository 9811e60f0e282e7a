#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <QByteArray>
#include <QList>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>

class QImage;
class QObject;

// The updater's locale codec is GBK, and Qt 5 encodes file names with it;
// the test's own files with Chinese names are made and read in UTF-8, as
// the system names them.
void useGbkLocale();
void useUtf8Locale();

// The texts the window shows.
inline const QString extractingText = QStringLiteral("升级包解压中..");
inline const QString failedText = QStringLiteral("解压出现异常，请重试！如仍旧异常请联系客服");
inline const QString doneText = QStringLiteral("解压完成，准备吂启动客户端");

// The folder holding the built stand-ins for cmd, taskkill and the client.
QString standinsDir();

// Puts `dir` first on PATH, ahead of everything the test inherited.
void prependPath(const QString &dir);

// Runs a program to its end, `input` on its standard input; its standard output.
QByteArray run(const QString &program, const QStringList &arguments,
               const QByteArray &input = QByteArray());

// The faketime library, which the dynamic linker finds for the machine's
// architecture. Tests preload it themselves: the faketime wrapper names a
// semaphore after its process id, leaves it behind when it is killed, and a
// later wrapper given that id then fails.
inline const QString fakeTimeLibrary = QStringLiteral("/usr/$LIB/faketime/libfaketime.so.1");
// The environment of a process whose clock reads `clock`, in the library's
// own terms ("@2026-03-07 12:00:00" starts there, "+1d" runs a day ahead).
QProcessEnvironment fakedClock(const QString &clock);

// Makes `path` an executable shell script with `body` after its #! line.
void writeScript(const QString &path, const QByteArray &body);

// Today's log file beside the test executable, and the log folder.
QString logDir();
QString todaysLog();
// Every daily log file in `dir` removed; all of them read, in the order
// they were written, so that a run across midnight reads as one.
void clearLog(const QString &dir = logDir());
QString readLog(const QString &dir = logDir());
QByteArray readFile(const QString &path);
// Writes `data` to `path`, making its folder first.
bool writeFile(const QString &path, const QByteArray &data);
QString readGbk(const QString &path);

// The log records of `text`: each message without its lead-in and stamp.
QStringList logMessages(const QString &text);

// Running (not zombie) processes named `name` whose working folder is `dir`.
QList<qint64> processesIn(const QString &dir, const QString &name);
bool isRunning(qint64 pid);
void killProcessesIn(const QString &dir);

// A client folder `dir` holding the stand-in client and update/; the test
// runs in it from then on.
void makeClientFolder(const QString &dir);
// Starts a copy of the stand-in client named `name` in `dir`, returns its pid.
qint64 startClient(const QString &dir, const QString &name = QStringLiteral("kro.exe"),
                   const QStringList &arguments = {});
// Puts first on PATH an archiver that waits, before it runs the real one,
// until the test releases it in the folder it runs in.
void gateArchiver(const QString &dir);
// Waits until the gated archiver waits in `dir`, then lets it go on.
bool releaseArchiver(const QString &dir);
// Lets a window's slots take whatever its extraction shell still has to say
// once the archiver in `dir` has ended.
void drainShell(QObject *window, const QString &dir);

struct ZipEntry
{
    QByteArray name;
    QByteArray data;
    bool symlink = false; // data is the link's target
    bool dos = false; // made on Windows: a backslash separates folders
    bool utf8 = true; // the name flagged UTF-8
    quint16 method = 0; // the method recorded; the data is stored all the same
    QByteArray unicodePath = {}; // when set, the Info-ZIP Unicode path field's name
    bool folder = false; // a folder by its attributes alone
};
// Everything under `root` but the client folder: names, sizes, link targets.
QStringList surroundings(const QString &root, const QString &client);

// Writes a zip of stored entries, names exactly as given.
void writeZip(const QString &path, const QList<ZipEntry> &entries,
              const QByteArray &comment = QByteArray());

// Zips the contents of `source` into `archive` with the real archiver.
bool makeZip(const QString &source, const QString &archive, const QStringList &options = {});

// Text drawn in a window at a display scale: where the logical box `box`
// lies in device pixels, and the bounding rectangle of the dark pixels (the
// text's ink) there. Text that its box cuts off reaches the box's top or
// bottom row.
struct Ink
{
    QRect box;
    QRect ink;
    bool inside() const { return !ink.isEmpty() && box.adjusted(0, 1, 0, -1).contains(ink); }
};
Ink inkIn(const QImage &window, const QRect &box, qreal scale);
QString describe(const Ink &ink);

// Writes `size` bytes of compressible but not trivial text.
void writeText(const QString &path, qint64 size);
// Writes `size` bytes of one line over and over: hundreds of megabytes that
// zip to a few hundred kilobytes, for a file the archiver takes a while on.
// Makes its folder first.
void writeFiller(const QString &path, qint64 size);

#endif // TESTS_SUPPORT_H
