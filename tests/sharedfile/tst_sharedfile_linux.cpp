// The shared file on Linux: owners, groups, ACLs, attributes, FIFOs, devices, links that a member
// of the list's group planted, locks, and what a save leaves behind.
#include "settingsdialog.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sched.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

using namespace testSupport;

namespace {

const QByteArray fixture
    = "[General]\npositions=2\nlistenHost1=127.0.0.1\nlistenPort1=80\n"
      "destHost1=10.0.0.2\ndestPort1=80\nlistenHost2=127.0.0.1\nlistenPort2=110\n"
      "destHost2=10.0.0.3\ndestPort2=110\n";

// Clicks Save, which must show `boxes` message boxes, each answered at once; returns the last
// one's title and text, or nothing when it showed none.
QStringList saveAndAnswer(QWidget &window, int boxes)
{
    QStringList said;
    if (!clickSave(window, boxes, &said))
        return { QStringLiteral("not %1 message boxes").arg(boxes) };
    return said.isEmpty() ? QStringList() : QStringList { said[1] + QLatin1String(" | ") + said[2] };
}

void removePath(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

QString shownPath()
{
    return QDir::toNativeSeparators(settingsPath());
}

QString failedText()
{
    return QStringLiteral("Ошибка сохранения | Не удалось сохранить настройки в файл ")
        + shownPath();
}

// Save's refusal when the list is not the file the window loaded.
QString changedText()
{
    return failedText()
        + QStringLiteral(": после того как окно загрузило список, файл переместили, заменили, "
                         "удалили или создали; редактор не сохраняет таблицу в другой файл. "
                         "Запустите редактор снова, чтобы загрузить список");
}

// What the window says when it shows, after a load that failed for `reason`, and what Save says then.
QString notLoadedText(const QString &reason)
{
    return QStringLiteral("Ошибка загрузки | Не удалось загрузить настройки из файла %1: %2. Пока "
                          "список не загружен, редактор его не сохраняет; запустите редактор "
                          "снова, когда файл будет в порядке")
        .arg(shownPath(), reason);
}
QString notSavedText(const QString &reason)
{
    return failedText()
        + QStringLiteral(": %1. Таблица загружена не из этого файла, и редактор не сохранит её "
                         "поверх него; запустите редактор снова, когда файл будет в порядке")
              .arg(reason);
}

// Shows the window, which must then show `boxes` message boxes, each answered at once; returns
// the last one's title and text, or nothing when it showed none.
QStringList showAndAnswer(QWidget &window, int boxes)
{
    QStringList said;
    const auto reply = [&](QMessageBox *box) {
        said = QStringList { box->windowTitle() + QLatin1String(" | ") + box->text() };
        box->button(QMessageBox::Ok)->click();
    };
    window.show(); // a dialog itself, shown before the boxes are counted
    if (!answer<QMessageBox>([] { QCoreApplication::processEvents(); }, reply, boxes))
        return { QStringLiteral("not %1 message boxes").arg(boxes) };
    return said;
}
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

int run(const QString &program, const QStringList &arguments)
{
    return QProcess::execute(program, arguments);
}

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// Everything a save must keep of a file: owner, group, mode, ACL, extended attributes (all that
// root can see), attribute flags, and then its bytes. Nothing is opened that could block.
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
        const ssize_t length = ::getxattr(name.constData(), attribute.constData(), value, sizeof value);
        if (!attribute.isEmpty() && !attribute.startsWith("system.posix_acl"))
            attributes << QString::fromLatin1(attribute + '=' + QByteArray(value, length > 0 ? int(length) : 0));
    }
    attributes.sort();
    facts << attributes;
    const int file = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    int flags = 0;
    if (file >= 0 && ::ioctl(file, FS_IOC_GETFLAGS, &flags) == 0)
        facts << QStringLiteral("flags %1").arg(flags & (FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL));
    if (file >= 0)
        ::close(file);
    return facts << QString::fromLatin1(readFile(path).toHex());
}

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
            if (user != 0 && (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0))
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
    void unknownFolder();
    void privateCopy();
    void typedValues_data();
    void typedValues();
    void leftovers();

private:
    // A test account with a primary group of its own and membership of one more group.
    QString user, group;
    uid_t userId = 0;
    gid_t userGroupId = 0, groupId = 0;
    QTemporaryDir target;
};

