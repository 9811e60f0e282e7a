#include "pack.h"

#include "digest.h"
#include "files.h"
#include "names.h"
#include "progress.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTemporaryDir>
#include <QThread>

#include <QtMath>

#include <atomic>
#include <memory>
#include <thread>
#include <zip.h>
#include <zlib.h>

namespace {

// Files and folders the package carries are readable by all, whatever
// their modes in NEW: the same bytes from the same folders.
constexpr zip_uint32_t fileMode = 0100644;
constexpr zip_uint32_t folderMode = 040755;
// As libzip itself deflates.
constexpr int deflateLevel = 6;
constexpr int memoryLevel = 9;
constexpr qint64 chunk = 1 << 20;
// Small files are deflated into memory, up to this much in all, rather
// than into a scratch file each.
constexpr qint64 smallFile = 1 << 20;
constexpr qint64 memoryBudget = 64 << 20;

// One carried file, once read: where its data waits, and what the
// package's records say of it.
struct Piece
{
    QString data; // the deflated file; NEW's own file where stored
    QByteArray memory; // or the deflated bytes, where not stored
    bool inMemory = false;
    bool stored = false;
    quint32 crc = 0;
    qint64 size = 0;
    qint64 packedSize = 0;
    qint64 mtime = 0;
    std::unique_ptr<QIODevice> device; // open while libzip reads it
    zip_error_t error;
};

QString cannotRead(const QFile &file)
{
    return QStringLiteral("cannot read %1: %2")
        .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
}

// Reads `source` once: its CRC and SHA-256, and its deflated bytes into
// memory, while `budget` lasts for a small file, or `target`, unless
// deflate makes it no smaller.
bool deflateFile(const QString &source, const QString &target, std::atomic<qint64> &budget,
                 Piece *piece, QByteArray *sha256, QString *error)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = cannotRead(in);
        return false;
    }
    const qint64 size = in.size();
    piece->inMemory = size <= smallFile && (budget -= size) >= 0;
    if (size <= smallFile && !piece->inMemory)
        budget += size;
    QFile file(target);
    QBuffer buffer(&piece->memory);
    QIODevice &out = piece->inMemory ? static_cast<QIODevice &>(buffer) : file;
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
        return false;
    }
    z_stream stream {};
    deflateInit2(&stream, deflateLevel, Z_DEFLATED, -MAX_WBITS, memoryLevel, Z_DEFAULT_STRATEGY);
    QByteArray input(chunk, Qt::Uninitialized);
    QByteArray output(chunk, Qt::Uninitialized);
    Sha256 digest;
    uLong crc = crc32(0, nullptr, 0);
    bool ok = true;
    for (bool end = false; ok && !end;) {
        const qint64 n = in.read(input.data(), chunk);
        if (n < 0) {
            *error = cannotRead(in);
            ok = false;
            break;
        }
        end = n == 0;
        piece->size += n;
        crc = crc32(crc, reinterpret_cast<const Bytef *>(input.constData()), uInt(n));
        digest.add(input.constData(), n);
        stream.next_in = reinterpret_cast<Bytef *>(input.data());
        stream.avail_in = uInt(n);
        do {
            stream.next_out = reinterpret_cast<Bytef *>(output.data());
            stream.avail_out = uInt(chunk);
            deflate(&stream, end ? Z_FINISH : Z_NO_FLUSH);
            const qint64 made = chunk - stream.avail_out;
            piece->packedSize += made;
            if (out.write(output.constData(), made) != made) {
                *error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
                ok = false;
            }
        } while (ok && stream.avail_out == 0);
        if (interrupted()) {
            *error = QStringLiteral("interrupted");
            ok = false;
        }
    }
    deflateEnd(&stream);
    out.close();
    if (!ok)
        return false;
    piece->crc = quint32(crc);
    *sha256 = digest.result();
    piece->stored = piece->packedSize >= piece->size;
    piece->data = target;
    if (piece->stored) {
        if (piece->inMemory)
            budget += size;
        piece->memory.clear();
        piece->inMemory = false;
        QFile::remove(target);
        piece->data = source;
        piece->packedSize = piece->size;
    }
    return true;
}

// libzip reads a piece as data already compressed (or stored), with its
// CRC and sizes known.
zip_int64_t readPiece(void *state, void *data, zip_uint64_t length, zip_source_cmd_t command)
{
    auto *piece = static_cast<Piece *>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        if (piece->inMemory)
            piece->device = std::make_unique<QBuffer>(&piece->memory);
        else
            piece->device = std::make_unique<QFile>(piece->data);
        if (!piece->device->open(QIODevice::ReadOnly)) {
            zip_error_set(&piece->error, ZIP_ER_OPEN, 0);
            return -1;
        }
        return 0;
    case ZIP_SOURCE_READ: {
        const qint64 n = piece->device->read(static_cast<char *>(data), qint64(length));
        if (n < 0)
            zip_error_set(&piece->error, ZIP_ER_READ, 0);
        return n;
    }
    case ZIP_SOURCE_CLOSE:
        piece->device.reset();
        return 0;
    case ZIP_SOURCE_STAT: {
        auto *stat = static_cast<zip_stat_t *>(data);
        zip_stat_init(stat);
        stat->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC |
            ZIP_STAT_MTIME | ZIP_STAT_ENCRYPTION_METHOD;
        stat->size = zip_uint64_t(piece->size);
        stat->comp_size = zip_uint64_t(piece->packedSize);
        stat->comp_method = piece->stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
        stat->crc = piece->crc;
        stat->mtime = time_t(piece->mtime);
        stat->encryption_method = ZIP_EM_NONE;
        return sizeof *stat;
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&piece->error, data, length);
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              -1);
    default:
        zip_error_set(&piece->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

void showWriting(zip_t *, double done, void *state)
{
    static_cast<Progress *>(state)->show(QStringLiteral("writing: %1%").arg(qFloor(done * 100)));
}

int cancelWriting(zip_t *, void *)
{
    return interrupted() ? 1 : 0;
}

} // namespace

