#include "make.h"

#include "compare.h"
#include "files.h"
#include "names.h"
#include "pack.h"
#include "progress.h"
#include "proof.h"
#include "updaterfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

// Names listed in a summary line; the rest are counted.
constexpr int listedNames = 5;

void say(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
}

int refuse(const QString &message)
{
    std::fprintf(stderr, "updater-package: %s\n", message.toUtf8().constData());
    return 2;
}

// "2 files: a, b", the first few names only.
QString summary(const QStringList &paths)
{
    QStringList shown = paths.mid(0, listedNames);
    if (paths.size() > listedNames)
        shown << QStringLiteral("and %1 more").arg(paths.size() - listedNames);
    return QStringLiteral("%1 %2: %3")
        .arg(paths.size())
        .arg(paths.size() == 1 ? QStringLiteral("file") : QStringLiteral("files"),
             shown.join(QStringLiteral(", ")));
}

// A file beside the package, removed unless kept.
class Scratch
{
public:
    explicit Scratch(const QString &output)
    {
        const QFileInfo target(output);
        for (int n = 0; n < 1000 && path.isEmpty(); ++n) {
            QFile file(target.absolutePath() + QStringLiteral("/.") + target.fileName() +
                       QStringLiteral(".%1.%2").arg(QCoreApplication::applicationPid()).arg(n));
            // As any new file, not as private as a temporary one.
            if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                path = file.fileName();
        }
    }
    ~Scratch()
    {
        if (!path.isEmpty())
            QFile::remove(path);
    }
    void keep() { path.clear(); }

    QString path;
};

// Whether NEW's `entry` is the archiver shipped with this release.
bool isShippedArchiver(const Release &release, const Entry &entry)
{
    QFile file(release.filePath(entry));
    return entry.path.compare(QLatin1String("7za.exe"), Qt::CaseInsensitive) == 0 &&
        file.open(QIODevice::ReadOnly) && is_shipped_archiver(file.readAll());
}

// What the files of a release hold that cannot be described (in OLD, two
// paths in one on Windows; in NEW, names and files that are no file's), or
// packed (`packing`: programs in place of the interpreter's tools): a line
// each.
QStringList problemsOf(const Release &release, const QString &subfolder, bool updated, bool packing)
{
    QStringList problems;
    const QString which = updated ? QStringLiteral("NEW") : QStringLiteral("OLD ") + release.name;
    for (const QString &path : release.clashes)
        problems << QStringLiteral("%1 holds %2 and another path in other letter case, one file "
                                   "on Windows")
                        .arg(which, quoted_path(path));
    if (!updated)
        return problems;
    for (const Entry &entry : release.entries) {
        if (is_updater_file(entry.path, subfolder))
            continue;
        if (!entry.plainName)
            problems << QStringLiteral("%1 is not named in UTF-8").arg(quoted_path(entry.path));
        else if (entry.type == Entry::Other)
            problems << QStringLiteral("%1 is a link or a special file, which a package cannot "
                                       "carry")
                            .arg(quoted_path(entry.path));
        else if (packing && shadows_tool(entry.path) && !isShippedArchiver(release, entry))
            problems << QStringLiteral("%1 at the top of the install folder runs, at every "
                                       "update, in place of the tool the updater means")
                            .arg(quoted_path(entry.path));
    }
    return problems;
}

} // namespace

bool distinct_releases(const QStringList &releases, const QString &output, QString *error)
{
    QStringList places;
    for (const QString &release : releases) {
        if (!QFileInfo::exists(release)) {
            *error = QStringLiteral("%1 does not exist").arg(QDir::toNativeSeparators(release));
            return false;
        }
        const QString place = place_key(release);
        if (places.contains(place)) {
            *error = QStringLiteral("%1 is given twice, or is NEW as well")
                         .arg(QDir::toNativeSeparators(release));
            return false;
        }
        places << place;
        if (!output.isEmpty() && QFileInfo(release).isDir() && lies_inside(output, release)) {
            *error = QStringLiteral("%1 lies inside %2, which it would change")
                         .arg(QDir::toNativeSeparators(output), QDir::toNativeSeparators(release));
            return false;
        }
    }
    return true;
}

