// Makes and checks the update packages the updater applies, on a studio's
// build machine: see the usage below.

#include "check.h"
#include "compare.h"
#include "make.h"
#include "progress.h"
#include "proof.h"
#include "updaterfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QTextCodec>

#include <cstdio>
#include <ctime>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

const char usage[] = R"(Usage:
  updater-package make [OLD...] NEW -o PACKAGE [--manifest FILE] [OPTIONS]
      Makes PACKAGE from release folders of the client: every file of NEW
      that some OLD lacks or holds with other bytes, and every empty folder
      that some OLD lacks; with no OLD, every file of NEW. An OLD is a
      release folder or its manifest. Writes PACKAGE only once checked and
      proven for every OLD; --manifest also writes NEW's manifest.
  updater-package check PACKAGE [--apply [OLD...] NEW] [OPTIONS]
      Reports every entry of PACKAGE that goes wrong on a player's machine,
      and tests the package with the archiver (7za). With --apply, also
      proves that each OLD with the package extracted over it is NEW. OLD
      and NEW are release folders or their manifests.
  updater-package manifest RELEASE -o FILE [--layout NAME|flat]
      Writes the manifest of a release folder: every file's path, size and
      SHA-256, and every folder; its file lines are sha256sum's own.
  updater-package list PACKAGE [--code-page 936|950|437]
      Prints where each entry lands on a player's Windows of that code page.
  updater-package --help | --version

Options:
  --layout NAME|flat           the updater's own folder in the install folder
                               (default: 更新), or flat when laid into it
  --install-path-length N      characters in the install folder's path, for
                               paths past Windows' limit (default: 60)
  --strict                     warnings fail too

Exit codes: 0 clean, 1 errors found (or nothing made), 2 could not judge
(bad usage or input).
)";

int badUsage(const QString &why)
{
    std::fprintf(stderr, "updater-package: %s\n\n%s", why.toUtf8().constData(), usage);
    return 2;
}

int refuse(const QString &why)
{
    std::fprintf(stderr, "updater-package: %s\n", why.toUtf8().constData());
    return 2;
}

int list(const QString &path, int codePage)
{
    const Machine *machine = nullptr;
    for (const Machine &player : players) {
        if (player.oem == codePage)
            machine = &player;
    }
    if (!machine)
        return badUsage(QStringLiteral("no player's code page %1").arg(codePage));
    Package package;
    QString error;
    if (!read_package(path, &package, &error))
        return refuse(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), error));
    for (const Record &record : qAsConst(package.records)) {
        const QString path =
            windows_path(decode_name(record.name, *machine), record.name.host == unixHost).path;
        std::printf("%s%s\n", path.toUtf8().constData(), record.folder() ? "/" : "");
    }
    return 0;
}

int check(const QString &path, const QStringList &releases, const CheckOptions &options,
          bool strict)
{
    if (!QFileInfo(path).isFile() || !QFileInfo(path).isReadable())
        return refuse(
            QStringLiteral("%1 is not a readable file").arg(QDir::toNativeSeparators(path)));
    QString error;
    if (!distinct_releases(releases, QString(), &error))
        return refuse(error);
    std::vector<Release> read(size_t(releases.size()));
    for (int k = 0; k < releases.size(); ++k) {
        if (!read_release(releases.at(k), true, &read[size_t(k)], &error))
            return refuse(error);
    }
    Progress progress;
    const Check checked = check_package(path, options, progress);
    if (interrupted())
        return interrupted_exit_code();
    if (!checked.judged)
        return refuse(QStringLiteral("cannot test the package: %1").arg(checked.why));
    int result = report_findings(path, checked.findings, strict);
    if (releases.isEmpty())
        return result;

    // The package as the archiver extracts it, met with NEW and each OLD.
    Release &updated = read.back();
    std::vector<const Release *> olds;
    for (size_t k = 0; k + 1 < read.size(); ++k)
        olds.push_back(&read[k]);
    Extraction extraction;
    if (!extract_package(path, &extraction, progress, &error))
        return interrupted() ? interrupted_exit_code() : refuse(error);
    std::vector<int> extracted;
    std::vector<int> kept;
    for (int i = 0; i < int(updated.entries.size()); ++i) {
        const Entry &entry = updated.entries[size_t(i)];
        if (entry.type != Entry::File)
            continue;
        if (extraction.tree.find(entry.key))
            extracted.push_back(i);
        else if (!is_updater_file(entry.path, options.subfolder))
            kept.push_back(i);
    }
    std::vector<QBitArray> alike;
    if ((!updated.manifest() && !hash_files(updated, extracted, progress, &error)) ||
        !compare_files(updated, olds, kept, false, false, progress, &error, &alike))
        return interrupted() ? interrupted_exit_code() : refuse(error);
    if (!report_proofs(prove(extraction, updated, olds, alike, options.subfolder)))
        result = 1;
    return result;
}

// The command line: positional arguments, and options with their values.
struct Arguments
{
    QStringList positional;
    QHash<QString, QString> options;
    QString error;
};

