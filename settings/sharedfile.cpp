// The shared file's content checks and the store's private copy; fileplace_<system>.cpp reach the file.
#include "sharedfile.h"

#include "fileplace.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <cstdint>
#include <cstring>

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
// text would be saved as escapes of the misread bytes. Returns whether it got it.
bool chooseCodec(QSettings &settings, const QByteArray &bytes)
{
    const bool ascii = std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) < 0x80; });
    if (ascii || firstNonUtf8(bytes) >= 0)
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

// Only a @Variant(...) of a type this program does not know reads back as an invalid value that the
// store would write as @Invalid() and so lose; a value of @Invalid() itself round-trips unchanged.
bool mayHoldTypedValues(const QByteArray &bytes)
{
    return bytes.contains("Variant(");
}

// The first key whose value the store could not read back, such as a @Variant of a type this
// program does not know: a save would write it as @Invalid() and lose it.
QString unreadableKey(const QSettings &settings)
{
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys) {
        // A name the store cannot look up ("a//b", an empty key) is written back as it was read.
        if (settings.contains(key) && !settings.value(key).isValid())
            return key;
    }
    return QString();
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

sharedFile::sharedFile(const QString &path, std::shared_ptr<listOrigin> origin)
    : path(path),
      failed(path.isEmpty() ? tr("Не удалось сохранить настройки: папку программы, в которой лежит "
                                 "transport.ini, не удаётся определить")
                            : tr("Не удалось сохранить настройки в файл %1")
                                  .arg(QDir::toNativeSeparators(path))),
      place(new filePlace(path, failed)),
      storeDir(new privateFolder)
{
    place->setOrigin(std::move(origin));
}

sharedFile::~sharedFile() = default;

// The store reads and writes only a copy in a folder of this process's own, so that nobody can
// put a link, a FIFO or another file in its way; each copy has a name never used before, so the
// store's cache of parsed files never answers for another one.
bool sharedFile::copyToStore(const QByteArray &bytes)
{
    if (!storeDir->isValid())
        return false;
    storePath = storeDir->path() + QLatin1String("/transport.ini");
    QFile copy(storePath);
    if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size() || !copy.flush())
        return false;
    copy.close();
    store.reset(new QSettings(storePath, QSettings::IniFormat));
    return true;
}

QSettings *sharedFile::read()
{
    QString reason = place->reason;
    if (place->problem.isEmpty()) {
        QByteArray bytes;
        switch (place->read(&bytes)) {
        case filePlace::missing:
            place->keepAsOrigin();
            return nullptr; // no list yet: an empty table, which Save may write
        case filePlace::regular:
            if (copyToStore(bytes)) {
                place->keepAsOrigin();
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
                chooseCodec(*store, bytes);
#endif
                return store.get();
            }
            reason = tr("для его копии нет места во временной папке");
            break;
        case filePlace::notAFile:
            reason = tr("на его месте не обычный файл");
            break;
        case filePlace::tooLarge:
            reason = tr("он больше %1 МБ").arg(filePlace::MaxBytes / (1024 * 1024));
            break;
        case filePlace::unreadable:
            reason = tr("его не удалось прочитать");
            break;
        case filePlace::heldByOther:
            reason = tr("его держит открытым другая программа, не разрешая читать");
            break;
        }
    }
    // The table is not the list, and must never be saved over it.
    if (path.isEmpty()) {
        why = failed;
        loadWhy = tr("Не удалось загрузить настройки: папку программы, в которой лежит "
                     "transport.ini, не удаётся определить");
        return nullptr;
    }
    if (reason.isEmpty())
        reason = tr("путь к нему недоступен");
    why = !place->problem.isEmpty() && !place->reason.isEmpty()
        ? place->problem
        : tr("%1: %2. Таблица загружена не из этого файла, и редактор не сохранит её поверх него; "
             "запустите редактор снова, когда файл будет в порядке")
              .arg(failed, reason);
    loadWhy = tr("Не удалось загрузить настройки из файла %1: %2. Пока список не загружен, "
                 "редактор его не сохраняет; запустите редактор снова, когда файл будет в порядке")
                  .arg(QDir::toNativeSeparators(path), reason);
    return nullptr;
}

QSettings *sharedFile::edit()
{
    why = place->problem;
    if (why.isEmpty())
        why = place->lock(LockWaitMs);
    if (!why.isEmpty())
        return nullptr;
    QByteArray bytes;
    const filePlace::content found = place->read(&bytes);
    if ((found != filePlace::regular && found != filePlace::missing) || !copyToStore(bytes)) {
        why = failed;
        return nullptr;
    }
    why = unsavableContent(bytes);
    return why.isEmpty() ? store.get() : nullptr;
}

bool sharedFile::commit()
{
    store->sync();
    QFile copy(storePath);
    if (!reachedDisk(*store) || !copy.open(QIODevice::ReadOnly)) {
        why = failed;
        return false;
    }
    QStringList lost;
    why = place->replace(copy.readAll(), &lost);
    if (!why.isEmpty())
        return false;
    if (!lost.isEmpty())
        lostText = tr("Настройки сохранены в файл %1, но %2")
                       .arg(QDir::toNativeSeparators(path), lost.join(QLatin1String("; ")));
    return true;
}

// Why the file's content must not be rewritten by the store, or an empty text. Also readies the
// store for the content: its codec, and the names it would misread.
QString sharedFile::unsavableContent(const QByteArray &bytes)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // The store reads UTF-8 only and would write every other byte back as U+FFFD.
    const qsizetype bad = firstNonUtf8(bytes);
    if (bad >= 0) {
        const qsizetype line = 1 + std::count(bytes.cbegin(), bytes.cbegin() + bad, '\n');
        return tr("%1: строка %2 не в кодировке UTF-8. Преобразуйте файл в UTF-8, "
                  "прежде чем сохранять его в редакторе")
            .arg(failed, QString::number(line));
    }
#else
    const bool utf8 = chooseCodec(*store, bytes);
#endif
    if (mayHoldTypedValues(bytes)) {
        const QString key = unreadableKey(*store);
        if (!key.isEmpty())
            return tr("%1: значение ключа %2 не удаётся прочитать, и сохранение уничтожило бы его")
                .arg(failed, key);
    }
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
                    return losing(key);
            }
        }
    }
    if (utf8)
        renameMisreadKeys(*store);
#endif
    return QString();
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
bool sharedFile::keeps(const QString &text) const
{
    return !writesUtf8 || std::none_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSurrogate(); });
}
#endif

QString sharedFile::losing(const QString &key)
{
    why = tr("%1: в значении ключа %2 есть символы за пределами U+FFFF (например, эмодзи), которые "
             "сборка на Qt 5 не может записать в UTF-8, и сохранение уничтожило бы их")
              .arg(failed, key);
    return why;
}
