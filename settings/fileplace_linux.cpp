// The shared file on Linux. Its folder may be writable by a whole group, whose members
// can put links, FIFOs and other files in its way at any moment, while root saves. So the path is
// walked once, a link followed only when nobody else could have planted it, and everything after
// that acts on the folder's descriptor: nothing is opened that could block, nothing is followed,
// and the new file has its permissions before one rename puts it in place.
#include "fileplace.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QThread>

#include <acl/libacl.h>
#include <attr/error_context.h>
#include <attr/libattr.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>

#ifdef Q_OS_LINUX
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace {

// As many links as the kernel follows on one path before it gives up with ELOOP.
const int MaxLinks = 40;

// A lock that no live writer holds is another writer's leftover once it is this old, or at once
// when it names a process that is gone.
const int StaleLockMs = 1000;

// The name of a save's own folder beside the list: the list's name, this, and a random tail.
const char newSuffix[] = ".new-";
// The new file's name in a save's own folder beside the list.
const char stagedName[] = "new";
const int newTailLength = 6;
const char newLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

class descriptor
{
public:
    explicit descriptor(int fd = -1) : fd(fd) { }
    ~descriptor() { reset(); }
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    void reset(int other = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = other;
    }
    int release()
    {
        const int taken = fd;
        fd = -1;
        return taken;
    }
    int fd;
};

QString userName(uid_t user)
{
    if (const struct passwd *entry = ::getpwuid(user))
        return QString::fromLocal8Bit(entry->pw_name);
    return QString::number(user);
}

QString groupName(gid_t group)
{
    if (const struct group *entry = ::getgrgid(group))
        return QString::fromLocal8Bit(entry->gr_name);
    return QString::number(group);
}

// The folder's path as the system knows it now, for messages only.
QByteArray folderPath(int folder)
{
    QByteArray path(4096, '\0');
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(folder);
    const ssize_t size = ::readlink(link.constData(), path.data(), size_t(path.size()));
    path.resize(size > 0 ? int(size) : 0);
    return path == "/" ? QByteArray() : path;
}

QString shownName(int folder, const QByteArray &name)
{
    return QDir::toNativeSeparators(QFile::decodeName(folderPath(folder) + '/' + name));
}

// The parts of a path that move along it: "" and "." do not.
void prependParts(std::deque<QByteArray> &parts, const QByteArray &path)
{
    const QList<QByteArray> split = path.split('/');
    for (auto part = split.crbegin(); part != split.crend(); ++part) {
        if (!part->isEmpty() && *part != ".")
            parts.push_front(*part);
    }
}

// Reads at most `limit` bytes: 0 when that was all, 1 when there is more, -1 on a read error.
int readAll(int fd, qint64 limit, QByteArray *bytes)
{
    bytes->clear();
    struct stat status;
    if (::fstat(fd, &status) == 0 && status.st_size > 0)
        bytes->reserve(qsizetype(qMin<qint64>(status.st_size, limit)) + 1);
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            if (bytes->size() + got > limit)
                return 1;
            bytes->append(buffer, qsizetype(got));
        } else if (got == 0) {
            return 0;
        } else if (errno != EINTR) {
            return -1;
        }
    }
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t done = ::write(fd, data, size_t(left));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        left -= done;
    }
    return true;
}

// What a lock file says of its holder, as Qt's QLockFile writes it: process id, program, host.
struct lockOwner
{
    qint64 pid = 0;
    QString program;
    QString host;
};

lockOwner ownerOf(int fd)
{
    lockOwner owner;
    char text[4096];
    const ssize_t size = ::pread(fd, text, sizeof text, 0);
    const QList<QByteArray> lines = QByteArray(text, size > 0 ? int(size) : 0).split('\n');
    if (lines.size() >= 3) {
        owner.pid = lines[0].toLongLong();
        owner.program = QString::fromUtf8(lines[1]);
        owner.host = QString::fromUtf8(lines[2]);
    }
    return owner;
}

bool isStale(const lockOwner &owner, const struct stat &status)
{
    const bool here = owner.host.isEmpty() || owner.host == QSysInfo::machineHostName();
    if (here && owner.pid > 0 && ::kill(pid_t(owner.pid), 0) != 0 && errno == ESRCH)
        return true;
    const qint64 made = qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000;
    return qAbs(QDateTime::currentMSecsSinceEpoch() - made) > StaleLockMs;
}

// Collects the messages that libacl and libattr give for what they could not copy.
struct copyErrors
{
    struct error_context context = { &copyErrors::add, nullptr, nullptr };
    QStringList messages;

