#include "compare.h"

#include "digest.h"
#include "progress.h"

#include <QDir>
#include <QFile>

#include <cstring>
#include <memory>

namespace {

QString cannotRead(const QFile &file)
{
    return QStringLiteral("cannot read %1: %2")
        .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
}

// Reads up to `size` bytes, but at the file's end.
qint64 fill(QFile &file, char *data, qint64 size)
{
    qint64 filled = 0;
    while (filled < size) {
        const qint64 n = file.read(data + filled, size - filled);
        if (n <= 0)
            return n < 0 ? -1 : filled;
        filled += n;
    }
    return filled;
}

} // namespace

bool compare_files(Release &updated, const std::vector<const Release *> &olds,
                   const std::vector<int> &indices, bool anyDifference, bool hash,
                   Progress &progress, QString *error, std::vector<QBitArray> *alike)
{
    alike->assign(updated.entries.size(), QBitArray(int(olds.size())));
    constexpr qint64 chunk = 1 << 20;
    QByteArray ours(chunk, Qt::Uninitialized);
    QByteArray theirs(chunk, Qt::Uninitialized);
    qint64 total = 0;
    for (const int i : indices)
        total += updated.entries[size_t(i)].size;
    qint64 done = 0;
    int files = 0;

    for (const int i : indices) {
        Entry &entry = updated.entries[size_t(i)];
        ++files;
        // The OLDs that may hold the same bytes: a file of the same size.
        struct Candidate
        {
            int old;
            std::unique_ptr<QFile> file; // none for a manifest
        };
        std::vector<Candidate> candidates;
        bool lacking = false;
        for (int k = 0; k < int(olds.size()); ++k) {
            const Entry *before = olds[size_t(k)]->find(entry.key);
            if (before && before->type == Entry::File && before->size == entry.size)
                candidates.push_back(Candidate { k, nullptr });
            else
                lacking = true;
        }
        if (candidates.empty() || (anyDifference && lacking))
            continue;
        for (Candidate &candidate : candidates) {
            const Release &old = *olds[size_t(candidate.old)];
            if (old.manifest())
                continue;
            candidate.file = std::make_unique<QFile>(old.filePath(*old.find(entry.key)));
            if (!candidate.file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
                *error = cannotRead(*candidate.file);
                return false;
            }
        }
        // NEW known by its manifest alone: OLD's files are met by their SHA-256.
        if (updated.manifest()) {
            for (const Candidate &candidate : candidates) {
                const Entry *before = olds[size_t(candidate.old)]->find(entry.key);
                QByteArray sha256 = before->sha256;
                if (candidate.file &&
                    !file_sha256(
                        candidate.file->fileName(), &sha256, [&](qint64 n) { done += n; }, error))
                    return false;
                if (sha256 == entry.sha256)
                    (*alike)[size_t(i)].setBit(candidate.old);
            }
            continue;
        }

        QFile file(updated.filePath(entry));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            *error = cannotRead(file);
            return false;
        }
        bool hashing = hash;
        for (const Candidate &candidate : candidates)
            hashing |= !candidate.file;
        Sha256 sha256;
        bool whole = false;
        for (;;) {
            const qint64 n = fill(file, ours.data(), chunk);
            if (n < 0) {
                *error = cannotRead(file);
                return false;
            }
            if (hashing)
                sha256.add(ours.constData(), n);
            bool differs = false;
            for (Candidate &candidate : candidates) {
                if (!candidate.file)
                    continue;
                const qint64 m = fill(*candidate.file, theirs.data(), chunk);
                if (m < 0) {
                    *error = cannotRead(*candidate.file);
                    return false;
                }
                if (m != n || std::memcmp(ours.constData(), theirs.constData(), size_t(n)) != 0) {
                    candidate.old = -1;
                    candidate.file.reset();
                    differs = true;
                }
            }
            candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                            [](const Candidate &c) { return c.old < 0; }),
                             candidates.end());
            done += n;
            progress.show(QStringLiteral("comparing: %1 of %2 files, %3 of %4")
                              .arg(files)
                              .arg(indices.size())
                              .arg(bytes_text(done), bytes_text(total)));
            if (interrupted()) {
                *error = QStringLiteral("interrupted");
                return false;
            }
            if (n < chunk) {
                whole = true;
                break;
            }
            // Nothing left to learn from the rest.
            if ((differs && anyDifference) || (candidates.empty() && !hashing))
                break;
        }
        if (whole && hashing)
            entry.sha256 = sha256.result();
        for (const Candidate &candidate : candidates) {
            const Entry *before = olds[size_t(candidate.old)]->find(entry.key);
            if (whole && (candidate.file || before->sha256 == entry.sha256))
                (*alike)[size_t(i)].setBit(candidate.old);
        }
    }
    progress.clear();
    return true;
}
