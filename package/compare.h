#ifndef COMPARE_H
#define COMPARE_H

#include "release.h"

#include <QBitArray>

#include <vector>

class Progress;

// Compares the files of NEW at `indices` with the files of the same key in
// every OLD, reading each file at most once: a NEW file side by side with
// the OLD folders' files of its size, whose reading stops where they
// differ, and with its SHA-256 taken for the OLD manifests (and for every
// file read whole when `hash`). `alike` gets, for each entry of NEW, the
// OLDs that hold it with the same bytes. A NEW known only by its manifest
// meets each OLD's file by its SHA-256. With `anyDifference`, a file is
// left unread once one OLD lacks it or holds it otherwise: it goes into a
// package either way. False, with `error` naming the file, when a file
// cannot be read.
bool compare_files(Release &updated, const std::vector<const Release *> &olds,
                   const std::vector<int> &indices, bool anyDifference, bool hash,
                   Progress &progress, QString *error, std::vector<QBitArray> *alike);

#endif // COMPARE_H