    static void add(struct error_context *context, const char *format, ...)
    {
        const int error = errno;
        char text[512];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(text, sizeof text, format, arguments);
        va_end(arguments);
        auto *self = reinterpret_cast<copyErrors *>(context);
        self->messages.append(QString::fromLocal8Bit(text) + QLatin1String(": ")
                              + QString::fromLocal8Bit(std::strerror(error)));
    }
};
static_assert(offsetof(copyErrors, context) == 0, "libacl and libattr hand back the context");

#if defined(FS_IOC_GETFLAGS) && defined(FS_IOC_SETFLAGS)
// The attribute flags (chattr) that a new file can take over. Immutable and append-only are not
// among them: a file that has either cannot be replaced in the first place.
const int copiedFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL
    | FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL
    | FS_PROJINHERIT_FL;

// Before any data is written: some flags (no copy-on-write) take effect only on an empty file.
bool copyFlags(int from, int to)
{
    int old = 0, now = 0;
    if (::ioctl(from, FS_IOC_GETFLAGS, &old) != 0)
        return true; // the file system keeps no flags
    if (::ioctl(to, FS_IOC_GETFLAGS, &now) != 0)
        return (old & copiedFlags) == 0;
    const int wanted = (now & ~copiedFlags) | (old & copiedFlags);
    return wanted == now || ::ioctl(to, FS_IOC_SETFLAGS, &wanted) == 0;
}
#else
bool copyFlags(int, int)
{
    return true;
}
#endif

