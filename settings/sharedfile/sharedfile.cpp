// The shared file's content checks and the store's private copy; fileplace_<system>.cpp reach the file.
#include "sharedfile.h"

#include "fileplace.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// How long Save waits for another writer's lock before it gives up.
const int LockWaitMs = 3000;

// The offset of the first byte that does not belong to a valid UTF-8 sequence, or -1.
qsizetype firstNonUtf8(const QByteArray &bytes)
{
    const auto *const begin = reinterpret_cast<const unsigned char *>(bytes.constData());
    const auto *const end = begin + bytes.size();
    const auto *p = begin;
    while (p < end) {
        // Plain ASCII, eight bytes at a time: the usual file is nothing else.
        std::uint64_t block;
        if (end - p >= 8 && (std::memcpy(&block, p, 8), (block & 0x8080808080808080u) == 0)) {
            p += 8;
            continue;
        }
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        // The second byte's range rules out overlong forms, surrogates and code points above
        // U+10FFFF; every other continuation byte is 0x80..0xBF.
        int length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0)
                low = 0xA0;
            else if (c == 0xED)
                high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0)
                low = 0x90;
            else if (c == 0xF4)
                high = 0x8F;
        }
        if (length == 0 || end - p < length || p[1] < low || p[1] > high)
            return p - begin;
        for (int i = 2; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return p - begin;
        }
        p += length;
    }
    return -1;
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
// Whether the bytes hold the lead byte of a UTF-8 sequence for a character beyond U+FFFF.
bool hasBeyondBmp(const QByteArray &bytes)
{
    return std::any_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) >= 0xF0 && uchar(c) <= 0xF4; });
}

// Without a codec the store reads every byte as Latin-1 and writes non-ASCII text as \x escapes,
// which keeps a file in any 8-bit code page intact. A file that is valid UTF-8 with non-ASCII text
// in it (written by a Qt 6 build or a current text editor) needs the UTF-8 codec instead, or its
// text would be saved as escapes of the misread bytes. So does a file with a DEL in it, which
// the store writes as it stands only with a codec: after a save with the codec, a file of nothing
// but ASCII must not have it spelt \x7f by the next. Returns whether it got it.
bool chooseCodec(QSettings &settings, const QByteArray &bytes)
{
    const bool plain = std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) < 0x7F; });
    if (plain || firstNonUtf8(bytes) >= 0)
        return false;
    settings.setIniCodec("UTF-8");
    return true;
}

// Section and key names are read as Latin-1 whatever the codec, and the bytes of a UTF-8 name
// would be written back as %-escapes of the misread characters. Such names get their UTF-8
// reading, which the store writes as escapes that every Qt version reads as the same name.
void renameMisreadKeys(QSettings &settings)
{
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys) {
        const bool latin1 = std::all_of(key.cbegin(), key.cend(), [](QChar c) { return c.unicode() <= 0xFF; });
        const QByteArray bytes = key.toLatin1();
        if (!latin1 || bytes == key.toUtf8() || firstNonUtf8(bytes) >= 0)
            continue;
        const QVariant value = settings.value(key);
        settings.remove(key);
        settings.setValue(QString::fromUtf8(bytes), value);
    }
}
#endif

// The first characters of a value element as the store reads them, from `at`: blanks in front and
// quotes are dropped (so are blanks after any quote, which the store drops only after a closing
// one), a backslash and a line end join lines, and backslash escapes are decoded; other bytes stand
// for themselves, those of UTF-8 sequences as a character beyond ASCII.
QString readStart(const char *at, const char *end, int length)
{
    static const char simple[] = "a\ab\bf\fn\nr\rt\tv\v\"\"?\?''\\\\";
    QString text;
    const auto blanks = [&] {
        while (at < end && (*at == ' ' || *at == '\t'))
            ++at;
    };
    blanks();
    while (at < end && text.size() < length) {
        const char c = *at++;
        if (c == '"') {
            blanks();
        } else if (c != '\\') {
            text += uchar(c) < 0x80 ? QChar(uchar(c)) : QChar(QChar::ReplacementCharacter);
        } else if (at < end) {
            const char e = *at++;
            const char *found = e ? std::strchr(simple, e) : nullptr;
            if (found && (found - simple) % 2 == 0) {
                text += QLatin1Char(found[1]);
            } else if (e == 'x' || (e >= '0' && e <= '7')) {
                // As many digits as follow, the value wrapping at 16 bits as the store's does.
                const bool hex = e == 'x';
                char16_t value = hex ? 0 : char16_t(e - '0');
                bool digits = !hex;
                for (; at < end; ++at) {
                    const char d = *at;
                    const int digit = d >= '0' && d <= (hex ? '9' : '7') ? d - '0'
                        : hex && d >= 'a' && d <= 'f'                    ? d - 'a' + 10
                        : hex && d >= 'A' && d <= 'F'                    ? d - 'A' + 10
                                                                         : -1;
                    if (digit < 0)
                        break;
                    value = char16_t((value << (hex ? 4 : 3)) + digit);
                    digits = true;
                }
                if (digits)
                    text += QChar(value);
            } else if ((e == '\n' || e == '\r') && at < end && (*at == '\n' || *at == '\r') && *at != e) {
                ++at; // a line end of two characters
            } // any other escaped character is dropped
        }
    }
    return text;
}

