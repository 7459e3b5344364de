// The shared file on Windows: access lists and attributes kept, files that other programs hold,
// the loaded-file rule, locks, full disks, long paths, and which links and junctions Save follows.
#include "filemessages.h"
#include "fileplace_win.h"
#include "sharedfile.h"
#include "testhooks.h"
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

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>
#include <QTreeWidgetItem>

#include <atomic>
#include <thread>

#include <windows.h>
#include <sddl.h>

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

} // namespace

class tst_sharedFileWin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void windowsReplace_data();
    void windowsReplace();
    void windowsFolders_data();
    void windowsFolders();
    void windowsLinkTargets_data();
    void windowsLinkTargets();

private:
    QTemporaryDir target;
    QString immutable; // a folder that a case made immutable, until it is writable again
};

namespace {

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// The file's attributes and its security descriptor (owner, group and DACL) in SDDL.
QStringList permissionsOf(const QString &path)
{
    const std::wstring name = native(path);
    QStringList facts { QString::number(::GetFileAttributesW(name.c_str()), 16) };
    const SECURITY_INFORMATION parts
        = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    ::GetFileSecurityW(name.c_str(), parts, nullptr, 0, &size);
    QByteArray descriptor(int(size), '\0');
    LPWSTR text = nullptr;
    if (size && ::GetFileSecurityW(name.c_str(), parts, descriptor.data(), size, &size)
        && ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                                 parts, &text, nullptr)) {
        facts << QString::fromWCharArray(text);
        ::LocalFree(text);
    }
    return facts;
}

} // namespace

const bool isWine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;

