#ifndef PROOF_H
#define PROOF_H

#include "release.h"

#include <QBitArray>
#include <QTemporaryDir>

#include <vector>

class Progress;

// The package as the archiver extracts it into a scratch folder (in
// TMPDIR), every file read once for its SHA-256.
struct Extraction
{
    QTemporaryDir scratch;
    Release tree;
    QStringList problems; // the archiver's errors
};
bool extract_package(const QString &package, Extraction *extraction, Progress &progress,
                     QString *error);

struct Proof
{
    QString old; // as given; empty for none, the package proven whole
    bool byHashes = false; // a manifest
    QStringList problems; // none: proven
    int unchanged = 0; // files not in the package and alike in OLD and NEW
};

struct Proofs
{
    QStringList problems; // of the package itself, whatever OLD it meets
    int extracted = 0; // files extracted and alike with NEW's
    std::vector<Proof> olds;
};

// Proves, for each OLD, that OLD with the package extracted over it is NEW
// but for what NEW lacks and the updater's own files (laid out in
// `subfolder`), which a package never carries: each file the archiver wrote
// holds NEW's bytes (by the SHA-256 of both), nothing it wrote meets a file
// where OLD has a folder or the other way round, and each file of NEW it did
// not write is in `alike` for that OLD. Paths meet as on Windows, letter
// case apart. With no OLD, the package alone must give NEW.
Proofs prove(const Extraction &extraction, const Release &updated,
             const std::vector<const Release *> &olds, const std::vector<QBitArray> &alike,
             const QString &subfolder);

// Prints the problems, the first few for each OLD, or what was proven;
// whether all was.
bool report_proofs(const Proofs &proofs);

#endif // PROOF_H