// The line of the first value that the store would decode with its binary deserialiser when it
// parses the file (@Variant(...), @DateTime(...)), or 0: such values are never given to it, as
// they come from whoever may write the file. Every value element begins right after a "=" or a
// ",", so every such place is looked at, also where the store would see none (a comment, a key).
qsizetype deserialisedLine(const QByteArray &bytes)
{
    const char *const begin = bytes.constData();
    const char *const end = begin + bytes.size();
    for (const char *at = begin; at < end; ++at) {
        if (*at != '=' && *at != ',')
            continue;
        const char *first = at + 1;
        while (first < end && (*first == ' ' || *first == '\t'))
            ++first;
        // Only these can begin an "@": the usual value is passed over at once.
        if (first == end || (*first != '@' && *first != '"' && *first != '\\'))
            continue;
        const QString start = readStart(first, end, 10);
        if (start.startsWith(QLatin1String("@Variant(")) || start.startsWith(QLatin1String("@DateTime(")))
            return 1 + std::count(begin, at, '\n');
    }
    return 0;
}

// The lines of the file that hold a value the store reads as something other than plain text
// (one of its "@" forms): their section, key and value as they stand, for a look at what the store
// writes of them. The usual file has none, and is passed over at once.
struct rawLine
{
    QByteArray section, key, value;
    bool operator==(const rawLine &other) const
    {
        return section == other.section && key == other.key && value == other.value;
    }
};

QList<rawLine> rawLines(const QByteArray &bytes, bool typedOnly)
{
    QList<rawLine> lines;
    if (typedOnly && !bytes.contains('@') && !bytes.contains('\\'))
        return lines;
    QByteArray section = "General";
    const char *at = bytes.constData();
    const char *const end = at + bytes.size();
    // Lines as the store splits them: a quoted value goes on over line ends, a backslash takes the
    // character after it along, and an unquoted ";" starts a comment.
    while (at < end) {
        while (at < end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r'))
            ++at;
        const char *const start = at;
        const char *equals = nullptr;
        bool quoted = false;
        for (; at < end; ++at) {
            const char c = *at;
            if (c == ';' && at == start) {
                while (at < end && *at != '\n' && *at != '\r')
                    ++at;
                break;
            }
            if ((c == '\n' || c == '\r' || c == ';') && !quoted)
                break;
            if (c == '=' && !quoted && !equals)
                equals = at;
            else if (c == '"')
                quoted = !quoted;
            else if (c == '\\' && at + 1 < end)
                at += at + 2 < end && ((at[1] == '\n' && at[2] == '\r') || (at[1] == '\r' && at[2] == '\n')) ? 2 : 1;
        }
        if (*start == ';')
            continue;
        const QByteArray line = QByteArray(start, at - start).trimmed();
        if (line.startsWith('[')) {
            section = line.mid(1, line.indexOf(']') - 1).trimmed();
            if (section.compare("general", Qt::CaseInsensitive) == 0)
                section = "General";
            continue;
        }
        if (!equals)
            continue;
        rawLine entry { section, QByteArray(start, equals - start).trimmed(),
                        QByteArray(equals + 1, at - equals - 1).trimmed() };
        if (typedOnly) {
            bool typed = false;
            for (const QByteArray &element : entry.value.split(',')) {
                const QString first = readStart(element.constData(), element.constData() + element.size(), 2);
                typed = typed || (first.startsWith(QLatin1Char('@')) && first != QLatin1String("@@"));
            }
            if (!typed)
                continue;
        }
        lines.append(entry);
    }
    return lines;
}

// The store keeps only the first error it meets. A file that could not be parsed when it was
// opened therefore stays FormatError even after a successful rewrite, and only a second look
// tells: changes that did not reach the disk are still pending in the store's shared cache, so a
// new store object on the same file tries to write them again and reports AccessError.
bool reachedDisk(const QSettings &settings)
{
    switch (settings.status()) {
    case QSettings::NoError:
        return true;
    case QSettings::AccessError:
        return false;
    case QSettings::FormatError:
        break;
    }
    const QSettings check(settings.fileName(), QSettings::IniFormat);
    return check.status() != QSettings::AccessError;
}

} // namespace

