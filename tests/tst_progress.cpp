#include "mainwindow.h"
#include "support.h"

#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

using Deliveries = QList<QByteArray>;

// The extraction shell is a fake here: it hands the window exactly the
// deliveries of a row, one at a time, each only once the previous one has
// been taken. A delivery starting with "2>" goes to standard error. Every
// other command line it is given is noted in the file "commands".
static const QByteArray fakeShell = R"(read line
case "$line" in
7za*)
  i=1
  while [ -e out$i ] || [ -e err$i ]; do
    if [ -e out$i ]; then cat out$i; else cat err$i >&2; fi
    while [ ! -e ack$i ]; do sleep 0.01; done
    i=$((i+1))
  done
  exec cat >/dev/null ;;
*)
  echo "$line" >> commands
  exec cat >/dev/null ;;
esac
)";

class TestProgress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void chunks_data();
    void chunks();

private:
    QTemporaryDir fakes;
};

void TestProgress::initTestCase()
{
    useGbkLocale();
    writeScript(fakes.filePath(QStringLiteral("cmd")), fakeShell);
    prependPath(fakes.path());
}

void TestProgress::chunks_data()
{
    QTest::addColumn<Deliveries>("deliveries");
    QTest::addColumn<QList<int>>("values");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("clientStarts");

    const QString extracting = extractingText;
    const QString failed = failedText;
    const QString done = doneText;
    const QByteArray nul(1, '\0');

    QTest::newRow("space 45") << Deliveries { " 45%" } << QList<int> { 45 } << extracting << 0;
    QTest::newRow("CR in front, file name after")
        << Deliveries { "\r 45% - a.txt" } << QList<int> { 45 } << extracting << 0;
    QTest::newRow("100") << Deliveries { " 100%" } << QList<int> { 100 } << extracting << 0;
    QTest::newRow("POSIX backspace erase") << Deliveries { "\b\b\b\b    \b\b\b\b 43% - data/a.txt" }
                                           << QList<int> { 43 } << extracting << 0;
    QTest::newRow("figures in turn") << Deliveries { " 12%", "\b\b\b\b 57%", "\b\b\b\b 98%" }
                                     << QList<int> { 12, 57, 98 } << extracting << 0;
    QTest::newRow("four digits") << Deliveries { " 1234%" } << QList<int> {} << extracting << 0;
    QTest::newRow("percent first reads as 0")
        << Deliveries { "% done" } << QList<int> { 0 } << extracting << 0;
    QTest::newRow("letter reads as 0")
        << Deliveries { "a%" } << QList<int> { 0 } << extracting << 0;
    QTest::newRow("only the first percentage")
        << Deliveries { " 45% 46% 47%" } << QList<int> { 45 } << extracting << 0;
    QTest::newRow("no percent") << Deliveries { "45 files" } << QList<int> {} << extracting << 0;
    QTest::newRow("line feed and 45")
        << Deliveries { "\n45%" } << QList<int> { 45 } << extracting << 0;
    QTest::newRow("two line feeds and 45")
        << Deliveries { "\n\n45%" } << QList<int> {} << extracting << 0;
    QTest::newRow("outside the range leaves the bar")
        << Deliveries { " 50%", "-5%" } << QList<int> { 50 } << extracting << 0;
    QTest::newRow("NUL first") << Deliveries { nul + " 45%" } << QList<int> {} << extracting << 0;
    QTest::newRow("percent after NUL")
        << Deliveries { "12" + nul + "%" } << QList<int> {} << extracting << 0;
    QTest::newRow("success after NUL")
        << Deliveries { "x" + nul + "Everything is Ok" } << QList<int> {} << extracting << 0;
    QTest::newRow("percentage, then success in one chunk")
        << Deliveries { " 45% - a\nEverything is Ok\n" } << QList<int> { 45, 100 } << done << 1;
    QTest::newRow("success split across deliveries")
        << Deliveries { " 99%\nEverything i", "s Ok\n\nFiles: 3\n" } << QList<int> { 99, 100 }
        << done << 1;
    QTest::newRow("success whole, then more output")
        << Deliveries { "Everything is Ok", "\nSize: 5\n" } << QList<int> { 100 } << done << 1;
    QTest::newRow("success repeated") << Deliveries { "Everything is Ok\n", "Everything is Ok\n" }
                                      << QList<int> { 100 } << done << 2;
    // The archiver's own bytes: a progress line names the file being
    // extracted, and a name may hold the success text.
    const QByteArray erase = QByteArray(52, '\b') + QByteArray(52, ' ') + QByteArray(52, '\b');
    QTest::newRow("progress line naming the success text")
        << Deliveries { "\b\b\b\b    \b\b\b\b  8% 3 - data/Everything is Ok.pak",
                        erase + " 16% 3 - data/Everything is Ok.pak" }
        << QList<int> { 8, 16 } << extracting << 0;
    QTest::newRow("folder named the success text")
        << Deliveries { "  8% 3 - Everything is Ok", "\b\b\b\b 9% 3 - Everything is Ok\r\n" }
        << QList<int> { 8, 9 } << extracting << 0;
    QTest::newRow("success after a backspace erase")
        << Deliveries { " 95% 3 - data/Everything is Ok.pak",
                        erase + "Everything is Ok\n\nFolders: 2\n" }
        << QList<int> { 95, 100 } << done << 1;
    QTest::newRow("success after a backspace erase, split")
        << Deliveries { " 95% 3 - data/Everything is Ok.pak" + erase + "Everything is",
                        " Ok\n\nFolders: 2\n" }
        << QList<int> { 95, 100 } << done << 1;
    QTest::newRow("success after a carriage return erase")
        << Deliveries { "\r 97% 3 - data\\Everything is Ok.pak\r" + QByteArray(34, ' ') + "\r",
                        "100% 4\r      \rEverything is Ok\r\n\r\nFolders: 2\r\n" }
        << QList<int> { 97, 100 } << done << 1;
    QTest::newRow("success in lower case")
        << Deliveries { "everything is ok" } << QList<int> {} << extracting << 0;
    QTest::newRow("error text") << Deliveries { " 30%", "2>ERROR: CRC Failed" } << QList<int> { 30 }
                                << failed << 0;
    QTest::newRow("percentages move on after an error")
        << Deliveries { " 10%", "2>E", " 20%" } << QList<int> { 10, 20 } << failed << 0;
    QTest::newRow("success after an error")
        << Deliveries { "2>E", "Everything is Ok" } << QList<int> { 100 } << done << 1;
    QTest::newRow("error after the hand-over")
        << Deliveries { "Everything is Ok", "2>E" } << QList<int> { 100 } << failed << 1;
}

