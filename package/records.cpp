#include "records.h"

#include "files.h"

#include <QFile>
#include <QtEndian>

#include <memory>
#include <zip.h>

namespace {

// The systems whose entries carry the DOS folder attribute, and Unix.
bool dosAttributes(int host)
{
    return host == 0 || host == 6 || host == 11 || host == 14; // FAT, HPFS, NTFS, VFAT
}

using Zip = std::unique_ptr<zip_t, decltype(&zip_discard)>;

Zip openZip(const QString &path, int *code)
{
    return Zip(zip_open(zip_path(path).constData(), ZIP_RDONLY, code), zip_discard);
}

quint16 u16(const QByteArray &bytes, qint64 at)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

quint32 u32(const QByteArray &bytes, qint64 at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

quint64 u64(const QByteArray &bytes, qint64 at)
{
    return qFromLittleEndian<quint64>(bytes.constData() + at);
}

quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xffffffff;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

// The central directory read as the archiver reads it, for the packages
// libzip refuses: each entry's name (from the Info-ZIP Unicode path field
// where that matches), flags, system and attributes.
bool readCentralDirectory(const QString &path, Package *package)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 22)
        return false;
    const qint64 tailSize = qMin<qint64>(file.size(), 22 + 0xffff + 20);
    file.seek(file.size() - tailSize);
    const QByteArray tail = file.read(tailSize);
    qint64 end = tail.size() - 22;
    while (end >= 0 && u32(tail, end) != 0x06054b50)
        --end;
    if (end < 0)
        return false;
    quint64 count = u16(tail, end + 10);
    quint64 size = u32(tail, end + 12);
    quint64 offset = u32(tail, end + 16);
    package->comment = tail.mid(int(end) + 22, u16(tail, end + 20));
    // Zip64: its end record, found through the locator before this one.
    if (end >= 20 && u32(tail, end - 20) == 0x07064b50) {
        file.seek(qint64(u64(tail, end - 12)));
        const QByteArray zip64 = file.read(56);
        if (zip64.size() < 56 || u32(zip64, 0) != 0x06064b50)
            return false;
        count = u64(zip64, 32);
        size = u64(zip64, 40);
        offset = u64(zip64, 48);
    }
    if (offset + size > quint64(file.size()) || !file.seek(qint64(offset)))
        return false;
    const QByteArray directory = file.read(qint64(size));
    qint64 at = 0;
    for (quint64 i = 0; i < count; ++i) {
        if (at + 46 > directory.size() || u32(directory, at) != 0x02014b50)
            return false;
        Record record;
        record.name.host = u16(directory, at + 4) >> 8;
        const quint16 flags = u16(directory, at + 8);
        record.encrypted = flags & 1;
        record.name.utf8 = flags & 0x800;
        const int nameLength = u16(directory, at + 28);
        const int extraLength = u16(directory, at + 30);
        const int commentLength = u16(directory, at + 32);
        record.attributes = u32(directory, at + 38);
        if (at + 46 + nameLength + extraLength + commentLength > directory.size())
            return false;
        record.name.bytes = directory.mid(int(at) + 46, nameLength);
        const QByteArray extra = directory.mid(int(at) + 46 + nameLength, extraLength);
        for (int field = 0; field + 4 <= extra.size();) {
            const int fieldSize = u16(extra, field + 2);
            if (u16(extra, field) == 0x7075 && fieldSize >= 5 &&
                field + 4 + fieldSize <= extra.size() && extra.at(field + 4) == 1 &&
                u32(extra, field + 5) == crc32(record.name.bytes)) {
                record.name.bytes = extra.mid(field + 9, fieldSize - 5);
                record.name.utf8 = true;
            }
            field += 4 + fieldSize;
        }
        package->records << record;
        at += 46 + nameLength + extraLength + commentLength;
    }
    package->readHere = true;
    return true;
}

} // namespace

bool Record::folder() const
{
    if (name.bytes.endsWith('/') || (name.host != unixHost && name.bytes.endsWith('\\')))
        return true;
    if (dosAttributes(name.host))
        return attributes & 0x10;
    return name.host == unixHost && (attributes >> 16 & 0170000) == 0040000;
}

bool Record::link() const
{
    return name.host == unixHost && (attributes >> 16 & 0170000) == 0120000;
}

bool read_package(const QString &path, Package *package, QString *error)
{
    int code = 0;
    const Zip zip = openZip(path, &code);
    if (!zip) {
        if (code == ZIP_ER_INCONS && readCentralDirectory(path, package))
            return true;
        zip_error_t reason;
        zip_error_init_with_code(&reason, code);
        *error = QString::fromUtf8(zip_error_strerror(&reason));
        zip_error_fini(&reason);
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(zip.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        Record record;
        // Read strictly, a name without the UTF-8 flag comes as code page
        // 437: the same bytes both ways are flagged (or plain ASCII, where
        // the flag plays no part).
        const char *raw = zip_get_name(zip.get(), zip_uint64_t(i), ZIP_FL_ENC_RAW);
        record.name.bytes = raw;
        record.name.utf8 =
            qstrcmp(raw, zip_get_name(zip.get(), zip_uint64_t(i), ZIP_FL_ENC_STRICT)) == 0;
        zip_uint8_t host = 0;
        zip_file_get_external_attributes(zip.get(), zip_uint64_t(i), 0, &host, &record.attributes);
        record.name.host = host;
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(zip.get(), zip_uint64_t(i), 0, &stat) == 0 &&
            (stat.valid & ZIP_STAT_ENCRYPTION_METHOD))
            record.encrypted = stat.encryption_method != ZIP_EM_NONE;
        package->records << record;
    }
    int length = 0;
    if (const char *comment = zip_get_archive_comment(zip.get(), &length, ZIP_FL_ENC_RAW))
        package->comment = QByteArray(comment, length);
    return true;
}

bool read_entry(const QString &path, int index, QByteArray *bytes)
{
    int code = 0;
    const Zip zip = openZip(path, &code);
    zip_stat_t stat;
    if (!zip || zip_stat_index(zip.get(), zip_uint64_t(index), 0, &stat) != 0 ||
        !(stat.valid & ZIP_STAT_SIZE) || stat.size > (64 << 20))
        return false;
    zip_file_t *entry = zip_fopen_index(zip.get(), zip_uint64_t(index), 0);
    if (!entry)
        return false;
    bytes->resize(int(stat.size));
    const bool whole = zip_fread(entry, bytes->data(), stat.size) == zip_int64_t(stat.size);
    zip_fclose(entry);
    return whole;
}