QString shownText(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const bool pair = c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const char32_t code = pair ? QChar::surrogateToUcs4(c, text.at(i + 1)) : c.unicode();
        switch (QChar::category(code)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            shown += (code > 0xFFFF ? QLatin1String("\\U") : QLatin1String("\\u"))
                + QString::number(uint(code), 16).rightJustified(code > 0xFFFF ? 8 : 4, QLatin1Char('0'));
            break;
        default:
            shown += c;
            if (pair)
                shown += text.at(i + 1);
        }
        i += pair ? 1 : 0;
    }
    return shown;
}

#ifdef Q_OS_WIN
QString systemReason(long error)
{
    wchar_t *text = nullptr;
    const DWORD size = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, DWORD(error), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString words = size ? QString::fromWCharArray(text, int(size)).trimmed() : QString();
    ::LocalFree(text);
    return words + QLatin1String(" (") + QString::number(error) + QLatin1Char(')');
}

long lastSystemError()
{
    return long(::GetLastError());
}
#else
QString systemReason(long error)
{
    const char *symbol = ::strerrorname_np(int(error));
    return QString::fromLocal8Bit(std::strerror(int(error))) + QLatin1String(" (")
        + (symbol ? QString::fromLatin1(symbol) : QString::number(error)) + QLatin1Char(')');
}

long lastSystemError()
{
    return errno;
}
#endif

sharedFile::sharedFile(const QString &path, std::shared_ptr<listOrigin> origin)
    : path(path),
      place(new filePlace(path)),
      storeDir(new privateFolder)
{
    place->setOrigin(std::move(origin));
}

sharedFile::~sharedFile() = default;

// The store reads and writes only a copy in a folder of this process's own, so that nobody can
// put a link, a FIFO or another file in its way; each copy has a name never used before, so that
// the store's cache of parsed files never answers for another one.
bool sharedFile::copyToStore(const QByteArray &bytes)
{
    if (!storeDir->isValid()) {
        copyError = { fileError::noPrivateFolder };
        return false;
    }
    storePath = storeDir->path() + QLatin1String("/transport.ini");
    QFile copy(storePath);
    if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size() || !copy.flush()) {
        copyError = filePlace::failedWith(fileError::copyFailed, lastSystemError());
        return false;
    }
    copy.close();
    store.reset(new QSettings(storePath, QSettings::IniFormat));
    return true;
}

// Why a file that read() or readLoaded() found cannot be loaded.
fileError sharedFile::contentError(int found) const
{
    switch (filePlace::content(found)) {
    case filePlace::notAFile:
        return { fileError::notAFile };
    case filePlace::tooLarge:
        return { fileError::tooLarge, QString(), QString(), { QString::number(filePlace::MaxBytes / (1024 * 1024)) } };
    case filePlace::unreadable:
        return { fileError::unreadable, QString(), place->readError, {} };
    case filePlace::heldByOther:
        return { fileError::heldByOther };
    case filePlace::changed:
        return { fileError::changedSinceLoad };
    case filePlace::missing:
    case filePlace::regular:
        break;
    }
    return fileError();
}

QSettings *sharedFile::read()
{
    why = place->problem;
    if (!why) {
        QByteArray bytes;
        const filePlace::content found = place->read(&bytes);
        if (found == filePlace::missing) {
            place->keepAsOrigin();
            return nullptr; // no list yet: an empty table, which Save may write
        }
        if (found != filePlace::regular) {
            why = found == filePlace::changed ? fileError { fileError::unreachable } : contentError(found);
        } else if (const qsizetype line = deserialisedLine(bytes)) {
            why = { fileError::typedValue, QString(), QString(), { QString::number(line) } };
        } else if (copyToStore(bytes)) {
            place->keepAsOrigin();
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
            chooseCodec(*store, bytes);
#endif
            return store.get();
        } else {
            why = copyError;
        }
    }
    // The table is not the list, and must never be saved over it.
    if (path.isEmpty())
        why = { fileError::noFolder };
    return nullptr;
}

QSettings *sharedFile::edit(const std::function<bool(const QString &key)> &ownKey)
{
    why = path.isEmpty() ? fileError(fileError::noFolder) : place->problem;
    if (!why)
        why = place->lock(LockWaitMs);
    if (why)
        return nullptr;
    QByteArray bytes;
    const filePlace::content found = place->readLoaded(&bytes);
    if (found != filePlace::missing && found != filePlace::regular) {
        why = contentError(found);
        return nullptr;
    }
    if (const qsizetype line = deserialisedLine(bytes)) {
        why = { fileError::typedValue, QString(), QString(), { QString::number(line) } };
        return nullptr;
    }
    if (!copyToStore(bytes)) {
        why = copyError;
        return nullptr;
    }
    why = unsavableContent(bytes);
    if (!why)
        why = changedByStore(bytes, ownKey);
    return why ? nullptr : store.get();
}