void tst_sharedFileLinux::initTestCase()
{
    QVERIFY(target.isValid());
    // The account may not write the program's folder; it saves through a link into this one.
    QCOMPARE(::chmod(QFile::encodeName(target.path()).constData(), 0777), 0);
    if (::geteuid() != 0)
        return;
    const QString suffix = QString::number(QCoreApplication::applicationPid());
    user = QStringLiteral("tsfu") + suffix;
    group = QStringLiteral("tsfg") + suffix;
    QCOMPARE(run(QStringLiteral("groupadd"), { group }), 0);
    QCOMPARE(run(QStringLiteral("useradd"),
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
        run(QStringLiteral("userdel"), { user });
    if (!group.isEmpty())
        run(QStringLiteral("groupdel"), { group });
}

void tst_sharedFileLinux::init()
{
    cleanup();
    QCOMPARE(::chmod(QFile::encodeName(target.path()).constData(), 0777), 0); // as a case may have left it
    QVERIFY(writeFile(settingsPath(), fixture));
    QVERIFY(forgetCachedFile());
}

void tst_sharedFileLinux::cleanup()
{
    removePath(settingsPath());
    removePath(settingsPath() + QLatin1String(".lock"));
    for (const QString &name :
        QDir(target.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
        removePath(target.filePath(name));
}

void tst_sharedFileLinux::ownership_data()
{
    // Who saves, the file's owner, group and mode before (none: no file yet), the owner and group
    // it must have afterwards, and the message that Save shows.
    QTest::addColumn<bool>("member");
    QTest::addColumn<QString>("ownerBefore");
    QTest::addColumn<QString>("groupBefore");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("ownerAfter");
    QTest::addColumn<QString>("groupAfter");
    QTest::addColumn<bool>("warned");

    QTest::newRow("root, a file of another account") << false << "user"
                                                     << "group" << 0640 << "user"
                                                     << "group" << false;
    QTest::newRow("member, a file of its group") << true << "root"
                                                 << "group" << 0664 << "user"
                                                 << "group" << false;
    QTest::newRow("member, a group it is not in") << true << "root"
                                                  << "root" << 0666 << "user"
                                                  << "own" << true;
    QTest::newRow("member, no file yet") << true << ""
                                         << "" << 0 << "user"
                                         << "own" << false;
}

void tst_sharedFileLinux::ownership()
{
    if (::geteuid() != 0)
        QSKIP("needs root to make the test account and give the file away");
    QFETCH(bool, member);
    QFETCH(QString, ownerBefore);
    QFETCH(QString, groupBefore);
    QFETCH(int, mode);
    QFETCH(QString, ownerAfter);
    QFETCH(QString, groupAfter);
    QFETCH(bool, warned);

    const auto uidOf
        = [&](const QString &name) { return name == QLatin1String("user") ? userId : uid_t(0); };
    const auto gidOf = [&](const QString &name) {
        return name == QLatin1String("group") ? groupId
            : name == QLatin1String("own")    ? userGroupId
                                              : gid_t(0);
    };
    const QString file = target.filePath(QStringLiteral("transport.ini"));
    const QByteArray name = QFile::encodeName(file);
    QVERIFY(QFile::remove(settingsPath()));
    QVERIFY(QFile::link(file, settingsPath()));
    if (!ownerBefore.isEmpty()) {
        QVERIFY(writeFile(file, fixture));
        QCOMPARE(::chown(name.constData(), uidOf(ownerBefore), gidOf(groupBefore)), 0);
        QCOMPARE(::chmod(name.constData(), mode_t(mode)), 0);
    }

    QStringList boxes;
    {
        std::unique_ptr<actingAs> account;
        if (member) {
            account.reset(new actingAs(userId, userGroupId, { userGroupId, groupId }));
            QVERIFY(account->ok);
            if (::access(
                    QFile::encodeName(QCoreApplication::applicationDirPath()).constData(), X_OK)
                != 0)
                QSKIP("the test account cannot reach the program's folder");
        }
        openedWindow editor;
        QCOMPARE(editor.rows().size(), ownerBefore.isEmpty() ? 0 : 2);
        boxes = saveAndAnswer(editor.window, warned ? 1 : 0);
    }

    struct stat status;
    QCOMPARE(::stat(name.constData(), &status), 0);
    QCOMPARE(status.st_uid, uidOf(ownerAfter));
    QCOMPARE(status.st_gid, gidOf(groupAfter));
    if (mode)
        QCOMPARE(int(status.st_mode & 07777), mode);
    const QStringList expected = warned
        ? QStringList { QStringLiteral("Сохранение настроек | Настройки сохранены в файл %1, но "
                                       "его группа теперь %2 вместо %3")
                            .arg(shownPath(), user, QStringLiteral("root")) }
        : QStringList();
    QCOMPARE(boxes, expected);
    QVERIFY(QFileInfo(target.filePath(QStringLiteral("transport.ini.lock"))).exists() == false);
}

void tst_sharedFileLinux::untouchablePaths_data()
{
    // What stands at the path or beside it, the rows the window starts with, what it says when it
    // shows (nothing after a load), and what Save says.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("loaded");
    QTest::addColumn<QString>("message");

    const QString lock = QDir::toNativeSeparators(settingsPath() + QLatin1String(".lock"));
    const QString lockRefused = failedText()
        + QStringLiteral(": файл заблокирован, файл блокировки %1 не удаётся ни занять, ни удалить")
              .arg(lock);
    const QString loop
        = QStringLiteral("на пути к файлу больше 40 символических ссылок, или они замыкаются в петлю");
    const QString notAFile = QStringLiteral("на его месте не обычный файл");
    QTest::newRow("a FIFO") << "fifo" << 0 << notLoadedText(notAFile) << notSavedText(notAFile);
    QTest::newRow("a link to a character device")
        << "device" << 0 << notLoadedText(notAFile) << notSavedText(notAFile);
    QTest::newRow("a list larger than 32 MB") << "huge" << 0
                                              << notLoadedText(QStringLiteral("он больше 32 МБ"))
                                              << notSavedText(QStringLiteral("он больше 32 МБ"));
    QTest::newRow("a lock that is a directory") << "lock folder" << 2 << "" << lockRefused;
    QTest::newRow("a lock that is a FIFO") << "lock fifo" << 2 << "" << lockRefused;
    QTest::newRow("a lock that links to a device") << "lock link" << 2 << "" << lockRefused;
    QTest::newRow("a lock held by a live process, its program's name in markup and separators")
        << "live lock" << 2 << ""
        << failedText()
            + QStringLiteral(
                ": файл заблокирован процессом %1 (%2) на компьютере %3, файл блокировки %4")
                  .arg(QString::number(QCoreApplication::applicationPid()),
                      QStringLiteral("<h1>tst\\u2028Настройки сохранены\\u202eelifderahs_tst</h1>"),
                      QSysInfo::machineHostName(), lock);
    QTest::newRow("the list turns into a FIFO while Save waits for the lock")
        << "fifo later" << 2 << "" << changedText();
    QTest::newRow("a loop of links") << "loop" << 0 << notLoadedText(loop) << failedText() + ": " + loop;
    QTest::newRow("a chain of 100 links") << "chain" << 0 << notLoadedText(loop) << failedText() + ": " + loop;
    QTest::newRow("a file size limit below the list's size")
        << "size limit" << 2 << ""
        << failedText() + QStringLiteral(": не удалось записать его копию во временную папку: %1 (EFBIG)").arg(QString::fromLocal8Bit(std::strerror(EFBIG)));
}

void tst_sharedFileLinux::untouchablePaths()
{
    QFETCH(QString, setup);
    QFETCH(int, rows);
    QFETCH(QString, loaded);
    QFETCH(QString, message);

    const QByteArray path = encoded(settingsPath());
    const QString lockName = settingsPath() + QLatin1String(".lock");
    const QString device = target.filePath(QStringLiteral("null"));
    std::unique_ptr<int, void (*)(int *)> heldFd(nullptr, [](int *fd) { ::close(*fd); delete fd; });
    if (setup == QLatin1String("fifo")) {
        QVERIFY(QFile::remove(settingsPath()));
        QCOMPARE(::mkfifo(path.constData(), 0644), 0);
    } else if (setup == QLatin1String("device")) {
        // A device of our own, the same as /dev/null, so that nothing of the system is at stake.
        if (::mknod(encoded(device).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("cannot make a device node here");
        QVERIFY(QFile::remove(settingsPath()));
        QVERIFY(QFile::link(device, settingsPath()));
    } else if (setup == QLatin1String("lock folder")) {
        QVERIFY(QDir().mkdir(lockName));
    } else if (setup == QLatin1String("lock fifo")) {
        QCOMPARE(::mkfifo(encoded(lockName).constData(), 0644), 0);
    } else if (setup == QLatin1String("lock link")) {
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), lockName));
    } else if (setup == QLatin1String("huge")) {
        QVERIFY(QFile::resize(settingsPath(), 32 * 1024 * 1024 + 1));
    } else if (setup == QLatin1String("live lock")) {
        // Held as another editor holds it, with markup in the lines that anybody can write.
        const int fd = ::open(encoded(lockName).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        const QByteArray owner = QByteArray::number(QCoreApplication::applicationPid())
            + QStringLiteral("\n<h1>tst\u2028Настройки сохранены\u202eelifderahs_tst</h1>\n").toUtf8()
            + QSysInfo::machineHostName().toUtf8() + '\n';
        QVERIFY(fd >= 0 && ::flock(fd, LOCK_EX) == 0);
        QCOMPARE(::write(fd, owner.constData(), size_t(owner.size())), ssize_t(owner.size()));
        heldFd.reset(new int(fd));
    } else if (setup == QLatin1String("loop") || setup == QLatin1String("chain")) {
        // Links in a folder that only its owner may write, which the editor follows.
        QCOMPARE(::chmod(encoded(target.path()).constData(), 0755), 0);
        const bool loop = setup == QLatin1String("loop");
        QString next = target.filePath(QStringLiteral("list.ini"));
        QVERIFY(writeFile(next, fixture));
        for (int link = loop ? 2 : 100; link >= 1; --link) {
            const QString name = target.filePath(QStringLiteral("link%1").arg(link));
            QVERIFY(QFile::link(next, name));
            next = name;
        }
        if (loop) {
            QVERIFY(QFile::remove(target.filePath(QStringLiteral("list.ini"))));
            QVERIFY(QFile::link(next, target.filePath(QStringLiteral("list.ini"))));
        }
        QVERIFY(QFile::remove(settingsPath()));
        QVERIFY(QFile::link(next, settingsPath()));
    }
    // Save changes nothing at the path, nor in the folder its links lead to.
    const auto everything = [&] {
        QStringList all = permissionsOf(settingsPath());
        for (const QString &name : QDir(target.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            all << name << permissionsOf(target.filePath(name));
        return all;
    };
    const QStringList before = everything();

    openedWindow editor;
    QCOMPARE(editor.rows().size(), rows);
    QCOMPARE(showAndAnswer(editor.window, loaded.isEmpty() ? 0 : 1),
             loaded.isEmpty() ? QStringList() : QStringList { loaded });

    // Another writer holds the lock, and turns the list into a FIFO before it lets the lock go.
    std::unique_ptr<otherProcess> writer;
    if (setup == QLatin1String("fifo later")) {
        writer.reset(new otherProcess(0, 0, [&](int ready) {
            const int fd = ::open(encoded(lockName).constData(), O_RDWR | O_CREAT | O_EXCL, 0644);
            char owner[64];
            const int size = std::snprintf(owner, sizeof owner, "%d\nwriter\n%s\n", int(::getpid()),
                                           QSysInfo::machineHostName().toUtf8().constData());
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(fd, owner, size_t(size)) != size)
                ::_exit(1);
            tell(ready);
            ::usleep(300000);
            ::unlink(path.constData());
            ::mkfifo(path.constData(), 0644);
            ::usleep(300000);
            ::unlink(encoded(lockName).constData());
        }));
        QVERIFY(writer->ready);
    }
    struct rlimit limit;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    if (setup == QLatin1String("size limit")) {
        const struct rlimit small = { 64, limit.rlim_max };
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    const QStringList said = saveAndAnswer(editor.window, 1);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    QCOMPARE(said, QStringList { message });

    if (setup == QLatin1String("fifo later")) {
        struct stat status;
        QVERIFY(::lstat(path.constData(), &status) == 0 && S_ISFIFO(status.st_mode));
        QVERIFY(!QFileInfo::exists(lockName));
    } else {
        QCOMPARE(everything(), before);
    }
}

void tst_sharedFileLinux::attacks_data()
{
    // What a member of the list's group does in its folder, the rows root's editor shows, and the
    // link, below that folder, for which root's Save is refused (none: it saves).
    QTest::addColumn<QString>("attack");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("refusedLink");

    // Save refused for a list that is no longer the file root loaded.
    const QString changed = QStringLiteral("changed");
    QTest::newRow("a link to a root-only file, planted before root starts the editor")
        << "planted" << 0 << "transport.ini";
    QTest::newRow("a link swapped in the moment root's Save renames") << "racing" << 2 << "";
    QTest::newRow("her own folder with her link, in place of root's folder on the way")
        << "own folder" << 0 << "transport.ini";
    QTest::newRow("a second name of root's link to a root-only file")
        << "second name" << 0 << "transport.ini";
    QTest::newRow("root's own link to a root-only file, renamed into the list's place")
        << "renamed link" << 0 << "transport.ini";
    QTest::newRow("root's own link renamed into the list's place after root loaded it")
        << "renamed link later" << 2 << "transport.ini";
    QTest::newRow("a root-only list moved away after root loaded it") << "moved" << 2 << changed;
    QTest::newRow("a root-only list replaced by her own file after root loaded it")
        << "replaced" << 2 << changed;
    QTest::newRow("a root-only list hidden while root's editor starts, then put back")
        << "hidden" << 0 << changed;
    QTest::newRow("her file at the name when root loads, the list put back before Save")
        << "hers at load" << 0 << changed;
    QTest::newRow("her file at load, a second name of a root-only file at Save")
        << "hard link at save" << 0 << changed;
}

// The installed layout: the program's folder holds root's link to the list, which lies in a folder
// of root and the group (2775) that members may write. Only the list may change, whatever they do.
void tst_sharedFileLinux::attacks()
{
    if (::geteuid() != 0)
        QSKIP("needs root to make the test account");
    QFETCH(QString, attack);
    QFETCH(int, rows);
    QFETCH(QString, refusedLink);

    const QString shared = target.filePath(QStringLiteral("shared"));
    const QString hidden = target.filePath(QStringLiteral("hidden"));
    const QString list = shared + QLatin1String("/transport.ini");
    const QString victim = hidden + QLatin1String("/secret.conf");
    QVERIFY(QDir().mkdir(shared) && QDir().mkdir(hidden));
    QCOMPARE(::chown(encoded(shared).constData(), 0, groupId), 0);
    QCOMPARE(::chmod(encoded(shared).constData(), 02775), 0);
    QCOMPARE(::chmod(encoded(hidden).constData(), 0711), 0);
    QVERIFY(writeFile(victim, "[General]\nsecret=1\n"));
    QCOMPARE(::chmod(encoded(victim).constData(), 0600), 0);
    QVERIFY(QFile::remove(settingsPath()));
    QVERIFY(QFile::link(list, settingsPath()));
    QVERIFY(writeFile(list, fixture));
    QCOMPARE(::chown(encoded(list).constData(), 0, groupId), 0);
    QCOMPARE(::chmod(encoded(list).constData(), 0664), 0);
    const QStringList victimBefore = permissionsOf(victim);

    const QByteArray link = encoded(list), bait = encoded(shared + QLatin1String("/bait"));
    const auto hers = [&](const QString &path) {
        return ::lchown(encoded(path).constData(), userId, groupId) == 0;
    };
    const bool rootOnly = attack == QLatin1String("moved") || attack == QLatin1String("replaced")
        || attack == QLatin1String("hidden");
    const QByteArray aside = encoded(shared + QLatin1String("/aside"));
    const QByteArray rootLink = encoded(shared + QLatin1String("/site.conf"));
    if (attack == QLatin1String("planted")) {
        QVERIFY(QFile::remove(list));
        QVERIFY(QFile::link(victim, list));
        QVERIFY(hers(list));
    } else if (attack == QLatin1String("own folder")) {
        // Root keeps the list in a folder of its own below the shared one; she renames that
        // folder away and makes her own in its place, with her link to the root-only file.
        const QString live = shared + QLatin1String("/live");
        QVERIFY(QDir().mkdir(live));
        QCOMPARE(::rename(link.constData(), encoded(live + QLatin1String("/transport.ini")).constData()), 0);
        QCOMPARE(::symlink("live/transport.ini", link.constData()), 0);
        QCOMPARE(::rename(encoded(live).constData(), encoded(live + QLatin1String(".old")).constData()), 0);
        QVERIFY(QDir().mkdir(live) && hers(live));
        QVERIFY(QFile::link(victim, live + QLatin1String("/transport.ini")));
        QVERIFY(hers(live + QLatin1String("/transport.ini")));
    } else if (attack == QLatin1String("second name")) {
        // A link of root's elsewhere, to which she gives a second name in the shared folder, as
        // the kernel lets her where fs.protected_hardlinks is 0.
        const QByteArray rootLink = encoded(hidden + QLatin1String("/secret.link"));
        QCOMPARE(::symlink(encoded(victim).constData(), rootLink.constData()), 0);
        QVERIFY(QFile::remove(list));
        QCOMPARE(::linkat(AT_FDCWD, rootLink.constData(), AT_FDCWD, link.constData(), 0), 0);
    } else if (attack.startsWith(QLatin1String("renamed link"))) {
        // An administrator's own link in the shared folder, which she renames to the list's name.
        QCOMPARE(::symlink(encoded(victim).constData(), rootLink.constData()), 0);
        if (attack == QLatin1String("renamed link"))
            QCOMPARE(::rename(rootLink.constData(), link.constData()), 0);
    } else if (attack == QLatin1String("hers at load") || attack == QLatin1String("hard link at save")) {
        QCOMPARE(::rename(link.constData(), aside.constData()), 0);
        QVERIFY(writeFile(list, "[General]\npositions=0\n") && hers(list));
    }
    if (rootOnly) {
        QCOMPARE(::chown(link.constData(), 0, 0), 0);
        QCOMPARE(::chmod(link.constData(), 0600), 0);
    }
    if (attack == QLatin1String("hidden"))
        QCOMPARE(::rename(link.constData(), aside.constData()), 0);
    openedWindow editor;
    QCOMPARE(editor.rows().size(), rows);
    if (attack == QLatin1String("renamed link later")) {
        QCOMPARE(::rename(rootLink.constData(), link.constData()), 0);
    } else if (attack == QLatin1String("hidden") || attack == QLatin1String("hers at load")) {
        QCOMPARE(::rename(aside.constData(), link.constData()), 0);
    } else if (attack == QLatin1String("hard link at save")) {
        QCOMPARE(::unlink(link.constData()), 0);
        QCOMPARE(::link(encoded(victim).constData(), link.constData()), 0);
    }
    if (attack == QLatin1String("moved")) {
        QCOMPARE(::rename(link.constData(), encoded(shared + QLatin1String("/moved")).constData()), 0);
    } else if (attack == QLatin1String("replaced")) {
        const QString mine = shared + QLatin1String("/mine");
        QVERIFY(writeFile(mine, "[General]\npositions=0\n") && hers(mine));
        QCOMPARE(::chmod(encoded(mine).constData(), 0644), 0);
        QCOMPARE(::rename(encoded(mine).constData(), link.constData()), 0);
    }

    // The member watches the folder and puts a link in place of the list as soon as a new list
    // is renamed into it, before the saver can do anything more to it by its name.
    std::unique_ptr<otherProcess> member;
    if (attack == QLatin1String("racing")) {
        const QByteArray folder = encoded(shared), secret = encoded(victim);
        member.reset(new otherProcess(userId, groupId, [&](int ready) {
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
        QVERIFY(member->ready);
    }

    const QStringList said = saveAndAnswer(editor.window, refusedLink.isEmpty() ? 0 : 1);
    if (member)
        QTRY_VERIFY(QFileInfo(list).isSymLink()); // the member did swap in the link
    QCOMPARE(permissionsOf(victim), victimBefore);
    const QString refused = shared + QLatin1Char('/') + refusedLink;
    const bool herLink = attack == QLatin1String("planted");
    const QStringList expected = refusedLink.isEmpty() ? QStringList()
        : refusedLink == QLatin1String("changed")
        ? QStringList { changedText() }
        : QStringList { failedText()
              + QStringLiteral(": символическая ссылка %1 (её владелец — пользователь %2) лежит в "
                               "папке, которую могут изменять и другие пользователи; кто положил "
                               "её под это имя, не узнать, и по такой ссылке редактор не переходит")
                    .arg(refused, herLink ? user : QStringLiteral("root")) };
    QCOMPARE(said, expected);
    if (attack == QLatin1String("hers at load"))
        QCOMPARE(permissionsOf(list).mid(0, 1), QStringList { QStringLiteral("owner 0") });
    // A root-only list stays root's alone and as it was.
    if (attack == QLatin1String("hidden"))
        QCOMPARE(permissionsOf(list).mid(0, 3),
                 (QStringList { QStringLiteral("owner 0"), QStringLiteral("group 0"), QStringLiteral("mode 100600") }));
}

void tst_sharedFileLinux::permissions_data()
{
    // Who saves, the list's mode, ACL, extended attributes and attribute flags before, and what
    // Save says it could not keep.
    QTest::addColumn<bool>("member");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("acl");
    QTest::addColumn<QStringList>("attributes");
    QTest::addColumn<int>("flags");
    QTest::addColumn<QString>("lost");

    QTest::newRow("root, read-only for everybody") << false << 0444 << "" << QStringList() << 0 << "";
    QTest::newRow("root, no access for anybody") << false << 0000 << "" << QStringList() << 0 << "";
    QTest::newRow("root, a named ACL entry, attributes and flags")
        << false << 0640 << "u::rw-,u:nobody:r--,g::r--,m::r--,o::---"
        << QStringList { QStringLiteral("security.audit=1"), QStringLiteral("trusted.audit=1"),
               QStringLiteral("user.origin=hand") }
        << int(FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL) << "";
    QTest::newRow("member, allowed to write by the group alone")
        << true << 0464 << "" << QStringList() << 0 << "";
    QTest::newRow("member, a group that may only read through the ACL, an attribute and a flag")
        << true << 0664 << "u::rw-,u:nobody:r--,g::r--,m::rw-,o::r--"
        << QStringList { QStringLiteral("user.origin=hand") } << int(FS_NODUMP_FL) << "";
    QTest::newRow("member, a security attribute that only root may set")
        << true << 0664 << "" << QStringList { QStringLiteral("security.audit=1") } << 0
        << "его расширенные атрибуты не сохранены";
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
    QFETCH(QString, lost);

    // The list in a folder of root and the group, as the package makes it, reached through root's link.
    const QString shared = target.filePath(QStringLiteral("shared"));
    const QString list = shared + QLatin1String("/transport.ini");
    const QByteArray name = encoded(list);
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(::chown(encoded(shared).constData(), 0, groupId), 0);
    QCOMPARE(::chmod(encoded(shared).constData(), 02775), 0);
    QVERIFY(QFile::remove(settingsPath()));
    QVERIFY(QFile::link(list, settingsPath()));
    QVERIFY(writeFile(list, fixture));
    QCOMPARE(::chown(name.constData(), 0, groupId), 0);
    QCOMPARE(::chmod(name.constData(), mode_t(mode)), 0);
    if (!acl.isEmpty()) {
        acl_t entries = ::acl_from_text(acl.toLatin1().constData());
        QVERIFY(entries);
        QCOMPARE(::acl_set_file(name.constData(), ACL_TYPE_ACCESS, entries), 0);
        ::acl_free(entries);
    }
    for (const QString &attribute : attributes) {
        const QByteArrayList parts = attribute.toLatin1().split('=');
        QCOMPARE(::setxattr(name.constData(), parts[0].constData(), parts[1].constData(),
                     size_t(parts[1].size()), 0), 0);
    }
    if (flags) {
        const int file = ::open(name.constData(), O_RDONLY);
        QVERIFY(file >= 0);
        const int set = ::ioctl(file, FS_IOC_SETFLAGS, &flags);
        ::close(file);
        if (set != 0)
            QSKIP("this file system keeps no attribute flags");
    }
    const QStringList before = permissionsOf(list);

    QStringList said;
    {
        std::unique_ptr<actingAs> account;
        if (member) {
            account.reset(new actingAs(userId, userGroupId, { userGroupId, groupId }));
            QVERIFY(account->ok);
        }
        openedWindow editor;
        QCOMPARE(editor.rows().size(), 2);
        editor.table->topLevelItem(0)->setText(0, QStringLiteral("192.168.0.1"));
        said = saveAndAnswer(editor.window, lost.isEmpty() ? 0 : 1);
    }
    // All but the owner, which only root can give back, the changed bytes, and what was lost.
    QStringList after = permissionsOf(list);
    QVERIFY(after.last() != before.last());
    after.removeLast();
    QCOMPARE(after.takeFirst(), QStringLiteral("owner %1").arg(member ? userId : 0));
    QStringList kept = before.mid(1, before.size() - 2);
    if (!lost.isEmpty()) {
        for (const QString &attribute : attributes)
            kept.removeAll(attribute);
        QCOMPARE(said.size(), 1);
        QVERIFY2(said[0].startsWith(QStringLiteral("Сохранение настроек | Настройки сохранены в файл %1, но %2 (")
                                        .arg(shownPath(), lost)),
                 qPrintable(said[0]));
    } else {
        QCOMPARE(said, QStringList());
    }
    QCOMPARE(after, kept);
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
    const QByteArray folder = encoded(target.path()) + "/\xd0\xd2\xcf\xc7";
    const QByteArray program = folder + "/saver";
    QCOMPARE(::mkdir(folder.constData(), 0755), 0);
    const QByteArray code = readFile(saver);
    const int copy = ::open(program.constData(), O_WRONLY | O_CREAT | O_EXCL, 0755);
    QVERIFY(copy >= 0 && !code.isEmpty());
    QCOMPARE(::write(copy, code.constData(), size_t(code.size())), ssize_t(code.size()));
    ::close(copy);
    const int list = ::open((folder + "/transport.ini").constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
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
    const QString program = target.filePath(QStringLiteral("program"));
    const QString temporary = target.filePath(QStringLiteral("temporary"));
    QVERIFY(QDir().mkdir(program) && QDir().mkdir(temporary));
    QCOMPARE(::chown(encoded(temporary).constData(), userId, groupId), 0);
    QCOMPARE(::chmod(encoded(temporary).constData(), 0777), 0);
    QVERIFY(QFile::copy(saver, program + QLatin1String("/saver")));
    QVERIFY(writeFile(program + QLatin1String("/transport.ini"), fixture));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0 && ::inotify_add_watch(watch, encoded(temporary).constData(), IN_CREATE) >= 0);

    const QByteArray executable = encoded(program + QLatin1String("/saver"));
    const QByteArray temporaryName = encoded(temporary);
    const pid_t child = ::fork();
    if (child == 0) {
        // In a mount namespace of its own, with a /dev/shm of its own that is not sticky.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
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
    QVERIFY(readFile(program + QLatin1String("/transport.ini")) != fixture);
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

void tst_sharedFileLinux::typedValues_data()
{
    // A value of a key the editor does not know, as it stands in the file, and what comes of it:
    // the load fails at its line, Save is refused because the store would write it otherwise, or
    // Save keeps its line byte for byte.
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("outcome");

    // A list that claims 2^31 - 1 elements, which the Qt 5 deserialiser tries to make room for.
    QTest::newRow("a huge list for the deserialiser") << QByteArray("@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)") << "not loaded";
    QTest::newRow("a type nobody knows") << QByteArray("@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\vNoSuchType\\0)") << "not loaded";
    QTest::newRow("a date for the deserialiser") << QByteArray("@DateTime(\\0\\0\\0\\x10\\0)") << "not loaded";
    QTest::newRow("quoted in two halves") << QByteArray("\"@Var\"  \"iant(\\0\\0\\0\\t\\0\\0\\0\\x1)\"") << "not loaded";
    QTest::newRow("its @ escaped") << QByteArray("\\x40Variant(\\0\\0\\0\\t\\0\\0\\0\\x1)") << "not loaded";
    QTest::newRow("its letters escaped, across an escaped line end")
        << QByteArray("@\\126ar\\\niant(\\0\\0\\0\\t\\0\\0\\0\\x1)") << "not loaded";
    QTest::newRow("the second of a list") << QByteArray("a, @Variant(\\0\\0\\0\\t\\0\\0\\0\\x1)") << "not loaded";
    for (const char *kept : { "@ByteArray(abc)", "@Point(1 2)", "@Rect(1 2 3 4)", "@Size(3 4)", "@Invalid()", "@@home", "a, @Size(1 2)" })
        QTest::newRow(kept) << QByteArray(kept) << "kept";
    // A DEL, which the store writes as it stands only with a codec, as the Qt 6 build and a save
    // of a UTF-8 file leave it.
    QTest::newRow("@String with a DEL") << QByteArray("@String(a\\0z\x7f)") << "kept";
    for (const char *changed : { "@String(abc)", "@home", "@Point(1  2)", "@Size(1,2)" })
        QTest::newRow(changed) << QByteArray(changed) << "refused";
}

void tst_sharedFileLinux::typedValues()
{
    QFETCH(QByteArray, value);
    QFETCH(QString, outcome);

    const QByteArray file = fixture + "[Extra]\nblob=" + value + "\n";
    openedWindow editor(file);
    QVERIFY(editor.written);
    if (outcome == QLatin1String("not loaded")) {
        const QString reason = QStringLiteral("в строке 12 значение записано как двоичные данные хранилища "
                                              "(@Variant или @DateTime); значения в списке — только "
                                              "текст, и такое значение редактор не читает");
        QCOMPARE(editor.rows().size(), 0);
        QCOMPARE(showAndAnswer(editor.window, 1), QStringList { notLoadedText(reason) });
        QCOMPARE(saveAndAnswer(editor.window, 1), QStringList { notSavedText(reason) });
        QCOMPARE(readFile(settingsPath()), file);
        return;
    }
    QCOMPARE(editor.rows().size(), 2);
    editor.table->topLevelItem(0)->setText(0, QStringLiteral("192.168.0.1"));
    if (outcome == QLatin1String("refused")) {
        QCOMPARE(saveAndAnswer(editor.window, 1),
                 QStringList { failedText()
                     + QStringLiteral(": значение ключа blob (%1) хранилище записало бы иначе, чем оно "
                                      "стоит в файле; редактор не сохраняет, чтобы не изменить его")
                           .arg(QString::fromLatin1(value)) });
        QCOMPARE(readFile(settingsPath()), file);
        return;
    }
    QCOMPARE(saveAndAnswer(editor.window, 0), QStringList());
    const QByteArray saved = readFile(settingsPath());
    QVERIFY(saved.contains("192.168.0.1"));
    QVERIFY2(saved.contains("\n[Extra]\nblob=" + value + "\n"), saved.constData());
}

// Save removes what an earlier save of the same user left, in the shape a save makes it, and
// nothing that merely has such a name.
void tst_sharedFileLinux::leftovers()
{
    const QString prefix = settingsPath() + QLatin1String(".new-");
    const QStringList kept { prefix + QLatin1String("draft1"), prefix + QLatin1String("a1b2c3"),
        prefix + QLatin1String("d4e5f6") };
    QVERIFY(writeFile(kept[0], "mine"));
    QVERIFY(writeFile(kept[1], "a file with a save's name"));
    QVERIFY(QDir().mkdir(kept[2]) && writeFile(kept[2] + QLatin1String("/new"), "an open folder"));
    QCOMPARE(::chmod(encoded(kept[2]).constData(), 0755), 0);
    const QString own = prefix + QLatin1String("g7h8i9");
    QVERIFY(QDir().mkdir(own) && writeFile(own + QLatin1String("/new"), "killed"));
    QCOMPARE(::chmod(encoded(own).constData(), 0700), 0);
    QString others;
    if (::geteuid() == 0) {
        // Another user's, in the shape of a save's own.
        others = prefix + QLatin1String("j0k1l2");
        QVERIFY(QDir().mkdir(others) && writeFile(others + QLatin1String("/new"), "hers"));
        QCOMPARE(::chmod(encoded(others).constData(), 0700), 0);
        QCOMPARE(::chown(encoded(others).constData(), userId, groupId), 0);
    }
    {
        openedWindow editor;
        QCOMPARE(saveAndAnswer(editor.window, 0), QStringList());
    }
    for (const QString &name : kept)
        QVERIFY2(QFileInfo::exists(name), qPrintable(name));
    QVERIFY(!QFileInfo::exists(own));
    if (!others.isEmpty())
        QVERIFY(QFileInfo::exists(others + QLatin1String("/new")));
    for (const QString &name : kept + QStringList { others })
        removePath(name);
}


QTEST_MAIN(tst_sharedFileLinux)
#include "tst_sharedfile_linux.moc"
