#include "proof.h"

#include "archiver.h"
#include "names.h"
#include "progress.h"
#include "updaterfiles.h"

#include <cstdio>

namespace {

// Problems shown for each OLD; the rest are counted.
constexpr int shownProblems = 10;

void say(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
}

} // namespace

bool extract_package(const QString &package, Extraction *extraction, Progress &progress,
                     QString *error)
{
    if (!extraction->scratch.isValid()) {
        *error = QStringLiteral("no scratch folder to extract into: %1")
                     .arg(extraction->scratch.errorString());
        return false;
    }
    const ArchiverRun run =
        run_archiver({ QStringLiteral("x"), package,
                       QStringLiteral("-o") + extraction->scratch.path(), QStringLiteral("-y") },
                     QStringLiteral("extracting"), progress);
    if (!run.started || interrupted()) {
        *error = run.errors.value(0);
        return false;
    }
    for (const QString &line : run.errors)
        extraction->problems << QStringLiteral("the archiver's extraction: %1").arg(line);
    if (!read_folder(extraction->scratch.path(), &extraction->tree, error))
        return false;
    std::vector<int> files;
    for (int i = 0; i < int(extraction->tree.entries.size()); ++i) {
        if (extraction->tree.entries[size_t(i)].type == Entry::File)
            files.push_back(i);
    }
    return hash_files(extraction->tree, files, progress, error);
}

Proofs prove(const Extraction &extraction, const Release &updated,
             const std::vector<const Release *> &olds, const std::vector<QBitArray> &alike,
             const QString &subfolder)
{
    Proofs proofs;
    proofs.problems = extraction.problems;
    for (const QString &path : extraction.tree.clashes)
        proofs.problems << QStringLiteral("%1 is extracted twice, in letter cases Windows takes "
                                          "for one")
                               .arg(quoted_path(path));
    for (const Entry &entry : extraction.tree.entries) {
        const Entry *target = updated.find(entry.key);
        if (entry.type == Entry::Other) {
            proofs.problems << QStringLiteral("%1 is neither a file nor a folder once extracted")
                                   .arg(quoted_path(entry.path));
        } else if (!target || target->type != entry.type) {
            proofs.problems << QStringLiteral("%1 is in the package but not so in NEW")
                                   .arg(quoted_path(entry.path));
        } else if (entry.type == Entry::File) {
            if (entry.sha256 != target->sha256)
                proofs.problems << QStringLiteral("%1 in the package differs from NEW's")
                                       .arg(quoted_path(entry.path));
            else
                ++proofs.extracted;
        }
    }

    // An empty OLD for a package proven whole.
    const Release none;
    std::vector<const Release *> against = olds;
    if (against.empty())
        against.push_back(&none);
    for (int k = 0; k < int(against.size()); ++k) {
        const Release &old = *against[size_t(k)];
        Proof proof;
        proof.old = old.name;
        proof.byHashes = old.manifest();
        for (const Entry &entry : extraction.tree.entries) {
            const Entry *before = old.find(entry.key);
            if (before && before->type != entry.type)
                proof.problems << QStringLiteral("%1 is a %2 in OLD: the package cannot replace it")
                                      .arg(quoted_path(entry.path), type_name(before->type));
        }
        for (int i = 0; i < int(updated.entries.size()); ++i) {
            const Entry &entry = updated.entries[size_t(i)];
            if (extraction.tree.find(entry.key) || is_updater_file(entry.path, subfolder))
                continue;
            const Entry *before = old.find(entry.key);
            if (!before) {
                proof.problems << QStringLiteral("%1 of NEW is neither in the package nor in OLD")
                                      .arg(quoted_path(entry.path));
            } else if (before->type != entry.type) {
                proof.problems << QStringLiteral("%1 is a %2 in OLD, a %3 in NEW, and not in the "
                                                 "package")
                                      .arg(quoted_path(entry.path), type_name(before->type),
                                           type_name(entry.type));
            } else if (entry.type == Entry::File) {
                if (olds.empty() || !alike[size_t(i)].testBit(k))
                    proof.problems << QStringLiteral("%1 differs in OLD and NEW but is not in the "
                                                     "package")
                                          .arg(quoted_path(entry.path));
                else
                    ++proof.unchanged;
            }
        }
        proofs.olds.push_back(proof);
    }
    return proofs;
}

bool report_proofs(const Proofs &proofs)
{
    bool proven = proofs.problems.isEmpty();
    for (const QString &problem : proofs.problems)
        say(QStringLiteral("error\tproof\t%1").arg(problem));
    for (const Proof &proof : proofs.olds) {
        const QString old = proof.old.isEmpty() ? QStringLiteral("an empty folder")
                                                : QStringLiteral("OLD ") + proof.old;
        for (int i = 0; i < proof.problems.size() && i < shownProblems; ++i)
            say(QStringLiteral("error\tproof\t%1: %2").arg(old, proof.problems.at(i)));
        if (proof.problems.size() > shownProblems)
            say(QStringLiteral("error\tproof\t%1: and %2 more")
                    .arg(old)
                    .arg(proof.problems.size() - shownProblems));
        proven &= proof.problems.isEmpty();
        if (!proofs.problems.isEmpty() || !proof.problems.isEmpty())
            continue;
        if (proof.old.isEmpty())
            say(QStringLiteral("proof: the package extracted into an empty folder is NEW: %1 files "
                               "extracted and alike")
                    .arg(proofs.extracted));
        else
            say(QStringLiteral("proof: %1 with the package extracted over it is NEW, by %2: %3 "
                               "files extracted and alike, %4 alike in OLD and NEW")
                    .arg(old, proof.byHashes ? QStringLiteral("hashes") : QStringLiteral("bytes"))
                    .arg(proofs.extracted)
                    .arg(proof.unchanged));
    }
    return proven;
}
