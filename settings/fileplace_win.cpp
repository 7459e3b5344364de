// The shared file on Windows. Its folder (C:\ProgramData\transport-settings as installed) may be
// written by a whole group, whose members can put links, junctions and other files in its way. So
// the path is walked once, a link or junction followed only when an administrator or the saver
// owns it, and the folders on the way are held open so that nobody can rename them or swap them
// for a junction while the file is saved. ReplaceFileW puts the new file in place and keeps the
// old one's access list (ACL), owner and attributes; what a failure of it leaves is set right at
// once, and what a killed save leaves, by the next save. The writers' lock is made as Qt's
// QLockFile makes it, so that editors of earlier builds keep out of the way.
#include "fileplace.h"
#include "fileplace_win.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QThread>

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

std::function<void(const QString &)> filePlace::beforeReplace;

namespace {

// A lock that no live writer holds is another writer's leftover once it is this old, or at once
// when it names a process that is gone.
const int StaleLockMs = 1000;

// As many links as the system follows on one path.
const int MaxLinks = 63;

// How long a replace that another program's handle gets in the way of is tried again: virus
// scanners, indexers and backup agents open a new file for a moment right after it is written.
const int BusyRetryMs = 2000;

// What the names of the new file and of the old one's backup get, and a random tail.
const char newSuffix[] = ".new-";
const char oldSuffix[] = ".old-";
const int tailLength = 6;
const char tailLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

class handle
{
public:
    explicit handle(HANDLE h = INVALID_HANDLE_VALUE) : h(h) { }
    ~handle() { reset(); }
    handle(const handle &) = delete;
    handle &operator=(const handle &) = delete;
    void reset(HANDLE other = INVALID_HANDLE_VALUE)
    {
        if (valid())
            ::CloseHandle(h);
        h = other;
    }
    HANDLE release()
    {
        const HANDLE taken = h;
        h = INVALID_HANDLE_VALUE;
        return taken;
    }
    bool valid() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    HANDLE h;
};

// Opens what is at `path` itself, never what a link or junction there points to.
HANDLE openItself(const QString &path, DWORD access, DWORD share = shareAll)
{
    return ::CreateFileW(native(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool tagInfo(HANDLE h, FILE_ATTRIBUTE_TAG_INFO *info)
{
    return ::GetFileInformationByHandleEx(h, FileAttributeTagInfo, info, sizeof *info);
}

// A plain file: no folder, and no reparse point of any kind.
bool isPlainFile(HANDLE h)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    return tagInfo(h, &info) && ::GetFileType(h) == FILE_TYPE_DISK
        && !(info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// Deletes the file that the handle (opened with DELETE access) is, whatever its name now.
bool deleteByHandle(HANDLE h)
{
    FILE_DISPOSITION_INFO disposition = { TRUE };
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
}

// Deletes the plain file at `path`; a link, a junction or a folder put there is left alone.
bool deletePlainFile(const QString &path)
{
    const handle file(openItself(path, DELETE | FILE_READ_ATTRIBUTES));
    return file.valid() && isPlainFile(file.h) && deleteByHandle(file.h);
}

QString randomTail()
{
    QString tail;
    for (int i = 0; i < tailLength; ++i)
        tail += QLatin1Char(tailLetters[QRandomGenerator::global()->bounded(int(sizeof tailLetters) - 1)]);
    return tail;
}

// Errors that another program's handle on either file causes for a moment. ReplaceFileW reports
// such a handle on the old file as "unable to remove replaced", and on the new one as "unable to
// move replacement", both names left as they were.
bool isBusy(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
        || error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

// Runs `attempt` until it succeeds, fails otherwise than for a busy file, or BusyRetryMs have gone,
// waiting a little longer each time.
bool retryWhileBusy(const std::function<bool(DWORD *)> &attempt)
{
    const QDeadlineTimer deadline(BusyRetryMs);
    unsigned long pause = 25;
    for (;;) {
        DWORD error = ERROR_SUCCESS;
        if (attempt(&error))
            return true;
        if (!isBusy(error) || deadline.hasExpired())
            return false;
        QThread::msleep(std::min<qint64>(pause, std::max<qint64>(deadline.remainingTime(), 1)));
        pause = std::min(pause * 2, 400ul);
    }
}

// Moves a file to a name where nothing is, trying again while it is busy.
bool moveToFreeName(const QString &from, const QString &to)
{
    return retryWhileBusy([&](DWORD *error) {
        if (::MoveFileExW(native(from).c_str(), native(to).c_str(), MOVEFILE_WRITE_THROUGH))
            return true;
        *error = ::GetLastError();
        return false;
    });
}

QString accountName(PSID sid)
{
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return domainSize ? QString::fromWCharArray(domain) + QLatin1Char('\\') + QString::fromWCharArray(name)
                          : QString::fromWCharArray(name);
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    ::LocalFree(text);
    return result;
}

// Splits an absolute path with / separators into its root ("C:/", "//server/share/",
// "//?/Volume{...}/") and the rest; false for a path with no root.
bool splitRoot(QString path, QString *root, QString *rest)
{
    if (path.startsWith(QLatin1String("//?/")) || path.startsWith(QLatin1String("//./"))) {
        path.remove(0, 4);
        if (path.startsWith(QLatin1String("UNC/"), Qt::CaseInsensitive))
            path.replace(0, 4, QLatin1String("//"));
        else if (!(path.size() >= 2 && path[1] == QLatin1Char(':')))
            path.prepend(QLatin1String("//?/"));
    }
    qsizetype end = -1;
    if (path.size() >= 3 && path[0].isLetter() && path[1] == QLatin1Char(':') && path[2] == QLatin1Char('/')) {
        end = 3;
    } else if (path.startsWith(QLatin1String("//?/"))) {
        end = path.indexOf(QLatin1Char('/'), 4);
        end = end < 0 ? path.size() : end + 1;
    } else if (path.startsWith(QLatin1String("//"))) {
        const qsizetype share = path.indexOf(QLatin1Char('/'), 2);
        if (share <= 2)
            return false;
        end = path.indexOf(QLatin1Char('/'), share + 1);
        end = end < 0 ? path.size() : end + 1;
    }
    if (end < 0)
        return false;
    *root = path.left(end);
    if (!root->endsWith(QLatin1Char('/')))
        *root += QLatin1Char('/');
    *rest = path.mid(end);
    return true;
}

void prependParts(std::deque<QString> &parts, const QString &path)
{
    const QStringList split = path.split(QLatin1Char('/'));
    for (auto part = split.crbegin(); part != split.crend(); ++part) {
        if (!part->isEmpty() && *part != QLatin1String("."))
            parts.push_front(*part);
    }
}

// What a lock file says of its holder, as QLockFile writes it: process id, program, host.
struct lockOwner
{
    qint64 pid = 0;
    QString program;
    QString host;
};

lockOwner ownerOf(HANDLE file)
{
    lockOwner owner;
    char text[4096];
    DWORD size = 0;
    OVERLAPPED at = {};
    if (!::ReadFile(file, text, sizeof text, &size, &at))
        size = 0;
    const QList<QByteArray> lines = QByteArray(text, int(size)).split('\n');
    if (lines.size() >= 3) {
        owner.pid = lines[0].toLongLong();
        owner.program = QString::fromUtf8(lines[1]);
        owner.host = QString::fromUtf8(lines[2]);
    }
    return owner;
}

bool isRunning(qint64 pid)
{
    const handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid)));
    DWORD code = 0;
    return process.valid() && ::GetExitCodeProcess(process.h, &code) && code == STILL_ACTIVE;
}

// The name QLockFile gives a program: its executable's, without folder and extension.
QString programName()
{
    QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

bool isStale(HANDLE file, const lockOwner &owner)
{
    const QString here = qEnvironmentVariable("COMPUTERNAME");
    if ((owner.host.isEmpty() || owner.host == here) && owner.pid > 0 && !isRunning(owner.pid))
        return true;
    FILETIME written;
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    if (!::GetFileTime(file, nullptr, nullptr, &written))
        return false;
    const auto ticks = [](const FILETIME &time) {
        return (qint64(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return qAbs(ticks(now) - ticks(written)) / 10000 > StaleLockMs;
}

bool writeAll(HANDLE file, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        DWORD done = 0;
        const DWORD chunk = DWORD(std::min<qint64>(left, 1 << 24));
        if (!::WriteFile(file, data, chunk, &done, nullptr) || done == 0)
            return false;
        data += done;
        left -= done;
    }
    return true;
}

} // namespace

namespace windowsLinks {

bool mayFollow(void *ownerSid)
{
    const PSID owner = static_cast<PSID>(ownerSid);
    if (!owner || !::IsValidSid(owner))
        return false;
    if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(owner, WinLocalSystemSid))
        return true;
    PSID installer = nullptr;
    if (::ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer)) {
        const bool same = ::EqualSid(owner, installer);
        ::LocalFree(installer);
        if (same)
            return true;
    }
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    const bool saver = ::GetTokenInformation(token, TokenUser, user, sizeof user, &size)
        && ::EqualSid(owner, reinterpret_cast<TOKEN_USER *>(user)->User.Sid);
    ::CloseHandle(token);
    return saver;
}

QString target(const QByteArray &reparseData)
{
    // REPARSE_DATA_BUFFER, which MinGW's headers do not declare: tag, length, reserved, then the
    // offsets and lengths (in bytes) of the substitute and print names, for a symbolic link its
    // flags, and the names.
    struct header
    {
        ULONG tag;
        USHORT length, reserved;
        USHORT substituteOffset, substituteLength, printOffset, printLength;
    };
    const qsizetype size = reparseData.size();
    if (size < qsizetype(sizeof(header)))
        return QString();
    header h;
    std::memcpy(&h, reparseData.constData(), sizeof h);
    qsizetype names = sizeof h;
    ULONG flags = 0;
    if (h.tag == IO_REPARSE_TAG_SYMLINK) {
        if (size < names + qsizetype(sizeof flags))
            return QString();
        std::memcpy(&flags, reparseData.constData() + names, sizeof flags);
        names += sizeof flags;
    } else if (h.tag != IO_REPARSE_TAG_MOUNT_POINT) {
        return QString();
    }
    if (h.substituteLength == 0 || h.substituteLength % 2 || h.substituteOffset % 2
        || names + h.substituteOffset + h.substituteLength > size)
        return QString();
    QString name(h.substituteLength / 2, Qt::Uninitialized);
    std::memcpy(name.data(), reparseData.constData() + names + h.substituteOffset, h.substituteLength);
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const ULONG relative = 1; // SYMLINK_FLAG_RELATIVE
    if (h.tag == IO_REPARSE_TAG_SYMLINK && (flags & relative))
        return name.startsWith(QLatin1Char('/')) ? QString() : name;
    // An absolute target is an NT path: \??\C:\x, \??\UNC\server\share\x, \??\Volume{...}\x.
    if (!name.startsWith(QLatin1String("/?" "?/")))
        return QString();
    name.replace(0, 4, QLatin1String("//?/"));
    QString root, rest;
    return splitRoot(name, &root, &rest) ? root + rest : QString();
}

} // namespace windowsLinks

filePlace::filePlace(const QString &path, const QString &failed)
    : failed(failed)
{
    QString root, rest;
    if (path.isEmpty() || !QDir::isAbsolutePath(path)
        || !splitRoot(QDir::cleanPath(QDir::fromNativeSeparators(path)), &root, &rest)) {
        problem = failed;
        return;
    }
    // Every part is opened as itself: a link or junction is followed only when an administrator,
    // SYSTEM, TrustedInstaller or the saver owns it, as read through its own handle. Every folder
    // on the way stays open without sharing deletion, so that no one renames or deletes it (and
    // puts a junction in its place) while this object lives.
    std::deque<QString> parts;
    prependParts(parts, rest);
    QString current = root;
    int links = 0;
    while (!parts.empty()) {
        const QString part = parts.front();
        parts.pop_front();
        if (part == QLatin1String("..")) {
            const qsizetype slash = current.lastIndexOf(QLatin1Char('/'), -2);
            if (current.size() > root.size() && slash >= root.size() - 1)
                current.truncate(slash + 1);
            continue;
        }
        const bool last = parts.empty();
        const QString next = current + part;
        // A folder is held without sharing deletion (one that somebody holds for deletion
        // right now is not walked through); the file itself is only looked at, and may be
        // replaced by another writer meanwhile.
        handle item(openItself(next, FILE_READ_ATTRIBUTES | READ_CONTROL,
                               last ? shareAll : FILE_SHARE_READ | FILE_SHARE_WRITE));
        FILE_ATTRIBUTE_TAG_INFO info;
        if (!item.valid() || !tagInfo(item.h, &info)) {
            const DWORD error = ::GetLastError();
            if (last && !item.valid() && error == ERROR_FILE_NOT_FOUND)
                this->path = next; // no file yet: a save makes it
            else
                problem = failed;
            return;
        }
        if (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (info.ReparseTag != IO_REPARSE_TAG_SYMLINK && info.ReparseTag != IO_REPARSE_TAG_MOUNT_POINT) {
                // A file that a cloud or deduplication service keeps is a file; any other kind of
                // link is not followed.
                if (IsReparseTagNameSurrogate(info.ReparseTag)) {
                    problem = failed;
                    return;
                }
            } else {
                PSID owner = nullptr;
                PSECURITY_DESCRIPTOR descriptor = nullptr;
                if (::GetSecurityInfo(item.h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                      nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
                    problem = failed;
                    return;
                }
                const bool follow = windowsLinks::mayFollow(owner);
                const QString ownerName = accountName(owner);
                ::LocalFree(descriptor);
                if (!follow) {
                    refuse(tr("символическая ссылка %1 принадлежит пользователю %2, а её папку могут "
                              "изменять и другие пользователи; по такой ссылке редактор не переходит")
                               .arg(shown(next), ownerName));
                    return;
                }
                QByteArray data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, '\0');
                DWORD size = 0;
                const QString target = ::DeviceIoControl(item.h, FSCTL_GET_REPARSE_POINT, nullptr, 0,
                                                         data.data(), DWORD(data.size()), &size, nullptr)
                    ? windowsLinks::target(data.left(int(size)))
                    : QString();
                if (++links > MaxLinks || target.isEmpty()) {
                    if (target.isEmpty())
                        problem = failed;
                    else
                        refuse(tr("на пути к файлу больше %1 символических ссылок, или они замыкаются в "
                                  "петлю")
                                   .arg(MaxLinks));
                    return;
                }
                QString targetRoot, targetRest;
                if (splitRoot(target, &targetRoot, &targetRest)) {
                    root = targetRoot;
                    current = targetRoot;
                    prependParts(parts, targetRest);
                } else {
                    prependParts(parts, target);
                }
                continue;
            }
        }
        if (last) {
            // Whatever it is: read() and replace() look at it again, without following it.
            this->path = next;
            return;
        }
        if (!(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            problem = failed;
            return;
        }
        folders.push_back(item.release());
        current = next + QLatin1Char('/');
    }
    // The path ends in a folder.
    problem = failed;
}

void filePlace::refuse(const QString &why)
{
    reason = why;
    problem = failed + QLatin1String(": ") + why;
}

filePlace::~filePlace()
{
    unlock();
    for (void *folder : folders)
        ::CloseHandle(folder);
}

// Whether a backup of the list lies beside it: between the two renames of another writer's
// replace, or after a save killed there.
static bool backupBeside(const QString &path)
{
    WIN32_FIND_DATAW found;
    const std::wstring pattern = native(path + QLatin1String(oldSuffix) + QLatin1Char('*'));
    const HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    ::FindClose(search);
    return true;
}

filePlace::content filePlace::read(QByteArray *bytes)
{
    // Under the lock, lock() has put back a list that a killed save left under its backup name.
    if (lockFile)
        return readOnce(bytes);
    // ReplaceFileW (Wine's at least) moves the old list to its backup name before it moves the new
    // one in: a list missing beside a backup is there again a moment later, or, after a save that
    // was killed in between, once the lock's holder has put the backup back. Never an empty table
    // that a Save would then write over the list.
    const QDeadlineTimer deadline(BusyRetryMs);
    for (;;) {
        content found = readOnce(bytes);
        if (found != missing)
            return found;
        if (!backupBeside(path)) {
            // The replace that had the list away may have ended, and taken its backup, in between.
            found = readOnce(bytes);
            if (found != missing || !backupBeside(path))
                return found;
        }
        if (deadline.hasExpired())
            break;
        QThread::msleep(25);
    }
    if (!lock(BusyRetryMs).isEmpty())
        return notAFile;
    const content found = readOnce(bytes);
    unlock();
    return found;
}

filePlace::content filePlace::readOnce(QByteArray *bytes)
{
    // Another writer's ReplaceFileW, or a scanner, may hold the list without sharing it for a moment.
    handle file;
    DWORD error = ERROR_SUCCESS;
    retryWhileBusy([&](DWORD *why) {
        file.reset(::CreateFileW(native(path).c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        error = *why = file.valid() ? ERROR_SUCCESS : ::GetLastError();
        return file.valid();
    });
    if (!file.valid())
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? missing : notAFile;
    LARGE_INTEGER size;
    if (!isPlainFile(file.h) || !::GetFileSizeEx(file.h, &size))
        return notAFile;
    if (size.QuadPart > MaxBytes)
        return tooLarge;
    bytes->clear();
    bytes->reserve(qsizetype(size.QuadPart));
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.h, buffer, sizeof buffer, &got, nullptr))
            return unreadable;
        if (got == 0)
            return regular;
        // A file that said it was small may still grow while it is read: never more than the limit.
        if (bytes->size() + qsizetype(got) > MaxBytes)
            return tooLarge;
        bytes->append(buffer, qsizetype(got));
    }
}

QString filePlace::lock(int waitMs)
{
    const QString lockName = path + QLatin1String(".lock");
    const std::wstring lockNative = native(lockName);
    const QString cannotTake = tr("%1: файл заблокирован, файл блокировки %2 не удаётся ни занять, ни удалить")
                                   .arg(failed, shown(lockName));
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        // Made and held as QLockFile makes and holds it: created new, shared for reading only,
        // so that a live holder's lock can be neither deleted nor opened for deletion.
        handle made(::CreateFileW(lockNative.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (made.valid()) {
            const QByteArray owner = QByteArray::number(QCoreApplication::applicationPid()) + '\n'
                + programName().toUtf8() + '\n' + qEnvironmentVariable("COMPUTERNAME").toUtf8() + '\n'
                + QSysInfo::machineUniqueId() + '\n' + QSysInfo::bootUniqueId() + '\n';
            if (!writeAll(made.h, owner) || !::FlushFileBuffers(made.h)) {
                deleteByHandle(made.h); // a full disk: nothing is left behind
                return failed;
            }
            lockFile = made.release();
            recover();
            return QString();
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED
            && error != ERROR_SHARING_VIOLATION)
            return failed; // the folder may not be written

        // Somebody's lock, looked at as itself. Only a lock that no live writer holds open can be
        // opened for deletion.
        handle held(openItself(lockName, GENERIC_READ | DELETE));
        const bool free = held.valid();
        if (!free) {
            const DWORD why = ::GetLastError();
            if (why == ERROR_FILE_NOT_FOUND)
                continue;
            if (why == ERROR_SHARING_VIOLATION)
                held.reset(openItself(lockName, GENERIC_READ));
        }
        if (!held.valid() && ::GetLastError() == ERROR_ACCESS_DENIED && !deadline.hasExpired()) {
            // A lock just released and still open somewhere: it is deleted when that handle closes.
            QThread::msleep(50);
            continue;
        }
        if (!held.valid() || !isPlainFile(held.h))
            return cannotTake;
        const lockOwner owner = ownerOf(held.h);
        if (free && isStale(held.h, owner)) {
            if (!deleteByHandle(held.h))
                return cannotTake;
            held.reset(); // gone once closed
            continue;
        }
        if (deadline.hasExpired()) {
            if (owner.pid <= 0)
                return cannotTake;
            return tr("%1: файл заблокирован процессом %2 (%3) на компьютере %4, файл блокировки %5")
                .arg(failed, QString::number(owner.pid), owner.program, owner.host, shown(lockName));
        }
        QThread::msleep(50);
    }
}

void filePlace::unlock()
{
    if (!lockFile)
        return;
    deleteByHandle(lockFile);
    ::CloseHandle(lockFile);
    lockFile = nullptr;
}

// What a save killed half-way left behind, found under the lock, when no other save of this
// program is under way: new files, and backups of the old list. A list that a killed replace had
// moved to its backup name and not yet replaced comes back from there.
void filePlace::recover()
{
    const QFileInfo list(path);
    QStringList news, olds;
    WIN32_FIND_DATAW found;
    const std::wstring pattern = native(path + QLatin1String(".*"));
    const HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        const qsizetype tail = list.fileName().size() + int(sizeof newSuffix) - 1;
        if (name.size() != tail + tailLength || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        const QString prefix = name.left(tail);
        if (prefix.compare(list.fileName() + QLatin1String(newSuffix), Qt::CaseInsensitive) == 0)
            news << list.path() + QLatin1Char('/') + name;
        else if (prefix.compare(list.fileName() + QLatin1String(oldSuffix), Qt::CaseInsensitive) == 0)
            olds << list.path() + QLatin1Char('/') + name;
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);

    if (!olds.isEmpty() && ::GetFileAttributesW(native(path).c_str()) == INVALID_FILE_ATTRIBUTES
        && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        // The newest backup is the list that the killed save was replacing.
        std::sort(olds.begin(), olds.end(), [](const QString &a, const QString &b) {
            return QFileInfo(a).lastModified() > QFileInfo(b).lastModified();
        });
        bool plain;
        {
            const handle backup(openItself(olds.first(), FILE_READ_ATTRIBUTES));
            plain = backup.valid() && isPlainFile(backup.h);
        }
        if (plain && moveToFreeName(olds.first(), path))
            olds.removeFirst();
    }
    for (const QString &name : news + olds)
        deletePlainFile(name);
}

QString filePlace::replace(const QByteArray &bytes, QStringList *lost)
{
    DWORD attributes = 0;
    bool existed = false;
    {
        const handle old(openItself(path, FILE_READ_ATTRIBUTES));
        if (old.valid()) {
            FILE_ATTRIBUTE_TAG_INFO info;
            if (!isPlainFile(old.h) || !tagInfo(old.h, &info))
                return failed;
            attributes = info.FileAttributes;
            existed = true;
        } else if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
            return failed;
        }
    }
    // A read-only file is one that its owner does not want changed.
    if (existed && (attributes & FILE_ATTRIBUTE_READONLY))
        return failed;

    QString newName;
    handle out;
    for (int attempt = 0; attempt < 100 && !out.valid(); ++attempt) {
        newName = path + QLatin1String(newSuffix) + randomTail();
        out.reset(::CreateFileW(native(newName).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out.valid() && ::GetLastError() != ERROR_FILE_EXISTS)
            return failed;
    }
    if (!out.valid())
        return failed; // every name taken: none of them is ours to remove
    // Wine's ReplaceFileW does not keep the attributes (hidden, not indexed ...), so the new file
    // gets them first; Windows' keeps them anyway.
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE
        | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (!writeAll(out.h, bytes) || !::FlushFileBuffers(out.h)) {
        deleteByHandle(out.h); // a full disk: nothing is left behind
        return failed;
    }
    if (existed && (attributes & kept)) {
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = attributes & kept;
        if (!::SetFileInformationByHandle(out.h, FileBasicInfo, &basic, sizeof basic))
            lost->append(tr("его атрибуты не сохранены"));
    }
    out.reset();
    if (beforeReplace)
        beforeReplace(newName);

    // The old list goes to a backup name of its own, so that whatever ReplaceFileW fails to do,
    // the list is found again: the old one or the new one, never neither.
    const QString backupName = path + QLatin1String(oldSuffix) + randomTail();
    const std::wstring target = native(path), replacement = native(newName), backup = native(backupName);
    bool done;
    if (existed) {
        bool half = false;
        done = retryWhileBusy([&](DWORD *error) {
            if (::ReplaceFileW(target.c_str(), replacement.c_str(), backup.c_str(),
                               REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
                return true;
            *error = ::GetLastError();
            // The old list is under the backup name, the new file under its own.
            half = *error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
            return false;
        });
        if (half)
            done = moveToFreeName(newName, path);
    } else {
        done = moveToFreeName(newName, path);
    }
    if (!done) {
        // Whatever was half done: the old list back at its name, the new file gone.
        if (existed && ::GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES)
            moveToFreeName(backupName, path);
        deletePlainFile(newName);
        return failed;
    }
    deletePlainFile(backupName);
    unlock();
    return QString();
}
