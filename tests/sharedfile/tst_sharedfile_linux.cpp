// The shared file on Linux: owners, groups, ACLs, attributes, FIFOs, devices, links that a member
// of the list's group planted, locks, and what a save leaves behind. Each case loads and saves a
// list as the window does (listcase.h), at a path in a folder of its own, and looks at the kinds of
// errors and at what lies on the disk; unknownFolder and privateCopy run a whole editor.
#include "listcase.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace listCase;

class tst_sharedFileLinux;
// A step of a case: what is done at the path or beside it before the load, before or while Save
// runs, or what must hold afterwards.
using step = void (tst_sharedFileLinux::*)();
Q_DECLARE_METATYPE(step)
// What stands at the path or what others do there, and what comes of it: the steps before the load,
// what the load gives and the list's count then, the steps after it or while Save runs, what Save
// gives, and what must hold afterwards in place of the usual checks.
struct scenario
{
    step before;
    fileError loaded;
    const char *positions;
    step meanwhile;
    fileError saved;
    step check = nullptr;
};
Q_DECLARE_METATYPE(scenario)
Q_DECLARE_METATYPE(fileError)

namespace {

// Acts with the effective user, group and supplementary groups of another account while it lives.
class actingAs
{
public:
    actingAs(uid_t user, gid_t group, const std::vector<gid_t> &groups)
    {
        saved.resize(size_t(::getgroups(0, nullptr)));
        saved.resize(size_t(::getgroups(int(saved.size()), saved.data())));
        ok = ::setgroups(groups.size(), groups.data()) == 0 && ::setegid(group) == 0
            && ::seteuid(user) == 0;
    }
    ~actingAs()
    {
        if (::seteuid(0) != 0 || ::setegid(0) != 0 || ::setgroups(saved.size(), saved.data()) != 0)
            qFatal("could not become root again");
    }
    bool ok = false;

private:
    std::vector<gid_t> saved;
};

// A process of its own for what another user does while the editor runs; it ends with the scope.
class otherProcess
{
public:
    // Runs `act` in a child process as `user` (when not 0), after the child has said it is ready
    // through `ready(fd)`, which writes one byte to fd when the child may be waited for.
    explicit otherProcess(uid_t user, gid_t group, const std::function<void(int)> &act)
    {
        int pipe[2];
        if (::pipe(pipe) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::close(pipe[0]);
            if (user != 0
                && (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0))
                ::_exit(2);
            act(pipe[1]);
            ::_exit(0);
        }
        ::close(pipe[1]);
        char byte;
        ready = pid > 0 && ::read(pipe[0], &byte, 1) == 1;
        ::close(pipe[0]);
    }
    ~otherProcess()
    {
        if (pid <= 0)
            return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    bool ready = false;

private:
    pid_t pid = -1;
};

void tell(int fd)
{
    (void)!::write(fd, "r", 1);
}

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// Everything a save must keep of a file: owner, group, mode, ACL, extended attributes (all that
// root can see), attribute flags, and then a digest of its bytes. Nothing is opened that could
// block.
QStringList permissionsOf(const QString &path)
{
    const QByteArray name = encoded(path);
    struct stat status;
    if (::lstat(name.constData(), &status) != 0)
        return { QStringLiteral("missing") };
    QStringList facts { QStringLiteral("owner %1").arg(status.st_uid),
        QStringLiteral("group %1").arg(status.st_gid),
        QStringLiteral("mode %1").arg(status.st_mode, 0, 8) };
    if (S_ISLNK(status.st_mode))
        return facts << QFile::symLinkTarget(path);
    if (!S_ISREG(status.st_mode))
        return facts;
    if (acl_t acl = ::acl_get_file(name.constData(), ACL_TYPE_ACCESS)) {
        char *text = ::acl_to_any_text(acl, nullptr, ',', TEXT_ABBREVIATE);
        facts << QString::fromLatin1(text);
        ::acl_free(text);
        ::acl_free(acl);
    }
    char list[4096];
    const ssize_t size = ::listxattr(name.constData(), list, sizeof list);
    QStringList attributes;
    for (const QByteArray &attribute : QByteArray(list, size > 0 ? int(size) : 0).split('\0')) {
        char value[256];
        const ssize_t length
            = ::getxattr(name.constData(), attribute.constData(), value, sizeof value);
        if (!attribute.isEmpty() && !attribute.startsWith("system.posix_acl"))
            attributes << QString::fromLatin1(
                attribute + '=' + QByteArray(value, length > 0 ? int(length) : 0));
    }
    attributes.sort();
    facts << attributes;
    const int file = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    int flags = 0;
    if (file >= 0 && ::ioctl(file, FS_IOC_GETFLAGS, &flags) == 0)
        facts
            << QStringLiteral("flags %1").arg(flags & (FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL));
    if (file >= 0)
        ::close(file);
    return facts << QString::fromLatin1(
               QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex());
}

// The entries of the folders, each with everything a save must keep of it.
QStringList snapshot(const QStringList &folders)
{
    QStringList all;
    for (const QString &folder : folders) {
        for (const QString &name : entries(folder))
            all << name << permissionsOf(folder + QLatin1Char('/') + name);
    }
    return all;
}

// Nothing when `error` is the expected one: its kind and name, and a reason and details that hold
// the expected ones (the system's words, libattr's messages name more); otherwise both.
QString mismatch(const fileError &error, const fileError &expected)
{
    bool same = error.what == expected.what && error.name == expected.name
        && error.reason.contains(expected.reason)
        && error.details.size() == expected.details.size();
    for (int i = 0; same && i < error.details.size(); ++i)
        same = error.details[i].contains(expected.details[i]);
    const auto described = [](const fileError &e) {
        return QStringLiteral("kind %1, name \"%2\", reason \"%3\", details {%4}")
            .arg(int(e.what))
            .arg(e.name, e.reason, e.details.join(QLatin1String(" | ")));
    };
    return same ? QString()
                : described(error) + QLatin1String(" instead of ") + described(expected);
}

// The same for what a save could not keep: the expected one, or nothing.
QString mismatch(const QList<fileError> &lost, const fileError &expected)
{
    return lost.size() == (expected ? 1 : 0) ? mismatch(lost.value(0), expected)
                                             : QStringLiteral("%1 lost").arg(lost.size());
}

bool chmodTo(const QString &path, mode_t mode)
{
    return ::chmod(encoded(path).constData(), mode) == 0;
}

// Of the link itself, where it is one.
bool chownTo(const QString &path, uid_t user, gid_t group)
{
    return ::lchown(encoded(path).constData(), user, group) == 0;
}

bool renamed(const QString &from, const QString &to)
{
    return ::rename(encoded(from).constData(), encoded(to).constData()) == 0;
}

// Gives the file an ACL (none when empty) and attributes, each as name=value.
bool setAccess(const QString &path, const QString &acl, const QStringList &attributes)
{
    const QByteArray name = encoded(path);
    acl_t entries = acl.isEmpty() ? nullptr : ::acl_from_text(acl.toLatin1().constData());
    bool set = acl.isEmpty()
        || (entries && ::acl_set_file(name.constData(), ACL_TYPE_ACCESS, entries) == 0);
    if (entries)
        ::acl_free(entries);
    for (const QString &attribute : attributes) {
        const QByteArrayList parts = attribute.toLatin1().split('=');
        set = set
            && ::setxattr(name.constData(), parts[0].constData(), parts[1].constData(),
                   size_t(parts[1].size()), 0)
                == 0;
    }
    return set;
}

// False where the file system keeps no attribute flags.
bool setFlags(const QString &path, int flags)
{
    const int file = ::open(encoded(path).constData(), O_RDONLY);
    const bool set = file >= 0 && ::ioctl(file, FS_IOC_SETFLAGS, &flags) == 0;
    if (file >= 0)
        ::close(file);
    return set;
}

// Takes the writers' lock at `lock` as another editor holds it, with this process and `program` in
// it: its descriptor, or -1.
int takeLock(const QString &lock, const QString &program)
{
    const int fd = ::open(encoded(lock).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const QByteArray owner = QByteArray::number(::getpid()) + '\n' + program.toUtf8() + '\n'
        + QSysInfo::machineHostName().toUtf8() + '\n';
    if (fd >= 0
        && (::flock(fd, LOCK_EX) != 0
            || ::write(fd, owner.constData(), size_t(owner.size())) != ssize_t(owner.size()))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The name of a live lock's program, with markup and separators in it, which anybody can write.
QString markedUpProgram()
{
    return QStringLiteral("<h1>tst\u2028Настройки сохранены\u202eelifderahs_tst</h1>");
}

} // namespace

class tst_sharedFileLinux : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void ownership_data();
    void ownership();
    void untouchablePaths_data();
    void untouchablePaths();
    void attacks_data();
    void attacks();
    void permissions_data();
    void permissions();
    void typedValues_data();
    void typedValues();
    void leftovers();
    void unknownFolder();
    void privateCopy();

private:
    // Loads and saves the list as the window does, as the test account (a member of the list's
    // group) when `member`: both must go through, with the list's count `positions`, and the save
    // could not keep `lost` (none: all).
    void saveAs(bool member, const QString &positions, const fileError &lost)
    {
        std::unique_ptr<actingAs> account(
            member ? new actingAs(userId, userGroupId, { userGroupId, groupId }) : nullptr);
        QVERIFY(!account || account->ok);
        editor window(path);
        QCOMPARE(mismatch(window.load(), fileError()), QString());
        QCOMPARE(window.positions, positions);
        QCOMPARE(mismatch(window.save(), fileError()), QString());
        QCOMPARE(mismatch(window.lost, lost), QString());
    }
    // Takes a step of the case, if it has one: false when it failed, or when this system cannot
    // take it, which skips the case.
    bool did(step what)
    {
        if (what)
            (this->*what)();
        if (!cannot.isEmpty())
            QTest::qSkip(qPrintable(cannot), __FILE__, __LINE__);
        return cannot.isEmpty() && !QTest::currentTestFailed();
    }
    // An error that a case expects, with a name that begins with "/" in the case's folder, as the
    // system names it.
    void play(const scenario &story, const QStringList &folders);
    fileError inCase(fileError error) const
    {
        if (error.name.startsWith(QLatin1Char('/')))
            error.name.prepend(QFileInfo(top->path()).canonicalFilePath());
        return error;
    }
    QString lockPath() const { return path + QLatin1String(".lock"); }
    QString aside() const { return shared + QLatin1String("/aside"); }
    // Makes `folder`, root's with that group and mode, for the list, and puts root's link to the
    // list in it at the path.
    bool linkListTo(const QString &folder, mode_t mode, gid_t group)
    {
        list = folder + QLatin1String("/transport.ini");
        return QDir().mkdir(folder) && chownTo(folder, 0, group) && chmodTo(folder, mode)
            && QFile::remove(path) && QFile::link(list, path);
    }
    // The list of root and the group (0664) in a folder of theirs (2775), as the package makes it.
    bool shareList()
    {
        shared = top->filePath(QStringLiteral("shared"));
        return linkListTo(shared, 02775, groupId) && writeFile(list, fixture)
            && chownTo(list, 0, groupId) && chmodTo(list, 0664);
    }
    // A file that only root may read, in a folder that others may only pass through.
    bool hideVictim()
    {
        hidden = top->filePath(QStringLiteral("hidden"));
        victim = hidden + QLatin1String("/secret.conf");
        return QDir().mkdir(hidden) && chmodTo(hidden, 0711)
            && writeFile(victim, "[General]\nsecret=1\n") && chmodTo(victim, 0600);
    }

    // What stands at the path or beside it, or happens there while Save runs.
    void makeFifo()
    {
        QVERIFY(QFile::remove(path) && ::mkfifo(encoded(path).constData(), 0644) == 0);
    }
    // A device of our own, the same as /dev/null, so that nothing of the system is at stake.
    void linkToOwnDevice()
    {
        const QString device = top->filePath(QStringLiteral("null"));
        if (::mknod(encoded(device).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
            cannot = QStringLiteral("cannot make a device node here");
            return;
        }
        QVERIFY(QFile::remove(path) && QFile::link(device, path));
    }
    void growPastLimit() { QVERIFY(QFile::resize(path, 32 * 1024 * 1024 + 1)); }
    void makeLockFolder() { QVERIFY(QDir().mkdir(lockPath())); }
    void makeLockFifo() { QCOMPARE(::mkfifo(encoded(lockPath()).constData(), 0644), 0); }
    void linkLockToDevice() { QVERIFY(QFile::link(QStringLiteral("/dev/zero"), lockPath())); }
    void holdLock() { QVERIFY((heldLock = takeLock(lockPath(), markedUpProgram())) >= 0); }
    // Another writer holds the lock, and turns the list into a FIFO before it lets the lock go.
    void fifoWhileLocked()
    {
        const QByteArray file = encoded(path), lock = encoded(lockPath());
        other.reset(new otherProcess(0, 0, [&](int ready) {
            if (takeLock(lockPath(), QStringLiteral("writer")) < 0)
                ::_exit(1);
            tell(ready);
            ::usleep(300000);
            ::unlink(file.constData());
            ::mkfifo(file.constData(), 0644);
            ::usleep(300000);
            ::unlink(lock.constData());
        }));
        QVERIFY(other->ready);
    }
    void fifoAndNoLock()
    {
        struct stat status;
        QVERIFY(::lstat(encoded(path).constData(), &status) == 0 && S_ISFIFO(status.st_mode));
        QVERIFY(!QFileInfo::exists(lockPath()));
    }
    void loopOfLinks() { linkChain(2, true); }
    void chainOf100Links() { linkChain(100, false); }
    // `links` links, each to the next and the last to a list (for a loop, the list a link to the
    // first), in a folder that only its owner may write, which the walk follows; the path links to
    // the first.
    void linkChain(int links, bool loop)
    {
        const QString end = top->filePath(QStringLiteral("list.ini"));
        QVERIFY(writeFile(end, fixture));
        QString next = end;
        for (int link = links; link >= 1; --link) {
            const QString name = top->filePath(QStringLiteral("link%1").arg(link));
            QVERIFY(QFile::link(next, name));
            next = name;
        }
        if (loop)
            QVERIFY(QFile::remove(end) && QFile::link(next, end));
        QVERIFY(QFile::remove(path) && QFile::link(next, path));
    }
    void limitFileSize()
    {
        const struct rlimit small = { 64, sizeLimit.rlim_max };
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }

    // What a member of the list's group does in its folder.
    bool hers(const QString &name) const { return chownTo(name, userId, groupId); }
    bool rootOnly() { return chownTo(list, 0, 0) && chmodTo(list, 0600); }
    // Her own file of no redirections, renamed to the list's name.
    bool herFileAtList()
    {
        const QString mine = shared + QLatin1String("/mine");
        return writeFile(mine, "[General]\npositions=0\n") && hers(mine) && chmodTo(mine, 0644)
            && renamed(mine, list);
    }
    void plantHerLink() { QVERIFY(QFile::remove(list) && QFile::link(victim, list) && hers(list)); }
    // Root keeps the list in a folder of its own below the shared one; she renames that folder away
    // and makes her own in its place, with her link to the root-only file.
    void swapFolderOnTheWay()
    {
        const QString live = shared + QLatin1String("/live");
        QVERIFY(QDir().mkdir(live) && renamed(list, live + QLatin1String("/transport.ini")));
        QCOMPARE(::symlink("live/transport.ini", encoded(list).constData()), 0);
        QVERIFY(renamed(live, live + QLatin1String(".old")));
        QVERIFY(QDir().mkdir(live) && hers(live));
        QVERIFY(QFile::link(victim, live + QLatin1String("/transport.ini")));
        QVERIFY(hers(live + QLatin1String("/transport.ini")));
    }
    // A link of root's elsewhere, to which she gives a second name at the list's, as the kernel
    // lets her where fs.protected_hardlinks is 0.
    void secondNameOfRootsLink()
    {
        const QByteArray rootsLink = encoded(hidden + QLatin1String("/secret.link"));
        QCOMPARE(::symlink(encoded(victim).constData(), rootsLink.constData()), 0);
        QVERIFY(QFile::remove(list));
        QCOMPARE(
            ::linkat(AT_FDCWD, rootsLink.constData(), AT_FDCWD, encoded(list).constData(), 0), 0);
    }
    // An administrator's own link in the shared folder, which she renames to the list's name.
    void renameRootsLink()
    {
        const QString rootsLink = shared + QLatin1String("/site.conf");
        QVERIFY(QFile::link(victim, rootsLink) && renamed(rootsLink, list));
    }
    void makeRootOnly() { QVERIFY(rootOnly()); }
    void moveListAside() { QVERIFY(renamed(list, aside())); }
    void hideRootOnlyList() { QVERIFY(rootOnly() && renamed(list, aside())); }
    void putListBack() { QVERIFY(renamed(aside(), list)); }
    void putHerFile() { QVERIFY(herFileAtList()); }
    void herFileInstead() { QVERIFY(renamed(list, aside()) && herFileAtList()); }
    // A second name of the root-only file in place of what is at the list's.
    void hardLinkVictim()
    {
        QVERIFY(QFile::remove(list));
        QCOMPARE(::link(encoded(victim).constData(), encoded(list).constData()), 0);
    }
    // She watches the folder and puts her link to the root-only file in place of the list as soon
    // as a new list is renamed into it, before the saver can do anything more to it by its name.
    void raceTheRename()
    {
        const QByteArray folder = encoded(shared), secret = encoded(victim), link = encoded(list),
                         bait = encoded(shared + QLatin1String("/bait"));
        other.reset(new otherProcess(userId, groupId, [&](int ready) {
            const int watch = ::inotify_init();
            if (watch < 0 || ::inotify_add_watch(watch, folder.constData(), IN_MOVED_TO) < 0
                || ::symlink(secret.constData(), bait.constData()) != 0)
                ::_exit(1);
            tell(ready);
            alignas(struct inotify_event) char events[4096];
            for (;;) {
                const ssize_t size = ::read(watch, events, sizeof events);
                for (char *at = events; size > 0 && at < events + size;) {
                    const auto *event = reinterpret_cast<const struct inotify_event *>(at);
                    if (event->len && std::strcmp(event->name, "transport.ini") == 0) {
                        ::rename(bait.constData(), link.constData());
                        ::_exit(0);
                    }
                    at += sizeof(struct inotify_event) + event->len;
                }
            }
        }));
        QVERIFY(other->ready);
    }
    void herLinkInPlace() { QTRY_VERIFY(QFileInfo(list).isSymLink()); }

    // A test account with a primary group of its own and membership of one more group.
    QString user, group;
    uid_t userId = 0;
    gid_t userGroupId = 0, groupId = 0;
    struct rlimit sizeLimit = {};

    // Each case's own: a folder that holds the program's folder (both 0755, root's), in which the
    // list's path lies; and, where a case makes them, the list's own folder and the list.
    std::unique_ptr<QTemporaryDir> top;
    QString app, path, list, shared, hidden, victim;
    QString cannot; // why this system cannot take a step of the case
    int heldLock = -1;
    std::unique_ptr<otherProcess> other;
};

void tst_sharedFileLinux::initTestCase()
{
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &sizeLimit), 0);
    if (::geteuid() != 0)
        return;
    const QString suffix = QString::number(QCoreApplication::applicationPid());
    user = QStringLiteral("tsfu") + suffix;
    group = QStringLiteral("tsfg") + suffix;
    QCOMPARE(QProcess::execute(QStringLiteral("groupadd"), { group }), 0);
    QCOMPARE(QProcess::execute(QStringLiteral("useradd"),
                 { QStringLiteral("--no-create-home"), QStringLiteral("--user-group"),
                     QStringLiteral("--groups"), group, user }),
        0);
    const struct passwd *account = ::getpwnam(user.toLocal8Bit().constData());
    const struct group *extra = ::getgrnam(group.toLocal8Bit().constData());
    QVERIFY(account && extra);
    userId = account->pw_uid;
    userGroupId = account->pw_gid;
    groupId = extra->gr_gid;
}

void tst_sharedFileLinux::cleanupTestCase()
{
    if (!user.isEmpty())
        QProcess::execute(QStringLiteral("userdel"), { user });
    if (!group.isEmpty())
        QProcess::execute(QStringLiteral("groupdel"), { group });
}

void tst_sharedFileLinux::init()
{
    top.reset(new QTemporaryDir);
    QVERIFY(top->isValid());
    app = top->filePath(QStringLiteral("program"));
    path = app + QLatin1String("/transport.ini");
    QVERIFY(QDir().mkdir(app) && chmodTo(top->path(), 0755) && chmodTo(app, 0755));
    QVERIFY(writeFile(path, fixture));
}

void tst_sharedFileLinux::cleanup()
{
    other.reset();
    if (heldLock >= 0)
        ::close(heldLock);
    heldLock = -1;
    ::setrlimit(RLIMIT_FSIZE, &sizeLimit);
    cannot.clear();
    top.reset();
}

void tst_sharedFileLinux::ownership_data()
{
    // Who saves, the file's owner, group and mode before (mode 0: no file yet), the owner and
    // group it has afterwards, and what of its access the save could not keep (none: all).
    QTest::addColumn<bool>("member");
    QTest::addColumn<uint>("ownerBefore");
    QTest::addColumn<uint>("groupBefore");
    QTest::addColumn<int>("mode");
    QTest::addColumn<uint>("ownerAfter");
    QTest::addColumn<uint>("groupAfter");
    QTest::addColumn<fileError>("lost");
    const auto row = [](const char *name, bool member, uint ownerBefore, uint groupBefore, int mode,
                         uint ownerAfter, uint groupAfter, const fileError &lost = fileError()) {
        QTest::newRow(name) << member << ownerBefore << groupBefore << mode << ownerAfter
                            << groupAfter << lost;
    };
    row("root, a file of another account", false, userId, groupId, 0640, userId, groupId);
    row("member, a file of its group", true, 0, groupId, 0664, userId, groupId);
    // The account's own group has its name.
    row("member, a group it is not in", true, 0, 0, 0666, userId, userGroupId,
        fileError(fileError::groupChanged, QString(), QString(), { user, QStringLiteral("root") }));
    row("member, no file yet", true, 0, 0, 0, userId, userGroupId);
}

void tst_sharedFileLinux::ownership()
{
    if (::geteuid() != 0)
        QSKIP("needs root to make the test account and give the file away");
    QFETCH(bool, member);
    QFETCH(uint, ownerBefore);
    QFETCH(uint, groupBefore);
    QFETCH(int, mode);
    QFETCH(uint, ownerAfter);
    QFETCH(uint, groupAfter);
    QFETCH(fileError, lost);

    // The account may not write the program's folder; it saves through root's link into a folder
    // that everybody may write.
    const QString open = top->filePath(QStringLiteral("open"));
    QVERIFY(linkListTo(open, 0777, 0));
    if (mode)
        QVERIFY(writeFile(list, fixture) && chmodTo(list, mode_t(mode))
            && chownTo(list, ownerBefore, groupBefore));
    saveAs(member, mode ? QStringLiteral("2") : QString(), lost);
    if (QTest::currentTestFailed())
        return;
    struct stat status;
    QCOMPARE(::stat(encoded(list).constData(), &status), 0);
    QCOMPARE(uint(status.st_uid), ownerAfter);
    QCOMPARE(uint(status.st_gid), groupAfter);
    if (mode)
        QCOMPARE(int(status.st_mode & 07777), mode);
    QCOMPARE(entries(open), QStringList { QStringLiteral("transport.ini") }); // no lock, no stage
}

void tst_sharedFileLinux::untouchablePaths_data()
{
    // A failed load keeps no file for a save to replace: the save finds the path changed since.
    // By default Save changed nothing at the path, beside it, or where its links lead.
    QTest::addColumn<scenario>("story");
    using self = tst_sharedFileLinux;
    const fileError changed(fileError::changedSinceLoad), notAFile(fileError::notAFile), none;
    const QString lock = QStringLiteral("/program/transport.ini.lock");
    const fileError stuck(fileError::lockStuck, lock);
    const fileError loop(fileError::tooManyLinks, QString(), QString(), { QStringLiteral("40") });
    QTest::newRow("a FIFO") << scenario { &self::makeFifo, notAFile, "", nullptr, changed };
    QTest::newRow("a link to a character device")
        << scenario { &self::linkToOwnDevice, notAFile, "", nullptr, changed };
    QTest::newRow("a list larger than 32 MB") << scenario { &self::growPastLimit,
        fileError(fileError::tooLarge, QString(), QString(), { QStringLiteral("32") }), "", nullptr,
        changed };
    QTest::newRow("a lock that is a directory")
        << scenario { &self::makeLockFolder, none, "2", nullptr, stuck };
    QTest::newRow("a lock that is a FIFO")
        << scenario { &self::makeLockFifo, none, "2", nullptr, stuck };
    QTest::newRow("a lock that links to a device")
        << scenario { &self::linkLockToDevice, none, "2", nullptr, stuck };
    QTest::newRow("a lock held by a live process, its program's name in markup and separators")
        << scenario { &self::holdLock, none, "2", nullptr,
               fileError(fileError::lockHeld, lock, QString(),
                   { QString::number(QCoreApplication::applicationPid()), markedUpProgram(),
                       QSysInfo::machineHostName() }) };
    QTest::newRow("the list turns into a FIFO while Save waits for the lock")
        << scenario { nullptr, none, "2", &self::fifoWhileLocked, changed, &self::fifoAndNoLock };
    QTest::newRow("a loop of links") << scenario { &self::loopOfLinks, loop, "", nullptr, loop };
    QTest::newRow("a chain of 100 links")
        << scenario { &self::chainOf100Links, loop, "", nullptr, loop };
    QTest::newRow("a file size limit below the list's size")
        << scenario { nullptr, none, "2", &self::limitFileSize,
               fileError(fileError::copyFailed, QString(), QStringLiteral("(EFBIG)")) };
}

void tst_sharedFileLinux::untouchablePaths()
{
    QFETCH(scenario, story);
    if (did(story.before))
        play(story, { top->path(), app });
}

void tst_sharedFileLinux::attacks_data()
{
    QTest::addColumn<scenario>("story");
    const auto refused = [](const QString &owner) {
        return fileError(
            fileError::linkRefused, QStringLiteral("/shared/transport.ini"), QString(), { owner });
    };
    using self = tst_sharedFileLinux;
    const fileError herLink = refused(user), rootsLink = refused(QStringLiteral("root"));
    const fileError changed(fileError::changedSinceLoad), none;
    QTest::newRow("a link to a root-only file, planted before root starts the editor")
        << scenario { &self::plantHerLink, herLink, "", nullptr, herLink };
    QTest::newRow("a link swapped in the moment root's Save renames")
        << scenario { nullptr, none, "2", &self::raceTheRename, none, &self::herLinkInPlace };
    QTest::newRow("her own folder with her link, in place of root's folder on the way")
        << scenario { &self::swapFolderOnTheWay, rootsLink, "", nullptr, rootsLink };
    QTest::newRow("a second name of root's link to a root-only file")
        << scenario { &self::secondNameOfRootsLink, rootsLink, "", nullptr, rootsLink };
    QTest::newRow("root's own link to a root-only file, renamed into the list's place")
        << scenario { &self::renameRootsLink, rootsLink, "", nullptr, rootsLink };
    QTest::newRow("root's own link renamed into the list's place after root loaded it")
        << scenario { nullptr, none, "2", &self::renameRootsLink, rootsLink };
    QTest::newRow("a root-only list moved away after root loaded it")
        << scenario { &self::makeRootOnly, none, "2", &self::moveListAside, changed };
    QTest::newRow("a root-only list replaced by her own file after root loaded it")
        << scenario { &self::makeRootOnly, none, "2", &self::putHerFile, changed };
    QTest::newRow("a root-only list hidden while root's editor starts, then put back")
        << scenario { &self::hideRootOnlyList, none, "", &self::putListBack, changed };
    QTest::newRow("her file at the name when root loads, the list put back before Save")
        << scenario { &self::herFileInstead, none, "0", &self::putListBack, changed };
    QTest::newRow("her file at load, a second name of a root-only file at Save")
        << scenario { &self::herFileInstead, none, "0", &self::hardLinkVictim, changed };
}

// The installed layout: root's link, in a folder that only root may write, to the list in a
// folder of root and the group (2775) that members may write. Only the list may change, whatever
// they do, and never the file that only root may read.
void tst_sharedFileLinux::attacks()
{
    if (::geteuid() != 0)
        QSKIP("needs root to make the test account");
    QFETCH(scenario, story);
    QVERIFY(shareList() && hideVictim());
    const QStringList victimBefore = permissionsOf(victim);
    if (!did(story.before))
        return;
    play(story, { app, shared, hidden });
    QCOMPARE(permissionsOf(victim), victimBefore);
}

// Loads as the window does, takes the scenario's steps, saves, and compares what each gave. A save
// that was refused was refused before the store was given out, and changed nothing in `folders`.
void tst_sharedFileLinux::play(const scenario &story, const QStringList &folders)
{
    editor window(path);
    QCOMPARE(mismatch(window.load(), inCase(story.loaded)), QString());
    QCOMPARE(window.positions, QString::fromLatin1(story.positions));
    if (!did(story.meanwhile))
        return;
    const QStringList before = snapshot(folders);
    const fileError error = window.save();
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &sizeLimit), 0);
    QCOMPARE(mismatch(error, inCase(story.saved)), QString());
    QCOMPARE(window.refusedAtEdit, bool(error));
    if (story.check)
        (this->*story.check)();
    else if (error)
        QCOMPARE(snapshot(folders), before);
}

