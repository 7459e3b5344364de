// The system's half of the shared file: where it lies, the writers' lock beside it, its bytes, and
// the new file that takes its place. Each system defines these in fileplace_<system>.cpp, with
// what it holds in filePlace::system; nothing else differs.
#ifndef FILEPLACE_H
#define FILEPLACE_H

#include "sharedfile.h"

#include <QByteArray>
#include <QString>

#include <memory>

// A folder of this process's own for the store's private copies, which nobody else can rename,
// replace or enter anything in while this object lives; its removal deletes what the store left
// in it and nothing else.
class privateFolder
{
public:
    privateFolder();
    ~privateFolder();
    privateFolder(const privateFolder &) = delete;
    privateFolder &operator=(const privateFolder &) = delete;
    bool isValid() const;
    QString path() const;

private:
    struct system;
    std::unique_ptr<system> d;
};

// The system's words for an error code (errno on Linux, GetLastError() on Windows), with its
// symbolic name or number: "Permission denied (EACCES)".
QString systemReason(long error);
// The code of the last system call's error: errno or GetLastError().
long lastSystemError();

class filePlace
{
public:
    // Finds the file at `path`; problem says why it may not be reached.
    explicit filePlace(const QString &path);
    ~filePlace();
    filePlace(const filePlace &) = delete;
    filePlace &operator=(const filePlace &) = delete;

    // heldByOther: another program keeps it open without sharing it for reading (Windows only).
    enum content { missing, regular, notAFile, tooLarge, unreadable, changed, heldByOther };
    // Reads the file without waiting for anything and without following a link; `bytes` gets the
    // contents of a regular file no larger than MaxBytes. After `unreadable`, readError says why.
    content read(QByteArray *bytes);
    QString readError;
    // Well above any real list (100,000 entries take 10 MB), far below what parsing it would need.
    static const qint64 MaxBytes = 32 * 1024 * 1024;
    // What the window's rows came from, kept up to date by keepAsOrigin() and replace().
    void setOrigin(std::shared_ptr<listOrigin> rowsOrigin) { origin = std::move(rowsOrigin); }
    // Remembers the file read last as what the window's rows came from, or that there was none.
    void keepAsOrigin();
    // For a save: reads the file the window's rows came from while the path still holds that very
    // file (or, when there was none, still none); `changed` when it does not. On Linux through the
    // descriptor kept since the load; on Windows at the path, and replace() compares its identity
    // with the loaded one's.
    content readLoaded(QByteArray *bytes);

    // Takes the writers' lock, waiting up to `waitMs` for another writer; returns why not.
    fileError lock(int waitMs);

    // Writes `bytes` to a new file beside the old one, gives it the old one's owner, group, mode,
    // ACL, attributes and flags, and renames it over the old one; returns why not. `lost` gets what
    // of the old permissions the new file could not keep.
    fileError replace(const QByteArray &bytes, QList<fileError> *lost);

    // Why the walk refused the path, or none.
    fileError problem;

    // The error of `what` with the system's words for `error`: errno on Linux, GetLastError()
    // on Windows.
    static fileError failedWith(fileError::kind what, long error, const QString &name = QString());

private:
    void unlock();
    void removeLeftovers();

    // The writers' lock: its protocol is written once (fileplace.cpp), over these steps, which
    // each system takes its own way.
    enum class lockStep { done, exists, gone, failed };
    QString lockPath() const;
    // What the lock says of its holder, as Qt's QLockFile writes it: process, program, host.
    QByteArray lockRecord() const;
    // Makes the lock anew, writes `record` to it and holds it; `exists` when somebody has one.
    lockStep makeLock(const QByteArray &record, fileError *error);
    // Opens somebody's lock as itself, without following or waiting for anything; `free` when no
    // live holder keeps it. `gone` when it went in between.
    lockStep openLock(bool *free, fileError *error);
    // Of the lock opened last: its contents, how long ago it was written (-1: not known), and its
    // removal while it is still the lock at that name.
    QByteArray lockContents();
    qint64 lockAgeMs();
    bool removeLock();
    bool isStale(const QByteArray &record);
    static bool processGone(qint64 pid);
    static QString hostName();

    // Each system's own: the folder and the handles it holds.
    struct system;
    std::unique_ptr<system> d;
    std::shared_ptr<listOrigin> origin;
};

#endif // FILEPLACE_H
