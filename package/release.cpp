#include "release.h"

#include "digest.h"
#include "names.h"
#include "progress.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <optional>

#ifndef Q_OS_WIN
#include <dirent.h>
#endif

namespace {

const QByteArray manifestHeader = "# updater-package manifest 1";

// The names in `folder`; false when it cannot be read. The toolkit lists a
// folder it cannot read as empty, and leaves out names that are not in the
// locale's encoding: on Unix a name is bytes, read here as they are, and
// one that is not UTF-8 goes to `bad` as the tool shows it.
bool listFolder(const QString &folder, QStringList *names, QStringList *bad)
{
#ifdef Q_OS_WIN
    if (!QFileInfo(folder).isDir())
        return false;
    const QStringList all = QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QString &name : all) {
        // A lone surrogate: UTF-16 that is not.
        if (QString::fromUtf8(name.toUtf8()) == name)
            *names << name;
        else
            *bad << shown_name(name.toUtf8());
    }
#else
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return false;
    while (const dirent *item = ::readdir(dir)) {
        const QByteArray raw(item->d_name);
        if (raw == "." || raw == "..")
            continue;
        const QString name = QString::fromUtf8(raw);
        if (name.toUtf8() == raw)
            *names << name;
        else
            *bad << shown_name(raw);
    }
    ::closedir(dir);
#endif
    return true;
}

bool walk(const QString &relative, Release *release, QString *error)
{
    const QString folder =
        relative.isEmpty() ? release->root : release->root + QLatin1Char('/') + relative;
    QStringList names;
    QStringList bad;
    if (!listFolder(folder, &names, &bad)) {
        *error = QStringLiteral("cannot read the folder %1").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    auto inside = [&](const QString &name) {
        return relative.isEmpty() ? name : relative + QLatin1Char('/') + name;
    };
    for (const QString &name : qAsConst(bad)) {
        Entry entry;
        entry.path = inside(name);
        entry.plainName = false;
        entry.type = Entry::Other;
        release->entries.push_back(entry);
    }
    for (const QString &name : qAsConst(names)) {
        const QFileInfo item(folder + QLatin1Char('/') + name);
        Entry entry;
        entry.path = inside(name);
        const bool link =
#ifdef Q_OS_WIN
            (item.isSymLink() && !item.isShortcut()) || item.isJunction();
#else
            item.isSymLink();
#endif
        entry.type = link   ? Entry::Other
            : item.isDir()  ? Entry::Folder
            : item.isFile() ? Entry::File
                            : Entry::Other;
        if (entry.type == Entry::File)
            entry.size = item.size();
        entry.mtime = item.lastModified().toSecsSinceEpoch();
        release->entries.push_back(entry);
        if (entry.type == Entry::Folder && !walk(entry.path, release, error))
            return false;
    }
    return true;
}

bool safePath(const QString &path)
{
    if (path.isEmpty() || path.contains(QLatin1Char('\\')) || path.contains(QLatin1Char(':')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

} // namespace

const Entry *Release::find(const QString &key) const
{
    const int at = indexOf(key);
    return at < 0 ? nullptr : &entries[size_t(at)];
}

int Release::indexOf(const QString &key) const
{
    return byKey.value(key, -1);
}

void Release::index()
{
    for (Entry &entry : entries)
        entry.key = path_key(entry.path);
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.path.toUtf8() < b.path.toUtf8(); });
    byKey.clear();
    clashes.clear();
    for (int i = 0; i < int(entries.size()); ++i) {
        Entry &entry = entries[size_t(i)];
        if (byKey.contains(entry.key))
            clashes << entry.path;
        else
            byKey.insert(entry.key, i);
        entry.empty = entry.type == Entry::Folder;
    }
    // A folder holds something when anything names it as its own.
    for (const Entry &entry : entries) {
        const int slash = entry.key.lastIndexOf(QLatin1Char('/'));
        if (slash > 0) {
            if (const int parent = indexOf(entry.key.left(slash)); parent >= 0)
                entries[size_t(parent)].empty = false;
        }
    }
}

QString type_name(Entry::Type type)
{
    return type == Entry::File  ? QStringLiteral("file")
        : type == Entry::Folder ? QStringLiteral("folder")
                                : QStringLiteral("link or special file");
}

bool read_folder(const QString &root, Release *release, QString *error)
{
    release->root = QDir::cleanPath(root);
    release->entries.clear();
    if (!walk(QString(), release, error))
        return false;
    release->index();
    return true;
}

bool read_release(const QString &given, bool manifests, Release *release, QString *error)
{
    release->name = given;
    if (QFileInfo(given).isDir())
        return read_folder(given, release, error);
    if (manifests && QFileInfo(given).isFile())
        return read_manifest(given, release, error);
    *error = QStringLiteral("%1 is not a folder%2")
                 .arg(QDir::toNativeSeparators(given),
                      manifests ? QStringLiteral(" or a manifest") : QString());
    return false;
}

bool is_manifest(const QString &path)
{
    QFile file(path);
    return QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly) &&
        file.readLine(manifestHeader.size() + 2).trimmed() == manifestHeader;
}

