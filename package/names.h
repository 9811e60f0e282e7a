#ifndef NAMES_H
#define NAMES_H

// How the Windows archiver shipped with the updater reads a zip entry's name
// and where it writes the entry: what a player's machine makes of a name.

#include <QByteArray>
#include <QString>

// A name as a zip's records hold it.
struct StoredName
{
    QByteArray bytes;
    bool utf8 = false; // flagged UTF-8, or taken from the Info-ZIP Unicode path field
    int host = 0; // the system that made the entry: 0 DOS, 3 Unix, 11 NTFS, ...
};

inline constexpr int unixHost = 3;

// A player's Windows as the archiver sees it: its OEM and ANSI code pages.
struct Machine
{
    int oem;
    int ansi;
};
// Simplified Chinese, Traditional Chinese (Taiwan, Hong Kong) and English
// Windows, named by their OEM code page.
inline constexpr Machine players[] = { { 936, 936 }, { 950, 950 }, { 437, 1252 } };

// The name as the archiver reads it on `machine`.
QString decode_name(const StoredName &name, const Machine &machine);

// Bytes of code page `codePage` (936, 950, 437 or 1252) as Windows converts
// them: a lead byte takes the next byte with it, and what the code page
// lacks becomes "?".
QString from_code_page(const QByteArray &bytes, int codePage);

// UTF-8 as the archiver reads it: a byte that is not part of a character
// becomes the private character U+EF00 plus the byte.
QString from_utf8(const QByteArray &bytes);
bool holds_escapes(const QString &name);

// Where the archiver writes an entry whose decoded name is `name`, relative
// to the folder it extracts into, with "/" between folders.
struct WindowsPath
{
    QString path;
    bool renamed = false; // a character or a device name made safe
    bool escapes = false; // "..", an absolute path or a drive, made relative
};
WindowsPath windows_path(const QString &name, bool madeOnUnix);

// Whether Windows takes `name` (one folder's or file's name) for a device:
// CON, COM1 and the like, with COM¹ to COM³ and LPT¹ to LPT³ when
// `superscripts`, which the archiver leaves as they are.
bool is_device_name(const QString &name, bool superscripts);

// The key under which Windows finds a path: letter case plays no part.
QString path_key(const QString &path);

// "`a/b.txt`", for messages.
QString quoted(const QString &path);
// A path of a release folder quoted so, in hex where it holds control
// characters.
QString quoted_path(const QString &path);

// A stored name for people: as text where it is UTF-8 without control
// characters, else in hex.
QString shown_name(const QByteArray &bytes);

#endif // NAMES_H
