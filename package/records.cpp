#include "records.h"

#include <QFile>

#include <memory>
#include <zip.h>

bool Record::folder() const
{
    return name.bytes.endsWith('/') || (name.host != unixHost && name.bytes.endsWith('\\'));
}

bool Record::link() const
{
    return name.host == unixHost && (attributes >> 16 & 0170000) == 0120000;
}

bool read_package(const QString &path, Package *package, QString *error)
{
    int code = 0;
    const std::unique_ptr<zip_t, decltype(&zip_discard)> zip(
        zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code), zip_discard);
    if (!zip) {
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
