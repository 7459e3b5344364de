// The shared file on Linux. Its folder may be writable by a whole group, whose members can put
// links, FIFOs and other files in its way at any moment, while root saves. The rules, and where
// each one is kept:
//
// - No link is followed in or below a folder that others may write: who put a link at its name
//   cannot be told from the link (a rename keeps its owner). The constructor walks the path once,
//   and everything after that acts on the folder's descriptor.
// - Only the file that was loaded is read, kept and replaced: the window keeps it open, a save
//   reads it through that descriptor while the path still holds it, and renames the new list over
//   it only while it is still there (readLoaded() and replace()); otherwise the save is refused.
// - Nothing is opened that could block, and nothing at the path is followed (O_NOFOLLOW,
//   O_NONBLOCK, a regular file or nothing).
// - The new list is complete, flushed and has the loaded file's permissions before one rename
//   puts it in place, from a folder of the saver's own that nobody else may enter.
// - Only what a save of this user made is ever removed (removeLeftovers(), removeStage()).
#include "fileplace.h"

#include <QCoreApplication>
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

// The name of a save's own folder beside the list: the list's name, this, and a random tail.
const char newSuffix[] = ".new-";
// The new file's name in a save's own folder beside the list.
const char stagedName[] = "new";
const int newTailLength = 6;
const char newLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// A tail for a new name that nobody can guess.
QByteArray randomTail()
{
    QByteArray tail;
    for (int i = 0; i < newTailLength; ++i)
        tail += newLetters[QRandomGenerator::global()->bounded(int(sizeof newLetters) - 1)];
    return tail;
}

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

// The path of `name` in the folder, as the system names it now, for messages only.
QString nameIn(int folder, const QByteArray &name)
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
        // From the start whatever the descriptor read before: the loaded file is read again.
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, off_t(bytes->size()));
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
    // Nobody else may enter the folder, so what is in it is the save's; a folder that holds
    // anything but its new file is not removed.
    struct stat file;
    if (::fstatat(stage.fd, stagedName, &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode))
        ::unlinkat(stage.fd, stagedName, 0);
    ::unlinkat(folder, stageName.constData(), AT_REMOVEDIR);
}

} // namespace

// Open since the load, so that a save reads and takes the access of that very file.
class listOrigin
{
public:
    ~listOrigin() { reset(-1); }
    void reset(int other)
    {
        if (fd >= 0)
            ::close(fd);
        fd = other;
    }
    int fd = -1; // -1: there was no file
};

std::shared_ptr<listOrigin> newListOrigin()
{
    return std::make_shared<listOrigin>();
}

struct filePlace::system
{
    struct sigaction sizeSignal; // SIGXFSZ as it was before
    int folder = -1;   // the folder that holds the file, opened once
    QByteArray name;   // the file's name in it
    int file = -1;     // the file as it was read: where the permissions come from
    int lockFile = -1; // the lock, while this object holds it
    descriptor seenLock; // somebody's lock, as looked at last
    struct stat seenStatus;
};

