#ifndef MAKE_H
#define MAKE_H

#include "check.h"

// Makes the package that takes a client's release folder OLD to NEW, checks
// and proves it, and writes it to `output` only then; prints what it did.
// The exit code: 0 made, 1 not made for what the folders hold, 2 bad input.
int make_package(const QString &oldRoot, const QString &newRoot, const QString &output,
                 const CheckOptions &options, bool strict);

#endif // MAKE_H
