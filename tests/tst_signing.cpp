#include "support.h"

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

// The signed Windows release: build-windows with its signing options on a
// build tree of its own, against a throw-away PKI and timestamp authorities
// served over HTTP on 127.0.0.1 (tests/signing.py).
class TestSigning : public QObject
{
    Q_OBJECT

public:
    // Files signed elsewhere, as a signing service returns them.
    enum Elsewhere { NotElsewhere, Signed, ByteChanged, OneUnsigned, Expired, ExpiredUntimed };
    Q_ENUM(Elsewhere)
    // What is checked besides the release step's own lines.
    enum Also { Nothing, WineAndCommit, SameBytesTwice };
    Q_ENUM(Also)

private slots:
    void initTestCase();
    void release_data();
    void release();

private:
    int runScript(const QString &script, const QStringList &arguments, QString *output,
                  const QByteArray &input = QByteArray());
    void signElsewhere(Elsewhere how);

    QTemporaryDir work;
    QString pki;
    QString build;
    QMap<QString, QString> words; // the rows' placeholders
    QList<QProcess *> authorities;
    int closedPort = -1;
};

void TestSigning::initTestCase()
{
    pki = work.filePath(QStringLiteral("pki"));
    build = work.filePath(QStringLiteral("build"));
    QVERIFY(QDir().mkpath(pki));
    QProcess keys;
    keys.start(QStringLiteral("python3"),
               { QStringLiteral(SIGNING_PY), QStringLiteral("keys"), pki });
    QVERIFY(keys.waitForFinished(120000) && keys.exitCode() == 0);
    // One authority now, one whose clock is in 2020, when the expired
    // certificate was valid.
    for (const char *when : { "", "@2020-06-01 00:00:00" }) {
        auto *authority = new QProcess(this);
        authority->setWorkingDirectory(pki);
        if (*when)
            authority->setProcessEnvironment(fakedClock(QLatin1String(when)));
        authority->start(QStringLiteral("python3"),
                         { QStringLiteral(SIGNING_PY), QStringLiteral("tsa"), pki });
        QVERIFY(authority->waitForReadyRead(30000));
        words.insert(*when ? QStringLiteral("PAST_TSA") : QStringLiteral("TSA"),
                     QStringLiteral("http://127.0.0.1:") + authority->readLine().trimmed());
        authorities << authority;
    }
    const QString softhsm = pki + QStringLiteral("/softhsm2.conf");
    qputenv("SOFTHSM2_CONF", QFile::encodeName(softhsm));
    for (const char *file : { "ca", "otherca", "leaf", "otherleaf", "expired" })
        words.insert(QString::fromLatin1(file).toUpper(),
                     pki + QLatin1Char('/') + QLatin1String(file) + QStringLiteral(".pem"));
    words.insert(QStringLiteral("P12"), pki + QStringLiteral("/leaf.p12"));
    words.insert(QStringLiteral("PASSWORD"), pki + QStringLiteral("/password"));
    words.insert(QStringLiteral("SIGNED"), work.filePath(QStringLiteral("signed")));
    // Nothing listens there: a port held, never listened on, for the
    // suite's life.
    closedPort = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(closedPort, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            ::getsockname(closedPort, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    words.insert(QStringLiteral("CLOSED"),
                 QStringLiteral("http://127.0.0.1:%1").arg(ntohs(address.sin_port)));
}

int TestSigning::runScript(const QString &script, const QStringList &arguments, QString *output,
                           const QByteArray &input)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(SOURCE_DIR "/scripts/") + script, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(600000))
        return -1;
    *output = QString::fromUtf8(process.readAll());
    return process.exitCode();
}

