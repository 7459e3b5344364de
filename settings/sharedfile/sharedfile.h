// transport.ini as a file that others share: found without following a link that someone else
// could have planted, read without blocking, checked, and written back with all its permissions.
#ifndef SHAREDFILE_H
#define SHAREDFILE_H

#include <QByteArray>
#include <QCoreApplication>
#include <QSettings>
#include <QString>

#include <functional>
#include <memory>

class filePlace;
class privateFolder;

// What the window's rows came from, each system's own and opaque to everybody else: a save
// writes the new list only in place of that very file, and gives it no wider access than it had.
class listOrigin;
// A new origin, of no file yet, for a load to fill.
std::shared_ptr<listOrigin> newListOrigin();

// The store never sees the shared file itself: it works on a private copy, and only the bytes it
// writes there are put in place. One object for each load and each save.
class sharedFile
{
    Q_DECLARE_TR_FUNCTIONS(sharedFile)

public:
    // `path` is where the program keeps the list; empty when the program's folder is unknown.
    // `origin` is what the window's rows came from: read() sets it, and a save keeps the new
    // list no more open than that file was.
    sharedFile(const QString &path, std::shared_ptr<listOrigin> origin);
    ~sharedFile();

    // A store on the list as it is now, or null when there is none: no file, or one that could
    // not be loaded, which loadProblem() then explains and problem() refuses to save over.
    QSettings *read();
    QString loadProblem() const { return loadWhy; }

    // Takes the writers' lock and gives a store on the list as it is now, ready for the keys to be
    // set; null, with problem() saying why, when the file must not be written. `ownKey` tells the
    // keys that the caller writes, whatever the file holds under them.
    QSettings *edit(const std::function<bool(const QString &key)> &ownKey);

    // Puts what the store holds in place of the file, with the old file's owner, group, mode, ACL,
    // attributes and flags. False, with problem() saying why, when the file was left as it was.
    bool commit();

    // Whether the store writes `text` as it is. The Qt 5 store writes UTF-8 (a file that holds
    // UTF-8 text, or begins with a byte-order mark) without the characters beyond U+FFFF.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    bool keeps(const QString &text) const;
#else
    bool keeps(const QString &) const { return true; }
#endif
    // Refuses the save for a value under `key` that the store would not write as it is.
    QString losing(const QString &key);

    // Why the last step failed, in full, for a message box.
    QString problem() const { return why; }

    // After a commit: what of the old file's permissions the new one could not keep, or empty.
    QString lost() const { return lostText; }

private:
    bool copyToStore(const QByteArray &bytes);
    QString unsavableContent(const QByteArray &bytes);
    QString typedValueAt(qsizetype line) const;
    QString changedByStore(const QByteArray &bytes, const std::function<bool(const QString &key)> &ownKey);

    QString path;
    QString failed; // the opening of every message about a failed save
    std::unique_ptr<filePlace> place;
    std::unique_ptr<privateFolder> storeDir;
    QString storePath;
    std::unique_ptr<QSettings> store;
    QString why;
    QString loadWhy;
    QString lostText;
    QString copyError;
    bool writesUtf8 = false;
};

#endif // SHAREDFILE_H