Arguments parse(const QStringList &words)
{
    static const QStringList valued = { QStringLiteral("output"), QStringLiteral("layout"),
                                        QStringLiteral("install-path-length"),
                                        QStringLiteral("code-page"), QStringLiteral("manifest") };
    static const QStringList flags = { QStringLiteral("strict"), QStringLiteral("apply"),
                                       QStringLiteral("help"), QStringLiteral("version") };
    Arguments arguments;
    for (int i = 0; i < words.size(); ++i) {
        QString word = words.at(i);
        if (word == QLatin1String("-o"))
            word = QStringLiteral("--output");
        else if (word == QLatin1String("-h"))
            word = QStringLiteral("--help");
        if (!word.startsWith(QLatin1String("--")) || word == QLatin1String("--")) {
            arguments.positional << word;
            continue;
        }
        QString name = word.mid(2);
        QString value;
        const int equals = name.indexOf(QLatin1Char('='));
        if (equals >= 0) {
            value = name.mid(equals + 1);
            name.truncate(equals);
        }
        if (flags.contains(name) && equals < 0) {
            arguments.options.insert(name, QString());
        } else if (valued.contains(name)) {
            if (equals < 0) {
                if (++i >= words.size()) {
                    arguments.error = QStringLiteral("%1 takes a value").arg(word);
                    return arguments;
                }
                value = words.at(i);
            }
            arguments.options.insert(name, value);
        } else {
            arguments.error = QStringLiteral("unknown option %1").arg(word);
            return arguments;
        }
    }
    return arguments;
}

} // namespace

int main(int argc, char *argv[])
{
    // A package's times are the same wherever it is made: zip stores local time.
    qputenv("TZ", "UTC0");
#ifdef Q_OS_WIN
    _tzset();
    // What it prints is UTF-8, on a console too.
    SetConsoleOutputCP(CP_UTF8);
#else
    tzset();
#endif
    QCoreApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    watch_interruptions();

    const Arguments arguments = parse(app.arguments().mid(1));
    if (arguments.options.contains(QStringLiteral("help"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (arguments.options.contains(QStringLiteral("version"))) {
        std::printf("updater-package %s\n", UPDATER_VERSION);
        return 0;
    }
    if (!arguments.error.isEmpty())
        return badUsage(arguments.error);
    const QStringList &words = arguments.positional;
    const QString command = words.value(0);
    auto given = [&](const char *option) {
        return arguments.options.contains(QLatin1String(option));
    };
    auto value = [&](const char *option, const QString &otherwise) {
        return arguments.options.value(QLatin1String(option), otherwise);
    };
    // The options each command takes.
    const QHash<QString, QStringList> taken {
        { QStringLiteral("make"),
          { "output", "layout", "install-path-length", "strict", "manifest" } },
        { QStringLiteral("check"), { "layout", "install-path-length", "strict", "apply" } },
        { QStringLiteral("manifest"), { "output", "layout" } },
        { QStringLiteral("list"), { "code-page" } },
    };
    if (!taken.contains(command))
        return badUsage(command.isEmpty() ? QStringLiteral("no command")
                                          : QStringLiteral("no command %1").arg(command));
    for (auto it = arguments.options.begin(); it != arguments.options.end(); ++it) {
        if (!taken.value(command).contains(it.key()))
            return badUsage(QStringLiteral("%1 takes no --%2").arg(command, it.key()));
    }

    CheckOptions options;
    const std::optional<QString> layout = layout_folder(value("layout", defaultSubfolder));
    if (!layout)
        return badUsage(QStringLiteral("--layout takes the updater's folder inside the install "
                                       "folder, or flat"));
    options.subfolder = *layout;
    bool number = false;
    options.installPathLength = value("install-path-length", QStringLiteral("60")).toInt(&number);
    if (!number || options.installPathLength < 3)
        return badUsage(QStringLiteral("--install-path-length takes a number of at least 3"));
    const bool strict = given("strict");

    if (command == QLatin1String("check")) {
        if (words.size() < (given("apply") ? 3 : 2) || (!given("apply") && words.size() > 2))
            return badUsage(QStringLiteral("bad arguments for check"));
        return check(words.at(1), words.mid(2), options, strict);
    }
    if (command == QLatin1String("make")) {
        if (words.size() < 2 || !given("output"))
            return badUsage(QStringLiteral("bad arguments for make"));
        MakeOptions making { options, strict, value("manifest", QString()) };
        return make_package(words.mid(1, words.size() - 2), words.last(), value("output", {}),
                            making);
    }
    if (command == QLatin1String("manifest")) {
        if (words.size() != 2 || !given("output"))
            return badUsage(QStringLiteral("bad arguments for manifest"));
        return make_manifest(words.at(1), value("output", {}), options);
    }
    if (words.size() != 2)
        return badUsage(QStringLiteral("bad arguments for list"));
    const int page = value("code-page", QStringLiteral("936")).toInt(&number);
    return number ? list(words.at(1), page)
                  : badUsage(QStringLiteral("--code-page takes a number"));
}
