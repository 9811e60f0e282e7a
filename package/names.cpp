#include "names.h"

#include <QHash>
#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QTextCodec>
#endif

#include <array>
#include <memory>

namespace {

constexpr char16_t unmapped = u'?';
constexpr char16_t escapeBase = 0xef00;
// The archiver keeps a backslash in a name made on Unix as this character.
constexpr char16_t unixBackslash = 0xf05c;

// One code page's conversion to UTF-16, made once: on Windows the system's
// own, as the archiver converts; elsewhere the toolkit's, whose GBK and
// Big5 tables are Windows' 936 and 950, with their user-defined areas and
// the codes the standards leave free as private characters.
class CodePage
{
public:
    explicit CodePage(int number)
        : doubleByte(number == 936 || number == 950)
    {
#ifdef Q_OS_WIN
        auto one = [number](const QByteArray &bytes) {
            wchar_t converted[2];
            const int length = MultiByteToWideChar(UINT(number), 0, bytes.constData(),
                                                   int(bytes.size()), converted, 2);
            return length == 1 ? char16_t(converted[0]) : unmapped;
        };
#else
        QTextCodec *codec = QTextCodec::codecForName(number == 936       ? "GBK"
                                                         : number == 950 ? "Big5"
                                                         : number == 437 ? "IBM437"
                                                                         : "windows-1252");
        auto one = [codec](const QByteArray &bytes) {
            const QString text = codec->toUnicode(bytes);
            return text.size() == 1 && text.at(0) != QChar::ReplacementCharacter
                ? text.at(0).unicode()
                : unmapped;
        };
#endif
        for (int byte = 0; byte < 256; ++byte)
            single[byte] = byte < 0x80 ? char16_t(byte) : one(QByteArray(1, char(byte)));
#ifndef Q_OS_WIN
        if (number == 1252) {
            // Windows keeps the five bytes that 1252 leaves free as C1 controls.
            for (const int byte : { 0x81, 0x8d, 0x8f, 0x90, 0x9d })
                single[byte] = char16_t(byte);
        }
        if (number == 437)
            single[0xe6] = u'µ'; // Windows' micro sign, where the toolkit has the Greek mu
#endif

        if (doubleByte) {
            pairs.resize(0x10000, unmapped);
            for (int lead = 0x81; lead <= 0xfe; ++lead) {
                for (int trail = 1; trail < 256; ++trail)
                    pairs[lead << 8 | trail] = one(QByteArray(1, char(lead)) + char(trail));
            }
        }
    }

    QString decode(const QByteArray &bytes) const
    {
        QString text;
        for (int i = 0; i < bytes.size(); ++i) {
            const uchar byte = uchar(bytes.at(i));
            if (doubleByte && byte >= 0x81 && byte <= 0xfe) {
                if (i + 1 < bytes.size() && bytes.at(i + 1) != 0)
                    text += QChar(pairs[byte << 8 | uchar(bytes.at(++i))]);
                else
                    text += QChar(unmapped);
            } else {
                text += QChar(single[byte]);
            }
        }
        return text;
    }

private:
    bool doubleByte;
    std::array<char16_t, 256> single {};
    std::vector<char16_t> pairs;
};

const CodePage &codePage(int number)
{
    static QHash<int, std::shared_ptr<CodePage>> made;
    std::shared_ptr<CodePage> &page = made[number];
    if (!page)
        page = std::make_shared<CodePage>(number);
    return *page;
}

void replaceIncorrectChars(QString &part, bool *renamed)
{
    for (QChar &c : part) {
        if (c.unicode() < 0x20 || QStringView(u":*?<>|\"").contains(c)) {
            c = QLatin1Char('_');
            *renamed = true;
        }
    }
    // Windows drops a trailing dot or space; the archiver keeps them as "_".
    for (int i = part.size() - 1; i >= 0 && (part.at(i) == u'.' || part.at(i) == u' '); --i) {
        part[i] = QLatin1Char('_');
        *renamed = true;
    }
}

bool isDrive(const QString &part)
{
    return part.size() == 2 && part.at(1) == u':' && part.at(0).unicode() < 0x80 &&
        part.at(0).isLetter();
}

} // namespace

QString from_code_page(const QByteArray &bytes, int number)
{
    return codePage(number).decode(bytes);
}

