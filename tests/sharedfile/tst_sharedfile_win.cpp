// The shared file on Windows: access lists and attributes kept, files that other programs hold,
// the loaded-file rule, locks, full disks, long paths, and which links and junctions Save follows.
#include "fileplace_win.h"
#include "listcase.h"
#include "testhooks.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#include <windows.h>
#include <sddl.h>

using namespace listCase;

namespace {

const bool isWine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Beside the program, where tests/windows/fulldisk.sh puts a small disk of its own.
QString listPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/transport.ini");
}

// A path as the calls below get it, with no limit to its length.
std::wstring native(const QString &path)
{
    return (QLatin1String("\\\\?\\") + QDir::toNativeSeparators(path)).toStdWString();
}

// The system's words for an error, as a fileError's reason gives them: "Access denied. (5)".
QString systemText(DWORD error)
{
    wchar_t text[1024];
    const DWORD size = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
        text, sizeof text / sizeof *text, nullptr);
    return QString::fromWCharArray(text, int(size)).trimmed() + QStringLiteral(" (%1)").arg(error);
}

// The file's attributes and its security descriptor (owner, group and DACL) in SDDL.
QStringList permissionsOf(const QString &path)
{
    const std::wstring name = native(path);
    QStringList facts { QString::number(::GetFileAttributesW(name.c_str()), 16) };
    const DWORD parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    char descriptor[65536];
    DWORD size = 0;
    LPWSTR text = nullptr;
    if (::GetFileSecurityW(name.c_str(), parts, descriptor, sizeof descriptor, &size)
        && ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
        facts << QString::fromWCharArray(text);
        ::LocalFree(text);
    }
    return facts;
}

bool setDacl(const QString &path, const wchar_t *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool set = ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)
        && ::SetFileSecurityW(native(path).c_str(), DACL_SECURITY_INFORMATION, descriptor);
    ::LocalFree(descriptor);
    return set;
}

// Everything in the list's folder but the list and this program, with its bytes.
QMap<QString, QByteArray> besideList(const QString &path)
{
    QMap<QString, QByteArray> found;
    const QFileInfo list(path);
    const QStringList own { list.fileName(), QFileInfo(QCoreApplication::applicationFilePath()).fileName() };
    for (const QString &name : entries(list.path()))
        if (!own.contains(name, Qt::CaseInsensitive))
            found.insert(name, readFile(list.path() + QLatin1Char('/') + name));
    return found;
}

// Under Wine, runs a Unix program on Unix paths (Wine's drive Z: is the Unix root) and waits up to
// five seconds for `done` to hold; false elsewhere. Wine starts such a program but cannot wait for
// it to end, so its effect is what is waited for.
bool runUnix(const QString &program, QStringList arguments, const std::function<bool()> &done)
{
    if (!isWine)
        return false;
    for (QString &argument : arguments)
        argument.remove(QRegularExpression(QStringLiteral("^[Zz]:")));
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
    return probe.open(QIODevice::WriteOnly | QIODevice::NewOnly) && probe.remove();
}

// The store's copies in the temporary folder, of an editor that was killed and of a live one.
const QString deadCopy = QDir::tempPath() + QLatin1String("/transport-settings-Dead01");
const QString liveCopy = QDir::tempPath() + QLatin1String("/transport-settings-Live01");
const QByteArray theirs = QByteArray(fixture).replace("10.0.0.2", "10.9.9.9");

// A case's list, and the steps that a case takes before the load or between the load and the
// save; release() lets go of what they hold before the outcome is looked at.
class stage
{
public:
    ~stage() { release(); }
    void release()
    {
        sharedFileTestHooks::beforeReplace = nullptr;
        reading = false;
        for (std::thread *thread : { &closer, &reader })
            if (thread->joinable())
                thread->join();
        letGo();
        lock.reset();
        if (!immutable.isEmpty() && chattr("-i", [this] { return takesNewFiles(immutable); }))
            immutable.clear();
        QFile::remove(beside("filler"));
        QFile::remove(beside("reserve"));
    }

    QString path = listPath();
    QStringList lockHolder; // what the lock that a step took says: process, program, host
    QString skip;           // why the case cannot be tried here
    std::atomic<int> opens { 0 }, notFound { 0 }; // of the reader that opens the list in a loop

