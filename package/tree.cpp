#include "tree.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool walkFolder(Tree *tree, const QByteArray &relative, QString *error)
{
    const QByteArray folder = relative.isEmpty() ? tree->root : tree->filePath(relative);
    DIR *dir = ::opendir(folder.constData());
    if (!dir) {
        *error = QStringLiteral("cannot read the folder %1: %2")
                     .arg(QFile::decodeName(folder), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    std::vector<QByteArray> folders;
    while (const dirent *item = ::readdir(dir)) {
        const QByteArray name(item->d_name);
        if (name == "." || name == "..")
            continue;
        TreeEntry entry;
        entry.path = relative.isEmpty() ? name : relative + '/' + name;
        struct stat st;
        if (::fstatat(dirfd(dir), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            *error = QStringLiteral("cannot read %1: %2")
                         .arg(QFile::decodeName(tree->filePath(entry.path)),
                              QString::fromLocal8Bit(std::strerror(errno)));
            ::closedir(dir);
            return false;
        }
        entry.type = S_ISREG(st.st_mode) ? TreeEntry::File
            : S_ISDIR(st.st_mode)        ? TreeEntry::Folder
                                         : TreeEntry::Other;
        entry.size = entry.type == TreeEntry::File ? st.st_size : 0;
        entry.mtime = st.st_mtim.tv_sec;
        if (entry.type == TreeEntry::Folder)
            folders.push_back(entry.path);
        tree->entries.push_back(entry);
    }
    ::closedir(dir);
    for (const QByteArray &path : folders) {
        if (!walkFolder(tree, path, error))
            return false;
    }
    return true;
}

class File
{
public:
    explicit File(const QByteArray &path)
        : fd(::open(path.constData(), O_RDONLY | O_CLOEXEC))
    {
        if (fd >= 0)
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~File()
    {
        if (fd >= 0)
            ::close(fd);
    }
    // Fills `buffer` but at the file's end; -1 on an error.
    ssize_t read(std::vector<char> &buffer)
    {
        size_t filled = 0;
        while (filled < buffer.size()) {
            const ssize_t n = ::read(fd, buffer.data() + filled, buffer.size() - filled);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            filled += size_t(n);
        }
        return ssize_t(filled);
    }

    const int fd;
};

} // namespace

const TreeEntry *Tree::find(const QByteArray &path) const
{
    const auto at = std::lower_bound(
        entries.begin(), entries.end(), path,
        [](const TreeEntry &entry, const QByteArray &wanted) { return entry.path < wanted; });
    return at != entries.end() && at->path == path ? &*at : nullptr;
}

bool Tree::holdsAnything(const QByteArray &path) const
{
    const QByteArray inside = path + '/';
    const auto at = std::lower_bound(
        entries.begin(), entries.end(), inside,
        [](const TreeEntry &entry, const QByteArray &wanted) { return entry.path < wanted; });
    return at != entries.end() && at->path.startsWith(inside);
}

bool walk_tree(const QString &root, Tree *tree, QString *error)
{
    tree->root = QFile::encodeName(root);
    tree->entries.clear();
    if (!walkFolder(tree, QByteArray(), error))
        return false;
    std::sort(tree->entries.begin(), tree->entries.end(),
              [](const TreeEntry &a, const TreeEntry &b) { return a.path < b.path; });
    return true;
}

std::optional<bool> same_bytes(const QByteArray &first, const QByteArray &second,
                               const std::function<void(qint64)> &read)
{
    File a(first);
    File b(second);
    if (a.fd < 0 || b.fd < 0)
        return std::nullopt;
    static std::vector<char> bufferA(1 << 20);
    static std::vector<char> bufferB(1 << 20);
    for (;;) {
        const ssize_t n = a.read(bufferA);
        const ssize_t m = b.read(bufferB);
        if (n < 0 || m < 0)
            return std::nullopt;
        read(n + m);
        if (n != m || std::memcmp(bufferA.data(), bufferB.data(), size_t(n)) != 0)
            return false;
        if (n == 0)
            return true;
    }
}