// The lines that hold one of the store's "@" forms are written back as they stand, or the save is
// refused: each of them goes through a store of its own, which writes it as a save would.
fileError sharedFile::changedByStore(const QByteArray &bytes, const std::function<bool(const QString &key)> &ownKey)
{
    QList<rawLine> typed = rawLines(bytes, true);
    typed.erase(std::remove_if(typed.begin(), typed.end(),
                               [&](const rawLine &line) {
                                   return line.section == "General" && ownKey(QString::fromUtf8(line.key));
                               }),
                typed.end());
    if (typed.isEmpty())
        return fileError();
    // Each value under a plain key of its own: how the store spells the file's own key and
    // section does not matter here, only what it writes of the value.
    QByteArray sample = "[General]\n";
    for (qsizetype i = 0; i < typed.size(); ++i)
        sample += 'v' + QByteArray::number(i) + '=' + typed[i].value + '\n';
    const QString from = storeDir->path() + QLatin1String("/typed.ini");
    const QString to = storeDir->path() + QLatin1String("/typed-written.ini");
    QFile written(to);
    {
        QFile file(from);
        if (!file.open(QIODevice::WriteOnly) || file.write(sample) != sample.size())
            return filePlace::failedWith(fileError::copyFailed, lastSystemError());
        file.close();
        QSettings read(from, QSettings::IniFormat);
        QSettings write(to, QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        // Read and written with the codec of the store that saves the list.
        if (writesUtf8) {
            read.setIniCodec("UTF-8");
            write.setIniCodec("UTF-8");
        }
#endif
        for (qsizetype i = 0; i < typed.size(); ++i) {
            const QString key = QLatin1Char('v') + QString::number(i);
            write.setValue(key, read.value(key));
        }
        write.sync();
        if (write.status() != QSettings::NoError || !written.open(QIODevice::ReadOnly))
            return { fileError::copyFailed };
    }
    const QList<rawLine> after = rawLines(written.readAll(), false);
    for (qsizetype i = 0; i < typed.size(); ++i) {
        const rawLine &line = typed[i];
        const rawLine expected { "General", 'v' + QByteArray::number(i), line.value };
        if (!after.contains(expected))
            return { fileError::changedByStore, QString::fromUtf8(line.key), QString(), { QString::fromUtf8(line.value) } };
    }
    return fileError();
}

bool sharedFile::commit()
{
    store->sync();
    QFile copy(storePath);
    if (!reachedDisk(*store) || !copy.open(QIODevice::ReadOnly)) {
        why = { fileError::notSaved };
        return false;
    }
    lostAccess.clear();
    why = place->replace(copy.readAll(), &lostAccess);
    return !why;
}

// Why the file's content must not be rewritten by the store, or none. Also readies the store for
// the content: its codec, and the names it would misread.
fileError sharedFile::unsavableContent(const QByteArray &bytes)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // The store reads UTF-8 only and would write every other byte back as U+FFFD.
    const qsizetype bad = firstNonUtf8(bytes);
    if (bad >= 0) {
        const qsizetype line = 1 + std::count(bytes.cbegin(), bytes.cbegin() + bad, '\n');
        return { fileError::notUtf8, QString(), QString(), { QString::number(line) } };
    }
#else
    const bool utf8 = chooseCodec(*store, bytes);
#endif
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // With a byte-order mark the store reads and writes UTF-8 of its own accord.
    writesUtf8 = utf8 || bytes.startsWith("\xEF\xBB\xBF");
    if (writesUtf8 && hasBeyondBmp(bytes)) {
        const QStringList keys = store->allKeys();
        for (const QString &key : keys) {
            const QVariant value = store->value(key);
            const QStringList texts = value.userType() == QMetaType::QStringList ? value.toStringList()
                                                                                  : QStringList { value.toString() };
            for (const QString &text : texts) {
                if (!keeps(text))
                    return { fileError::beyondBmp, key };
            }
        }
    }
    if (utf8)
        renameMisreadKeys(*store);
#endif
    return fileError();
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
bool sharedFile::keeps(const QString &text) const
{
    return !writesUtf8 || std::none_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSurrogate(); });
}
#endif

void sharedFile::losing(const QString &key)
{
    why = { fileError::beyondBmp, key };
}
