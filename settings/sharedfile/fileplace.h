// The system's half of the shared file: where it lies, the writers' lock beside it, its bytes, and
// the new file that takes its place. Each system defines these in fileplace_<system>.cpp, with
// what it holds in filePlace::system; nothing else differs.
#ifndef FILEPLACE_H
#define FILEPLACE_H

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <memory>

// The list as the window's rows were loaded from it, each system's own: on Linux it stays open,
// so that a save can give the new list that file's access even when the path holds another file
// by then, or none; on Windows a save is refused unless the list at the path is still that file,
// known by its volume serial and file ID, and takes that file's access.
class listOrigin;

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

// Text that others chose (file, folder and user names, a lock's lines) as a message shows it:
// control, format and separator characters are written as \uXXXX, so that nobody but us lays
// out the message.
QString shownText(const QString &text);

// The system's words for an error code (errno on Linux, GetLastError() on Windows), with its
// symbolic name or number: "Permission denied (EACCES)".
QString systemReason(long error);
// The code of the last system call's error: errno or GetLastError().
long lastSystemError();

class filePlace
{
    Q_DECLARE_TR_FUNCTIONS(sharedFile)

public:
    // Finds the file at `path`; problem says why it may not be reached, and reason the same
    // without `failed`, which opens every message about a failed save.
    filePlace(const QString &path, const QString &failed);
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
    QString lock(int waitMs);

    // Writes `bytes` to a new file beside the old one, gives it the old one's owner, group, mode,
    // ACL, attributes and flags, and renames it over the old one; returns why not. `lost` gets what
    // of the old permissions the new file could not keep.
    QString replace(const QByteArray &bytes, QStringList *lost);

    // Why a save is refused when the list at the path is no longer the file the window's rows
    // came from: moved, replaced, removed, or made while there was none at the load.
    QString changedSinceLoad() const
    {
        return tr("%1: после того как окно загрузило список, файл переместили, заменили, удалили или "
                  "создали; редактор не сохраняет таблицу в другой файл. Запустите редактор снова, "
                  "чтобы загрузить список")
            .arg(failed);
    }
    // `failed` with the system's reason for `step` (a description such as "не удалось создать
    // блокировку"), from the error code of the last system call: errno on Linux, GetLastError()
    // on Windows.
    QString failedWith(const QString &step, long error) const;

    QString problem;
    QString reason;

private:
    void unlock();
    void removeLeftovers();
    void refuse(const QString &why);

    // Each system's own: the folder and the handles it holds.
    struct system;
    std::unique_ptr<system> d;
    std::shared_ptr<listOrigin> origin;
    QString failed;
};

#endif // FILEPLACE_H
