#include "make.h"

#include "progress.h"
#include "proof.h"
#include "tree.h"
#include "updaterfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <QtMath>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <zip.h>

namespace {

// Files and folders the package carries are readable by all, whatever
// their modes in NEW: the same bytes from the same folders.
constexpr zip_uint32_t fileMode = 0100644;
constexpr zip_uint32_t folderMode = 040755;
constexpr zip_uint32_t deflateLevel = 6;

QString shown(const QByteArray &path)
{
    return QLatin1Char('`') + shown_name(path) + QLatin1Char('`');
}

void say(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
}

int refuse(const QString &message)
{
    std::fprintf(stderr, "updater-package: %s\n", message.toUtf8().constData());
    return 2;
}

// What NEW holds against OLD.
struct Difference
{
    std::vector<const TreeEntry *> carried; // into the package
    QSet<QByteArray> alike; // files with the same bytes in both
    QStringList leftOut; // the updater's own files
    QStringList leftBehind; // in OLD, not in NEW
    QStringList errors; // what a package cannot carry
};

// Compares NEW with OLD file by file; false when a file cannot be read.
bool compare(const Tree &old, const Tree &updated, const QString &subfolder, Difference *difference,
             Progress &progress, QString *error)
{
    qint64 total = 0;
    for (const TreeEntry &entry : updated.entries) {
        const TreeEntry *before = old.find(entry.path);
        if (entry.type == TreeEntry::File && before && before->size == entry.size)
            total += 2 * entry.size;
    }
    qint64 done = 0;
    int files = 0;
    for (const TreeEntry &entry : updated.entries) {
        const QString path = QString::fromUtf8(entry.path);
        ++files;
        if (is_updater_file(path, subfolder)) {
            if (entry.type != TreeEntry::Folder)
                difference->leftOut << shown_name(entry.path);
            continue;
        }
        if (entry.type == TreeEntry::Other) {
            difference->errors << QStringLiteral("%1 is a link or a special file, which a package "
                                                 "cannot carry")
                                      .arg(shown(entry.path));
            continue;
        }
        if (holds_escapes(from_utf8(entry.path))) {
            difference->errors << QStringLiteral("%1 is not named in UTF-8").arg(shown(entry.path));
            continue;
        }
        const TreeEntry *before = old.find(entry.path);
        if (before && before->type != entry.type) {
            difference->errors << QStringLiteral("%1 is a %2 in OLD and a %3 in NEW: the "
                                                 "archiver cannot replace the one with the "
                                                 "other, and the updater deletes nothing")
                                      .arg(shown(entry.path),
                                           before->type == TreeEntry::File
                                               ? QStringLiteral("file")
                                               : QStringLiteral("folder"),
                                           entry.type == TreeEntry::File
                                               ? QStringLiteral("file")
                                               : QStringLiteral("folder"));
            continue;
        }
        if (entry.type == TreeEntry::Folder) {
            // A folder with files inside comes with them.
            if (!before && !updated.holdsAnything(entry.path))
                difference->carried.push_back(&entry);
            continue;
        }
        if (before && before->size == entry.size) {
            const std::optional<bool> same = same_bytes(
                old.filePath(entry.path), updated.filePath(entry.path), [&](qint64 read) {
                    done += read;
                    progress.show(QStringLiteral("comparing: %1 of %2 files, %3 of %4")
                                      .arg(files)
                                      .arg(updated.entries.size())
                                      .arg(bytes_text(done), bytes_text(total)));
                });
            if (!same) {
                *error = QStringLiteral("cannot read %1 or %2")
                             .arg(QFile::decodeName(old.filePath(entry.path)),
                                  QFile::decodeName(updated.filePath(entry.path)));
                return false;
            }
            if (*same) {
                difference->alike.insert(entry.path);
                continue;
            }
        }
        difference->carried.push_back(&entry);
    }
    for (const TreeEntry &entry : old.entries) {
        if (entry.type != TreeEntry::Folder && !updated.find(entry.path) &&
            !is_updater_file(QString::fromUtf8(entry.path), subfolder))
            difference->leftBehind << shown_name(entry.path);
    }
    progress.clear();
    return true;
}

void showProgress(zip_t *, double done, void *state)
{
    auto *progress = static_cast<Progress *>(state);
    progress->show(QStringLiteral("writing: %1%").arg(qFloor(done * 100)));
}

// Writes the package: the entries in NEW's order, named in UTF-8 with the
// flag, deflated, each with its time in NEW.
bool write(const QString &path, const Tree &updated, const std::vector<const TreeEntry *> &carried,
           Progress &progress, QString *error)
{
    int code = 0;
    zip_t *zip = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!zip) {
        zip_error_t reason;
        zip_error_init_with_code(&reason, code);
        *error = QString::fromUtf8(zip_error_strerror(&reason));
        zip_error_fini(&reason);
        return false;
    }
    for (const TreeEntry *entry : carried) {
        const bool folder = entry->type == TreeEntry::Folder;
        zip_int64_t index = -1;
        if (folder) {
            index = zip_dir_add(zip, entry->path.constData(), ZIP_FL_ENC_UTF_8);
        } else if (zip_source_t *source =
                       zip_source_file(zip, updated.filePath(entry->path).constData(), 0, 0)) {
            index = zip_file_add(zip, entry->path.constData(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0)
                zip_source_free(source);
        }
        if (index < 0 ||
            (!folder &&
             zip_set_file_compression(zip, zip_uint64_t(index), ZIP_CM_DEFLATE, deflateLevel) !=
                 0) ||
            zip_file_set_external_attributes(zip, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                             (folder ? folderMode : fileMode) << 16) != 0 ||
            zip_file_set_mtime(zip, zip_uint64_t(index), time_t(entry->mtime), 0) != 0) {
            *error = QString::fromUtf8(zip_strerror(zip));
            zip_discard(zip);
            return false;
        }
    }
    zip_register_progress_callback_with_state(zip, 0.001, showProgress, nullptr, &progress);
    const bool written = zip_close(zip) == 0;
    if (!written) {
        *error = QString::fromUtf8(zip_strerror(zip));
        zip_discard(zip);
    }
    progress.clear();
    return written;
}

} // namespace

