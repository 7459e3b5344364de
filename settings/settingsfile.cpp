// Moving the redirection list between transport.ini and the table; the only code that knows the keys.
#include "settingsdialog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QLockFile>
#include <QMessageBox>
#include <QSettings>
#include <QStringList>
#include <QTreeWidgetItem>
#include <QVariant>

#include <algorithm>
#include <climits>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QLatin1String countKey("positions");

// Key names of an entry, in column order: listen host, listen port, destination host and port.
const QLatin1String entryKeys[] = {
    QLatin1String("listenHost"), QLatin1String("listenPort"),
    QLatin1String("destHost"), QLatin1String("destPort"),
};
const int columnCount = 4;

// "positions" comes from a file that people edit by hand and may claim far more entries than the
// file holds. Missing entries load as blank rows, but no more than this many in all: a gap that
// does not fit is closed up instead, so every entry present is kept and memory stays bounded.
const int MaxBlankRows = 1000;

// The key of one entry value, spelled on the stack: a large list means hundreds of thousands of
// lookups, and the store takes a Latin-1 view without a QString of our own for each.
class entryKey
{
public:
    entryKey(int column, qint64 number)
    {
        const QLatin1String name = entryKeys[column];
        std::memcpy(text, name.data(), size_t(name.size()));
        size = int(name.size());
        size += int(std::to_chars(text + size, text + sizeof text, number).ptr - (text + size));
    }

#if QT_VERSION >= QT_VERSION_CHECK(6, 4, 0)
    QAnyStringView view() const { return QLatin1String(text, size); }
#else
    QString view() const { return QString::fromLatin1(text, size); }
#endif

private:
    char text[40];
    int size;
};