// Opens a file as another program does for a moment, without letting it be deleted unless
// `shareDelete`, and closes it after `ms` milliseconds, or when the test is done with it (-1).
class holder
{
public:
    void hold(const QString &path, bool shareDelete, int ms)
    {
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (shareDelete ? FILE_SHARE_DELETE : 0);
        file = ::CreateFileW(native(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ms >= 0 && file != INVALID_HANDLE_VALUE)
            closer = std::thread([this, ms] { ::Sleep(DWORD(ms)); release(); });
    }
    void release()
    {
        const HANDLE was = ::InterlockedExchangePointer(&file, INVALID_HANDLE_VALUE);
        if (was != INVALID_HANDLE_VALUE)
            ::CloseHandle(was);
    }
    void done()
    {
        if (closer.joinable())
            closer.join();
        release();
    }
    ~holder() { done(); }
    HANDLE file = INVALID_HANDLE_VALUE;

private:
    std::thread closer;
};

// The system's text for an error, as Save's messages end: "Access denied. (5)".
QString systemText(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD size = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString system = QString::fromWCharArray(text, int(size)).trimmed();
    ::LocalFree(text);
    return system + QStringLiteral(" (%1)").arg(error);
}

// Under Wine, runs a Unix program on Unix paths (Wine's drive Z: is the Unix root) and waits up to
// five seconds for `done` to hold; false elsewhere. Wine starts such a program but cannot wait for
// it to end, so its effect is what is waited for.
bool runUnix(const QString &program, QStringList arguments, const std::function<bool()> &done)
{
    if (!isWine)
        return false;
    for (QString &argument : arguments) {
        if (argument.startsWith(QLatin1String("Z:"), Qt::CaseInsensitive))
            argument = QDir::fromNativeSeparators(argument.mid(2));
    }
    QProcess process;
    process.start(QDir::toNativeSeparators(QStringLiteral("Z:") + program), arguments);
    process.waitForFinished(5000);
    const QDeadlineTimer deadline(5000);
    while (!done() && !deadline.hasExpired())
        QThread::msleep(20);
    return done();
}

// Whether a new file can be made in the folder.
bool takesNewFiles(const QString &folder)
{
    QFile probe(folder + QLatin1String("/probe"));
    const bool made = probe.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    if (made)
        probe.remove();
    return made;
}

// An operator's own copies beside the list, whose names look like the editor's.
const QStringList operatorCopies { QStringLiteral("transport.ini.old-backup"), QStringLiteral("transport.ini.OLD-241207"),
                                   QStringLiteral("transport.ini.new-draft1") };

void tst_sharedFileWin::windowsReplace_data()
{
    // What the list has or what holds it, and what Save says: nothing when it saves.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("message");

    QTest::newRow("hidden, with an ACL of its own") << "acl" << "";
    QTest::newRow("read-only")
        << "read-only" << failedText() + QStringLiteral(": у файла атрибут «только чтение»; снимите его, чтобы сохранить список");
    // A virus scanner, an indexer or a backup agent holds a file for a moment: Save tries again
    // for about two seconds, and then gives up with the list as it was. Without POSIX semantics
    // (Wine) any handle on the list stands in the way of its replacement, with them one that does
    // not share deletion.
    const QString notReplaced = failedText() + QStringLiteral(": не удалось поставить новый список на место прежнего: ");
    QTest::newRow("held by a reader that does not share deletion, through the save")
        << "held" << notReplaced + systemText(isWine ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
    QTest::newRow("held so for 300 ms") << "held 300" << "";
    QTest::newRow("held open by a reader that shares deletion")
        << "shared" << (isWine ? notReplaced + systemText(ERROR_ACCESS_DENIED) : QString());
    // Save holds its new file with the right to delete it until it is in place: a scanner may read
    // it meanwhile, sharing deletion, and nobody can hold it otherwise.
    QTest::newRow("the new file held through the save") << "new held" << "";
    QTest::newRow("the new file held so for 300 ms") << "new held 300" << "";
    QTest::newRow("the new file held for 300 ms, no list yet") << "new held 300, no list" << "";
    // Files that look like what a killed save of an earlier build left, but nothing of this
    // editor's: kept, and none of them put in the list's place, not even where there is no list.
    QTest::newRow("no list, an operator's copies under a backup's name") << "backup" << "";
    QTest::newRow("an operator's copies under look-alike names") << "look-alikes" << "";
    // The rows go back only into the file they were loaded from.
    QTest::newRow("replaced by a member's own file after the load") << "replaced" << changedText();
    QTest::newRow("removed after the load") << "removed" << changedText();
    QTest::newRow("made after the load, no list") << "made after the load, no list" << changedText();
    QTest::newRow("saved by another editor after the load") << "another editor" << changedText();
    // A reader that opens the list again and again always finds it: one rename puts the new
    // list in place, without a moment in which the name is free.
    QTest::newRow("read in a loop during 40 saves") << "reader" << "";
    QTest::newRow("the store's copy that a killed editor left in the temporary folder") << "private copy" << "";
    QTest::newRow("a path over 260 characters") << "long path" << "";
    if (isWine) {
        // A Unix link at the list's name, which Wine shows as the file it points to: the rename
        // replaces the link, and the file it pointed to stays as it was.
        QTest::newRow("a Unix link at the name") << "unix link" << "";
        // A folder in which no file may be made (immutable, so that root may not either): refused
        // at once, with the system's reason.
        QTest::newRow("a folder in which the user may not make files")
            << "no new files" << failedText() + QStringLiteral(": не удалось создать файл блокировки ") + shownPath()
                + QStringLiteral(".lock: ") + systemText(ERROR_ACCESS_DENIED);
    }
    // A full disk: Save can write neither its lock, or else not its new file, and leaves nothing.
    // Only where the program's folder lies on a small disk of its own (tests/windows/fulldisk.sh),
    // which the cases fill.
    ULARGE_INTEGER total;
    if (::GetDiskFreeSpaceExW(native(QCoreApplication::applicationDirPath() + QLatin1Char('/')).c_str(),
                              nullptr, &total, nullptr)
        && total.QuadPart < 64 * 1024 * 1024) {
        QTest::newRow("disk full") << "disk full"
            << failedText() + QStringLiteral(": не удалось создать файл блокировки ") + shownPath()
                + QStringLiteral(".lock: ") + systemText(ERROR_DISK_FULL);
        QTest::newRow("disk full but for the lock") << "disk full, lock"
            << failedText() + QStringLiteral(": не удалось записать новый файл: ") + systemText(ERROR_DISK_FULL);
    }
    // The message names the holder as its lock file does (Windows writes the host in capitals).
    QTest::newRow("a lock held by a live process") << "live lock"
        << failedText()
            + QStringLiteral(": файл заблокирован процессом %1 (%2) на компьютере %3, файл блокировки %4");
}

void tst_sharedFileWin::windowsReplace()
{
    QFETCH(QString, setup);
    QFETCH(QString, message);

    const QString folder = QCoreApplication::applicationDirPath();
    const std::wstring name = native(settingsPath());
    const QByteArray notes = storeText("[Notes]\nkept=yes\n");
    const QByteArray theirs = QByteArray(fixture).replace("10.0.0.2", "10.9.9.9");
    const bool listAtLoad = setup != QLatin1String("backup") && !setup.endsWith(QLatin1String("no list"));
    holder reader;
    QLockFile held(settingsPath() + QLatin1String(".lock"));
    const QString linkTarget = folder + QLatin1String("/linked.ini");
    const QString deadCopy = QDir::tempPath() + QLatin1String("/transport-settings-Dead01");
    const QString liveCopy = QDir::tempPath() + QLatin1String("/transport-settings-Live01");
    if (setup == QLatin1String("acl")) {
        // Full control for the owner and for Administrators, read for Users, nothing inherited.
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        QVERIFY(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;;FA;;;OW)(A;;FA;;;BA)(A;;FR;;;BU)", SDDL_REVISION_1, &descriptor, nullptr));
        const bool set = ::SetFileSecurityW(name.c_str(), DACL_SECURITY_INFORMATION, descriptor);
        ::LocalFree(descriptor);
        QVERIFY(set);
        QVERIFY(::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_HIDDEN));
    } else if (setup == QLatin1String("read-only")) {
        QVERIFY(::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_READONLY));
    } else if (setup.startsWith(QLatin1String("held")) || setup == QLatin1String("shared")) {
        reader.hold(settingsPath(), setup == QLatin1String("shared"), setup.endsWith(QLatin1String("300")) ? 300 : -1);
        QVERIFY(reader.file != INVALID_HANDLE_VALUE);
    } else if (setup.startsWith(QLatin1String("new held"))) {
        const int ms = setup.contains(QLatin1String("300")) ? 300 : -1;
        sharedFileTestHooks::beforeReplace = [&reader, ms](const QString &newFile) {
            reader.hold(newFile, true, ms);
            QVERIFY(reader.file != INVALID_HANDLE_VALUE);
        };
    } else if (setup.startsWith(QLatin1String("disk full"))) {
        QVERIFY(writeFile(folder + QLatin1String("/reserve"), "r"));
        QFile filler(folder + QLatin1String("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        for (qint64 chunk = 1 << 16; chunk > 0; chunk /= 2) {
            const QByteArray bytes(int(chunk), 'f');
            while (filler.write(bytes) == chunk) { }
        }
        filler.close();
        // A disk page for the lock, none for the new file.
        if (setup.endsWith(QLatin1String("lock")))
            QVERIFY(QFile::remove(folder + QLatin1String("/reserve")));
    } else if (setup == QLatin1String("backup")) {
        QVERIFY(writeFile(settingsPath() + QLatin1String(".new-a1b2c3"), "[General]\npositions=0\n"));
        QVERIFY(writeFile(settingsPath() + QLatin1String(".old-d4e5f6"), fixture + notes));
    } else if (setup == QLatin1String("look-alikes")) {
        for (const QString &copy : operatorCopies)
            QVERIFY(writeFile(folder + QLatin1Char('/') + copy, copy.toUtf8()));
    } else if (setup == QLatin1String("private copy")) {
        QVERIFY(QDir().mkpath(deadCopy) && QDir().mkpath(liveCopy));
        QVERIFY(writeFile(deadCopy + QLatin1String("/transport.ini"), fixture));
        QVERIFY(writeFile(liveCopy + QLatin1String("/transport.ini"), fixture));
        // A live editor holds its folder so.
        reader.file = ::CreateFileW(native(liveCopy).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        QVERIFY(reader.file != INVALID_HANDLE_VALUE);
    } else if (setup == QLatin1String("unix link")) {
        QVERIFY(QFile::rename(settingsPath(), linkTarget));
        QVERIFY(runUnix(QStringLiteral("/bin/ln"), { QStringLiteral("-s"), linkTarget, settingsPath() },
                        [] { return QFileInfo::exists(settingsPath()); }));
        QCOMPARE(readFile(settingsPath()), fixture);
    } else if (setup == QLatin1String("no new files")) {
        immutable = folder;
        if (!runUnix(QStringLiteral("/usr/bin/chattr"), { QStringLiteral("+i"), folder }, [&] { return !takesNewFiles(folder); }))
            QSKIP("chattr +i needs root");
    } else if (setup == QLatin1String("long path")) {
        QString deep = target.path();
        while (deep.size() < 300)
            deep += QLatin1String("/a-folder-with-a-long-name");
        const QString list = deep + QLatin1String("/transport.ini");
        QVERIFY(QDir().mkpath(deep) && writeFile(list, fixture));
        const auto origin = newListOrigin();
        {
            sharedFile load(list, origin);
            QVERIFY2(load.read(), qPrintable(fileMessages::loadFailed(list, load.error())));
        }
        {
            sharedFile save(list, origin);
            QSettings *const settings = save.edit([](const QString &) { return false; });
            QVERIFY2(settings, qPrintable(fileMessages::saveFailed(list, save.error())));
            settings->setValue(QStringLiteral("listenHost1"), QStringLiteral("192.168.0.1"));
            QVERIFY2(save.commit(), qPrintable(fileMessages::saveFailed(list, save.error())));
        }
        QVERIFY(readFile(list).contains("listenHost1=192.168.0.1"));
        QCOMPARE(QDir(deep).entryList(QDir::Files | QDir::Hidden), QStringList { QStringLiteral("transport.ini") });
        return;
    } else if (setup == QLatin1String("live lock")) {
        QVERIFY(held.tryLock(0));
        qint64 pid = 0;
        QString host, program;
        QVERIFY(held.getLockInfo(&pid, &host, &program));
        message = message.arg(QString::number(pid), program, host,
                              QDir::toNativeSeparators(held.fileName()));
    }
    if (!listAtLoad)
        QVERIFY(QFile::remove(settingsPath()));
    const QStringList before = permissionsOf(settingsPath());

    QStringList said;
    int notFound = 0, opens = 0;
    qint64 savedIn = 0;
    {
        openedWindow editor;
        // Nothing is ever moved into the list's place: without a list, an empty table.
        QCOMPARE(editor.rows().size(), listAtLoad ? 2 : 0);
        if (setup == QLatin1String("private copy")) {
            QVERIFY(!QFileInfo::exists(deadCopy));
            QVERIFY(QFileInfo::exists(liveCopy + QLatin1String("/transport.ini")));
        }
        if (!listAtLoad)
            editor.table->addTopLevelItem(new QTreeWidgetItem({ QStringLiteral("127.0.0.1"), QStringLiteral("80"),
                                                                QStringLiteral("10.0.0.2"), QStringLiteral("80") }));
        if (setup == QLatin1String("replaced")) {
            // Her file, which everyone may read, put in the list's place.
            const QString hers = folder + QLatin1String("/hers.ini");
            QVERIFY(writeFile(hers, theirs));
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            QVERIFY(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FA;;;OW)(A;;FR;;;WD)", SDDL_REVISION_1,
                                                                           &descriptor, nullptr));
            const bool set = ::SetFileSecurityW(native(hers).c_str(), DACL_SECURITY_INFORMATION, descriptor);
            ::LocalFree(descriptor);
            QVERIFY(set);
            QVERIFY(::MoveFileExW(native(hers).c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING));
        } else if (setup == QLatin1String("removed")) {
            QVERIFY(QFile::remove(settingsPath()));
        } else if (setup.startsWith(QLatin1String("made after"))) {
            QVERIFY(writeFile(settingsPath(), theirs));
        } else if (setup == QLatin1String("another editor")) {
            openedWindow other;
            other.table->topLevelItem(1)->setText(0, QStringLiteral("172.16.0.1"));
            QCOMPARE(saveAndAnswer(other.window, 0), QStringList());
        }
        editor.table->topLevelItem(0)->setText(0, QStringLiteral("192.168.0.1"));

        std::atomic<bool> reading { setup == QLatin1String("reader") };
        std::thread loop([&] {
            while (reading) {
                const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                ++opens;
                if (file == INVALID_HANDLE_VALUE) {
                    notFound += ::GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : 0;
                    continue;
                }
                char bytes[64];
                DWORD got = 0;
                ::ReadFile(file, bytes, sizeof bytes, &got, nullptr);
                ::CloseHandle(file);
            }
        });
        QElapsedTimer timer;
        timer.start();
        for (int save = 0; save < (reading ? 40 : 1) && said.isEmpty(); ++save) {
            editor.table->topLevelItem(0)->setText(1, QString::number(1000 + save));
            said = saveAndAnswer(editor.window, message.isEmpty() ? 0 : 1);
        }
        savedIn = timer.elapsed();
        reading = false;
        loop.join();
    }
    sharedFileTestHooks::beforeReplace = nullptr;
    reader.done();
    held.unlock();
    if (!immutable.isEmpty()
        && runUnix(QStringLiteral("/usr/bin/chattr"), { QStringLiteral("-i"), immutable }, [&] { return takesNewFiles(immutable); }))
        immutable.clear();
    QFile::remove(folder + QLatin1String("/filler"));
    QFile::remove(folder + QLatin1String("/reserve"));
    const QStringList after = permissionsOf(settingsPath());
    ::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);

    QCOMPARE(said, message.isEmpty() ? QStringList() : QStringList { message });
    if (setup == QLatin1String("no new files"))
        QVERIFY2(savedIn < 1000, qPrintable(QStringLiteral("refused after %1 ms").arg(savedIn)));
    if (setup == QLatin1String("reader")) {
        QVERIFY(opens > 0);
        QCOMPARE(notFound, 0);
    }
    // Wine keeps no access lists of its own: it shows one made from the Unix mode bits of the file.
    // The attributes are measured there, the access list only on Windows.
    const bool sameList = listAtLoad && setup != QLatin1String("replaced") && setup != QLatin1String("removed")
        && setup != QLatin1String("unix link");
    if (sameList && isWine)
        QCOMPARE(after.value(0), before.value(0));
    else if (sameList)
        QCOMPARE(after, before);
    const QByteArray saved = readFile(settingsPath());
    QCOMPARE(saved.contains("192.168.0.1"), message.isEmpty());
    QVERIFY(!saved.contains(notes));
    // The list is whole, old or new, or what others made of it; nothing a save made is left beside it.
    if (setup == QLatin1String("removed"))
        QVERIFY(!QFileInfo::exists(settingsPath()));
    else if (setup == QLatin1String("replaced") || setup.startsWith(QLatin1String("made after")))
        QCOMPARE(saved, theirs);
    else
        QCOMPARE(saved.contains("positions=2"), listAtLoad);
    if (setup == QLatin1String("another editor"))
        QVERIFY(saved.contains("172.16.0.1"));
    if (setup == QLatin1String("unix link"))
        QCOMPARE(readFile(linkTarget), fixture);
    QStringList expected;
    if (setup == QLatin1String("look-alikes")) {
        for (const QString &copy : operatorCopies)
            QCOMPARE(readFile(folder + QLatin1Char('/') + copy), copy.toUtf8());
        expected = operatorCopies;
    } else if (setup == QLatin1String("backup")) {
        QCOMPARE(readFile(settingsPath() + QLatin1String(".old-d4e5f6")), fixture + notes);
        expected = QStringList { QStringLiteral("transport.ini.new-a1b2c3"), QStringLiteral("transport.ini.old-d4e5f6") };
    }
    QStringList beside = QDir(folder).entryList({ QStringLiteral("transport.ini.*") }, QDir::Files | QDir::Hidden);
    beside.sort(Qt::CaseInsensitive);
    expected.sort(Qt::CaseInsensitive);
    QCOMPARE(beside, expected);
}