    // Full control for the owner and for Administrators, read for Users, nothing inherited.
    void giveOwnAcl()
    {
        QVERIFY(setDacl(path, L"D:P(A;;FA;;;OW)(A;;FA;;;BA)(A;;FR;;;BU)")
            && ::SetFileAttributesW(native(path).c_str(), FILE_ATTRIBUTE_HIDDEN));
    }
    void makeReadOnly() { QVERIFY(::SetFileAttributesW(native(path).c_str(), FILE_ATTRIBUTE_READONLY)); }
    void holdList() { hold(path, false, -1); }
    void holdListBriefly() { hold(path, false, 300); }
    void holdListSharingDeletion() { hold(path, true, -1); }
    // The new file once it is written, opened sharing deletion as a scanner opens it.
    void holdNewFile() { holdNewFileFor(-1); }
    void holdNewFileBriefly() { holdNewFileFor(300); }
    void writeBackupLookalikes()
    {
        QVERIFY(writeFile(path + QLatin1String(".new-a1b2c3"), "[General]\npositions=0\n"));
        QVERIFY(writeFile(path + QLatin1String(".old-d4e5f6"), fixture + "[Notes]\nkept=yes\n"));
    }
    void writeOperatorCopies()
    {
        for (const char *copy : { ".old-backup", ".OLD-241207", ".new-draft1" })
            QVERIFY(writeFile(path + QLatin1String(copy), copy));
    }
    // Her file, which everyone may read, put in the list's place.
    void replaceWithHers()
    {
        const QString hers = beside("hers.ini");
        QVERIFY(writeFile(hers, theirs) && setDacl(hers, L"D:(A;;FA;;;OW)(A;;FR;;;WD)"));
        QVERIFY(::MoveFileExW(native(hers).c_str(), native(path).c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    void removeList() { QVERIFY(QFile::remove(path)); }
    void writeTheirs() { QVERIFY(writeFile(path, theirs)); }
    void saveInAnotherEditor()
    {
        editor other(path);
        QCOMPARE(int(other.load().what), int(fileError::none));
        const fileError error = other.save([](QSettings &store) {
            store.setValue(QStringLiteral("listenHost2"), QStringLiteral("172.16.0.1"));
        });
        QCOMPARE(int(error.what), int(fileError::none));
        QVERIFY(readFile(path).contains("172.16.0.1"));
    }
    // A reader that opens the list again and again, and counts the times it found none.
    void readInLoop()
    {
        reader = std::thread([this, name = native(path)] {
            for (char bytes[64]; reading; ++opens) {
                const HANDLE file = ::CreateFileW(
                    name.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                DWORD got = 0;
                if (file == INVALID_HANDLE_VALUE) {
                    notFound += ::GetLastError() == ERROR_FILE_NOT_FOUND;
                } else {
                    ::ReadFile(file, bytes, sizeof bytes, &got, nullptr);
                    ::CloseHandle(file);
                }
                // Without POSIX semantics (Wine) any handle on the list holds up its rename, and a
                // reader that never lets go for long would outlast Save's retries now and then.
                if (isWine)
                    ::Sleep(1);
            }
        });
    }
    void leaveStoreCopies()
    {
        for (const QString &copy : { deadCopy, liveCopy })
            QVERIFY(QDir().mkpath(copy) && writeFile(copy + "/transport.ini", fixture));
        // A live editor holds its folder so.
        held = ::CreateFileW(native(liveCopy).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
    }
    // The load took the dead editor's copy away, and left the live one's.
    void deadCopyGone()
    {
        QVERIFY(!QFileInfo::exists(deadCopy));
        QVERIFY(QFileInfo::exists(liveCopy + QLatin1String("/transport.ini")));
    }
    void moveToLongPath()
    {
        deep.reset(new QTemporaryDir);
        QString folder = deep->path();
        while (folder.size() < 300)
            folder += QLatin1String("/a-folder-with-a-long-name");
        path = folder + QLatin1String("/transport.ini");
        QVERIFY(QDir().mkpath(folder) && writeFile(path, fixture));
    }
    // Wine shows it as the file that it points to, the list moved beside it.
    void putUnixLink()
    {
        const QString linked = beside("linked.ini");
        QVERIFY(QFile::rename(path, linked));
        QVERIFY(runUnix(QStringLiteral("/bin/ln"), { QStringLiteral("-s"), linked, path },
            [this] { return QFileInfo::exists(path); }));
        QCOMPARE(readFile(path), fixture);
    }
    // Immutable, so that root may not make files there either.
    void makeFolderImmutable()
    {
        immutable = QFileInfo(path).path();
        if (!chattr("+i", [this] { return !takesNewFiles(immutable); }))
            skip = QStringLiteral("chattr +i needs root");
    }
    void fillDisk() { fill(false); }
    void fillDiskButForLock() { fill(true); }
    void holdLock()
    {
        lock.reset(new QLockFile(path + QLatin1String(".lock")));
        qint64 pid = 0;
        QString host, program;
        QVERIFY(lock->tryLock(0) && lock->getLockInfo(&pid, &host, &program));
        lockHolder = QStringList { QString::number(pid), program, host };
    }

private:
    QString beside(const char *name) const { return QFileInfo(path).path() + QLatin1Char('/') + QLatin1String(name); }
    // Opens the file as another program does for a moment, without letting it be deleted unless
    // `shareDelete`, and closes it after `ms` milliseconds, or at the release (-1).
    void hold(const QString &file, bool shareDelete, int ms)
    {
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (shareDelete ? FILE_SHARE_DELETE : 0);
        held = ::CreateFileW(
            native(file).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
        if (ms >= 0)
            closer = std::thread([this, ms] { ::Sleep(DWORD(ms)); letGo(); });
    }
    void letGo()
    {
        const HANDLE was = ::InterlockedExchangePointer(&held, INVALID_HANDLE_VALUE);
        if (was != INVALID_HANDLE_VALUE)
            ::CloseHandle(was);
    }
    void holdNewFileFor(int ms)
    {
        sharedFileTestHooks::beforeReplace = [this, ms](const QString &file) { hold(file, true, ms); };
    }
    bool chattr(const char *change, const std::function<bool()> &done)
    {
        return runUnix(QStringLiteral("/usr/bin/chattr"), { QLatin1String(change), immutable }, done);
    }
    // The list's disk filled to its last page, or to all but one, which the lock takes.
    void fill(bool pageForLock)
    {
        QVERIFY(writeFile(beside("reserve"), "r"));
        QFile filler(beside("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        for (qint64 chunk = 1 << 16; chunk > 0; chunk /= 2)
            while (filler.write(QByteArray(int(chunk), 'f')) == chunk) { }
        if (pageForLock)
            QVERIFY(QFile::remove(beside("reserve")));
    }

    HANDLE held = INVALID_HANDLE_VALUE;
    std::thread closer, reader;
    std::atomic<bool> reading { true };
    std::unique_ptr<QLockFile> lock;
    QString immutable; // the folder that a step made immutable
    std::unique_ptr<QTemporaryDir> deep;
};

// What a case does before the load, and between the load and the save; null: nothing.
struct caseSteps
{
    void (stage::*before)() = nullptr;
    void (stage::*between)() = nullptr;
};

// What a row checks besides the save's error.
enum check {
    keepsAccess = 1, // the list's attributes (and on Windows its security) stay as at the load
    namesLock = 2,   // the error names the lock
    atOnce = 4,      // refused in under a second
    whileRead = 8,   // 40 saves while the reader of readInLoop() opens the list
};

} // namespace

Q_DECLARE_METATYPE(caseSteps)

class tst_sharedFileWin : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        cleanup();
        QVERIFY(writeFile(listPath(), fixture));
    }
    void cleanup();
    void windowsReplace_data();
    void windowsReplace();
    void windowsFolders_data();
    void windowsFolders();
    void windowsLinkTargets_data();
    void windowsLinkTargets();
};

// The save's error: its kind, and the system's words that it gives as the reason.
struct result
{
    fileError::kind kind = fileError::none;
    DWORD reason = 0;
};

// Whether the program's folder lies on a disk of less than 64 MB.
static bool onSmallDisk()
{
    ULARGE_INTEGER total;
    return ::GetDiskFreeSpaceExW(native(QCoreApplication::applicationDirPath() + '/').c_str(), nullptr, &total, nullptr)
        && total.QuadPart < 64 * 1024 * 1024;
}

// Saves the first listen host as the window does, `times` times, or until a save fails; what the
// last one came to.
static fileError saveAsWindow(editor &e, int times)
{
    fileError error;
    for (int save = 0; save < times && !error; ++save) {
        error = e.save([save](QSettings &store) {
            store.setValue(QStringLiteral("listenHost1"), QStringLiteral("192.168.0.1"));
            store.setValue(QStringLiteral("listenPort1"), 1000 + save);
        });
    }
    return error;
}

static void row(const char *name, bool list, caseSteps steps, result outcome, int checks)
{
    QTest::newRow(name) << list << steps << int(outcome.kind) << uint(outcome.reason) << checks;
}

void tst_sharedFileWin::windowsReplace_data()
{
    // A list at the load or none, the case's steps, the save's error, and what else to check.
    QTest::addColumn<bool>("listAtLoad");
    QTest::addColumn<caseSteps>("steps");
    QTest::addColumn<int>("kind");
    QTest::addColumn<uint>("reason");
    QTest::addColumn<int>("checks");
    using S = stage;
    const bool list = true, none = false;
    const result saved, changed { fileError::changedSinceLoad };
    const result notRenamed { fileError::listNotRenamed,
        DWORD(isWine ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION) };
    const int kept = keepsAccess;

    row("hidden, with an ACL of its own", list, { &S::giveOwnAcl }, saved, kept);
    row("read-only", list, { &S::makeReadOnly }, { fileError::readOnly }, kept);
    // A virus scanner, an indexer or a backup agent holds a file for a moment: Save tries again
    // for about two seconds, and then gives up with the list as it was. Without POSIX semantics
    // (Wine) any handle on the list stands in the way of its replacement, with them one that does
    // not share deletion.
    row("held by a reader that does not share deletion, through the save", list, { &S::holdList }, notRenamed, kept);
    row("held so for 300 ms", list, { &S::holdListBriefly }, saved, kept);
    row("held open by a reader that shares deletion", list, { &S::holdListSharingDeletion },
        isWine ? notRenamed : saved, kept);
    // Save holds its new file with the right to delete it until it is in place: a scanner may read
    // it meanwhile, sharing deletion, and nobody can hold it otherwise.
    row("the new file held through the save", list, { &S::holdNewFile }, saved, kept);
    row("the new file held so for 300 ms", list, { &S::holdNewFileBriefly }, saved, kept);
    row("the new file held for 300 ms, no list yet", none, { &S::holdNewFileBriefly }, saved, 0);
    // Files named like what a killed save of an earlier build left, but nothing of this editor's:
    // kept, and none of them put in the list's place, not even where there is no list.
    row("no list, an operator's copies under a backup's name", none, { &S::writeBackupLookalikes }, saved, 0);
    row("an operator's copies under look-alike names", list, { &S::writeOperatorCopies }, saved, kept);
    // The rows go back only into the file they were loaded from.
    row("replaced by a member's own file after the load", list, { nullptr, &S::replaceWithHers }, changed, 0);
    row("removed after the load", list, { nullptr, &S::removeList }, changed, 0);
    row("made after the load, no list", none, { nullptr, &S::writeTheirs }, changed, 0);
    row("saved by another editor after the load", list, { nullptr, &S::saveInAnotherEditor }, changed, kept);
    // One rename puts the new list in place, without a moment in which the name is free.
    row("read in a loop during 40 saves", list, { nullptr, &S::readInLoop }, saved, kept | whileRead);
    row("the store's copy that a killed editor left in the temporary folder", list,
        { &S::leaveStoreCopies, &S::deadCopyGone }, saved, kept);
    row("a path over 260 characters", list, { &S::moveToLongPath }, saved, kept);
    if (isWine) {
        // The rename replaces the link, and the file it pointed to stays as it was.
        row("a Unix link at the name", list, { &S::putUnixLink }, saved, 0);
        // Refused at once, with the system's reason.
        row("a folder in which the user may not make files", list, { &S::makeFolderImmutable },
            { fileError::lockNotMade, ERROR_ACCESS_DENIED }, kept | namesLock | atOnce);
    }
    // A full disk: Save can write neither its lock, or else not its new file, and leaves nothing.
    // Only where the program's folder lies on a small disk of its own (tests/windows/fulldisk.sh).
    if (onSmallDisk()) {
        row("disk full", list, { nullptr, &S::fillDisk }, { fileError::lockNotMade, ERROR_DISK_FULL },
            kept | namesLock);
        row("disk full but for the lock", list, { nullptr, &S::fillDiskButForLock },
            { fileError::newFileNotWritten, ERROR_DISK_FULL }, kept);
    }
    // Named as its lock file names it (Windows writes the host in capitals).
    row("a lock held by a live process", list, { nullptr, &S::holdLock }, { fileError::lockHeld }, kept | namesLock);
}

void tst_sharedFileWin::windowsReplace()
{
    QFETCH(bool, listAtLoad);
    QFETCH(caseSteps, steps);
    QFETCH(int, kind);
    QFETCH(uint, reason);
    QFETCH(int, checks);

    stage s;
    if (!listAtLoad)
        QVERIFY(QFile::remove(s.path));
    if (steps.before)
        (s.*steps.before)();
    if (!s.skip.isEmpty())
        QSKIP(qPrintable(s.skip));
    if (QTest::currentTestFailed())
        return;
    const QStringList access = permissionsOf(s.path);
    const QMap<QString, QByteArray> others = besideList(s.path);
    editor e(s.path);
    QCOMPARE(int(e.load().what), int(fileError::none));
    // Nothing is ever moved into the list's place: without a list, no rows.
    QCOMPARE(e.positions, listAtLoad ? QStringLiteral("2") : QString());
    if (steps.between)
        (s.*steps.between)();
    if (QTest::currentTestFailed())
        return;
    const QByteArray unsaved = readFile(s.path);
    QElapsedTimer timer;
    timer.start();
    const fileError error = saveAsWindow(e, checks & whileRead ? 40 : 1);
    const qint64 savedIn = timer.elapsed();
    s.release();

    QCOMPARE(int(error.what), kind);
    QCOMPARE(error.reason, reason ? systemText(reason) : QString());
    QCOMPARE(error.name, checks & namesLock ? QDir::toNativeSeparators(s.path + ".lock") : QString());
    QCOMPARE(error.details, s.lockHolder);
    QCOMPARE(e.lost.size(), 0);
    if (checks & atOnce)
        QVERIFY2(savedIn < 1000, qPrintable(QStringLiteral("refused after %1 ms").arg(savedIn)));
    if (checks & whileRead)
        QVERIFY(s.opens > 0 && s.notFound == 0);
    // Wine keeps no access lists of its own: it shows one made from the Unix mode bits of the file.
    // The attributes are compared there, with the access list only on Windows.
    const qsizetype facts = isWine ? 1 : -1;
    if (checks & keepsAccess)
        QCOMPARE(permissionsOf(s.path).mid(0, facts), access.mid(0, facts));
    // The list is whole, old or new, or what others made of it; what lies beside it is as it was,
    // and nothing that a save made is left there.
    const QByteArray saved = readFile(s.path);
    if (error) {
        QCOMPARE(saved, unsaved);
    } else {
        QVERIFY2(saved.contains("listenHost1=192.168.0.1"), saved.constData());
        QCOMPARE(saved.contains("positions=2"), listAtLoad);
        QVERIFY(!saved.contains("kept=yes"));
    }
    QCOMPARE(besideList(s.path), others);
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
        QVERIFY(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.toStdWString().c_str(), SDDL_REVISION_1,
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
    for (const int half : { 0, 0, 0, int(name.size()), int(name.size()), 0 })
        put(quint16(half));
    if (tag == IO_REPARSE_TAG_SYMLINK)
        put(quint32(flags));
    data += name;
    if (substitute.isEmpty())
        data.chop(6);
    QCOMPARE(windowsLinks::target(data), target);
}

void tst_sharedFileWin::cleanup()
{
    // What a case made, or a failed one left: the list and whatever is named after it, the other
    // files beside it (a probe, too, that the folder took just before it was made immutable and then
    // kept), the store's copies.
    ::SetFileAttributesW(native(listPath()).c_str(), FILE_ATTRIBUTE_NORMAL);
    const QDir folder(QCoreApplication::applicationDirPath());
    const QStringList made { "transport.ini*", "hers.ini", "linked.ini", "probe" };
    for (const QString &name : folder.entryList(made, QDir::Files | QDir::Hidden | QDir::System))
        QFile::remove(folder.filePath(name));
    for (const QString &copy : { deadCopy, liveCopy })
        QDir(copy).removeRecursively();
}

QTEST_GUILESS_MAIN(tst_sharedFileWin)
#include "tst_sharedfile_win.moc"