void tst_sharedFileLinux::permissions_data()
{
    // Who saves, the list's mode, ACL, extended attributes and attribute flags before, and what
    // of them the save could not keep.
    QTest::addColumn<bool>("member");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("acl");
    QTest::addColumn<QStringList>("attributes");
    QTest::addColumn<int>("flags");
    QTest::addColumn<fileError>("lost");
    const auto row
        = [](const char *name, bool member, int mode, const char *acl,
              const QStringList &attributes, int flags, const fileError &lost = fileError()) {
              QTest::newRow(name) << member << mode << QString::fromLatin1(acl) << attributes
                                  << flags << lost;
          };
    row("root, read-only for everybody", false, 0444, "", {}, 0);
    row("root, no access for anybody", false, 0000, "", {}, 0);
    row("root, a named ACL entry, attributes and flags", false, 0640,
        "u::rw-,u:nobody:r--,g::r--,m::r--,o::---",
        { QStringLiteral("security.audit=1"), QStringLiteral("trusted.audit=1"),
            QStringLiteral("user.origin=hand") },
        FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL);
    row("member, allowed to write by the group alone", true, 0464, "", {}, 0);
    row("member, a group that may only read through the ACL, an attribute and a flag", true, 0664,
        "u::rw-,u:nobody:r--,g::r--,m::rw-,o::r--", { QStringLiteral("user.origin=hand") },
        FS_NODUMP_FL);
    // libattr names the attribute it could not set.
    row("member, a security attribute that only root may set", true, 0664, "",
        { QStringLiteral("security.audit=1") }, 0,
        fileError(
            fileError::xattrsLost, QString(), QString(), { QStringLiteral("security.audit") }));
}

