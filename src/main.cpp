#include "mainwindow.h"

#include <QApplication>
#include <QTextCodec>

#ifndef Q_OS_WIN
#include <QDir>
#include <QFile>
#endif

int main(int argc, char *argv[])
{
    // The window is drawn in software alone: without this, the toolkit loads
    // an OpenGL stack it never uses, several times the program's own memory.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
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