// The numbers from 1 to count that have at least one entry key in the file, in increasing order.
std::vector<qint64> presentEntries(const QSettings &settings, qint64 count)
{
    std::vector<qint64> numbers;
    const QStringList keys = settings.childKeys();
    for (const QString &key : keys) {
        for (const QLatin1String &name : entryKeys) {
            if (!key.startsWith(name))
                continue;
            const QString digits = key.mid(name.size());
            bool ok = false;
            const qint64 number = digits.toLongLong(&ok, 10);
            // Only the plain decimal spelling names an entry: "listenHost07" is not entry 7.
            if (ok && number >= 1 && number <= count && digits == QString::number(number))
                numbers.push_back(number);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

// A value with unquoted commas, as a hand-edited file may hold, comes back from the store as a
// list, which toString() turns into an empty text that the next save would write back.
QString cellText(const QVariant &value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

QTreeWidgetItem *blankRow()
{
    return new QTreeWidgetItem(QStringList{ QString(), QString(), QString(), QString() });
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

// How long Save waits for another writer's lock before it gives up. The store's own wait has no
// end when the lock cannot be removed, and lasts half a minute for a live holder.
const int LockWaitMs = 3000;
const int StaleLockMs = 1000;

// Where the store reads and writes: the settings path with its symbolic links followed, also to
// a target that does not exist yet. The store keeps its lock file beside the path it is given, so
// a link kept in a folder that the user may not write still saves beside its target.
QString storePath(const QString &path)
{
    QFileInfo info(path);
    for (int depth = 0; depth < 32 && info.isSymLink(); ++depth)
        info.setFile(info.symLinkTarget());
    return info.filePath();
}

// A FIFO, socket or device at the path is never opened: reading one may wait for ever, and
// writing one would not keep the list.
bool isSpecialFile(const QFileInfo &info)
{
    return info.exists() && !info.isFile() && !info.isDir();
}

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

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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

// Why the file's content must not be rewritten by the store, or an empty text. Also readies the
// store for the content: its codec, and the names it would misread.
QString unsavableContent(QSettings &settings, const QByteArray &bytes, const QString &failed)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // The store reads UTF-8 only and would write every other byte back as U+FFFD.
    const qsizetype bad = firstNonUtf8(bytes);
    if (bad >= 0) {
        const qsizetype line = 1 + std::count(bytes.cbegin(), bytes.cbegin() + bad, '\n');
        return settingsDialog::tr("%1: строка %2 не в кодировке UTF-8. Преобразуйте файл в UTF-8, "
                                  "прежде чем сохранять его в редакторе")
            .arg(failed, QString::number(line));
    }
#else
    const bool utf8 = chooseCodec(settings, bytes);
#endif
    if (mayHoldTypedValues(bytes)) {
        const QString key = unreadableKey(settings);
        if (!key.isEmpty())
            return settingsDialog::tr("%1: значение ключа %2 не удаётся прочитать, и сохранение "
                                      "уничтожило бы его")
                .arg(failed, key);
    }
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    if (utf8)
        renameMisreadKeys(settings);
#endif
    return QString();
}

#ifdef Q_OS_UNIX
// The store writes a new file and renames it over the old one, so the saved file belongs to
// whoever saved it. Owner and group are put back as far as the system allows: root restores
// both, anyone else the group when they are a member of it. Windows has no such step.
struct fileOwner
{
    bool known = false;
    uid_t user = 0;
    gid_t group = 0;
};

fileOwner ownerOf(const QString &path)
{
    fileOwner owner;
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode)) {
        owner.known = true;
        owner.user = status.st_uid;
        owner.group = status.st_gid;
    }
    return owner;
}

QString groupName(gid_t group)
{
    if (const struct group *entry = ::getgrgid(group))
        return QString::fromLocal8Bit(entry->gr_name);
    return QString::number(group);
}

// Gives the saved file back the owner and group it had; returns the group it was left with when
// that is not the old one.
QString restoreOwner(const QString &path, const fileOwner &before)
{
    const fileOwner after = ownerOf(path);
    if (!before.known || !after.known || (after.user == before.user && after.group == before.group))
        return QString();
    const QByteArray name = QFile::encodeName(path);
    const uid_t user = ::geteuid() == 0 ? before.user : uid_t(-1);
    if (::chown(name.constData(), user, before.group) != 0 && user != uid_t(-1))
        (void)::chown(name.constData(), uid_t(-1), before.group);
    const fileOwner now = ownerOf(path);
    return now.known && now.group != before.group ? groupName(now.group) : QString();
}
#endif

} // namespace

void settingsDialog::loadSettings()
{
    treeWidget->clear();

    const QString path = storePath(settingsPath);
    if (isSpecialFile(QFileInfo(path)))
        return;
    QSettings settings(path, QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    chooseCodec(settings, fileBytes(path));
#endif
    // toInt() would wrap a number beyond int's range (4294967298 reads as 2, 2147483648 as
    // negative); such a count is as huge as int's maximum.
    const qint64 count = std::min<qint64>(settings.value(countKey, 0).toLongLong(), INT_MAX);

    QList<QTreeWidgetItem *> rows;
    int blankBudget = MaxBlankRows;
    qint64 gap = 0;                 // missing entries since the last one present
    std::vector<qint64> present;    // filled only when a gap is too long to keep
    bool scanned = false;

    const auto keepGap = [&] {
        if (gap <= blankBudget) {
            for (qint64 i = 0; i < gap; ++i)
                rows.append(blankRow());
            blankBudget -= int(gap);
        }
        gap = 0;
    };

    for (qint64 number = 1; number <= count; ++number) {
        QVariant values[columnCount];
        bool found = false;
        for (int column = 0; column < columnCount; ++column) {
            values[column] = settings.value(entryKey(column, number).view());
            found = found || values[column].isValid();
        }

        if (!found) {
            if (++gap <= blankBudget)
                continue;
            // Too long to keep as blank rows: close the gap and go on at the next entry present.
            if (!scanned) {
                present = presentEntries(settings, count);
                scanned = true;
            }
            const auto next = std::upper_bound(present.begin(), present.end(), number);
            gap = 0;
            if (next == present.end())
                break;
            number = *next - 1;
            continue;
        }

        keepGap();
        auto *item = new QTreeWidgetItem;
        for (int column = 0; column < columnCount; ++column)
            item->setText(column, cellText(values[column]));
        rows.append(item);
    }
    keepGap();

    treeWidget->addTopLevelItems(rows);
}

void settingsDialog::saveSettings()
{
    const QString path = storePath(settingsPath);
    const QString shownPath = QDir::toNativeSeparators(settingsPath);
    const QString failed = tr("Не удалось сохранить настройки в файл %1").arg(shownPath);
    const QFileInfo info(path);
    if (isSpecialFile(info)) {
        QMessageBox::warning(this, tr("Ошибка сохранения"), failed);
        return;
    }

    QString problem;   // why nothing may be written, in full
    QByteArray bytes;
    {
        // Another writer's lock is waited for a few seconds only. It is let go before the store
        // is opened, which takes it again for itself to write.
        const QString lockName = path + QLatin1String(".lock");
        QLockFile lock(lockName);
        // A writer killed while it made the lock leaves one that names nobody; the toolkit counts
        // it as stale only after half a minute. Taking over an older lock is safe: one that a live
        // writer holds stays locked by the system, and the toolkit does not remove it.
        lock.setStaleLockTime(StaleLockMs);
        if (!lock.tryLock(LockWaitMs)) {
            qint64 pid = 0;
            QString host, application;
            const QString lockPath = QDir::toNativeSeparators(lockName);
            if (lock.error() != QLockFile::LockFailedError)
                problem = failed;
            else if (lock.getLockInfo(&pid, &host, &application))
                problem = tr("%1: файл заблокирован процессом %2 (%3) на компьютере %4, файл блокировки %5")
                              .arg(failed, QString::number(pid), application, host, lockPath);
            else
                problem = tr("%1: файл заблокирован, файл блокировки %2 не удаётся ни занять, ни удалить")
                              .arg(failed, lockPath);
        } else if (info.isFile()) {
            bytes = fileBytes(path);
        }
    }

    std::optional<QSettings> settings;
    if (problem.isEmpty()) {
        settings.emplace(path, QSettings::IniFormat);
        problem = unsavableContent(*settings, bytes, failed);
    }
    if (!problem.isEmpty()) {
        QMessageBox::warning(this, tr("Ошибка сохранения"), problem);
        return;
    }

#ifdef Q_OS_UNIX
    const fileOwner owner = ownerOf(path);
#endif
    // Saving sets keys and removes none: entries above the new count and keys we do not know stay
    // in the file for whoever else reads it.
    settings->setValue(countKey, treeWidget->topLevelItemCount());
    for (int row = 0; row < treeWidget->topLevelItemCount(); ++row) {
        const QTreeWidgetItem *item = treeWidget->topLevelItem(row);
        for (int column = 0; column < columnCount; ++column)
            settings->setValue(entryKey(column, row + 1).view(), item->text(column));
    }
    settings->sync();
    if (!reachedDisk(*settings)) {
        QMessageBox::warning(this, tr("Ошибка сохранения"), failed);
        return;
    }

#ifdef Q_OS_UNIX
    const QString group = restoreOwner(path, owner);
    if (!group.isEmpty()) {
        QMessageBox::warning(this, tr("Сохранение настроек"),
                             tr("Настройки сохранены в файл %1, но его группа теперь %2 вместо %3")
                                 .arg(shownPath, group, groupName(owner.group)));
    }
#endif
}