namespace {

// Whether `target` can be written without changing a release it is made from.
bool writable_target(const QString &target, const QStringList &releases, QString *error)
{
    const QFileInfo info(target);
    if (!info.dir().exists())
        *error =
            QStringLiteral("the folder of %1 does not exist").arg(QDir::toNativeSeparators(target));
    else if (info.isDir())
        *error = QStringLiteral("%1 is a folder").arg(QDir::toNativeSeparators(target));
    else
        return distinct_releases(releases, target, error);
    return false;
}

} // namespace

int make_package(const QStringList &olds, const QString &newRoot, const QString &output,
                 const MakeOptions &options)
{
    const QString &subfolder = options.check.subfolder;
    if (is_manifest(newRoot))
        return refuse(QStringLiteral("%1 is a manifest: NEW must be the release folder, whose "
                                     "files the package carries")
                          .arg(QDir::toNativeSeparators(newRoot)));
    for (const QString &target : { output, options.manifest }) {
        if (target.isEmpty())
            continue;
        QString error;
        if (!writable_target(target, QStringList(olds) << newRoot, &error))
            return refuse(error);
    }
    if (!options.manifest.isEmpty() && place_key(output) == place_key(options.manifest))
        return refuse(QStringLiteral("the package and the manifest are one file"));

    Progress progress;
    Release updated;
    std::vector<Release> releases(size_t(olds.size()));
    QString error;
    if (!read_release(newRoot, false, &updated, &error))
        return refuse(error);
    std::vector<const Release *> before;
    for (int k = 0; k < olds.size(); ++k) {
        if (!read_release(olds.at(k), true, &releases[size_t(k)], &error))
            return refuse(error);
        before.push_back(&releases[size_t(k)]);
    }

    // What no package can carry.
    QStringList problems = problemsOf(updated, subfolder, true, true);
    for (const Release *old : before) {
        problems += problemsOf(*old, subfolder, false, true);
        for (const Entry &entry : updated.entries) {
            const Entry *was = old->find(entry.key);
            if (was && was->type != entry.type && !is_updater_file(entry.path, subfolder))
                problems << QStringLiteral("%1 is a %2 in OLD %3 and a %4 in NEW: the archiver "
                                           "cannot replace the one with the other, and the "
                                           "updater deletes nothing")
                                .arg(quoted_path(entry.path), type_name(was->type), old->name,
                                     type_name(entry.type));
        }
    }

    // Every file of NEW that some OLD lacks or holds otherwise, and every
    // empty folder that some OLD lacks.
    std::vector<int> files;
    QStringList leftOut;
    for (int i = 0; i < int(updated.entries.size()); ++i) {
        const Entry &entry = updated.entries[size_t(i)];
        if (is_updater_file(entry.path, subfolder)) {
            if (entry.type != Entry::Folder)
                leftOut << entry.path;
        } else if (entry.type == Entry::File) {
            files.push_back(i);
        }
    }
    bool hashes = !options.manifest.isEmpty();
    for (const Release *old : before)
        hashes |= old->manifest();
    std::vector<QBitArray> alike;
    if (!compare_files(updated, before, files, true, hashes, progress, &error, &alike))
        return interrupted() ? interrupted_exit_code() : refuse(error);
    std::vector<int> carried;
    for (int i = 0; i < int(updated.entries.size()); ++i) {
        const Entry &entry = updated.entries[size_t(i)];
        if (entry.type == Entry::Other || is_updater_file(entry.path, subfolder))
            continue;
        bool everywhere = !before.empty();
        for (const Release *old : before)
            everywhere &= old->find(entry.key) != nullptr;
        const bool needed = entry.type == Entry::File
            ? before.empty() || alike[size_t(i)].count(true) < int(before.size())
            : entry.empty && !everywhere;
        if (needed)
            carried.push_back(i);
    }

    // What stays on players' machines: once where every OLD agrees.
    std::vector<QStringList> behind;
    for (const Release *old : before) {
        QStringList paths;
        for (const Entry &entry : old->entries) {
            if (entry.type != Entry::Folder && !updated.find(entry.key) &&
                !is_updater_file(entry.path, subfolder))
                paths << entry.path;
        }
        behind.push_back(paths);
    }
    if (!leftOut.isEmpty())
        say(QStringLiteral("left out, the updater's own:\t%1").arg(summary(leftOut)));
    const bool agreed = std::all_of(behind.begin(), behind.end(),
                                    [&](const QStringList &paths) { return paths == behind[0]; });
    for (size_t k = 0; k < behind.size(); ++k) {
        if (behind[k].isEmpty() || (agreed && k > 0))
            continue;
        const QString which = before.size() == 1 ? QStringLiteral("in OLD")
            : agreed                             ? QStringLiteral("in every OLD")
                                                 : QStringLiteral("in OLD ") + before[k]->name;
        say(QStringLiteral("left behind, %1 but not in NEW:\t%2").arg(which, summary(behind[k])));
    }
    for (const QString &problem : qAsConst(problems))
        say(QStringLiteral("error\tfolders\t%1").arg(problem));
    if (!problems.isEmpty()) {
        say(QStringLiteral("no package made: the releases hold what a package cannot carry"));
        return 1;
    }
    if (carried.empty()) {
        say(QStringLiteral("no package made: NEW holds nothing that an OLD lacks"));
        return 1;
    }

    // Written beside the package, and there under its name only once proven.
    Scratch scratch(output);
    if (scratch.path.isEmpty())
        return refuse(QStringLiteral("cannot write in the folder of %1")
                          .arg(QDir::toNativeSeparators(output)));
    Packed packed;
    bool blamed = false;
    if (!write_package(updated, carried, scratch.path, progress, &packed, &error, &blamed)) {
        if (interrupted())
            return interrupted_exit_code();
        if (!blamed)
            return refuse(QStringLiteral("cannot write the package: %1").arg(error));
        say(QStringLiteral("error\tfolders\t%1").arg(error));
        say(QStringLiteral("no package made: NEW holds what a package cannot carry"));
        return 1;
    }
    say(QStringLiteral("package: %1 entries, %2, %3 packed, %4 files stored as they are")
            .arg(carried.size())
            .arg(bytes_text(packed.bytes), bytes_text(QFileInfo(scratch.path).size()))
            .arg(packed.stored));

    const Check check = check_package(scratch.path, options.check, progress);
    if (interrupted())
        return interrupted_exit_code();
    if (!check.judged)
        return refuse(QStringLiteral("cannot test the package: %1").arg(check.why));
    const int checked = report_findings(output, check.findings, options.strict);
    Extraction extraction;
    if (!extract_package(scratch.path, &extraction, progress, &error))
        return interrupted() ? interrupted_exit_code() : refuse(error);
    const bool proven = report_proofs(prove(extraction, updated, before, alike, subfolder));
    if (checked != 0 || !proven) {
        say(QStringLiteral("no package made: it failed its check or its proof"));
        return 1;
    }
    if (!options.manifest.isEmpty()) {
        Release manifest;
        for (const Entry &entry : updated.entries) {
            if (!is_updater_file(entry.path, subfolder))
                manifest.entries.push_back(entry);
        }
        if (!write_manifest(manifest, options.manifest, &error))
            return refuse(error);
        say(QStringLiteral("manifest of NEW: %1").arg(QDir::toNativeSeparators(options.manifest)));
    }
    if (!replace_file(scratch.path, output, &error))
        return refuse(
            QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(output), error));
    scratch.keep();
    say(QStringLiteral("made %1").arg(QDir::toNativeSeparators(output)));
    return 0;
}

