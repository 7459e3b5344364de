// transport.ini as a file that others share: found without following a link that someone else
// could have planted, read without blocking, checked, and written back with all its permissions.
#ifndef SHAREDFILE_H
#define SHAREDFILE_H

#include <QByteArray>
#include <QList>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class filePlace;
class privateFolder;

// What the window's rows came from, each system's own and opaque to everybody else: a save
// writes the new list only in place of that very file, and gives it no wider access than it had.
class listOrigin;
// A new origin, of no file yet, for a load to fill.
std::shared_ptr<listOrigin> newListOrigin();

// Why the list could not be loaded or saved, or what of its access a save could not keep: the
// kind, the file, link, lock, folder or key it concerns as the system names it, the system's own
// words, and whatever else tells the case apart. The sentences are the caller's to make.
struct fileError
{
    enum kind {
        none,
        // Where the list lies.
        noFolder,         // the program's folder is unknown
        unreachable,      // the path leads nowhere: a folder missing or not a folder
        walkFailed,       // a step of the path failed; reason
        linkUnreadable,   // a link on the path could not be read; reason
        linkRefused,      // name: a link in a folder that others may change; details: its owner
        tooManyLinks,     // details: the limit
        // What lies there.
        notAFile,
        tooLarge,         // details: the limit in MB
        unreadable,       // reason
        heldByOther,      // another program holds it open without sharing it for reading
        typedValue,       // details: the line of a value the store would deserialise
        notUtf8,          // details: the line that is not UTF-8 (the Qt 6 store)
        beyondBmp,        // name: a key whose value the Qt 5 store would write without some characters
        changedByStore,   // name: a key; details: its value, which the store would write otherwise
        noPrivateFolder,  // no folder for the store's copy that others cannot change
        copyFailed,       // the store's copy could not be written; reason, or none
        changedSinceLoad, // the path holds another file than the window loaded, or none
        // The writers' lock, name.
        lockHeld,         // details: the holder's process, program and host
        lockStuck,        // neither free nor anybody's who is alive, and not to be removed
        lockNotMade,      // reason
        lockNotWritten,   // reason
        // The steps of a save, each with the system's reason.
        notSaved,         // the store's or the system's, without a reason
        accessUnknown,    // the loaded file's access could not be read (Linux)
        identityUnknown,  // the list's identity could not be read (Windows)
        securityUnknown,  // the list's security could not be read (Windows)
        readOnly,         // the list has the read-only attribute (Windows)
        mayNotReplace,    // the user may not replace the list (Windows)
        stageNotMade,     // name: the save's own folder for the new file, if it has one
        stageSwapped,     // name: that folder, which another took the place of
        newFileNotMade,
        newFileBesideNotMade,
        newFileNotWritten,
        newFileNotFlushed,
        newFileNotNamed,
        ownerNotGiven,
        aclNotGiven,
        notRenamed,       // the new file could not take the old one's place (Linux)
        listNotRenamed,   // the same on Windows
        // What of the old file's access a save could not keep.
        flagsLost,
        aclLost,          // details: what libacl said
        modeLost,
        xattrsLost,       // details: what libattr said
        groupChanged,     // details: the group now, the group before
        attributesLost,
    };
    fileError() = default;
    fileError(kind what, const QString &name = QString(), const QString &reason = QString(),
              const QStringList &details = QStringList())
        : what(what), name(name), reason(reason), details(details)
    {
    }

    kind what = none;
    QString name;
    QString reason;
    QStringList details;

    explicit operator bool() const { return what != none; }
};

// The store never sees the shared file itself: it works on a private copy, and only the bytes it
// writes there are put in place. One object for each load and each save.
class sharedFile
{
public:
    // `path` is where the program keeps the list; empty when the program's folder is unknown.
    // `origin` is what the window's rows came from: read() sets it, and a save keeps the new
    // list no more open than that file was.
    sharedFile(const QString &path, std::shared_ptr<listOrigin> origin);
    ~sharedFile();

    // A store on the list as it is now, or null when there is none: no file, or one that could
    // not be loaded, which error() then tells.
    QSettings *read();

    // Takes the writers' lock and gives a store on the list as it is now, ready for the keys to be
    // set; null, with error() saying why, when the file must not be written. `ownKey` tells the
    // keys that the caller writes, whatever the file holds under them.
    QSettings *edit(const std::function<bool(const QString &key)> &ownKey);

    // Puts what the store holds in place of the file, with the old file's owner, group, mode, ACL,
    // attributes and flags. False, with error() saying why, when the file was left as it was.
    bool commit();

    // Whether the store writes `text` as it is. The Qt 5 store writes UTF-8 (a file that holds
    // UTF-8 text, or begins with a byte-order mark) without the characters beyond U+FFFF.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    bool keeps(const QString &text) const;
#else
    bool keeps(const QString &) const { return true; }
#endif
    // Refuses the save for a value under `key` that the store would not write as it is.
    void losing(const QString &key);

    // Why the last step failed; none after a load of no file at all.
    const fileError &error() const { return why; }

    // After a commit: what of the old file's permissions the new one could not keep.
    const QList<fileError> &lost() const { return lostAccess; }

private:
    bool copyToStore(const QByteArray &bytes);
    fileError unsavableContent(const QByteArray &bytes);
    fileError changedByStore(const QByteArray &bytes, const std::function<bool(const QString &key)> &ownKey);
    fileError contentError(int found) const;

    QString path;
    std::unique_ptr<filePlace> place;
    std::unique_ptr<privateFolder> storeDir;
    QString storePath;
    std::unique_ptr<QSettings> store;
    fileError why;
    QList<fileError> lostAccess;
    fileError copyError;
    bool writesUtf8 = false;
};

// Text that others chose (file, folder and user names, a lock's lines) as a message shows it:
// control, format and separator characters are written as \uXXXX, so that nobody but us lays
// out the message.
QString shownText(const QString &text);

#endif // SHAREDFILE_H
