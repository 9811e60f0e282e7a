#include "check.h"

#include "archiver.h"
#include "fixed.h"
#include "progress.h"
#include "updaterfiles.h"

#include <QFile>
#include <QHash>
#include <QPair>
#include <QSet>

#include <algorithm>
#include <cstdio>

namespace {

// The longest path Windows' own file functions take, its terminating NUL left out.
constexpr int maxPath = 259;
// The longest name of one file or folder, and the longest path, that
// Windows can create at all.
constexpr int maxName = 255;
constexpr int maxLongPath = 32767;

bool isLineBreak(QChar c)
{
    return c == u'\r' || c == u'\n' || c == u'\b';
}

// The updater starts the client on the success line as a line of its own:
// after a line break, a carriage return or a backspace.
bool startsSuccessLine(const QString &name)
{
    for (int at = name.indexOf(Fixed::successLine); at >= 0;
         at = name.indexOf(Fixed::successLine, at + 1)) {
        if (at > 0 && isLineBreak(name.at(at - 1)))
            return true;
    }
    return false;
}

bool holdsSuccessLine(const QByteArray &comment)
{
    const QString text = QString::fromLatin1(comment);
    QString line;
    for (const QChar c : text + QLatin1Char('\n')) {
        if (!isLineBreak(c)) {
            line += c;
        } else if (line == Fixed::successLine) {
            return true;
        } else {
            line.clear();
        }
    }
    return false;
}

// What runs in place of a tool, at the next update.
QString shadowing(const QString &name)
{
    if (name.startsWith(QLatin1String("7za"), Qt::CaseInsensitive))
        return QStringLiteral("the interpreter looks in the install folder first: from the next "
                              "update on it runs this instead of the archiver shipped with the "
                              "updater, whatever it does (a 7-Zip before 9.30 rejects -bsp1 and "
                              "every update fails, one before 25.00 can be led by links to write "
                              "outside the folder)");
    if (name.startsWith(QLatin1String("taskkill"), Qt::CaseInsensitive))
        return QStringLiteral("the interpreter looks in the install folder first: from the next "
                              "update on it runs this instead of Windows' taskkill, and the "
                              "client's running files may not be replaced");
    return QStringLiteral("updaters before this release start it as their interpreter, for "
                          "every command: no update they run extracts");
}

// Whether entry `index` is the archiver shipped with this release.
bool isShippedArchiver(const QString &path, int index)
{
    QByteArray bytes;
    return read_entry(path, index, &bytes) && is_shipped_archiver(bytes);
}

} // namespace