void tst_sharedFileLinux::permissions()
{
    if (::geteuid() != 0)
        QSKIP("needs root to make the test account and set trusted attributes");
    QFETCH(bool, member);
    QFETCH(int, mode);
    QFETCH(QString, acl);
    QFETCH(QStringList, attributes);
    QFETCH(int, flags);
    QFETCH(fileError, lost);

    QVERIFY(shareList() && chmodTo(list, mode_t(mode)));
    QVERIFY(setAccess(list, acl, attributes));
    if (flags && !setFlags(list, flags))
        QSKIP("this file system keeps no attribute flags");
    const QStringList before = permissionsOf(list);
    saveAs(member, QStringLiteral("2"), lost);
    if (QTest::currentTestFailed())
        return;
    // All but the owner, which only root can give back, the changed bytes, and what was lost.
    QStringList after = permissionsOf(list);
    QVERIFY(after.last() != before.last());
    after.removeLast();
    QCOMPARE(after.takeFirst(), QStringLiteral("owner %1").arg(member ? userId : 0));
    QStringList kept = before.mid(1, before.size() - 2);
    if (lost.what == fileError::xattrsLost) {
        for (const QString &attribute : attributes)
            kept.removeAll(attribute);
    }
    QCOMPARE(after, kept);
}

void tst_sharedFileLinux::typedValues_data()
{
    // A value of a key the editor does not know, as it stands in the file, what the load gives,
    // and what Save gives: after a load that fails at the value's line there is no loaded file to
    // replace, a value that the store would write otherwise refuses it, and any other keeps its
    // line byte for byte.
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<fileError>("loaded");
    QTest::addColumn<fileError>("saved");
    const auto notLoaded = [](const char *name, const char *value) {
        QTest::newRow(name) << QByteArray(value)
                            << fileError(fileError::typedValue, QString(), QString(),
                                   { QStringLiteral("12") })
                            << fileError(fileError::changedSinceLoad);
    };
    const auto saved = [](const char *name, const char *value, const fileError &error) {
        QTest::newRow(name) << QByteArray(value) << fileError() << error;
    };
    // A list that claims 2^31 - 1 elements, which the Qt 5 deserialiser tries to make room for.
    notLoaded("a huge list for the deserialiser", "@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)");
    notLoaded("a type nobody knows", "@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\vNoSuchType\\0)");
    notLoaded("a date for the deserialiser", "@DateTime(\\0\\0\\0\\x10\\0)");
    notLoaded("quoted in two halves", "\"@Var\"  \"iant(\\0\\0\\0\\t\\0\\0\\0\\x1)\"");
    notLoaded("its @ escaped", "\\x40Variant(\\0\\0\\0\\t\\0\\0\\0\\x1)");
    notLoaded("its letters escaped, across an escaped line end",
        "@\\126ar\\\niant(\\0\\0\\0\\t\\0\\0\\0\\x1)");
    notLoaded("the second of a list", "a, @Variant(\\0\\0\\0\\t\\0\\0\\0\\x1)");
    for (const char *kept : { "@ByteArray(abc)", "@Point(1 2)", "@Rect(1 2 3 4)", "@Size(3 4)",
             "@Invalid()", "@@home", "a, @Size(1 2)" })
        saved(kept, kept, fileError());
    // A DEL, which the store writes as it stands only with a codec, as the Qt 6 build and a save
    // of a UTF-8 file leave it.
    saved("@String with a DEL", "@String(a\\0z\x7f)", fileError());
    for (const char *changed : { "@String(abc)", "@home", "@Point(1  2)", "@Size(1,2)" })
        saved(changed, changed,
            fileError(fileError::changedByStore, QStringLiteral("blob"), QString(),
                { QString::fromLatin1(changed) }));
}