bool read_manifest(const QString &path, Release *release, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    release->root.clear();
    release->entries.clear();
    int number = 0;
    auto fail = [&](const QString &what) {
        *error =
            QStringLiteral("%1:%2: %3").arg(QDir::toNativeSeparators(path)).arg(number).arg(what);
        return false;
    };
    QSet<QString> keys;
    auto add = [&](Entry entry) {
        if (!safePath(entry.path))
            return fail(
                QStringLiteral("%1 is not a path inside the release").arg(quoted(entry.path)));
        if (entry.path.contains(QChar::ReplacementCharacter))
            return fail(QStringLiteral("a path that is not UTF-8"));
        if (keys.contains(path_key(entry.path)))
            return fail(QStringLiteral("%1 is given twice").arg(quoted(entry.path)));
        keys.insert(path_key(entry.path));
        release->entries.push_back(entry);
        return true;
    };
    std::optional<Entry> pending; // a file line waiting for its hash line
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        ++number;
        if (!line.endsWith('\n'))
            return fail(QStringLiteral("the line is cut off"));
        line.chop(1);
        if (number == 1) {
            if (line != manifestHeader)
                return fail(QStringLiteral("not a manifest of this version: %1 expected")
                                .arg(QString::fromLatin1(manifestHeader)));
            continue;
        }
        const QString text = QString::fromUtf8(line);
        if (pending) {
            // The file's SHA-256 as sha256sum writes it.
            const QByteArray hash = line.left(64);
            const bool hex = hash.size() == 64 && std::all_of(hash.begin(), hash.end(), [](char c) {
                                 return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                             });
            if (!hex || line.mid(64, 2) != "  ")
                return fail(QStringLiteral("not a SHA-256 line"));
            if (text.mid(66) != pending->path)
                return fail(
                    QStringLiteral("the SHA-256 of %1 expected").arg(quoted(pending->path)));
            pending->sha256 = QByteArray::fromHex(hash);
            if (!add(*pending))
                return false;
            pending.reset();
        } else if (text.startsWith(QLatin1String("# folder ")) && text.endsWith(QLatin1Char('/'))) {
            Entry entry;
            entry.type = Entry::Folder;
            entry.path = text.mid(9).chopped(1);
            if (!add(entry))
                return false;
        } else if (text.startsWith(QLatin1String("# file "))) {
            Entry entry;
            bool number = false;
            entry.size = text.section(QLatin1Char(' '), 2, 2).toLongLong(&number);
            entry.path = text.section(QLatin1Char(' '), 3);
            if (!number || entry.size < 0)
                return fail(QStringLiteral("not a file's size and path"));
            pending = entry;
        } else {
            return fail(QStringLiteral("neither a folder, a file nor a SHA-256 line"));
        }
    }
    if (number == 0)
        return fail(QStringLiteral("empty"));
    if (pending)
        return fail(QStringLiteral("the SHA-256 of %1 is missing").arg(quoted(pending->path)));
    release->index();
    return true;
}

bool write_manifest(const Release &release, const QString &path, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    file.write(manifestHeader + '\n');
    for (const Entry &entry : release.entries) {
        const QByteArray name = entry.path.toUtf8();
        if (entry.type == Entry::Folder) {
            file.write("# folder " + name + "/\n");
        } else {
            file.write("# file " + QByteArray::number(entry.size) + ' ' + name + '\n');
            file.write(entry.sha256.toHex() + "  " + name + '\n');
        }
    }
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool file_sha256(const QString &path, QByteArray *sha256, const std::function<void(qint64)> &read,
                 QString *error)
{
    QFile file(path);
    auto cannot = [&] {
        *error = QStringLiteral("cannot read %1: %2")
                     .arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    };
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return cannot();
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    Sha256 digest;
    for (qint64 n; (n = file.read(buffer.data(), buffer.size())) > 0;) {
        digest.add(buffer.constData(), n);
        read(n);
        if (interrupted()) {
            *error = QStringLiteral("interrupted");
            return false;
        }
    }
    if (file.error() != QFile::NoError)
        return cannot();
    *sha256 = digest.result();
    return true;
}

bool hash_files(Release &release, const std::vector<int> &indices, Progress &progress,
                QString *error)
{
    qint64 total = 0;
    for (const int i : indices)
        total += release.entries[size_t(i)].size;
    qint64 done = 0;
    auto read = [&](qint64 n) {
        done += n;
        progress.show(QStringLiteral("hashing: %1 of %2").arg(bytes_text(done), bytes_text(total)));
    };
    for (const int i : indices) {
        Entry &entry = release.entries[size_t(i)];
        if (!file_sha256(release.filePath(entry), &entry.sha256, read, error))
            return false;
    }
    progress.clear();
    return true;
}