bool write_package(Release &updated, const std::vector<int> &carried, const QString &path,
                   Progress &progress, Packed *packed, QString *error, bool *blamed)
{
    *blamed = false;
    const QFileInfo target(path);
    QTemporaryDir scratch(target.absolutePath() + QStringLiteral("/.") + target.fileName() +
                          QStringLiteral(".XXXXXX"));
    if (!scratch.isValid()) {
        *error = QStringLiteral("cannot write in %1: %2")
                     .arg(QDir::toNativeSeparators(target.absolutePath()), scratch.errorString());
        return false;
    }

    // Deflated on every core, each file once.
    std::vector<std::unique_ptr<Piece>> pieces(carried.size());
    std::vector<int> files;
    qint64 total = 0;
    for (size_t i = 0; i < carried.size(); ++i) {
        const Entry &entry = updated.entries[size_t(carried[i])];
        if (entry.type == Entry::File) {
            files.push_back(int(i));
            total += entry.size;
        }
        pieces[i] = std::make_unique<Piece>();
        pieces[i]->mtime = entry.mtime;
        zip_error_init(&pieces[i]->error);
    }
    std::atomic<size_t> next { 0 };
    std::atomic<qint64> done { 0 };
    std::atomic<bool> stop { false };
    std::atomic<qint64> budget { memoryBudget };
    QMutex failure;
    QString failed;
    auto work = [&] {
        for (size_t at; (at = next++) < files.size();) {
            const size_t i = size_t(files[at]);
            Entry &entry = updated.entries[size_t(carried[i])];
            QString why;
            QByteArray sha256;
            if (!deflateFile(updated.filePath(entry), scratch.filePath(QString::number(i)), budget,
                             pieces[i].get(), &sha256, &why)) {
                const QMutexLocker locker(&failure);
                if (failed.isEmpty())
                    failed = why;
                stop = true;
                next = files.size();
                return;
            }
            entry.sha256 = sha256;
            done += entry.size;
        }
    };
    std::vector<std::thread> workers;
    for (int n = qMax(1, QThread::idealThreadCount()); n > 0; --n)
        workers.emplace_back(work);
    while (next < files.size() && !stop) {
        QThread::msleep(100);
        progress.show(
            QStringLiteral("deflating: %1 of %2").arg(bytes_text(done), bytes_text(total)));
    }
    for (std::thread &worker : workers)
        worker.join();
    progress.clear();
    if (!failed.isEmpty()) {
        *error = failed;
        return false;
    }

    int code = 0;
    zip_t *zip = zip_open(zip_path(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!zip) {
        zip_error_t reason;
        zip_error_init_with_code(&reason, code);
        *error = QString::fromUtf8(zip_error_strerror(&reason));
        zip_error_fini(&reason);
        return false;
    }
    for (size_t i = 0; i < carried.size(); ++i) {
        const Entry &entry = updated.entries[size_t(carried[i])];
        const QByteArray name = entry.path.toUtf8();
        const bool folder = entry.type == Entry::Folder;
        zip_int64_t index = -1;
        if (folder) {
            index = zip_dir_add(zip, name.constData(), ZIP_FL_ENC_UTF_8);
        } else if (zip_source_t *source = zip_source_function(zip, readPiece, pieces[i].get())) {
            index = zip_file_add(zip, name.constData(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0)
                zip_source_free(source);
            packed->bytes += entry.size;
            packed->stored += pieces[i]->stored;
        }
        if (index < 0) {
            *error = QStringLiteral("cannot pack %1: %2")
                         .arg(quoted_path(entry.path), QString::fromUtf8(zip_strerror(zip)));
            *blamed = true;
            zip_discard(zip);
            return false;
        }
        if ((!folder && pieces[i]->stored &&
             zip_set_file_compression(zip, zip_uint64_t(index), ZIP_CM_STORE, 0) != 0) ||
            zip_file_set_external_attributes(zip, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                             (folder ? folderMode : fileMode) << 16) != 0 ||
            zip_file_set_mtime(zip, zip_uint64_t(index), time_t(entry.mtime), 0) != 0) {
            *error = QString::fromUtf8(zip_strerror(zip));
            zip_discard(zip);
            return false;
        }
    }
    zip_register_progress_callback_with_state(zip, 0.001, showWriting, nullptr, &progress);
    zip_register_cancel_callback_with_state(zip, cancelWriting, nullptr, nullptr);
    const bool written = zip_close(zip) == 0;
    if (!written) {
        *error =
            interrupted() ? QStringLiteral("interrupted") : QString::fromUtf8(zip_strerror(zip));
        zip_discard(zip);
    }
    progress.clear();
    for (const auto &piece : pieces)
        zip_error_fini(&piece->error);
    return written;
}
