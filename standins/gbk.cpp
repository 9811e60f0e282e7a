#include "gbk.h"

#include <cerrno>
#include <iconv.h>
#include <unistd.h>

std::string to_gbk(const std::string &utf8)
{
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return utf8;
    std::string out;
    char *in = const_cast<char *>(utf8.data());
    size_t inleft = utf8.size();
    char buffer[256];
    while (inleft > 0) {
        char *outp = buffer;
        size_t outleft = sizeof buffer;
        const size_t done = iconv(cd, &in, &inleft, &outp, &outleft);
        out.append(buffer, outp - buffer);
        if (done == static_cast<size_t>(-1) && errno != E2BIG) {
            // Skip the whole UTF-8 sequence that did not convert.
            out += '?';
            do {
                ++in;
                --inleft;
            } while (inleft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
        }
    }
    iconv_close(cd);
    return out;
}

void put(int fd, const std::string &text)
{
    const char *data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
}