// Removes a save's own folder for its new file, `status` its identity: the file in it, then the
// folder, while that name is still that folder; nothing else, and nothing is followed.
void removeStage(int folder, const QByteArray &stageName, const struct stat &status)
{
    descriptor stage(::openat(folder, stageName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat now;
    if (stage.fd < 0 || ::fstat(stage.fd, &now) != 0 || now.st_dev != status.st_dev
        || now.st_ino != status.st_ino)
        return;
    ::unlinkat(stage.fd, stagedName, 0);
    ::unlinkat(folder, stageName.constData(), AT_REMOVEDIR);
}

} // namespace

filePlace::filePlace(const QString &path, const QString &failed)
    : failed(failed)
{
    // A file beyond the size limit (ulimit -f) must fail to be written, not end the program
    // with the table's unsaved rows; single-threaded, the program can set this for a while.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &sizeSignal);

    if (path.isEmpty() || !QDir::isAbsolutePath(path)) {
        problem = failed;
        return;
    }
    folder = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    // Whether anybody but root and this user may have put or changed what lies in `folder`: when
    // they may write it, or it was reached through a folder they may write, where they could have
    // renamed a folder of their own or another's into the path.
    const uid_t me = ::geteuid();
    const auto othersMayWrite = [me](int fd) {
        struct stat status;
        return ::fstat(fd, &status) != 0 || (status.st_uid != 0 && status.st_uid != me)
            || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    };
    bool others = othersMayWrite(folder);
    std::deque<QByteArray> parts;
    prependParts(parts, QFile::encodeName(path));
    int links = 0;
    while (!parts.empty() && folder >= 0) {
        const QByteArray part = parts.front();
        parts.pop_front();
        if (part == "..") {
            descriptor parent(::openat(folder, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            std::swap(folder, parent.fd);
            others = others || othersMayWrite(folder);
            continue;
        }
        const bool last = parts.empty();
        descriptor next(::openat(folder, part.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status;
        if (next.fd < 0 || ::fstat(next.fd, &status) != 0) {
            if (errno == ENOENT && last)
                name = part; // no file yet: a save makes it
            else
                problem = failed;
            return;
        }
        if (S_ISLNK(status.st_mode)) {
            // In a folder that others may change, a link is followed only when it is root's or
            // the user's own and has no other name: the kernel's protected_symlinks rule, widened
            // to group-writable folders and what lies below them, and closed to a hard link that
            // someone else made of root's link (possible where protected_hardlinks is off).
            if (others && status.st_uid != 0 && status.st_uid != me) {
                refuse(tr("символическая ссылка %1 принадлежит пользователю %2, а её папку могут "
                          "изменять и другие пользователи; по такой ссылке редактор не переходит")
                           .arg(shownName(folder, part), userName(status.st_uid)));
                return;
            }
            if (others && status.st_nlink != 1) {
                refuse(tr("у символической ссылки %1 пользователя %2 есть и другие имена (жёсткие "
                          "ссылки), а её папку могут изменять и другие пользователи; по такой "
                          "ссылке редактор не переходит")
                           .arg(shownName(folder, part), userName(status.st_uid)));
                return;
            }
            QByteArray target(4096, '\0');
            const ssize_t size = ::readlinkat(next.fd, "", target.data(), size_t(target.size()));
            if (++links > MaxLinks || size <= 0 || size >= target.size()) {
                if (size > 0)
                    refuse(tr("на пути к файлу больше %1 символических ссылок, или они замыкаются в "
                              "петлю")
                               .arg(MaxLinks));
                else
                    problem = failed;
                return;
            }
            target.resize(int(size));
            if (target.startsWith('/')) {
                // The link's own choice, walked anew from the root.
                descriptor root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                std::swap(folder, root.fd);
                others = othersMayWrite(folder);
            }
            prependParts(parts, target);
            continue;
        }
        if (last) {
            // Whatever it is: read() and replace() look at it again, without following it.
            name = part;
            return;
        }
        if (!S_ISDIR(status.st_mode)) {
            problem = failed;
            return;
        }
        std::swap(folder, next.fd);
        others = others || othersMayWrite(folder);
    }
    // The path ends in a folder, or a folder could not be opened.
    problem = failed;
}

void filePlace::refuse(const QString &why)
{
    reason = why;
    problem = failed + QLatin1String(": ") + why;
}

namespace {

// Opens a folder whose path nobody but root and this user can change: every folder on it is
// theirs and no link, and one that others may write is sticky, so that nobody can rename or
// remove what root or this user put in it.
int openUnchangeable(const QByteArray &path)
{
    if (!path.startsWith('/'))
        return -1;
    const uid_t me = ::geteuid();
    descriptor folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const auto safe = [me](int fd) {
        struct stat status;
        return fd >= 0 && ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)
            && (status.st_uid == 0 || status.st_uid == me)
            && ((status.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (status.st_mode & S_ISVTX) != 0);
    };
    if (!safe(folder.fd))
        return -1;
    for (const QByteArray &part : path.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..")
            return -1;
        folder.reset(::openat(folder.fd, part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!safe(folder.fd))
            return -1;
    }
    return folder.release();
}

} // namespace

// In memory where the system has a shared-memory folder: a private copy is thrown away after each
// load or save, and on disk it would be written out for nothing (a 10 MB list twice per save).
// Elsewhere the user's runtime folder or a temporary folder, whichever nobody else can change.
privateFolder::privateFolder()
{
    QList<QByteArray> candidates { "/dev/shm" };
    for (const char *variable : { "XDG_RUNTIME_DIR", "TMPDIR" }) {
        if (const char *value = ::getenv(variable))
            candidates.append(value);
    }
    candidates << "/tmp" << "/var/tmp";
    for (const QByteArray &candidate : candidates) {
        parent = openUnchangeable(candidate);
        for (int attempt = 0; parent >= 0 && attempt < 100; ++attempt) {
            name = "transport-settings-";
            for (int i = 0; i < newTailLength; ++i)
                name += newLetters[QRandomGenerator::global()->bounded(int(sizeof newLetters) - 1)];
            if (::mkdirat(parent, name.constData(), 0700) == 0) {
                self = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                struct stat status;
                if (self >= 0 && ::fstat(self, &status) == 0 && status.st_uid == ::geteuid()
                    && (status.st_mode & 0077) == 0) {
                    shown = QFile::decodeName(candidate + '/' + name);
                    return;
                }
                break;
            }
            if (errno != EEXIST)
                break;
        }
        remove();
    }
}

privateFolder::~privateFolder()
{
    remove();
}

void privateFolder::remove()
{
    if (self >= 0) {
        // What the store left: the copy, its lock, a temporary file. Nothing is followed, and a
        // folder in it, which the store never makes, stays.
        if (DIR *entries = ::fdopendir(::dup(self))) {
            while (const struct dirent *entry = ::readdir(entries)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    ::unlinkat(self, entry->d_name, 0);
            }
            ::closedir(entries);
        }
        ::close(self);
        self = -1;
        ::unlinkat(parent, name.constData(), AT_REMOVEDIR);
    }
    if (parent >= 0)
        ::close(parent);
    parent = -1;
}

filePlace::~filePlace()
{
    unlock();
    if (file >= 0)
        ::close(file);
    if (folder >= 0)
        ::close(folder);
    ::sigaction(SIGXFSZ, &sizeSignal, nullptr);
}

filePlace::content filePlace::read(QByteArray *bytes)
{
    if (file >= 0)
        ::close(file);
    // Without O_NONBLOCK the open of a FIFO would wait for a writer for ever.
    file = ::openat(folder, name.constData(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0)
        return errno == ENOENT ? missing : notAFile;
    struct stat status;
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(file);
        file = -1;
        return notAFile;
    }
    // A file that says it is small may still grow while it is read: never more than the limit.
    if (status.st_size > MaxBytes)
        return tooLarge;
    switch (readAll(file, MaxBytes, bytes)) {
    case 0:
        return regular;
    case 1:
        return tooLarge;
    default:
        return unreadable;
    }
}

void filePlace::keepAsOrigin()
{
    if (origin)
        origin->reset(file >= 0 ? ::fcntl(file, F_DUPFD_CLOEXEC, 0) : -1);
}

QString filePlace::lock(int waitMs)
{
    const QByteArray lockName = name + ".lock";
    const QString cannotTake
        = tr("%1: файл заблокирован, файл блокировки %2 не удаётся ни занять, ни удалить")
              .arg(failed, shownName(folder, lockName));
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        descriptor made(::openat(folder, lockName.constData(),
                                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
        if (made.fd >= 0) {
            // Held the way QLockFile holds its lock, so that Qt's writers see a live holder.
            ::flock(made.fd, LOCK_EX | LOCK_NB);
            const QByteArray owner = QByteArray::number(QCoreApplication::applicationPid()) + '\n'
                + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() + '\n'
                + QSysInfo::machineHostName().toUtf8() + '\n';
            if (!writeAll(made.fd, owner)) {
                ::unlinkat(folder, lockName.constData(), 0);
                return failed;
            }
            lockFile = made.release();
            return QString();
        }
        if (errno != EEXIST)
            return failed; // the folder may not be written

        // Somebody's lock, looked at without following a link or waiting for a FIFO.
        descriptor held(::openat(folder, lockName.constData(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat status;
        if (held.fd < 0 && errno == ENOENT)
            continue;
        if (held.fd < 0 || ::fstat(held.fd, &status) != 0 || !S_ISREG(status.st_mode))
            return cannotTake;
        const lockOwner owner = ownerOf(held.fd);
        // A live writer keeps its lock locked; what nobody holds may be a leftover.
        if (::flock(held.fd, LOCK_EX | LOCK_NB) == 0 && isStale(owner, status)) {
            struct stat now;
            if (::fstatat(folder, lockName.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
                && now.st_dev == status.st_dev && now.st_ino == status.st_ino
                && ::unlinkat(folder, lockName.constData(), 0) != 0)
                return cannotTake;
            continue;
        }
        if (deadline.hasExpired()) {
            if (owner.pid <= 0)
                return cannotTake;
            return tr("%1: файл заблокирован процессом %2 (%3) на компьютере %4, файл блокировки %5")
                .arg(failed, QString::number(owner.pid), owner.program, owner.host,
                     shownName(folder, lockName));
        }
        QThread::msleep(50);
    }
}

void filePlace::unlock()
{
    if (lockFile < 0)
        return;
    // Removed only while it is still the lock this object made.
    struct stat mine, now;
    const QByteArray lockName = name + ".lock";
    if (::fstat(lockFile, &mine) == 0
        && ::fstatat(folder, lockName.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
        && now.st_dev == mine.st_dev && now.st_ino == mine.st_ino)
        ::unlinkat(folder, lockName.constData(), 0);
    ::close(lockFile);
    lockFile = -1;
}

// What a save killed before its rename left behind: its folder for the new file, or, from earlier
// builds, a new file of its own. Only run under the lock: no other save of this program is under
// way then. Another user's leftovers stay for that user's next save.
void filePlace::removeLeftovers()
{
    DIR *entries = ::fdopendir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!entries)
        return;
    const QByteArray prefix = name + newSuffix;
    while (const struct dirent *entry = ::readdir(entries)) {
        const QByteArray entryName(entry->d_name);
        struct stat status;
        if (entryName.size() != prefix.size() + newTailLength || !entryName.startsWith(prefix)
            || ::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(status.st_mode))
            ::unlinkat(folder, entry->d_name, 0);
        else if (S_ISDIR(status.st_mode) && status.st_uid == ::geteuid())
            removeStage(folder, entryName, status);
    }
    ::closedir(entries);
}

QString filePlace::replace(const QByteArray &bytes, QStringList *lost)
{
    removeLeftovers();
    // The new file takes its permissions from the list as it is now when that is the file the
    // window's rows came from. When someone has removed or replaced it since, they come from the
    // file that was loaded, so that its rows never land in a file more open than it was; a list
    // that was not there when the window loaded gets those of a first file.
    struct stat old;
    int from = file >= 0 && ::fstat(file, &old) == 0 ? file : -1;
    if (origin) {
        struct stat loaded;
        const bool same = from >= 0 && origin->fd >= 0 && ::fstat(origin->fd, &loaded) == 0
            && loaded.st_dev == old.st_dev && loaded.st_ino == old.st_ino;
        if (!same)
            from = origin->fd >= 0 && ::fstat(origin->fd, &old) == 0 ? origin->fd : -1;
    }
    const bool existed = from >= 0;

    // The new file is made in a folder of this process's own beside the list, which nobody else
    // may enter, and renamed from there through that folder's descriptor: whatever others do to
    // the names in the list's folder meanwhile, only the file written here takes the list's place.
    const uid_t me = ::geteuid();
    QByteArray stageName;
    descriptor stage;
    for (int attempt = 0; attempt < 100 && stage.fd < 0; ++attempt) {
        stageName = name + newSuffix;
        for (int i = 0; i < newTailLength; ++i)
            stageName += newLetters[QRandomGenerator::global()->bounded(int(sizeof newLetters) - 1)];
        if (::mkdirat(folder, stageName.constData(), 0700) != 0) {
            if (errno != EEXIST)
                return failed;
            continue;
        }
        stage.reset(::openat(folder, stageName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat status;
        if (stage.fd < 0 || ::fstat(stage.fd, &status) != 0 || status.st_uid != me
            || (status.st_mode & 0077) != 0)
            return failed; // somebody put another folder in its place the moment it was made
    }
    if (stage.fd < 0)
        return failed;
    const char *const newName = stagedName;
    // The stage goes when the save has held, and with what is in it when it has not.
    const auto removeOwnStage = [&] {
        ::unlinkat(stage.fd, newName, 0);
        struct stat status;
        if (::fstat(stage.fd, &status) == 0)
            removeStage(folder, stageName, status);
    };
    const auto fail = [&] {
        removeOwnStage();
        return failed;
    };

    // Private when it replaces a file, until it has that file's permissions; a first file gets
    // the usual ones (umask, the folder's default ACL and group, which the stage has taken over).
    // Where the file system allows, it has no name at all until it is complete.
    const mode_t mode = existed ? 0600 : 0666;
#ifdef O_TMPFILE
    descriptor out(::openat(stage.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
#else
    descriptor out;
#endif
    const bool unnamed = out.fd >= 0;
    if (!unnamed)
        out.reset(::openat(stage.fd, newName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (out.fd < 0)
        return fail();

    if (existed) {
        if (!copyFlags(from, out.fd))
            lost->append(tr("его флаги атрибутов (chattr) не сохранены"));
    }
    if (!writeAll(out.fd, bytes))
        return fail();

    if (existed) {
        // Owner and group first: a change of owner clears the set-id bits, and the ACL's mask
        // is the group's bits.
        const bool root = me == 0;
        // Where root may not give the owner (a network file system that squashes root), the
        // group alone.
        if (::fchown(out.fd, root ? old.st_uid : uid_t(-1), old.st_gid) != 0 && root
            && ::fchown(out.fd, uid_t(-1), old.st_gid) != 0) {
            // Not even that: the file keeps the group it was made with, which the check below
            // reports.
        }
        copyErrors errors;
        // Both named as the list: the new file is the list to whoever reads a message.
        const QByteArray oldName = QFile::encodeName(shownName(folder, name));
        if (perm_copy_fd(oldName.constData(), from, oldName.constData(), out.fd, &errors.context) != 0)
            lost->append(tr("его список доступа (ACL) не сохранён (%1)").arg(errors.messages.join(QLatin1String(", "))));
        errors.messages.clear();
        if (::fchmod(out.fd, old.st_mode & 07777) != 0)
            lost->append(tr("его права доступа теперь другие"));
        if (attr_copy_fd(oldName.constData(), from, oldName.constData(), out.fd, nullptr, &errors.context) != 0)
            lost->append(tr("его расширенные атрибуты не сохранены (%1)").arg(errors.messages.join(QLatin1String(", "))));
        struct stat now;
        if (::fstat(out.fd, &now) == 0 && now.st_gid != old.st_gid)
            lost->prepend(tr("его группа теперь %1 вместо %2").arg(groupName(now.st_gid), groupName(old.st_gid)));
    }
    if (::fdatasync(out.fd) != 0
        || (unnamed
            && ::linkat(AT_FDCWD, ("/proc/self/fd/" + QByteArray::number(out.fd)).constData(),
                        stage.fd, newName, AT_SYMLINK_FOLLOW) != 0)
        || ::renameat(stage.fd, newName, folder, name.constData()) != 0)
        return fail();
    descriptor listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (listing.fd >= 0)
        ::fsync(listing.fd); // the rename itself
    removeOwnStage();
    if (origin)
        origin->reset(out.release());
    unlock();
    return QString();
}
