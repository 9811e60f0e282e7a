#include "proof.h"

#include "archiver.h"
#include "names.h"
#include "progress.h"
#include "updaterfiles.h"

#include <QTemporaryDir>

#include <cstdio>

namespace {

QString shown(const QByteArray &path)
{
    return QLatin1Char('`') + shown_name(path) + QLatin1Char('`');
}

} // namespace

Proof prove(const QString &package, const Tree &old, const Tree &updated,
            const QSet<QByteArray> &alike, const QString &subfolder, Progress &progress)
{
    Proof proof;
    const QTemporaryDir scratch;
    if (!scratch.isValid()) {
        proof.problems
            << QStringLiteral("no scratch folder to extract into: %1").arg(scratch.errorString());
        return proof;
    }
    const ArchiverRun extraction =
        run_archiver({ QStringLiteral("x"), package, QStringLiteral("-o") + scratch.path(),
                       QStringLiteral("-y") },
                     QStringLiteral("extracting"), progress);
    for (const QString &line : extraction.errors)
        proof.problems << QStringLiteral("the archiver's extraction: %1").arg(line);
    Tree extracted;
    QString error;
    if (!walk_tree(scratch.path(), &extracted, &error)) {
        proof.problems << error;
        return proof;
    }

    qint64 total = 0;
    for (const TreeEntry &entry : updated.entries)
        total += entry.size;
    qint64 done = 0;
    int files = 0;
    auto compare = [&](const QByteArray &first, const QByteArray &second) {
        ++files;
        return same_bytes(first, second, [&](qint64 read) {
            done += read / 2;
            progress.show(QStringLiteral("proving: %1 of %2 files, %3 of %4")
                              .arg(files)
                              .arg(updated.entries.size())
                              .arg(bytes_text(done), bytes_text(total)));
        });
    };

    for (const TreeEntry &entry : extracted.entries) {
        const TreeEntry *target = updated.find(entry.path);
        const TreeEntry *before = old.find(entry.path);
        if (entry.type == TreeEntry::Other) {
            proof.problems << QStringLiteral("%1 is neither a file nor a folder once extracted")
                                  .arg(shown(entry.path));
        } else if (!target || target->type != entry.type) {
            proof.problems
                << QStringLiteral("%1 is in the package but not so in NEW").arg(shown(entry.path));
        } else if (before && before->type != entry.type) {
            proof.problems << QStringLiteral("%1 is a %2 in OLD: the package cannot replace it")
                                  .arg(shown(entry.path),
                                       before->type == TreeEntry::Folder ? QStringLiteral("folder")
                                                                         : QStringLiteral("file"));
        } else if (entry.type == TreeEntry::File) {
            if (compare(extracted.filePath(entry.path), updated.filePath(entry.path)) != true)
                proof.problems << QStringLiteral("%1 in the package differs from NEW's")
                                      .arg(shown(entry.path));
            else
                ++proof.extracted;
        }
    }
    for (const TreeEntry &entry : updated.entries) {
        if (extracted.find(entry.path) || is_updater_file(QString::fromUtf8(entry.path), subfolder))
            continue;
        const TreeEntry *before = old.find(entry.path);
        if (!before || before->type != entry.type) {
            proof.problems << QStringLiteral("%1 of NEW is neither in the package nor in OLD")
                                  .arg(shown(entry.path));
        } else if (entry.type == TreeEntry::File) {
            if (!alike.contains(entry.path) &&
                (before->size != entry.size ||
                 compare(old.filePath(entry.path), updated.filePath(entry.path)) != true))
                proof.problems << QStringLiteral("%1 differs in OLD and NEW but is not in the "
                                                 "package")
                                      .arg(shown(entry.path));
            else
                ++proof.unchanged;
        }
    }
    progress.clear();
    return proof;
}

bool report_proof(const Proof &proof)
{
    for (const QString &problem : proof.problems)
        std::printf("error\tproof\t%s\n", problem.toUtf8().constData());
    if (proof.problems.isEmpty()) {
        std::printf("proof: OLD with the package extracted over it is NEW: %d files extracted and "
                    "alike, %d alike in OLD and NEW\n",
                    proof.extracted, proof.unchanged);
    }
    return proof.problems.isEmpty();
}
