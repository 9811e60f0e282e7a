#include "check.h"

#include "archiver.h"
#include "fixed.h"
#include "updaterfiles.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <cstdio>

namespace {

// The longest path Windows' own file functions take, its terminating NUL left out.
constexpr int maxPath = 259;

QString quoted(const QString &path)
{
    return QLatin1Char('`') + path + QLatin1Char('`');
}

// The updater starts the client on the success line as a line of its own:
// after a line break, a carriage return or a backspace.
bool startsSuccessLine(const QString &name)
{
    static const QRegularExpression line(QStringLiteral("[\\r\\n\\b]") +
                                         QRegularExpression::escape(Fixed::successLine));
    return line.match(name).hasMatch();
}

bool holdsSuccessLine(const QByteArray &comment)
{
    static const QRegularExpression breaks(QStringLiteral("[\\r\\n\\b]"));
    return QString::fromLatin1(comment).split(breaks).contains(Fixed::successLine);
}

} // namespace

QList<Finding> check_records(const Package &package, const CheckOptions &options)
{
    QList<Finding> findings;
    auto add = [&](bool error, const char *kind, const Record &record, const QString &what) {
        findings << Finding { error, QLatin1String(kind), shown_name(record.name.bytes), what };
    };
    // Where each entry lands on a Simplified-Chinese Windows, by the key
    // Windows finds it under: the entry that wrote it last, and whether it
    // is a folder there.
    struct Landed
    {
        int entry;
        bool folder;
    };
    QHash<QString, Landed> landed;
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
                QStringLiteral("the archiver asks for a password and waits for good: the window "
                               "stays at \"extracting\", and the file it was about to write is "
                               "left empty"));
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
        }
        const int length = options.installPathLength + 1 + path.path.size();
        if (length > maxPath) {
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
        const QStringList parts = path_key(path.path).split(QLatin1Char('/'));
        for (int depth = 1; depth <= parts.size() && !path.path.isEmpty(); ++depth) {
            const bool last = depth == parts.size();
            const bool folder = !last || record.folder();
            const QString at = parts.mid(0, depth).join(QLatin1Char('/'));
            const auto found = landed.constFind(at);
            if (found == landed.constEnd() || (found->folder && folder)) {
                if (found == landed.constEnd())
                    landed.insert(at, Landed { i, folder });
                continue;
            }
            const Record &earlier = package.records.at(found->entry);
            if (!found->folder && !folder) {
                add(true, "collision", earlier,
                    QStringLiteral("one file on players' machines with the later %1: this entry "
                                   "is lost, the later one's bytes are kept")
                        .arg(quoted(shown_name(record.name.bytes))));
                landed.insert(at, Landed { i, folder });
            } else if (!bothKinds.contains(found->entry)) {
                bothKinds.insert(found->entry);
                add(true, "collision", earlier,
                    QStringLiteral("%1 is both a file and a folder with %2: Windows holds only "
                                   "one of them")
                        .arg(quoted(path.path.section(QLatin1Char('/'), 0, depth - 1)),
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

QList<Finding> check_package(const QString &path, const CheckOptions &options, Progress &progress)
{
    Package package;
    QString error;
    if (!read_package(path, &package, &error))
        return { Finding { true, QStringLiteral("not-a-zip"), QString(), error } };
    QList<Finding> findings = check_records(package, options);
    // An encrypted entry cannot be tested without its password, which the
    // archiver would wait for.
    for (const Record &record : qAsConst(package.records)) {
        if (record.encrypted)
            return findings;
    }
    const ArchiverRun test =
        run_archiver({ QStringLiteral("t"), path }, QStringLiteral("testing"), progress);
    if (!test.succeeded) {
        for (const QString &line : test.errors) {
            findings << Finding { true, QStringLiteral("damaged"), QString(),
                                  QStringLiteral("the archiver's test: %1").arg(line) };
        }
    }
    return findings;
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
    std::printf("%s: %d errors, %d warnings\n", QFile::encodeName(package).constData(), errors,
                warnings);
    return errors > 0 || (strict && warnings > 0) ? 1 : 0;
}