QString from_utf8(const QByteArray &bytes)
{
    QString text;
    for (int i = 0; i < bytes.size();) {
        const uchar lead = uchar(bytes.at(i));
        const int length = lead < 0x80 ? 1
            : lead < 0xc2              ? 0
            : lead < 0xe0              ? 2
            : lead < 0xf0              ? 3
            : lead < 0xf5              ? 4
                                       : 0;
        static constexpr uchar payload[] = { 0, 0x7f, 0x1f, 0x0f, 0x07 };
        char32_t code = lead & payload[length];
        bool whole = length > 0 && i + length <= bytes.size();
        for (int k = 1; whole && k < length; ++k) {
            const uchar trail = uchar(bytes.at(i + k));
            whole = (trail & 0xc0) == 0x80;
            code = code << 6 | (trail & 0x3f);
        }
        static constexpr char32_t least[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (whole && code >= least[length] && code <= 0x10ffff) {
            text += QString::fromUcs4(&code, 1);
            i += length;
        } else {
            text += QChar(escapeBase + lead);
            ++i;
        }
    }
    return text;
}

bool holds_escapes(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() >= escapeBase + 0x80 && c.unicode() <= escapeBase + 0xff)
            return true;
    }
    return false;
}

QString decode_name(const StoredName &name, const Machine &machine)
{
    // Without the flag, a name made on Unix is read as UTF-8 all the same;
    // one made on DOS, Windows or Unix otherwise in the OEM code page, on any
    // other system in the ANSI one.
    if (name.utf8 || name.host == unixHost)
        return from_utf8(name.bytes);
    const bool oem = name.host == 0 || name.host == 11;
    return from_code_page(name.bytes, oem ? machine.oem : machine.ansi);
}

bool is_device_name(const QString &name, bool superscripts)
{
    struct Device
    {
        QLatin1String name;
        bool numbered;
    };
    static const Device devices[] = {
        { QLatin1String("CON"), false }, { QLatin1String("PRN"), false },
        { QLatin1String("AUX"), false }, { QLatin1String("NUL"), false },
        { QLatin1String("COM"), true },  { QLatin1String("LPT"), true }
    };
    for (const Device &device : devices) {
        if (!name.startsWith(device.name, Qt::CaseInsensitive))
            continue;
        int at = device.name.size();
        if (device.numbered) {
            // Windows takes the superscripts for digits too; the archiver does not.
            const bool digit = at < name.size() &&
                ((name.at(at) >= u'0' && name.at(at) <= u'9') ||
                 (superscripts && QStringView(u"¹²³").contains(name.at(at))));
            if (!digit)
                continue;
            ++at;
        }
        // The device name alone, or before spaces, an extension or both.
        while (at < name.size() && name.at(at) == u' ')
            ++at;
        if (at == name.size() || name.at(at) == u'.')
            return true;
    }
    return false;
}

WindowsPath windows_path(const QString &name, bool madeOnUnix)
{
    WindowsPath result;
    QString separated = name;
    for (QChar &c : separated) {
        if (c == u'\\') {
            c = madeOnUnix ? QChar(unixBackslash) : QChar(u'/');
            result.renamed |= madeOnUnix;
        }
    }
    const bool folder = separated.endsWith(u'/');
    if (folder)
        separated.chop(1);
    const QStringList parts = separated.split(u'/');
    result.escapes = (parts.size() > 1 && parts.first().isEmpty()) || isDrive(parts.first());

    QStringList kept;
    for (int i = 0; i < parts.size(); ++i) {
        QString part = parts.at(i);
        if (part == QLatin1String("..")) {
            result.escapes = true;
            part.clear();
        } else if (part == QLatin1String(".")) {
            part.clear();
        } else {
            bool renamed = false;
            replaceIncorrectChars(part, &renamed);
            // A drive's colon is counted as the path's escape, not a rename.
            result.renamed |= renamed && !(i == 0 && isDrive(parts.first()));
        }
        if (part.isEmpty()) {
            if (folder || i + 1 < parts.size())
                continue;
            part = QStringLiteral("_");
        } else if (is_device_name(part, false)) {
            part.prepend(u'_');
            result.renamed = true;
        }
        kept << part;
    }
    if (kept.isEmpty() && !folder)
        kept << QStringLiteral("_");
    result.path = kept.join(u'/');
    return result;
}

QString path_key(const QString &path)
{
    QString key = path;
    for (QChar &c : key)
        c = c.toUpper();
    return key;
}

QString shown_name(const QByteArray &bytes)
{
    const QString text = from_utf8(bytes);
    bool plain = !holds_escapes(text);
    for (const QChar c : text)
        plain = plain && c.unicode() >= 0x20 && c.unicode() != 0x7f;
    return plain ? text : QStringLiteral("hex:") + QString::fromLatin1(bytes.toHex());
}

QString quoted(const QString &path)
{
    return QLatin1Char('`') + path + QLatin1Char('`');
}

QString quoted_path(const QString &path)
{
    return quoted(shown_name(path.toUtf8()));
}
