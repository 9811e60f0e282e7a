// Makes and checks the update packages the updater applies, on a studio's
// build machine: see the usage below.

#include "check.h"
#include "make.h"
#include "progress.h"
#include "proof.h"
#include "updaterfiles.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTextCodec>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

const char usage[] = R"(Usage:
  updater-package check PACKAGE [--apply OLD NEW] [OPTIONS]
      Reports every entry of PACKAGE that goes wrong on a player's machine,
      and tests the package with the archiver (7za). With --apply, also
      proves that OLD with the package extracted over it is NEW.
  updater-package make OLD NEW -o PACKAGE [OPTIONS]
      Makes PACKAGE from two release folders of the client: every file of NEW
      that OLD lacks or that differs. Writes it only once checked and proven.
  updater-package list PACKAGE [--code-page 936|950|437]
      Prints where each entry lands on a player's Windows of that code page.

Options:
  --layout NAME|flat           the updater's own folder in the install folder
                               (default: 更新), or flat when laid into it
  --install-path-length N      characters in the install folder's path, for
                               paths past Windows' limit (default: 60)
  --strict                     warnings fail too

Exit codes: 0 clean, 1 errors found, 2 could not judge (bad usage or input).
)";

int badUsage(const QString &why)
{
    std::fprintf(stderr, "updater-package: %s\n\n%s", why.toUtf8().constData(), usage);
    return 2;
}

int list(const QString &path, int codePage)
{
    Package package;
    QString error;
    if (!read_package(path, &package, &error)) {
        std::fprintf(stderr, "updater-package: %s: %s\n", QFile::encodeName(path).constData(),
                     error.toUtf8().constData());
        return 1;
    }
    const Machine *machine = nullptr;
    for (const Machine &player : players) {
        if (player.oem == codePage)
            machine = &player;
    }
    if (!machine)
        return badUsage(QStringLiteral("no player's code page %1").arg(codePage));
    for (const Record &record : qAsConst(package.records)) {
        const QString path =
            windows_path(decode_name(record.name, *machine), record.name.host == unixHost).path;
        std::printf("%s%s\n", path.toUtf8().constData(), record.folder() ? "/" : "");
    }
    return 0;
}

int check(const QString &path, const QStringList &apply, const CheckOptions &options, bool strict)
{
    if (!QFileInfo(path).isFile() || !QFileInfo(path).isReadable()) {
        std::fprintf(stderr, "updater-package: %s is not a readable file\n",
                     QFile::encodeName(path).constData());
        return 2;
    }
    Progress progress;
    Tree old;
    Tree updated;
    QString error;
    if (!apply.isEmpty()) {
        for (const QString &root : apply) {
            if (!QFileInfo(root).isDir())
                return badUsage(QStringLiteral("%1 is not a folder").arg(root));
        }
        if (!walk_tree(apply.at(0), &old, &error) || !walk_tree(apply.at(1), &updated, &error)) {
            std::fprintf(stderr, "updater-package: %s\n", error.toUtf8().constData());
            return 2;
        }
    }
    int result = report_findings(path, check_package(path, options, progress), strict);
    if (!apply.isEmpty() &&
        !report_proof(prove(path, old, updated, {}, options.subfolder, progress)))
        result = 1;
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    // A package's times are the same wherever it is made: zip stores local time.
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    QCoreApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

    QCommandLineParser parser;
    const QCommandLineOption output({ QStringLiteral("o"), QStringLiteral("output") }, QString(),
                                    QStringLiteral("PACKAGE"));
    const QCommandLineOption layout(QStringLiteral("layout"), QString(), QStringLiteral("NAME"),
                                    defaultSubfolder);
    const QCommandLineOption pathLength(QStringLiteral("install-path-length"), QString(),
                                        QStringLiteral("N"), QStringLiteral("60"));
    const QCommandLineOption strict(QStringLiteral("strict"));
    const QCommandLineOption apply(QStringLiteral("apply"));
    const QCommandLineOption codePage(QStringLiteral("code-page"), QString(), QStringLiteral("N"),
                                      QStringLiteral("936"));
    parser.addOptions({ output, layout, pathLength, strict, apply, codePage });
    if (!parser.parse(app.arguments()))
        return badUsage(parser.errorText());
    const QStringList arguments = parser.positionalArguments();
    const QString command = arguments.value(0);

    CheckOptions options;
    const QString subfolder = parser.value(layout);
    options.subfolder = subfolder == QLatin1String("flat") ? QString() : subfolder;
    bool number = false;
    options.installPathLength = parser.value(pathLength).toInt(&number);
    if (!number || options.installPathLength < 3)
        return badUsage(QStringLiteral("--install-path-length takes a number of at least 3"));

    if (command == QLatin1String("check") && arguments.size() == (parser.isSet(apply) ? 4 : 2))
        return check(arguments.at(1), arguments.mid(2), options, parser.isSet(strict));
    if (command == QLatin1String("make") && arguments.size() == 3 && parser.isSet(output))
        return make_package(arguments.at(1), arguments.at(2), parser.value(output), options,
                            parser.isSet(strict));
    if (command == QLatin1String("list") && arguments.size() == 2) {
        const int page = parser.value(codePage).toInt(&number);
        return number ? list(arguments.at(1), page)
                      : badUsage(QStringLiteral("--code-page takes a number"));
    }
    return badUsage(arguments.isEmpty() ? QStringLiteral("no command")
                                        : QStringLiteral("bad arguments for %1").arg(command));
}
