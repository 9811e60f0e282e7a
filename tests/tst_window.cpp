#include "mainwindow.h"
#include "support.h"

#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QPainter>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void firstShow();
    void chineseGlyphs();
    void displayScale_data();
    void displayScale();
    void manifest_data();
    void manifest();
    void mingwResource();

private:
    QTemporaryDir fakes;
    QProcess xvfb;
    QByteArray display;
};

void TestWindow::initTestCase()
{
    // An interpreter that answers nothing, so the window stays as first set up.
    writeScript(fakes.filePath(QStringLiteral("cmd")), "exec cat >/dev/null\n");
    prependPath(fakes.path());
}

void TestWindow::cleanupTestCase()
{
    xvfb.kill();
    xvfb.waitForFinished();
}

void TestWindow::firstShow()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // A small strip with no frame, that the player cannot resize.
    QCOMPARE(window.size(), QSize(600, 67));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.windowFlags() & ~Qt::WindowType_Mask, Qt::FramelessWindowHint);

    // The bar, at 1 of 100, above the centred text, both inside the window.
    auto *label = window.findChild<QLabel *>();
    auto *bar = window.findChild<QProgressBar *>();
    QVERIFY(label && bar);
    QCOMPARE(label->text(), QStringLiteral("升级包解压中.."));
    QCOMPARE(label->alignment(), Qt::AlignCenter);
    QCOMPARE(bar->value(), 1);
    QCOMPARE(bar->maximum(), 100);
    QVERIFY(bar->isVisible() && label->isVisible());
    QVERIFY(bar->geometry().bottom() < label->geometry().top());
    QVERIFY(window.rect().contains(bar->geometry()) && window.rect().contains(label->geometry()));
}

// What a person sees: the label's text in real glyphs, not empty boxes.
void TestWindow::chineseGlyphs()
{
    QVERIFY(!QFontDatabase().families(QFontDatabase::SimplifiedChinese).isEmpty());

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *label = window.findChild<QLabel *>();
    const QImage drawn = label->grab().toImage();
    const QRgb background = drawn.pixel(0, 0);
    int inked = 0;
    for (int y = 0; y < drawn.height(); ++y) {
        for (int x = 0; x < drawn.width(); ++x)
            inked += drawn.pixel(x, y) != background;
    }
    QVERIFY2(inked > 100, qPrintable(QString::number(inked)));

    // A missing glyph is drawn as the same box whatever the character.
    auto draw = [label](const QString &text) {
        QImage image(40, 40, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setFont(label->font());
        painter.drawText(image.rect(), Qt::AlignCenter, text);
        return image;
    };
    QVERIFY(draw(QStringLiteral("升")) != draw(QStringLiteral("级")));
}

// The real updater on an X display whose desktop asks for a scale through
// Xft.dpi: the window grows by the scale, and its texts stay in their boxes.
void TestWindow::displayScale_data()
{
    QTest::addColumn<int>("dpi");

    QTest::newRow("100%") << 96;
    QTest::newRow("125%") << 120;
    QTest::newRow("150%") << 144;
    QTest::newRow("200%") << 192;
    QTest::newRow("250%") << 240;
}

void TestWindow::displayScale()
{
    QFETCH(int, dpi);
    const qreal scale = dpi / 96.0;

    if (display.isEmpty()) {
        // Without -noreset, the server drops its resources when its last
        // client leaves.
        xvfb.start(
            QStringLiteral("Xvfb"),
            { "-displayfd", "1", "-noreset", "-screen", "0", "1600x300x24", "-nolisten", "tcp" });
        QVERIFY(xvfb.waitForReadyRead(30000));
        display = ':' + xvfb.readAllStandardOutput().trimmed();
        qputenv("DISPLAY", display);
    }
    run(QStringLiteral("xrdb"), { QStringLiteral("-merge") },
        "Xft.dpi: " + QByteArray::number(dpi));

    QTemporaryDir client;
    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(client.path());
    updater.start(QStringLiteral(UPDATER_EXE), QStringList());
    QVERIFY(updater.waitForStarted());
    const auto end = qScopeGuard([&updater] {
        updater.kill();
        updater.waitForFinished();
    });

    static const QRegularExpression mapped(
        QStringLiteral(
            "^\\s*(0x[0-9a-f]+) \"updater\": \\(\"updater\" \"updater\"\\)\\s+(\\d+)x(\\d+)"),
        QRegularExpression::MultilineOption);
    QRegularExpressionMatch window;
    QTRY_VERIFY_WITH_TIMEOUT(
        (window = mapped.match(QString::fromLatin1(run(
             QStringLiteral("xwininfo"), { QStringLiteral("-root"), QStringLiteral("-tree") }))))
            .hasMatch(),
        30000);
    const QSize size(window.captured(2).toInt(), window.captured(3).toInt());
    QCOMPARE(size, QSize(qRound(600 * scale), qRound(67 * scale)));

    // Grabbed until drawn: a window just mapped is black.
    Ink label;
    Ink figure;
    const auto drawn = [&] {
        const QImage image = QImage::fromData(
            run(QStringLiteral("sh"),
                { QStringLiteral("-c"),
                  QStringLiteral("xwd -silent -id %1 | xwdtopnm").arg(window.captured(1)) }),
            "PPM");
        label = inkIn(image, QRect(10, 37, 580, 20), scale);
        figure = inkIn(image, QRect(10, 15, 580, 12), scale);
        return image.size() == size && label.inside() && figure.inside();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(
        drawn(), qPrintable(describe(label) + QStringLiteral(", ") + describe(figure)), 10000);
}

void TestWindow::manifest_data()
{
    QTest::addColumn<QString>("element");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<QString>("value");

    const QString level = QStringLiteral("requestedExecutionLevel");
    const QString identity = QStringLiteral("assemblyIdentity");
    QTest::newRow("level") << level << "level"
                           << "asInvoker";
    QTest::newRow("uiAccess") << level << "uiAccess"
                              << "false";
    QTest::newRow("controls name") << identity << "name"
                                   << "Microsoft.Windows.Common-Controls";
    QTest::newRow("controls version") << identity << "version"
                                      << "6.0.0.0";
    QTest::newRow("controls type") << identity << "type"
                                   << "win32";
    QTest::newRow("controls token") << identity << "publicKeyToken"
                                    << "6595b64144ccf1df";
    QTest::newRow("controls architecture") << identity << "processorArchitecture"
                                           << "*";
}

void TestWindow::manifest()
{
    QFETCH(QString, element);
    QFETCH(QString, attribute);
    QFETCH(QString, value);

    QFile file(QStringLiteral(SOURCE_DIR "/src/updater.manifest"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QStringList seen;
    QStringList found;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        seen << xml.name().toString();
        if (xml.name() == element)
            found << xml.attributes().value(attribute).toString();
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    // Only the privilege request and the controls dependency: no icon, no version block.
    for (const QString &other : { QStringLiteral("file"), QStringLiteral("application") })
        QVERIFY(!seen.contains(other));
    QCOMPARE(found, QStringList { value });
}

void TestWindow::mingwResource()
{
    const QByteArray rc = readFile(QStringLiteral(SOURCE_DIR "/src/updater.rc"));
    QVERIFY(rc.contains("\n1 24 \"updater.manifest\""));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