namespace {

// The trust rule, for the walk to the list and for the private copy's folder alike: a folder
// counts as others' when anybody but root and this user may change what it holds (it is not
// theirs, or others may write it), and no link is followed in such a folder, whoever owns it.

bool ours(const struct stat &status)
{
    return status.st_uid == 0 || status.st_uid == ::geteuid();
}

bool othersMayChange(const struct stat &folder)
{
    return !ours(folder) || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool othersMayChange(int folder)
{
    struct stat status;
    return ::fstat(folder, &status) != 0 || othersMayChange(status);
}

// Whether nobody else may rename or remove what root or this user made in the folder: it is
// not others', or it is a sticky folder of theirs.
bool keepsOurs(const struct stat &folder)
{
    return !othersMayChange(folder) || ((folder.st_mode & S_ISVTX) != 0 && ours(folder));
}

// A link is followed only in a folder that is not others': who put a link at its name cannot be
// told from the link, as anybody who may write there can rename a link of root's, or of another
// user's, into it, and it still shows the owner who made it elsewhere.
bool mayFollowLinkIn(bool othersFolder)
{
    return !othersFolder;
}

// The walk to the list, one name at a time, through descriptors only.
struct pathWalk
{
    int *folder;                  // the folder reached so far
    bool others;                  // whether it counts as others'
    std::deque<QByteArray> parts; // the names still to go
    int links = 0;

    // Moves to `next`, a folder opened in the current one, or to the root or the parent.
    void enter(descriptor &next, bool keepOthers = false)
    {
        std::swap(*folder, next.fd);
        // A folder that only root or this user may write cannot have been renamed into its place
        // by anybody else either (renaming a folder takes write access to it), so what lies in it
        // is as trustworthy as the folder itself, whatever its parent; not so above it.
        others = (keepOthers && others) || othersMayChange(*folder);
    }

    // Puts the target of the link `link`, found at `part`, in front of the names still to go.
    fileError follow(int link, const QByteArray &part, const struct stat &status)
    {
        if (!mayFollowLinkIn(others))
            return { fileError::linkRefused, nameIn(*folder, part), QString(), { userName(status.st_uid) } };
        QByteArray target(4096, '\0');
        const ssize_t size = ::readlinkat(link, "", target.data(), size_t(target.size()));
        if (++links > MaxLinks || size <= 0 || size >= target.size()) {
            return size > 0 ? fileError(fileError::tooManyLinks, QString(), QString(), { QString::number(MaxLinks) })
                            : filePlace::failedWith(fileError::linkUnreadable, size < 0 ? errno : ENAMETOOLONG);
        }
        target.resize(int(size));
        if (target.startsWith('/')) {
            // The link's own choice, walked anew from the root.
            descriptor root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            enter(root);
        }
        prependParts(parts, target);
        return fileError();
    }
};

} // namespace

filePlace::filePlace(const QString &path)
    : d(new system)
{
    // A file beyond the size limit (ulimit -f) must fail to be written, not end the program
    // with the table's unsaved rows; single-threaded, the program can set this for a while.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &d->sizeSignal);

    if (path.isEmpty() || !QDir::isAbsolutePath(path)) {
        problem = { fileError::unreachable };
        return;
    }
    d->folder = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    pathWalk walk { &d->folder, othersMayChange(d->folder), {} };
    prependParts(walk.parts, QFile::encodeName(path));
    while (!walk.parts.empty() && d->folder >= 0) {
        const QByteArray part = walk.parts.front();
        walk.parts.pop_front();
        if (part == "..") {
            descriptor parent(::openat(d->folder, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            walk.enter(parent, true);
            continue;
        }
        const bool last = walk.parts.empty();
        descriptor next(::openat(d->folder, part.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status;
        if (next.fd < 0 || ::fstat(next.fd, &status) != 0) {
            if (errno == ENOENT && last)
                d->name = part; // no file yet: a save makes it
            else
                problem = failedWith(fileError::walkFailed, errno);
            return;
        }
        if (S_ISLNK(status.st_mode)) {
            problem = walk.follow(next.fd, part, status);
            if (problem)
                return;
            continue;
        }
        if (last) {
            // Whatever it is: read() and replace() look at it again, without following it.
            d->name = part;
            return;
        }
        if (!S_ISDIR(status.st_mode))
            break;
        walk.enter(next);
    }
    // The path ends in a folder, or leads through something else, or a folder could not be opened.
    problem = { fileError::unreachable };
}

namespace {

// The name of a private folder: this, and a random tail.
const char privatePrefix[] = "transport-settings-";

// What the store left in a private folder: the copy, its lock, a temporary file. Nothing is
// followed, and a folder in it, which the store never makes, stays.
void removeFiles(int folder)
{
    if (DIR *entries = ::fdopendir(::fcntl(folder, F_DUPFD_CLOEXEC, 0))) {
        while (const struct dirent *entry = ::readdir(entries)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ::unlinkat(folder, entry->d_name, 0);
        }
        ::closedir(entries);
    }
}

// Opens a folder whose path nobody but root and this user can change: every folder on it is
// theirs and no link, and one that others may write is sticky, so that nobody can rename or
// remove what root or this user put in it.
int openUnchangeable(const QByteArray &path)
{
    if (!path.startsWith('/'))
        return -1;
    descriptor folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    // Each folder on the way is root's or this user's, kept where it is by the one before.
    const auto safe = [](int fd) {
        struct stat status;
        return fd >= 0 && ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode) && ours(status) && keepsOurs(status);
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
struct privateFolder::system
{
    ~system() { remove(); }
    void remove();

    int parent = -1; // the folder it lies in
    int self = -1;
    QByteArray name;
    QString shown;
};

static void removeAbandoned(int parent);

privateFolder::privateFolder()
    : d(new system)
{
    QList<QByteArray> candidates { "/dev/shm" };
    for (const char *variable : { "XDG_RUNTIME_DIR", "TMPDIR" }) {
        if (const char *value = ::getenv(variable))
            candidates.append(value);
    }
    candidates << "/tmp" << "/var/tmp";
    for (const QByteArray &candidate : candidates) {
        d->parent = openUnchangeable(candidate);
        if (d->parent >= 0)
            removeAbandoned(d->parent);
        for (int attempt = 0; d->parent >= 0 && attempt < 100; ++attempt) {
            d->name = privatePrefix + randomTail();
            if (::mkdirat(d->parent, d->name.constData(), 0700) == 0) {
                d->self = ::openat(d->parent, d->name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                // Locked for as long as this process uses it; another editor's start may d->remove
                // it only when nobody holds that lock, and in between its d->name may be gone.
                struct stat status, now;
                if (d->self >= 0 && ::flock(d->self, LOCK_EX | LOCK_NB) == 0 && ::fstat(d->self, &status) == 0
                    && status.st_uid == ::geteuid() && (status.st_mode & 0077) == 0
                    && ::fstatat(d->parent, d->name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
                    && now.st_dev == status.st_dev && now.st_ino == status.st_ino) {
                    d->shown = QFile::decodeName(candidate + '/' + d->name);
                    return;
                }
                if (d->self >= 0)
                    ::close(d->self);
                d->self = -1;
                continue;
            }
            if (errno != EEXIST)
                break;
        }
        d->remove();
    }
}

// The private folders that editors of this user left when they were killed or crashed: this
// user's, in the shape they are made, and locked by no live process.
static void removeAbandoned(int parent)
{
    DIR *entries = ::fdopendir(::openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!entries)
        return;
    const size_t prefixLength = sizeof privatePrefix - 1;
    while (const struct dirent *entry = ::readdir(entries)) {
        if (std::strlen(entry->d_name) != prefixLength + newTailLength
            || std::strncmp(entry->d_name, privatePrefix, prefixLength) != 0
            || std::strspn(entry->d_name + prefixLength, newLetters) != size_t(newTailLength))
            continue;
        descriptor folder(::openat(parent, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat status;
        if (folder.fd < 0 || ::fstat(folder.fd, &status) != 0 || status.st_uid != ::geteuid()
            || status.st_mode != (S_IFDIR | 0700) || ::flock(folder.fd, LOCK_EX | LOCK_NB) != 0)
            continue;
        removeFiles(folder.fd);
        ::unlinkat(parent, entry->d_name, AT_REMOVEDIR);
    }
    ::closedir(entries);
}

privateFolder::~privateFolder() = default;

bool privateFolder::isValid() const
{
    return d->self >= 0;
}

QString privateFolder::path() const
{
    return d->shown;
}

void privateFolder::system::remove()
{
    if (self >= 0) {
        removeFiles(self);
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
    if (d->file >= 0)
        ::close(d->file);
    if (d->folder >= 0)
        ::close(d->folder);
    ::sigaction(SIGXFSZ, &d->sizeSignal, nullptr);
}

// The contents of the regular file `fd` from its start, no more than the limit.
static filePlace::content readOpen(int fd, QByteArray *bytes, QString *readError)
{
    // A file that says it is small may still grow while it is read: never more than the limit.
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        *readError = systemReason(errno);
        return filePlace::unreadable;
    }
    if (status.st_size > filePlace::MaxBytes)
        return filePlace::tooLarge;
    switch (readAll(fd, filePlace::MaxBytes, bytes)) {
    case 0:
        return filePlace::regular;
    case 1:
        return filePlace::tooLarge;
    default:
        *readError = systemReason(errno);
        return filePlace::unreadable;
    }
}

filePlace::content filePlace::read(QByteArray *bytes)
{
    if (d->file >= 0)
        ::close(d->file);
    // Without O_NONBLOCK the open of a FIFO would wait for a writer for ever.
    d->file = ::openat(d->folder, d->name.constData(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (d->file < 0) {
        switch (errno) {
        case ENOENT:
            return missing;
        case ELOOP:  // a link
        case ENXIO:  // a socket
        case ENODEV: // a device without a driver
            return notAFile;
        default:     // not allowed, leased, ...
            readError = systemReason(errno);
            return unreadable;
        }
    }
    struct stat status;
    if (::fstat(d->file, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(d->file);
        d->file = -1;
        return notAFile;
    }
    return readOpen(d->file, bytes, &readError);
}

void filePlace::keepAsOrigin()
{
    if (origin)
        origin->reset(d->file >= 0 ? ::fcntl(d->file, F_DUPFD_CLOEXEC, 0) : -1);
}

// Whether the path holds the file the window's rows came from, or, when there was none, nothing.
static bool holdsLoaded(int folder, const QByteArray &name, const listOrigin &origin)
{
    struct stat now, loaded;
    if (::fstatat(folder, name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT && origin.fd < 0;
    return origin.fd >= 0 && ::fstat(origin.fd, &loaded) == 0 && now.st_dev == loaded.st_dev
        && now.st_ino == loaded.st_ino;
}

filePlace::content filePlace::readLoaded(QByteArray *bytes)
{
    bytes->clear();
    if (!origin || !holdsLoaded(d->folder, d->name, *origin))
        return changed;
    if (d->file >= 0)
        ::close(d->file);
    d->file = origin->fd >= 0 ? ::fcntl(origin->fd, F_DUPFD_CLOEXEC, 0) : -1;
    return origin->fd < 0 ? missing : readOpen(d->file, bytes, &readError);
}

QString filePlace::lockPath() const
{
    return nameIn(d->folder, d->name + ".lock");
}

QByteArray filePlace::lockRecord() const
{
    return QByteArray::number(QCoreApplication::applicationPid()) + '\n'
        + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() + '\n'
        + QSysInfo::machineHostName().toUtf8() + '\n';
}

QString filePlace::hostName()
{
    return QSysInfo::machineHostName();
}

bool filePlace::processGone(qint64 pid)
{
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

filePlace::lockStep filePlace::makeLock(const QByteArray &record, fileError *error)
{
    const QByteArray lockName = d->name + ".lock";
    descriptor made(::openat(d->folder, lockName.constData(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (made.fd < 0) {
        if (errno == EEXIST)
            return lockStep::exists;
        // The folder may not be written, or is read-only, or full.
        *error = failedWith(fileError::lockNotMade, errno, lockPath());
        return lockStep::failed;
    }
    // Held the way QLockFile holds its lock, so that Qt's writers see a live holder.
    ::flock(made.fd, LOCK_EX | LOCK_NB);
    if (!writeAll(made.fd, record)) {
        const int failure = errno;
        ::unlinkat(d->folder, lockName.constData(), 0);
        *error = failedWith(fileError::lockNotWritten, failure, lockPath());
        return lockStep::failed;
    }
    d->lockFile = made.release();
    return lockStep::done;
}

filePlace::lockStep filePlace::openLock(bool *free, fileError *)
{
    const QByteArray lockName = d->name + ".lock";
    d->seenLock.reset(::openat(d->folder, lockName.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (d->seenLock.fd < 0 && errno == ENOENT)
        return lockStep::gone;
    if (d->seenLock.fd < 0 || ::fstat(d->seenLock.fd, &d->seenStatus) != 0 || !S_ISREG(d->seenStatus.st_mode))
        return lockStep::failed;
    *free = ::flock(d->seenLock.fd, LOCK_EX | LOCK_NB) == 0;
    return lockStep::done;
}

QByteArray filePlace::lockContents()
{
    char text[4096];
    const ssize_t size = ::pread(d->seenLock.fd, text, sizeof text, 0);
    return QByteArray(text, size > 0 ? int(size) : 0);
}

qint64 filePlace::lockAgeMs()
{
    const qint64 made = qint64(d->seenStatus.st_mtim.tv_sec) * 1000 + d->seenStatus.st_mtim.tv_nsec / 1000000;
    return qAbs(QDateTime::currentMSecsSinceEpoch() - made);
}

bool filePlace::removeLock()
{
    const QByteArray lockName = d->name + ".lock";
    struct stat now;
    const bool same = ::fstatat(d->folder, lockName.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
        && now.st_dev == d->seenStatus.st_dev && now.st_ino == d->seenStatus.st_ino;
    const bool removed = !same || ::unlinkat(d->folder, lockName.constData(), 0) == 0;
    d->seenLock.reset();
    return removed;
}

void filePlace::unlock()
{
    if (d->lockFile < 0)
        return;
    // Removed only while it is still the lock this object made.
    struct stat mine, now;
    const QByteArray lockName = d->name + ".lock";
    if (::fstat(d->lockFile, &mine) == 0
        && ::fstatat(d->folder, lockName.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0
        && now.st_dev == mine.st_dev && now.st_ino == mine.st_ino)
        ::unlinkat(d->folder, lockName.constData(), 0);
    ::close(d->lockFile);
    d->lockFile = -1;
}

// What a save of this user killed before its rename left behind: its own folder for the new file,
// in the shape a save makes it (its name, this user's, mode 0700), with nothing in it but the new
// file. Only run under the lock: no other save of this program is under way then. Everything else
// stays, another user's leftovers and any file that merely has such a name among them.
void filePlace::removeLeftovers()
{
    DIR *entries = ::fdopendir(::openat(d->folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!entries)
        return;
    const QByteArray prefix = d->name + newSuffix;
    while (const struct dirent *entry = ::readdir(entries)) {
        const QByteArray entryName(entry->d_name);
        struct stat status;
        if (entryName.size() == prefix.size() + newTailLength && entryName.startsWith(prefix)
            && std::strspn(entry->d_name + prefix.size(), newLetters) == size_t(newTailLength)
            && ::fstatat(d->folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0
            && status.st_mode == (S_IFDIR | 0700) && status.st_uid == ::geteuid())
            removeStage(d->folder, entryName, status);
    }
    ::closedir(entries);
}

namespace {

// A save's own folder beside the list, which nobody else may enter.
struct stageFolder
{
    descriptor fd;
    QByteArray name;
};

// Makes the stage in `folder`, under the list's name and a random tail, and makes sure it is the
// one this save made: nobody else can put a folder of theirs in its place unnoticed.
fileError makeStage(int folder, const QByteArray &listName, stageFolder *stage)
{
    for (int attempt = 0; attempt < 100 && stage->fd.fd < 0; ++attempt) {
        stage->name = listName + newSuffix + randomTail();
        if (::mkdirat(folder, stage->name.constData(), 0700) != 0) {
            if (errno != EEXIST)
                return filePlace::failedWith(fileError::stageNotMade, errno, nameIn(folder, stage->name));
            continue;
        }
        stage->fd.reset(::openat(folder, stage->name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat status;
        if (stage->fd.fd < 0 || ::fstat(stage->fd.fd, &status) != 0 || status.st_uid != ::geteuid()
            || (status.st_mode & 0077) != 0) // somebody put another folder in its place the moment it was made
            return filePlace::failedWith(fileError::stageSwapped, stage->fd.fd < 0 ? errno : EEXIST,
                                         nameIn(folder, stage->name));
    }
    if (stage->fd.fd < 0)
        return filePlace::failedWith(fileError::stageNotMade, EEXIST);
    return fileError();
}

// The new file in the stage: private when it replaces a file, until it has that file's
// permissions; a first file gets the usual ones (umask, the folder's default ACL and group, which
// the stage has taken over). Where the file system allows, it has no name until it is complete.
int openNewFile(int stage, bool replacing, bool *unnamed)
{
    const mode_t mode = replacing ? 0600 : 0666;
#ifdef O_TMPFILE
    const int fd = ::openat(stage, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
#else
    const int fd = -1;
#endif
    *unnamed = fd >= 0;
    return fd >= 0 ? fd : ::openat(stage, stagedName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

// Gives the new file `out` the owner, group, ACL, mode and extended attributes of the loaded file
// `from`, whose status is `old`; `shown` names both in messages. What it cannot give goes to `lost`.
void giveAccess(int from, const struct stat &old, int out, const QString &shown, QList<fileError> *lost)
{
    // Owner and group first: a change of owner clears the set-id bits, and the ACL's mask is the
    // group's bits. Where root may not give the owner (a network file system that squashes root),
    // the group alone; where not even that, the check below reports the group it was made with.
    const bool root = ::geteuid() == 0;
    if (::fchown(out, root ? old.st_uid : uid_t(-1), old.st_gid) != 0 && root
        && ::fchown(out, uid_t(-1), old.st_gid) != 0) {
    }
    copyErrors errors;
    const QByteArray name = QFile::encodeName(shown);
    if (perm_copy_fd(name.constData(), from, name.constData(), out, &errors.context) != 0)
        lost->append(fileError(fileError::aclLost, QString(), QString(), errors.messages));
    errors.messages.clear();
    if (::fchmod(out, old.st_mode & 07777) != 0)
        lost->append(fileError(fileError::modeLost));
    if (attr_copy_fd(name.constData(), from, name.constData(), out, nullptr, &errors.context) != 0)
        lost->append(fileError(fileError::xattrsLost, QString(), QString(), errors.messages));
    struct stat now;
    if (::fstat(out, &now) == 0 && now.st_gid != old.st_gid)
        lost->prepend(fileError(fileError::groupChanged, QString(), QString(),
                                { groupName(now.st_gid), groupName(old.st_gid) }));
}

// Renames the stage's new file over the list, or to its name where there was none (never over a
// file made there meanwhile), and makes the rename itself durable; 0, or the rename's errno.
int putInPlace(int stage, int folder, const QByteArray &name, bool replacing)
{
    const unsigned int noReplace = replacing ? 0 : RENAME_NOREPLACE;
    int renamed = ::renameat2(stage, stagedName, folder, name.constData(), noReplace);
    if (renamed != 0 && errno == EINVAL && noReplace) // a file system without RENAME_NOREPLACE
        renamed = ::renameat(stage, stagedName, folder, name.constData());
    if (renamed != 0)
        return errno;
    descriptor listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (listing.fd >= 0)
        ::fsync(listing.fd);
    return 0;
}

} // namespace

// The new file is made in a folder of this process's own beside the list, which nobody else may
// enter, and renamed from there through that folder's descriptor: whatever others do to the names
// in the list's folder meanwhile, only the file written here takes the list's place.
fileError filePlace::replace(const QByteArray &bytes, QList<fileError> *lost)
{
    if (!origin)
        return { fileError::notSaved };
    removeLeftovers();
    // Permissions from the file the window's rows came from, which readLoaded() found at the path
    // under the lock; a list that was not there when the window loaded gets those of a first file.
    struct stat old;
    const int from = origin->fd >= 0 && ::fstat(origin->fd, &old) == 0 ? origin->fd : -1;
    if (origin->fd >= 0 && from < 0)
        return failedWith(fileError::accessUnknown, errno);
    const bool existed = from >= 0;
    stageFolder stage;
    if (const fileError error = makeStage(d->folder, d->name, &stage))
        return error;
    // The stage goes when the save has held, and with what is in it when it has not.
    const auto removeOwnStage = [&] {
        ::unlinkat(stage.fd.fd, stagedName, 0);
        struct stat status;
        if (::fstat(stage.fd.fd, &status) == 0)
            removeStage(d->folder, stage.name, status);
    };
    const auto fail = [&](fileError::kind step) {
        const int error = errno;
        removeOwnStage();
        return failedWith(step, error);
    };
    bool unnamed = false;
    descriptor out(openNewFile(stage.fd.fd, existed, &unnamed));
    if (out.fd < 0)
        return fail(fileError::newFileNotMade);
    // Before any data: some flags (no copy-on-write) take effect only on an empty file.
    if (existed && !copyFlags(from, out.fd))
        lost->append(fileError(fileError::flagsLost));
    if (!writeAll(out.fd, bytes))
        return fail(fileError::newFileNotWritten);
    if (existed)
        giveAccess(from, old, out.fd, nameIn(d->folder, d->name), lost);
    if (::fdatasync(out.fd) != 0)
        return fail(fileError::newFileNotFlushed);
    if (unnamed
        && ::linkat(AT_FDCWD, ("/proc/self/fd/" + QByteArray::number(out.fd)).constData(), stage.fd.fd,
                    stagedName, AT_SYMLINK_FOLLOW) != 0)
        return fail(fileError::newFileNotNamed);
    // Only over the file that was loaded, or where there was none and still is none. The lock
    // keeps other editors out; a member who swaps a file in between this look and the rename
    // loses that file of hers to the list, whose rows and access both come from the loaded file.
    if (const int error = holdsLoaded(d->folder, d->name, *origin)
            ? putInPlace(stage.fd.fd, d->folder, d->name, existed)
            : EEXIST) {
        if (error != EEXIST)
            return fail(fileError::notRenamed);
        removeOwnStage();
        return { fileError::changedSinceLoad };
    }
    removeOwnStage();
    origin->reset(out.release());
    unlock();
    return fileError();
}
