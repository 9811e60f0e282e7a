#ifndef TREE_H
#define TREE_H

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

// One file or folder of a client's release folder.
struct TreeEntry
{
    enum Type { File, Folder, Other };
    QByteArray path; // relative, "/" between folders, as the file system names it
    Type type = File;
    qint64 size = 0;
    qint64 mtime = 0;
};

// A release folder, sorted by path.
struct Tree
{
    QByteArray root;
    std::vector<TreeEntry> entries;

    const TreeEntry *find(const QByteArray &path) const;
    // Whether anything lies inside folder `path`.
    bool holdsAnything(const QByteArray &path) const;
    QByteArray filePath(const QByteArray &path) const { return root + '/' + path; }
};

// Reads the folder `root` (links are not followed); false, with `error`,
// when a folder in it cannot be read.
bool walk_tree(const QString &root, Tree *tree, QString *error);

// Whether two files hold the same bytes, read side by side; nothing when
// either cannot be read. `read` learns of every chunk read from each.
std::optional<bool> same_bytes(const QByteArray &first, const QByteArray &second,
                               const std::function<void(qint64)> &read);

#endif // TREE_H
