#ifndef PROOF_H
#define PROOF_H

#include "tree.h"

#include <QSet>
#include <QStringList>

class Progress;

struct Proof
{
    QStringList problems; // none: proven
    int extracted = 0; // files extracted and found alike with NEW's
    int unchanged = 0; // files not in the package and alike in OLD and NEW
};

// Proves that OLD with the package extracted over it is NEW, but for the
// files NEW lacks and the updater's own files (laid out in `subfolder`),
// which a package never carries: the archiver extracts the package into a
// scratch folder, each file it wrote holds NEW's bytes, and each file of NEW
// it did not write holds the same bytes in OLD. `alike` names files already
// found alike in OLD and NEW.
Proof prove(const QString &package, const Tree &old, const Tree &updated,
            const QSet<QByteArray> &alike, const QString &subfolder, Progress &progress);

// Prints the proof's problems, or what it proved; whether it is proven.
bool report_proof(const Proof &proof);

#endif // PROOF_H
