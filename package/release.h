#ifndef RELEASE_H
#define RELEASE_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class Progress;

// One file or folder of a client's release.
struct Entry
{
    enum Type { File, Folder, Other };
    QString path; // relative, "/" between folders
    QString key; // as Windows finds it: letter case plays no part
    Type type = File;
    bool plainName = true; // false for a name that is not UTF-8
    bool empty = false; // a folder holding nothing
    qint64 size = 0;
    qint64 mtime = 0; // seconds since the epoch
    QByteArray sha256; // once known: the 32 bytes
};

// A release of the client: a folder, or its manifest.
struct Release
{
    QString name; // as given on the command line
    QString root; // the folder; empty for a manifest
    std::vector<Entry> entries; // in the order of their paths' UTF-8 bytes
    // Paths Windows takes for one, each after the first.
    QStringList clashes;

    bool manifest() const { return root.isEmpty(); }
    const Entry *find(const QString &key) const;
    int indexOf(const QString &key) const;
    QString filePath(const Entry &entry) const { return root + QLatin1Char('/') + entry.path; }

    // Sorts the entries and indexes them by key.
    void index();

private:
    QHash<QString, int> byKey;
};

// "file", "folder" or "link or special file", for messages.
QString type_name(Entry::Type type);

// Reads the folder `root` as a release; links, junctions and special files
// are noted, not followed. False, with `error`, when a folder in it cannot
// be read.
bool read_folder(const QString &root, Release *release, QString *error);

// Reads a release given on the command line: a folder, or a manifest when
// `manifests`. False, with `error`, when it is neither or cannot be read.
bool read_release(const QString &given, bool manifests, Release *release, QString *error);

// Reads a release's manifest; false, with `error` naming the line at fault,
// when it is not one.
bool read_manifest(const QString &file, Release *release, QString *error);

// Whether `path` is a manifest rather than a folder: a file beginning with
// the manifest's first line.
bool is_manifest(const QString &path);

// Writes the manifest of `release`, whose files all have their SHA-256.
bool write_manifest(const Release &release, const QString &file, QString *error);

// The SHA-256 of the file `path`, read once; `read` learns of each chunk.
// False, with `error` naming the file, when it cannot be read.
bool file_sha256(const QString &path, QByteArray *sha256, const std::function<void(qint64)> &read,
                 QString *error);

// Reads the files of `release` at `indices` once each, taking their
// SHA-256; false, with `error` naming the file, when one cannot be read.
bool hash_files(Release &release, const std::vector<int> &indices, Progress &progress,
                QString *error);

#endif // RELEASE_H
