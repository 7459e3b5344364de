// Moving the redirection list between transport.ini and the table; the only code that knows the keys.
#include "settingsdialog.h"

#include "filemessages.h"
#include "sharedfile.h"

#include <QList>
#include <QMessageBox>
#include <QSettings>
#include <QStringList>
#include <QTreeWidgetItem>
#include <QVariant>

#include <algorithm>
#include <climits>
#include <charconv>
#include <cstring>
#include <vector>

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
    QString name() const { return QString::fromLatin1(text, size); }

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

// The rows of the list in `settings`, one for each number from 1 to the count.
QList<QTreeWidgetItem *> tableRows(const QSettings &settings)
{
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

    return rows;
}

} // namespace

void settingsDialog::loadSettings()
{
    treeWidget->clear();

    origin = newListOrigin();
    sharedFile file(settingsPath, origin);
    QSettings *const settings = file.read();
    if (file.error()) {
        loadProblem = fileMessages::loadFailed(settingsPath, file.error());
        saveRefusal = fileMessages::saveRefused(settingsPath, file.error());
    } else {
        loadProblem.clear();
        saveRefusal.clear();
    }
    if (!settings)
        return;
    treeWidget->addTopLevelItems(tableRows(*settings));
}

void settingsDialog::saveSettings()
{
    if (!saveRefusal.isEmpty()) {
        warn(tr("Ошибка сохранения"), saveRefusal);
        return;
    }
    QString failure, warning;
    {
        sharedFile file(settingsPath, origin);
        const auto ownKey = [](const QString &key) {
            if (key == countKey)
                return true;
            for (const QLatin1String &name : entryKeys) {
                if (key.startsWith(name) && key.size() > name.size()
                    && std::all_of(key.cbegin() + name.size(), key.cend(), [](QChar c) { return c.isDigit(); }))
                    return true;
            }
            return false;
        };
        if (QSettings *const settings = file.edit(ownKey)) {
            // Saving sets keys and removes none: entries above the new count and keys we do not
            // know stay in the file for whoever else reads it.
            settings->setValue(countKey, treeWidget->topLevelItemCount());
            bool kept = true;
            for (int row = 0; row < treeWidget->topLevelItemCount() && kept; ++row) {
                const QTreeWidgetItem *item = treeWidget->topLevelItem(row);
                for (int column = 0; column < columnCount && kept; ++column) {
                    const entryKey key(column, row + 1);
                    const QString text = item->text(column);
                    if (!file.keeps(text)) {
                        file.losing(key.name());
                        kept = false;
                    }
                    settings->setValue(key.view(), text);
                }
            }
            if (kept && file.commit() && !file.lost().isEmpty())
                warning = fileMessages::accessLost(settingsPath, file.lost());
        }
        if (file.error())
            failure = fileMessages::saveFailed(settingsPath, file.error());
    }
    // Told once the file and its lock are let go, so that no other writer waits for the answer.
    if (!failure.isEmpty())
        warn(tr("Ошибка сохранения"), failure);
    else if (!warning.isEmpty())
        warn(tr("Сохранение настроек"), warning);
}

void settingsDialog::warn(const QString &title, const QString &text)
{
    // Plain text: file names, a lock's contents and the system's messages come from others, and
    // must not format the box, show pictures or make links.
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
