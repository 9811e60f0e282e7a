#ifndef DIGEST_H
#define DIGEST_H

#include <QByteArray>

#include <nettle/sha2.h>

// SHA-256, taken as the bytes are read.
class Sha256
{
public:
    Sha256() { sha256_init(&state); }
    void add(const char *data, qint64 size)
    {
        sha256_update(&state, size_t(size), reinterpret_cast<const uint8_t *>(data));
    }
    // The digest, 32 bytes; the state starts over.
    QByteArray result()
    {
        QByteArray digest(SHA256_DIGEST_SIZE, Qt::Uninitialized);
        sha256_digest(&state, SHA256_DIGEST_SIZE, reinterpret_cast<uint8_t *>(digest.data()));
        return digest;
    }

private:
    sha256_ctx state;
};

#endif // DIGEST_H
