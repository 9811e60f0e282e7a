#ifndef STANDINS_GBK_H
#define STANDINS_GBK_H

#include <string>

// The Windows tools print their own text in the system's code page, GBK on a
// Simplified-Chinese system; the stand-ins do the same. A character GBK lacks
// becomes "?".
std::string to_gbk(const std::string &utf8);

// Writes all of `text` to `fd`, unbuffered.
void put(int fd, const std::string &text);

#endif // STANDINS_GBK_H