void tst_sharedFileLinux::typedValues()
{
    QFETCH(QByteArray, value);
    QFETCH(fileError, loaded);
    QFETCH(fileError, saved);

    const QByteArray file = fixture + "[Extra]\nblob=" + value + "\n";
    QVERIFY(writeFile(path, file));
    editor window(path);
    QCOMPARE(mismatch(window.load(), loaded), QString());
    QCOMPARE(window.positions, loaded ? QString() : QStringLiteral("2"));
    const fileError error = window.save();
    QCOMPARE(mismatch(error, saved), QString());
    const QByteArray now = readFile(path);
    if (error) {
        QVERIFY(window.refusedAtEdit);
        QCOMPARE(now, file);
        return;
    }
    QVERIFY(now.contains("192.168.0.1"));
    QVERIFY2(now.contains("\n[Extra]\nblob=" + value + "\n"), now.constData());
}

// Save removes what an earlier save of the same user left, in the shape a save makes it, and
// nothing that merely has such a name.
void tst_sharedFileLinux::leftovers()
{
    const QString prefix = path + QLatin1String(".new-");
    const QStringList kept { prefix + QLatin1String("draft1"), prefix + QLatin1String("a1b2c3"),
        prefix + QLatin1String("d4e5f6") };
    QVERIFY(writeFile(kept[0], "mine"));
    QVERIFY(writeFile(kept[1], "a file with a save's name"));
    QVERIFY(QDir().mkdir(kept[2]) && writeFile(kept[2] + QLatin1String("/new"), "an open folder"));
    QVERIFY(chmodTo(kept[2], 0755));
    const QString own = prefix + QLatin1String("g7h8i9");
    QVERIFY(QDir().mkdir(own) && writeFile(own + QLatin1String("/new"), "killed")
        && chmodTo(own, 0700));
    QString others;
    if (::geteuid() == 0) {
        // Another user's, in the shape of a save's own.
        others = prefix + QLatin1String("j0k1l2");
        QVERIFY(QDir().mkdir(others) && writeFile(others + QLatin1String("/new"), "hers"));
        QVERIFY(chmodTo(others, 0700) && chownTo(others, userId, groupId));
    }
    saveAs(false, QStringLiteral("2"), fileError());
    for (const QString &name : kept)
        QVERIFY2(QFileInfo::exists(name), qPrintable(name));
    QVERIFY(!QFileInfo::exists(own));
    if (!others.isEmpty())
        QVERIFY(QFileInfo::exists(others + QLatin1String("/new")));
}