void tst_sharedFileWin::windowsFolders_data()
{
    // A folder's security descriptor in SDDL ("me" for the user who runs the test), and whether
    // others may change what it holds, so that Save follows no link or junction in it. Wine can
    // make no links, so the decision is tried on its own.
    QTest::addColumn<QString>("sddl");
    QTest::addColumn<bool>("others");

    const QString rights = QStringLiteral("D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
    QTest::newRow("Administrators'") << "O:BA" + rights << false;
    QTest::newRow("SYSTEM's") << "O:SY" + rights << false;
    QTest::newRow("TrustedInstaller's")
        << "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" + rights << false;
    QTest::newRow("the saver's") << "O:me" + rights << false;
    QTest::newRow("another user's") << "O:S-1-5-21-1004336348-1177238915-682003330-1001" + rights << true;
    QTest::newRow("Users'") << "O:BU" + rights << true;
    QTest::newRow("Everyone's") << "O:WD" + rights << true;
    QTest::newRow("no DACL") << QStringLiteral("O:BA, no DACL") << true;
    QTest::newRow("the group may add files, as installed")
        << "O:BA" + rights + "(A;;0x1200ab;;;S-1-5-21-1004336348-1177238915-682003330-1010)" << true;
    QTest::newRow("Users may add folders") << "O:BA" + rights + "(A;CI;0x4;;;BU)" << true;
    QTest::newRow("Users may delete what it holds") << "O:BA" + rights + "(A;;0x40;;;BU)" << true;
    QTest::newRow("Everyone may change its access") << "O:BA" + rights + "(A;;WD;;;WD)" << true;
    QTest::newRow("for what it will hold only") << "O:BA" + rights + "(A;OICIIO;FA;;;BU)" << false;
    QTest::newRow("a denial") << "O:BA" + rights + "(D;;FA;;;BU)" << false;
}

void tst_sharedFileWin::windowsFolders()
{
    QFETCH(QString, sddl);
    QFETCH(bool, others);

    if (sddl.contains(QLatin1String(":me"))) {
        HANDLE token = nullptr;
        QVERIFY(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
        char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
        DWORD size = 0;
        const bool got = ::GetTokenInformation(token, TokenUser, user, sizeof user, &size);
        ::CloseHandle(token);
        QVERIFY(got);
        LPWSTR text = nullptr;
        QVERIFY(::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(user)->User.Sid, &text));
        sddl.replace(QLatin1String(":me"), QLatin1Char(':') + QString::fromWCharArray(text));
        ::LocalFree(text);
    }
    bool result = false;
    if (sddl.endsWith(QLatin1String(", no DACL"))) {
        // Made by hand: Wine reads NO_ACCESS_CONTROL as an empty DACL.
        SECURITY_DESCRIPTOR descriptor;
        PSID administrators = nullptr;
        QVERIFY(::ConvertStringSidToSidW(L"S-1-5-32-544", &administrators));
        QVERIFY(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)
                && ::SetSecurityDescriptorOwner(&descriptor, administrators, FALSE)
                && ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
        result = windowsLinks::othersMayChange(&descriptor);
        ::LocalFree(administrators);
    } else {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        QVERIFY(::ConvertStringSecurityDescriptorToSecurityDescriptorW(native(sddl).c_str(), SDDL_REVISION_1,
                                                                       &descriptor, nullptr));
        result = windowsLinks::othersMayChange(descriptor);
        ::LocalFree(descriptor);
    }
    QCOMPARE(result, others);
}

void tst_sharedFileWin::windowsLinkTargets_data()
{
    // A reparse point's tag, its substitute name and symbolic-link flags, and where Save goes.
    QTest::addColumn<uint>("tag");
    QTest::addColumn<QString>("substitute");
    QTest::addColumn<uint>("flags");
    QTest::addColumn<QString>("target");

    const uint link = IO_REPARSE_TAG_SYMLINK, junction = IO_REPARSE_TAG_MOUNT_POINT;
    QTest::newRow("absolute link") << link << R"(\??\C:\ProgramData\transport-settings\transport.ini)" << 0u
                                   << "C:/ProgramData/transport-settings/transport.ini";
    QTest::newRow("relative link") << link << R"(..\lists\transport.ini)" << 1u << "../lists/transport.ini";
    QTest::newRow("link to a share") << link << R"(\??\UNC\server\share\transport.ini)" << 0u
                                     << "//server/share/transport.ini";
    QTest::newRow("junction") << junction << R"(\??\D:\lists\)" << 0u << "D:/lists/";
    QTest::newRow("junction to a volume") << junction << R"(\??\Volume{0a1b2c3d-0000-0000-0000-000000000000}\lists)"
                                          << 0u << "//?/Volume{0a1b2c3d-0000-0000-0000-000000000000}/lists";
    QTest::newRow("relative link that claims a root") << link << R"(\lists\transport.ini)" << 1u << "";
    QTest::newRow("another kind of reparse point") << uint(IO_REPARSE_TAG_APPEXECLINK) << R"(\??\C:\x)" << 0u << "";
    QTest::newRow("truncated") << link << "" << 0u << "";
}

void tst_sharedFileWin::windowsLinkTargets()
{
    QFETCH(uint, tag);
    QFETCH(QString, substitute);
    QFETCH(uint, flags);
    QFETCH(QString, target);

    // REPARSE_DATA_BUFFER: tag, data length, reserved, the names' offsets and lengths, the flags
    // of a symbolic link, then the substitute and print names.
    const QByteArray name(reinterpret_cast<const char *>(substitute.utf16()), substitute.size() * 2);
    QByteArray data;
    const auto put = [&data](auto value) { data.append(reinterpret_cast<const char *>(&value), sizeof value); };
    put(quint32(tag));
    put(quint16(0));
    put(quint16(0));
    put(quint16(0));
    put(quint16(name.size()));
    put(quint16(name.size()));
    put(quint16(0));
    if (tag == IO_REPARSE_TAG_SYMLINK)
        put(quint32(flags));
    data += name;
    if (substitute.isEmpty())
        data.chop(6);
    QCOMPARE(windowsLinks::target(data), target);
}

void tst_sharedFileWin::init()
{
    QVERIFY(target.isValid());
    cleanup();
    QVERIFY(writeFile(settingsPath(), fixture));
    QVERIFY(forgetCachedFile());
}


void tst_sharedFileWin::cleanup()
{
    removePath(settingsPath());
    removePath(settingsPath() + QLatin1String(".lock"));
    if (!immutable.isEmpty()
        && runUnix(QStringLiteral("/usr/bin/chattr"), { QStringLiteral("-i"), immutable }, [&] { return takesNewFiles(immutable); }))
        immutable.clear();
    // What a failed case left: new files, an operator's copies, the store's copies.
    const QDir folder(QCoreApplication::applicationDirPath());
    for (const QString &name : folder.entryList({ QStringLiteral("transport.ini.*") }, QDir::Files | QDir::Hidden))
        QFile::remove(folder.filePath(name));
    for (const char *other : { "hers.ini", "linked.ini" })
        QFile::remove(folder.filePath(QLatin1String(other)));
    for (const char *copy : { "/transport-settings-Dead01", "/transport-settings-Live01" })
        QDir(QDir::tempPath() + QLatin1String(copy)).removeRecursively();
    for (const QString &name :
        QDir(target.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
        removePath(target.filePath(name));
}

QTEST_MAIN(tst_sharedFileWin)
#include "tst_sharedfile_win.moc"
