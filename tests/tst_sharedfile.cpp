// Save keeps the file it shares with the transport module whole and readable: owner and group, text
// in any encoding, and nothing written to what is not a regular file or to a file another writer
// holds.
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

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

} // namespace

class tst_sharedFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void ownership_data();
    void ownership();
    void encodings_data();
    void encodings();
    void untouchablePaths_data();
    void untouchablePaths();

private:
    // A test account with a primary group of its own and membership of one more group.
    QString user, group;
    uid_t userId = 0;
    gid_t userGroupId = 0, groupId = 0;
    QTemporaryDir target;
};

void tst_sharedFile::initTestCase()
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

void tst_sharedFile::cleanupTestCase()
{
    if (!user.isEmpty())
        run(QStringLiteral("userdel"), { user });
    if (!group.isEmpty())
        run(QStringLiteral("groupdel"), { group });
}

void tst_sharedFile::init()
{
    cleanup();
    QVERIFY(writeFile(settingsPath(), fixture));
    QVERIFY(forgetCachedFile());
}

void tst_sharedFile::cleanup()
{
    removePath(settingsPath());
    removePath(settingsPath() + QLatin1String(".lock"));
    for (const QString &name :
        QDir(target.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
        removePath(target.filePath(name));
}

void tst_sharedFile::ownership_data()
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

void tst_sharedFile::ownership()
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

void tst_sharedFile::encodings_data()
{
    // The file, a key and the text it must read afterwards with `codec` (Qt 5), or the reason
    // Save must give for leaving the file as it is.
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QString>("refusal");

    // "сервер" and "Иванов" in Windows-1251, as an editor of an older desktop saves them.
    const QByteArray cp1251 = fixture + "[Notes]\nowner=\xc8\xe2\xe0\xed\xee\xe2\n";
    const QByteArray cp1251InList
        = QByteArray(fixture).replace("10.0.0.3", "\xf1\xe5\xf0\xe2\xe5\xf0");
    const QString notUtf8
        = QStringLiteral(": строка %1 не в кодировке UTF-8. Преобразуйте файл в UTF-8, "
                         "прежде чем сохранять его в редакторе");
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QTest::newRow("cp1251 in the list") << cp1251InList << "destHost2"
                                        << "" << QByteArray() << notUtf8.arg(9);
    QTest::newRow("cp1251 in another section") << cp1251 << "Notes/owner"
                                               << "" << QByteArray() << notUtf8.arg(12);
#else
    // Read as Latin-1 and written as escapes: the same characters for every reader.
    QTest::newRow("cp1251 in the list")
        << cp1251InList << "destHost2" << QString::fromLatin1("\xf1\xe5\xf0\xe2\xe5\xf0")
        << QByteArray() << "";
    QTest::newRow("cp1251 in another section")
        << cp1251 << "Notes/owner" << QString::fromLatin1("\xc8\xe2\xe0\xed\xee\xe2")
        << QByteArray() << "";
#endif
    QTest::newRow("UTF-8 in another section") << fixture + "[Описание]\nstreet=Straße\n"
                                              << "Описание/street"
                                              << "Straße" << QByteArray("UTF-8") << "";
    QTest::newRow("a value of an unknown type")
        << fixture + "[Extra]\nblob=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\vNoSuchType\\0)\n"
        << ""
        << "" << QByteArray()
        << ": значение ключа Extra/blob не удаётся прочитать, и сохранение уничтожило бы его";
}

void tst_sharedFile::encodings()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(QByteArray, codec);
    QFETCH(QString, refusal);

    openedWindow editor(file);
    QVERIFY(editor.written);
    const Rows rows = editor.rows();
    QCOMPARE(rows.size(), 2);
    const QStringList boxes = saveAndAnswer(editor.window, refusal.isEmpty() ? 0 : 1);

    if (!refusal.isEmpty()) {
        QCOMPARE(boxes, QStringList { failedText() + refusal });
        QCOMPARE(readFile(settingsPath()), file);
        QCOMPARE(editor.rows(), rows);
        return;
    }
    QCOMPARE(boxes, QStringList());
    QVERIFY(readFile(settingsPath()) != file); // the store did rewrite it
    QVERIFY(forgetCachedFile());
    QSettings settings(settingsPath(), QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    if (!codec.isEmpty())
        settings.setIniCodec(codec.constData());
#else
    Q_UNUSED(codec);
#endif
    QCOMPARE(settings.value(key).toString(), text);
}

void tst_sharedFile::untouchablePaths_data()
{
    // What stands at the path or beside it, the rows the window starts with, and what Save says.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("message");

    const QString lock = QDir::toNativeSeparators(settingsPath() + QLatin1String(".lock"));
    QTest::newRow("a FIFO") << "fifo" << 0 << failedText();
    QTest::newRow("a link to a character device") << "device" << 0 << failedText();
    QTest::newRow("a lock that is a directory") << "lock folder" << 2
                                                << failedText()
            + QStringLiteral(
                ": файл заблокирован, файл блокировки %1 не удаётся ни занять, ни удалить")
                  .arg(lock);
    QTest::newRow("a lock held by a live process") << "live lock" << 2
                                                   << failedText()
            + QStringLiteral(
                ": файл заблокирован процессом %1 (%2) на компьютере %3, файл блокировки %4")
                  .arg(QString::number(QCoreApplication::applicationPid()),
                      QCoreApplication::applicationName(), QSysInfo::machineHostName(), lock);
}

void tst_sharedFile::untouchablePaths()
{
    QFETCH(QString, setup);
    QFETCH(int, rows);
    QFETCH(QString, message);

    const QByteArray path = QFile::encodeName(settingsPath());
    const QString device = target.filePath(QStringLiteral("null"));
    QLockFile held(settingsPath() + QLatin1String(".lock"));
    if (setup == QLatin1String("fifo")) {
        QVERIFY(QFile::remove(settingsPath()));
        QCOMPARE(::mkfifo(path.constData(), 0644), 0);
    } else if (setup == QLatin1String("device")) {
        // A device of our own, the same as /dev/null, so that nothing of the system is at stake.
        if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("cannot make a device node here");
        QVERIFY(QFile::remove(settingsPath()));
        QVERIFY(QFile::link(device, settingsPath()));
    } else if (setup == QLatin1String("lock folder")) {
        QVERIFY(QDir().mkdir(settingsPath() + QLatin1String(".lock")));
    } else {
        QVERIFY(held.tryLock(0));
    }
    const QFileInfo before(settingsPath());

    openedWindow editor;
    QCOMPARE(editor.rows().size(), rows);
    QCOMPARE(saveAndAnswer(editor.window, 1), QStringList { message });

    const QFileInfo after(settingsPath());
    QCOMPARE(after.isSymLink(), before.isSymLink());
    QCOMPARE(after.isFile(), before.isFile());
    if (after.isFile())
        QCOMPARE(readFile(settingsPath()), fixture);
    struct stat status;
    QCOMPARE(::stat(path.constData(), &status), 0);
    if (setup == QLatin1String("fifo"))
        QVERIFY(S_ISFIFO(status.st_mode));
    if (setup == QLatin1String("device"))
        QVERIFY(S_ISCHR(status.st_mode));
}

QTEST_MAIN(tst_sharedFile)
#include "tst_sharedfile.moc"