QList<Finding> check_records(const QString &packagePath, const Package &package,
                             const CheckOptions &options)
{
    QList<Finding> findings;
    auto add = [&](bool error, const char *kind, const Record &record, const QString &what) {
        findings << Finding { error, QLatin1String(kind), shown_name(record.name.bytes), what };
    };
    // Where entries land on a Simplified-Chinese Windows, a node per folder
    // or file, found by its parent's node and its own name's key: the entry
    // that wrote it last, and whether it is a folder there.
    struct Landed
    {
        int entry;
        bool folder;
    };
    QHash<QPair<int, QString>, int> nodes;
    std::vector<Landed> landed;
    QSet<int> bothKinds; // entries already reported as a file where a folder is

    for (int i = 0; i < package.records.size(); ++i) {
        const Record &record = package.records.at(i);
        const bool madeOnUnix = record.name.host == unixHost;
        QStringList names;
        QStringList paths;
        bool escapes = false;
        for (const Machine &machine : players) {
            names << decode_name(record.name, machine);
            escapes |= holds_escapes(names.last());
            paths << windows_path(names.last(), madeOnUnix).path;
        }
        // The name and place on the studio's own Simplified-Chinese Windows.
        const QString &decoded = names.first();
        const WindowsPath path = windows_path(decoded, madeOnUnix);
        const QStringList parts = path.path.split(QLatin1Char('/'));

        const bool garbled = paths.count(paths.first()) != paths.size();
        if (garbled) {
            add(true, "encoding", record,
                QStringLiteral("stored in a code page without the UTF-8 flag: written as %1 on "
                               "code page 936, %2 on 950, %3 on 437")
                    .arg(quoted(paths.at(0)), quoted(paths.at(1)), quoted(paths.at(2))));
        } else if (escapes) {
            add(true, "encoding", record,
                QStringLiteral("read as UTF-8 but is not: written as %1, with private characters "
                               "for the bytes that are not UTF-8")
                    .arg(quoted(path.path)));
        }
        if (record.encrypted) {
            add(true, "encrypted", record,
                QStringLiteral("the archiver shipped with this release asks for no password: it "
                               "reports the entry, leaves the file where it would go as it was "
                               "and goes on with the rest; the error text shows and the client "
                               "is not started. An updater before this release waits for a "
                               "password for good, at \"extracting\", the file it was about to "
                               "write left empty"));
        }
        if (record.link()) {
            add(true, "unsafe-path", record,
                QStringLiteral("a link: the archiver refuses it, the error text shows and the "
                               "client is not started"));
        } else if (path.escapes) {
            add(true, "unsafe-path", record,
                QStringLiteral("a path outside the install folder: the archiver writes it inside, "
                               "as %1")
                    .arg(quoted(path.path)));
        } else if (path.renamed && !garbled) {
            add(true, "windows-name", record,
                QStringLiteral("a name Windows cannot hold: the archiver writes it as %1, where "
                               "the client does not look for it")
                    .arg(quoted(path.path)));
        } else if (std::any_of(parts.begin(), parts.end(),
                               [](const QString &part) { return is_device_name(part, true); })) {
            add(true, "windows-name", record,
                QStringLiteral("a device name on Windows, which the archiver does not rename: it "
                               "cannot write the file, the error text shows and the client is "
                               "not started"));
        }
        if (startsSuccessLine(decoded)) {
            add(true, "success-line", record,
                QStringLiteral("its name puts the success line on a line of its own in the "
                               "archiver's progress: the client may be started before the rest "
                               "is written"));
        }
        if (is_updater_file(path.path, options.subfolder)) {
            add(true, "updater-file", record,
                QStringLiteral("one of the updater's own files, in use while it runs: the "
                               "archiver cannot replace it, the error text shows after the "
                               "entries before it were written, and the install is left "
                               "half-updated"));
        } else if (shadows_tool(path.path) &&
                   !(path.path.compare(QLatin1String("7za.exe"), Qt::CaseInsensitive) == 0 &&
                     isShippedArchiver(packagePath, i))) {
            add(true, "shadowing", record, shadowing(path.path));
        }
        const int longest =
            std::max_element(parts.begin(), parts.end(), [](const QString &a, const QString &b) {
                return a.size() < b.size();
            })->size();
        const int length = options.installPathLength + 1 + path.path.size();
        if (longest > maxName) {
            add(true, "long-path", record,
                QStringLiteral("a name of %1 characters, past the %2 that Windows takes: the "
                               "archiver cannot write it, the error text shows and the client is "
                               "not started")
                    .arg(longest)
                    .arg(maxName));
        } else if (length > maxLongPath) {
            add(true, "long-path", record,
                QStringLiteral("%1 characters under an install folder of %2, past the %3 that "
                               "Windows takes: the archiver cannot write it, the error text shows "
                               "and the client is not started")
                    .arg(length)
                    .arg(options.installPathLength)
                    .arg(maxLongPath));
        } else if (length > maxPath) {
            add(false, "long-path", record,
                QStringLiteral("%1 characters under an install folder of %2: past Windows' "
                               "limit of %3, where a client without long-path support cannot "
                               "open it")
                    .arg(length)
                    .arg(options.installPathLength)
                    .arg(maxPath));
        }

        // Two entries in one place: the later one wins, or one of a file and
        // a folder of the same name cannot be made.
        int node = -1;
        for (int depth = 0; depth < parts.size() && !path.path.isEmpty(); ++depth) {
            const bool last = depth + 1 == parts.size();
            const bool folder = !last || record.folder();
            const QPair<int, QString> at(node, path_key(parts.at(depth)));
            const auto found = nodes.constFind(at);
            if (found == nodes.constEnd()) {
                node = int(landed.size());
                nodes.insert(at, node);
                landed.push_back(Landed { i, folder });
                continue;
            }
            node = *found;
            Landed &there = landed[size_t(node)];
            if (there.folder && folder)
                continue;
            const Record &earlier = package.records.at(there.entry);
            if (!there.folder && !folder) {
                add(true, "collision", earlier,
                    QStringLiteral("one file on players' machines with the later %1: this entry "
                                   "is lost, the later one's bytes are kept")
                        .arg(quoted(shown_name(record.name.bytes))));
                there.entry = i;
            } else if (!bothKinds.contains(there.entry)) {
                bothKinds.insert(there.entry);
                add(true, "collision", earlier,
                    QStringLiteral("%1 is both a file and a folder with %2: Windows holds only "
                                   "one of them")
                        .arg(quoted(parts.mid(0, depth + 1).join(QLatin1Char('/'))),
                             quoted(shown_name(record.name.bytes))));
            }
            break;
        }
    }

    if (holdsSuccessLine(package.comment)) {
        findings << Finding { true, QStringLiteral("comment"), QString(),
                              QStringLiteral("the package's comment holds the success line, which "
                                             "the archiver prints before it extracts: the client "
                                             "is started at once, before its files are written") };
    } else if (!package.comment.isEmpty()) {
        findings << Finding { false, QStringLiteral("comment"), QString(),
                              QStringLiteral("the package has a comment, which the archiver "
                                             "prints into the updater's output before it "
                                             "extracts") };
    }
    return findings;
}

Check check_package(const QString &path, const CheckOptions &options, Progress &progress)
{
    Check check;
    Package package;
    QString error;
    if (!read_package(path, &package, &error)) {
        check.findings << Finding { true, QStringLiteral("not-a-zip"), QString(), error };
        check.judged = true;
        return check;
    }
    check.findings = check_records(path, package, options);
    // An encrypted entry cannot be tested without its password, which the
    // archiver would wait for.
    for (const Record &record : qAsConst(package.records)) {
        if (record.encrypted) {
            check.judged = true;
            return check;
        }
    }
    const ArchiverRun test =
        run_archiver({ QStringLiteral("t"), path }, QStringLiteral("testing"), progress);
    check.judged = test.started && !interrupted();
    if (!check.judged) {
        check.why = test.errors.value(0);
        return check;
    }
    if (!test.succeeded) {
        for (const QString &line : test.errors) {
            check.findings << Finding { true, QStringLiteral("damaged"), QString(),
                                        QStringLiteral("the archiver's test: %1").arg(line) };
        }
    }
    return check;
}

int report_findings(const QString &package, const QList<Finding> &findings, bool strict)
{
    int errors = 0;
    for (const Finding &finding : findings) {
        errors += finding.error;
        std::printf("%s\t%s\t%s\t%s\n", finding.error ? "error" : "warning",
                    qPrintable(finding.kind),
                    finding.name.isEmpty() ? "(package)" : finding.name.toUtf8().constData(),
                    finding.what.toUtf8().constData());
    }
    const int warnings = int(findings.size()) - errors;
    std::printf("%s: %d errors, %d warnings\n", package.toUtf8().constData(), errors, warnings);
    return errors > 0 || (strict && warnings > 0) ? 1 : 0;
}