void TestProgress::chunks()
{
    QFETCH(Deliveries, deliveries);
    QFETCH(QList<int>, values);
    QFETCH(QString, text);
    QFETCH(int, clientStarts);

    QTemporaryDir work;
    QVERIFY(QDir::setCurrent(work.path()));
    for (int i = 0; i < deliveries.size(); ++i) {
        QByteArray bytes = deliveries.at(i);
        const bool error = bytes.startsWith("2>");
        QFile file(work.filePath(QStringLiteral("%1%2").arg(error ? "err" : "out").arg(i + 1)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(error ? bytes.mid(2) : bytes);
    }

    MainWindow window;
    auto *shell = window.findChild<QProcess *>();
    auto *bar = window.findChild<QProgressBar *>();
    QVERIFY(shell && bar);
    QSignalSpy outputs(shell, &QProcess::readyReadStandardOutput);
    QSignalSpy errors(shell, &QProcess::readyReadStandardError);
    QList<int> seen;
    connect(bar, &QProgressBar::valueChanged, [&seen](int value) { seen << value; });

    for (int i = 1; i <= deliveries.size(); ++i) {
        QTRY_COMPARE(outputs.count() + errors.count(), i);
        QFile ack(work.filePath(QStringLiteral("ack%1").arg(i)));
        QVERIFY(ack.open(QIODevice::WriteOnly));
    }

    QCOMPARE(seen, values);
    QCOMPARE(window.findChild<QLabel *>()->text(), text);
    const QList<QByteArray> commands =
        readFile(work.filePath(QStringLiteral("commands"))).split('\n');
    QCOMPARE(commands.first(), QByteArray("taskkill /im kro.exe /f"));
    QCOMPARE(commands.count("kro.exe"), clientStarts);
    QVERIFY(QDir::setCurrent(QCoreApplication::applicationDirPath()));
}

QTEST_MAIN(TestProgress)
#include "tst_progress.moc"
