// The shared file's layer driven as the window drives it, without a window: a list loaded, and
// saved back in its place, with what each step came to as a kind of error.
#ifndef LISTCASE_H
#define LISTCASE_H

#include "sharedfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <memory>

namespace listCase {

// Two redirections, as the transport module's own example has them.
inline const QByteArray fixture
    = "[General]\npositions=2\nlistenHost1=127.0.0.1\nlistenPort1=80\n"
      "destHost1=10.0.0.2\ndestPort1=80\nlistenHost2=127.0.0.1\nlistenPort2=110\n"
      "destHost2=10.0.0.3\ndestPort2=110\n";

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// The file's bytes, or "missing".
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing");
}

// Everything in a folder, hidden and system entries included.
inline QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
}

// The keys the window writes: the count and the numbered fields of each redirection.
inline bool windowKey(const QString &key)
{
    if (key == QLatin1String("positions"))
        return true;
    for (const char *field : { "listenHost", "listenPort", "destHost", "destPort" }) {
        const QLatin1String name(field);
        if (key.startsWith(name) && key.size() > name.size()
            && std::all_of(key.cbegin() + name.size(), key.cend(), [](QChar c) { return c.isDigit(); }))
            return true;
    }
    return false;
}

// One window's worth of the list at `path`: its load fills the origin, and its saves go only in
// place of the file it loaded, as the window's do.
class editor
{
public:
    explicit editor(const QString &path) : path(path) { }

    // Loads as the window does when it opens; `positions` is then the list's count, empty
    // without a list.
    fileError load()
    {
        sharedFile file(path, origin);
        const QSettings *const store = file.read();
        positions = store ? store->value(QStringLiteral("positions")).toString() : QString();
        return file.error();
    }

    // Saves as the window's Save does, `change` made to the store first (by default the first
    // listen host becomes 192.168.0.1). The lock is let go before it returns. `refusedAtEdit`
    // tells whether the file was refused before the store was given out.
    fileError save(const std::function<void(QSettings &)> &change = nullptr)
    {
        sharedFile file(path, origin);
        QSettings *const store = file.edit(windowKey);
        refusedAtEdit = !store;
        lost.clear();
        if (store) {
            if (change)
                change(*store);
            else
                store->setValue(QStringLiteral("listenHost1"), QStringLiteral("192.168.0.1"));
            if (file.commit())
                lost = file.lost();
        }
        return file.error();
    }

    const QString path;
    const std::shared_ptr<listOrigin> origin = newListOrigin();
    QString positions;
    QList<fileError> lost; // what of the file's access the last save could not keep
    bool refusedAtEdit = false;
};

} // namespace listCase

#endif // LISTCASE_H