// Signs this build's programs as a signing service would, into SIGNED.
void TestSigning::signElsewhere(Elsewhere how)
{
    QString output;
    QCOMPARE(runScript(QStringLiteral("build-windows"), { build }, &output), 0);
    const QString signedDir = words.value(QStringLiteral("SIGNED"));
    QDir(signedDir).removeRecursively();
    const bool expired = how == Expired || how == ExpiredUntimed;
    // Both folders, in a folder of the same layout.
    QDirIterator it(build, { QStringLiteral("*.exe"), QStringLiteral("*.dll") }, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = QDir(build).relativeFilePath(it.next());
        if (!file.startsWith(QLatin1String("ship/")) && !file.startsWith(QLatin1String("tool/")))
            continue;
        const QString target = signedDir + QLatin1Char('/') + file;
        QVERIFY(QDir().mkpath(QFileInfo(target).path()));
        if (how == OneUnsigned && file == QLatin1String("ship/Qt5Gui.dll")) {
            QVERIFY(QFile::copy(it.filePath(), target));
            continue;
        }
        QStringList sign {
            QStringLiteral("osslsigncode"),
            QStringLiteral("sign"),
            QStringLiteral("-pkcs12"),
            pki + (expired ? QStringLiteral("/expired.p12") : QStringLiteral("/leaf.p12")),
            QStringLiteral("-readpass"),
            words.value(QStringLiteral("PASSWORD")),
            QStringLiteral("-h"),
            QStringLiteral("sha256")
        };
        if (how == Expired)
            sign << QStringLiteral("-ts") << words.value(QStringLiteral("PAST_TSA"));
        sign << QStringLiteral("-in") << it.filePath() << QStringLiteral("-out") << target;
        QProcess signer;
        if (expired)
            signer.setProcessEnvironment(fakedClock(QStringLiteral("@2020-06-01 00:00:00")));
        signer.start(sign.takeFirst(), sign);
        QVERIFY(signer.waitForFinished(60000) && signer.exitCode() == 0);
        if (how == ByteChanged && file == QLatin1String("ship/Qt5Gui.dll")) {
            QFile changed(target);
            QVERIFY(changed.open(QIODevice::ReadWrite) && changed.seek(4096));
            const char byte = changed.peek(1).at(0);
            changed.write(QByteArray(1, char(byte ^ 1)));
        }
    }
}

void TestSigning::release_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<Elsewhere>("elsewhere");
    QTest::addColumn<Also>("also");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");

    const QString fileKey = QStringLiteral("--pkcs12 P12 --password-file PASSWORD");
    const QString verified = QStringLiteral("verified: updater.exe");
    QTest::newRow("file key, password on input, timestamp")
        << QStringLiteral("--pkcs12 P12 --password-file - --timestamp TSA --tsa-ca-file CA "
                          "--name Updater --url https://example.com")
        << NotElsewhere << WineAndCommit << 0 << verified;
    QTest::newRow("token key, a fixed signing time")
        << QStringLiteral("--pkcs11-module /usr/lib/softhsm/libsofthsm2.so --pkcs11-key "
                          "pkcs11:token=updater;object=signing;type=private --cert LEAF "
                          "--password-file PASSWORD --ca-file CA")
        << NotElsewhere << SameBytesTwice << 0 << verified;
    QTest::newRow("the wrong CA") << fileKey + QStringLiteral(" --ca-file OTHERCA") << NotElsewhere
                                  << Nothing << 1 << QStringLiteral("7za.exe does not verify");
    QTest::newRow("the wrong pinned certificate")
        << fileKey + QStringLiteral(" --cert OTHERLEAF") << NotElsewhere << Nothing << 1
        << QStringLiteral("7za.exe does not verify");
    QTest::newRow("an unreachable timestamp server")
        << fileKey + QStringLiteral(" --timestamp CLOSED") << NotElsewhere << Nothing << 1
        << QStringLiteral("no timestamp from CLOSED");
    QTest::newRow("a timestamp the system does not trust")
        << fileKey + QStringLiteral(" --timestamp TSA") << NotElsewhere << Nothing << 1
        << QStringLiteral("the timestamp of 7za.exe does not verify");
    const QString brought = QStringLiteral("--signed SIGNED --ca-file CA --cert ");
    QTest::newRow("signed elsewhere")
        << brought + QStringLiteral("LEAF") << Signed << Nothing << 0 << verified;
    QTest::newRow("signed elsewhere, a byte changed after signing")
        << brought + QStringLiteral("LEAF") << ByteChanged << Nothing << 1
        << QStringLiteral("Qt5Gui.dll in SIGNED/ship is not this build's file with a signature "
                          "added");
    QTest::newRow("signed elsewhere, one file unsigned")
        << brought + QStringLiteral("LEAF") << OneUnsigned << Nothing << 1
        << QStringLiteral("Qt5Gui.dll in SIGNED/ship is not signed");
    QTest::newRow("expired since, timestamped")
        << brought + QStringLiteral("EXPIRED --tsa-ca-file CA") << Expired << Nothing << 0
        << verified;
    QTest::newRow("expired since, no timestamp")
        << brought + QStringLiteral("EXPIRED --tsa-ca-file CA") << ExpiredUntimed << Nothing << 1
        << QStringLiteral("7za.exe does not verify");
}