int make_package(const QString &oldRoot, const QString &newRoot, const QString &output,
                 const CheckOptions &options, bool strict)
{
    for (const QString &root : { oldRoot, newRoot }) {
        if (!QFileInfo(root).isDir())
            return refuse(QStringLiteral("%1 is not a folder").arg(root));
    }
    const QFileInfo target(output);
    if (!target.dir().exists())
        return refuse(QStringLiteral("the folder of %1 does not exist").arg(output));
    if (target.isDir())
        return refuse(QStringLiteral("%1 is a folder").arg(output));
    const QString place = target.dir().canonicalPath() + QLatin1Char('/');
    for (const QString &root : { oldRoot, newRoot }) {
        if (place.startsWith(QDir(root).canonicalPath() + QLatin1Char('/')))
            return refuse(
                QStringLiteral("%1 lies inside %2, which it would change").arg(output, root));
    }

    Progress progress;
    Tree old;
    Tree updated;
    QString error;
    if (!walk_tree(oldRoot, &old, &error) || !walk_tree(newRoot, &updated, &error))
        return refuse(error);
    Difference difference;
    if (!compare(old, updated, options.subfolder, &difference, progress, &error))
        return refuse(error);

    for (const QString &file : qAsConst(difference.leftOut))
        say(QStringLiteral("left out, the updater's own:\t%1").arg(file));
    for (const QString &file : qAsConst(difference.leftBehind))
        say(QStringLiteral("left behind, in OLD but not in NEW:\t%1").arg(file));
    for (const QString &problem : qAsConst(difference.errors))
        say(QStringLiteral("error\tfolders\t%1").arg(problem));
    if (!difference.errors.isEmpty()) {
        say(QStringLiteral("no package made: NEW holds what a package cannot carry"));
        return 1;
    }
    if (difference.carried.empty()) {
        say(QStringLiteral("no package made: NEW holds nothing that OLD lacks"));
        return 1;
    }

    // Written beside the package, and there under its name only once proven.
    QTemporaryFile scratch(target.absolutePath() + QStringLiteral("/.") + target.fileName() +
                           QStringLiteral(".XXXXXX"));
    if (!scratch.open())
        return refuse(QStringLiteral("cannot write in %1: %2")
                          .arg(target.absolutePath(), scratch.errorString()));
    scratch.close();
    qint64 bytes = 0;
    for (const TreeEntry *entry : difference.carried)
        bytes += entry->size;
    if (!write(scratch.fileName(), updated, difference.carried, progress, &error))
        return refuse(QStringLiteral("cannot write the package: %1").arg(error));
    say(QStringLiteral("package: %1 entries, %2, %3 packed")
            .arg(difference.carried.size())
            .arg(bytes_text(bytes), bytes_text(QFileInfo(scratch.fileName()).size())));

    const int checked =
        report_findings(output, check_package(scratch.fileName(), options, progress), strict);
    const bool proven = report_proof(
        prove(scratch.fileName(), old, updated, difference.alike, options.subfolder, progress));
    if (checked != 0 || !proven) {
        say(QStringLiteral("no package made: it failed its check or its proof"));
        return 1;
    }
    if (std::rename(QFile::encodeName(scratch.fileName()).constData(),
                    QFile::encodeName(output).constData()) != 0)
        return refuse(QStringLiteral("cannot write %1: %2")
                          .arg(output, QString::fromLocal8Bit(std::strerror(errno))));
    scratch.setAutoRemove(false);
    // As any new file, not as private as a scratch file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(QFile::encodeName(output).constData(), 0666 & ~mask);
    say(QStringLiteral("made %1").arg(output));
    return 0;
}
