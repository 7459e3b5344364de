// The system's half of the shared file: where it lies, the writers' lock beside it, its bytes, and
// the new file that takes its place. Each system has its own filePlace; nothing else differs.
#ifndef FILEPLACE_H
#define FILEPLACE_H

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#ifdef Q_OS_WIN
#include <functional>
#include <vector>
#else
#include <signal.h>
#endif

class filePlace
{
    Q_DECLARE_TR_FUNCTIONS(sharedFile)

public:
    // Finds the file at `path`; problem says why it may not be reached. `failed` opens every
    // message about a failed save.
    filePlace(const QString &path, const QString &failed);
    ~filePlace();
    filePlace(const filePlace &) = delete;
    filePlace &operator=(const filePlace &) = delete;

    enum content { missing, regular, notAFile };
    // Reads the file without waiting for anything and without following a link; `bytes` gets the
    // contents of a regular file.
    content read(QByteArray *bytes);

    // Takes the writers' lock, waiting up to `waitMs` for another writer; returns why not.
    QString lock(int waitMs);

    // Writes `bytes` to a new file beside the old one, gives it the old one's owner, group, mode,
    // ACL, attributes and flags, and renames it over the old one; returns why not. `lost` gets what
    // of the old permissions the new file could not keep.
    QString replace(const QByteArray &bytes, QStringList *lost);

    QString problem;

    // Where the store's private copies go: a folder of the system's that nobody can take from
    // this process once it has a folder of its own in it.
    static QString storeFolder();

#ifdef Q_OS_WIN
    // For tests: called with the new file's name after it is written and closed, just before it
    // takes the old one's place.
    static std::function<void(const QString &)> beforeReplace;
#endif

private:
    void unlock();

    QString failed;
#ifdef Q_OS_WIN
    void recover();

    QString path;                // the file, every link on the way resolved
    std::vector<void *> folders; // the folders on the way, held so that none is renamed or deleted
    void *lockFile = nullptr;    // the lock's handle, while this object holds it
#else
    void removeLeftovers();

    struct sigaction sizeSignal; // SIGXFSZ as it was before
    int folder = -1;   // the folder that holds the file, opened once
    QByteArray name;   // the file's name in it
    int file = -1;     // the file as it was read: where the permissions come from
    int lockFile = -1; // the lock, while this object holds it
#endif
};

#endif // FILEPLACE_H