void TestSigning::release()
{
    QFETCH(QString, options);
    QFETCH(Elsewhere, elsewhere);
    QFETCH(Also, also);
    QFETCH(int, exitCode);
    QFETCH(QString, line);

    if (elsewhere != NotElsewhere)
        signElsewhere(elsewhere);
    QStringList arguments { build };
    for (const QString &word : options.split(QLatin1Char(' ')))
        arguments << words.value(word, word);
    for (auto word = words.begin(); word != words.end(); ++word)
        line.replace(QRegularExpression(QStringLiteral("\\b%1\\b").arg(word.key())), word.value());
    QString output;
    QCOMPARE(runScript(QStringLiteral("build-windows"), arguments, &output,
                       readFile(words.value(QStringLiteral("PASSWORD")))),
             exitCode);
    QVERIFY2(output.contains(line), qPrintable(output));
    const QString zip = build + QStringLiteral("/updater-1.0-windows-x64.zip");
    if (exitCode != 0) {
        // Nothing packed.
        QVERIFY(!QFileInfo::exists(zip));
        return;
    }
    for (const char *signature :
         { "signatures/updater.exe.p7s", "signatures/platforms/qwindows.dll.p7s",
           "tool-signatures/updater-package.exe.p7s" })
        QVERIFY(QFileInfo::exists(build + QLatin1Char('/') + QLatin1String(signature)));
    // Each program verifies on its own against the test CA, signed by the
    // row's certificate and no other.
    const bool expired = elsewhere == Expired;
    const QString signer = QString::fromLatin1(
        readFile(words.value(expired ? QStringLiteral("EXPIRED") : QStringLiteral("LEAF"))));
    const QByteArray der =
        QByteArray::fromBase64(signer.section(QStringLiteral("-----"), 2, 2).toLatin1());
    const QString pin = QStringLiteral("sha256:") +
        QString::fromLatin1(QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex());
    const bool timestamped = expired || options.contains(QLatin1String("--timestamp"));
    QDirIterator it(build, { QStringLiteral("*.exe"), QStringLiteral("*.dll") }, QDir::Files,
                    QDirIterator::Subdirectories);
    int verified = 0;
    while (it.hasNext()) {
        const QString file = QDir(build).relativeFilePath(it.next());
        if (!file.startsWith(QLatin1String("ship/")) && !file.startsWith(QLatin1String("tool/")))
            continue;
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(QStringLiteral("osslsigncode"),
                     { QStringLiteral("verify"), QStringLiteral("-CAfile"),
                       words.value(QStringLiteral("CA")), QStringLiteral("-TSA-CAfile"),
                       words.value(QStringLiteral("CA")), QStringLiteral("-require-leaf-hash"), pin,
                       QStringLiteral("-in"), it.filePath() });
        QVERIFY(verify.waitForFinished(60000));
        const QStringList said = QString::fromUtf8(verify.readAll()).split(QLatin1Char('\n'));
        QVERIFY2(said.contains(QStringLiteral("Signature verification: ok")) &&
                     (!timestamped ||
                      said.contains(QStringLiteral("Timestamp Server Signature verification: ok"))),
                 qPrintable(it.filePath() + QLatin1Char('\n') + said.join(QLatin1Char('\n'))));
        ++verified;
    }
    QCOMPARE(verified, 11);
    if (also == SameBytesTwice) {
        const QByteArray first = readFile(zip);
        QCOMPARE(runScript(QStringLiteral("build-windows"), arguments, &output), 0);
        QCOMPARE(readFile(zip), first);
    } else if (also == WineAndCommit) {
        for (const QString &release :
             { zip, build + QStringLiteral("/updater-package-1.0-windows-x64.zip") }) {
            const int checked = runScript(QStringLiteral("check-signed"), { release }, &output);
            QVERIFY2(checked == 0 && output.startsWith(QLatin1String("MATCH")), qPrintable(output));
        }
        // The signed folder does the whole job under Wine.
        QProcess wine;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("UPDATER_SHIP_DIR"), build + QStringLiteral("/ship"));
        wine.setProcessEnvironment(environment);
        wine.setProcessChannelMode(QProcess::MergedChannels);
        wine.start(QStringLiteral(TST_WINE), { QStringLiteral("update:update") });
        QVERIFY(wine.waitForFinished(300000));
        QVERIFY2(wine.exitCode() == 0, wine.readAll().constData());
    }
}

QTEST_MAIN(TestSigning)
#include "tst_signing.moc"