int make_manifest(const QString &root, const QString &output, const CheckOptions &options)
{
    if (!QFileInfo(root).isDir())
        return refuse(QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(root)));
    QString error;
    if (!writable_target(output, { root }, &error))
        return refuse(error);
    Progress progress;
    Release release;
    if (!read_folder(root, &release, &error))
        return refuse(error);
    const QStringList problems = problemsOf(release, options.subfolder, true, false);
    for (const QString &problem : problems)
        say(QStringLiteral("error\tfolders\t%1").arg(problem));
    if (!problems.isEmpty()) {
        say(QStringLiteral("no manifest written: the release holds what a manifest cannot "
                           "describe"));
        return 1;
    }
    Release manifest;
    std::vector<int> files;
    for (const Entry &entry : release.entries) {
        if (is_updater_file(entry.path, options.subfolder))
            continue;
        if (entry.type == Entry::File)
            files.push_back(int(manifest.entries.size()));
        manifest.entries.push_back(entry);
    }
    manifest.root = release.root;
    if (!hash_files(manifest, files, progress, &error))
        return interrupted() ? interrupted_exit_code() : refuse(error);
    if (!write_manifest(manifest, output, &error))
        return refuse(error);
    say(QStringLiteral("manifest: %1 files, %2 folders")
            .arg(files.size())
            .arg(manifest.entries.size() - files.size()));
    return 0;
}