// The program's folder has a name that is not UTF-8 ("прог" in KOI8-R), so the program cannot name
// it: nothing is read or saved, least of all a transport.ini at the root of the file system.
void tst_sharedFileLinux::unknownFolder()
{
    const QString saver = qEnvironmentVariable("TRANSPORT_SAVER");
    if (saver.isEmpty())
        QSKIP("TRANSPORT_SAVER names no saver program");
    if (QFileInfo::exists(QStringLiteral("/transport.ini")))
        QSKIP("there is a /transport.ini already");
    const QByteArray folder = encoded(top->path()) + "/\xd0\xd2\xcf\xc7";
    const QByteArray program = folder + "/saver";
    QCOMPARE(::mkdir(folder.constData(), 0755), 0);
    const QByteArray code = readFile(saver);
    const int copy = ::open(program.constData(), O_WRONLY | O_CREAT | O_EXCL, 0755);
    QVERIFY(copy >= 0 && !code.isEmpty());
    QCOMPARE(::write(copy, code.constData(), size_t(code.size())), ssize_t(code.size()));
    ::close(copy);
    const int list
        = ::open((folder + "/transport.ini").constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QCOMPARE(::write(list, fixture.constData(), size_t(fixture.size())), ssize_t(fixture.size()));
    ::close(list);

    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(program.constData(), program.constData(), "A", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    const bool atRoot = QFile::remove(QStringLiteral("/transport.ini"));
    char text[512];
    const int back = ::open((folder + "/transport.ini").constData(), O_RDONLY);
    const ssize_t size = back >= 0 ? ::read(back, text, sizeof text) : -1;
    ::close(back);
    // Qt cannot name these files either, so they go before anything can fail.
    for (const char *name : { "/saver", "/transport.ini", "/transport.ini.lock" })
        ::unlink((folder + name).constData());
    ::rmdir(folder.constData());

    QVERIFY(!atRoot);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 3); // the saver's own code for a failed save
    QCOMPARE(QByteArray(text, int(qMax<ssize_t>(size, 0))), fixture);
}

// Where the system's shared-memory folder is not sticky (a chroot, a tmpfs mounted without the
// bit) and TMPDIR names a folder that a member may write, the store's private copy goes
// neither there nor there: she could swap it for a link to anything root may write or delete.
void tst_sharedFileLinux::privateCopy()
{
    const QString saver = qEnvironmentVariable("TRANSPORT_SAVER");
    if (saver.isEmpty() || ::geteuid() != 0)
        QSKIP("needs root and TRANSPORT_SAVER, a saver program");
    const QString temporary = top->filePath(QStringLiteral("temporary"));
    QVERIFY(QDir().mkdir(temporary));
    QCOMPARE(::chown(encoded(temporary).constData(), userId, groupId), 0);
    QCOMPARE(::chmod(encoded(temporary).constData(), 0777), 0);
    QVERIFY(QFile::copy(saver, app + QLatin1String("/saver")));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(
        watch >= 0 && ::inotify_add_watch(watch, encoded(temporary).constData(), IN_CREATE) >= 0);

    const QByteArray executable = encoded(app + QLatin1String("/saver"));
    const QByteArray temporaryName = encoded(temporary);
    const pid_t child = ::fork();
    if (child == 0) {
        // In a mount namespace of its own, with a /dev/shm of its own that is not sticky.
        if (::unshare(CLONE_NEWNS) != 0
            || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("none", "/dev/shm", "tmpfs", 0, "mode=0777") != 0)
            ::_exit(77);
        ::setenv("TMPDIR", temporaryName.constData(), 1);
        ::execl(executable.constData(), executable.constData(), "A", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    alignas(struct inotify_event) char events[4096];
    const ssize_t made = ::read(watch, events, sizeof events);
    ::close(watch);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        QSKIP("no mount namespace here");
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(readFile(path) != fixture);
    // Nothing of the store's was made in the member's folder (Qt makes its runtime folder there).
    QStringList ours;
    for (const char *at = events; made > 0 && at < events + made;) {
        const auto *event = reinterpret_cast<const struct inotify_event *>(at);
        if (event->len && std::strncmp(event->name, "transport-settings", 18) == 0)
            ours << QString::fromLocal8Bit(event->name);
        at += sizeof(struct inotify_event) + event->len;
    }
    QCOMPARE(ours, QStringList());
}

QTEST_GUILESS_MAIN(tst_sharedFileLinux)
#include "tst_sharedfile_linux.moc"
