#include "mainwindow.h"

#include <QApplication>
#include <QTextCodec>

#ifndef Q_OS_WIN
#include <QDir>
#include <QFile>
#endif

int main(int argc, char *argv[])
{
    // A second start in the same install folder, a double click or a
    // launcher's retry, leaves at once: the first is already at work.
    if (!claim_folder())
        return 0;

    // The window is drawn in software alone: without this, the toolkit loads
    // an OpenGL stack it never uses, several times the program's own memory.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    // Sizes are in device-independent pixels: at 150% display scaling the
    // window is 900 × 101, its text as large as the rest of the desktop's
    // and inside its boxes. The exact factor, so 125% or 175% is not rounded
    // to a whole multiple.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("GBK"));

#ifndef Q_OS_WIN
    // The interpreter and the tools it runs exist only on Windows; elsewhere
    // the stand-ins shipped beside the updater take their place, after
    // anything already on PATH.
    const QString standins =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/" STANDINS_DIR));
    QByteArray path = qgetenv("PATH");
    if (!path.isEmpty())
        path += ':';
    qputenv("PATH", path + QFile::encodeName(standins));
#endif

    MainWindow window;
    window.show();
    return app.exec();
}
