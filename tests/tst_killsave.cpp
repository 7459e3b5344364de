// Saves that die half-way or race another editor: transport.ini always holds one complete list.
#include "savelists.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>
#endif

using namespace testSupport;

namespace {

// TRANSPORT_KILL_COUNT sets how many saves killDuringSave interrupts.
const int DefaultKills = 60;
// How many times each of the concurrent editors saves its list.
const int ConcurrentSaves = 20;
const int ProcessTimeout = 60000;

QString folder()
{
    return QCoreApplication::applicationDirPath();
}

// What a killed save may leave beside the file: its lock, and its own folder for the new file
// (Linux), or its new file (Windows).
QStringList leftovers()
{
    return QDir(folder()).entryList({ QStringLiteral("transport.ini.*") },
                                    QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
}

void removeAll()
{
    QFile::remove(settingsPath());
    for (const QString &name : leftovers()) {
        const QString path = folder() + QLatin1Char('/') + name;
        if (!QFile::remove(path))
            QDir(path).removeRecursively();
    }
}

// Which complete list a new editor shows for the file as it is now: 'A', 'B', or 0 for anything else.
char listInFile(int *rows = nullptr)
{
    static const Rows a = savedList('A');
    static const Rows b = savedList('B');
    const Rows table = openedWindow().rows();
    if (rows)
        *rows = int(table.size());
    return table == a ? 'A' : table == b ? 'B' : 0;
}

#ifdef Q_OS_WIN
// Which complete list the file at its name holds, read by no editor but the store alone, from a
// copy: 'A', 'B', or 0 for anything else, no file among it.
char listAtName(int *rows)
{
    static const Rows a = savedList('A');
    static const Rows b = savedList('B');
    const QByteArray bytes = readFile(settingsPath());
    QTemporaryDir copyFolder;
    const QString copy = copyFolder.filePath(QStringLiteral("copy.ini"));
    if (bytes.isEmpty() || !copyFolder.isValid() || !writeFile(copy, bytes))
        return 0;
    const QSettings settings(copy, QSettings::IniFormat);
    *rows = settings.value(QStringLiteral("positions")).toInt();
    Rows table;
    for (int row = 1; row <= *rows; ++row) {
        QStringList cells;
        for (const char *key : { "listenHost", "listenPort", "destHost", "destPort" })
            cells << settings.value(QLatin1String(key) + QString::number(row)).toString();
        table.append(cells);
    }
    return table == a ? 'A' : table == b ? 'B' : 0;
}
#endif

void startSaver(QProcess &process, const QStringList &arguments)
{
    process.setProgram(folder() + QLatin1String("/transport_settings_saver"));
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
}

// Runs one complete save of the list in a new editor and returns its exit code.
int saveOnce(char list)
{
    QProcess process;
    startSaver(process, { QString(QLatin1Char(list)) });
    if (!process.waitForFinished(ProcessTimeout)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// Reads "saved <list> <ms>" lines that a saver has printed so far; `refused` counts the saves
// refused because the other editor had replaced the list.
int countSaves(QProcess &process, QByteArray &pending, qint64 *lastMs = nullptr, int *refused = nullptr)
{
    pending += process.readAllStandardOutput();
    int saves = 0;
    int end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QByteArray line = pending.left(end);
        const QList<QByteArray> words = line.split(' ');
        pending.remove(0, end + 1);
        if (line.startsWith("failed "))
            qWarning("an editor's save failed: %s", line.constData() + 7);
        if (words.size() == 3 && words[0] == "saved") {
            ++saves;
            if (lastMs)
                *lastMs = words[2].toLongLong();
        } else if (refused && words.size() == 2 && words[0] == "refused") {
            ++*refused;
        }
    }
    return saves;
}

} // namespace

class tst_killsave : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void killDuringSave();
    void concurrentEditors();
};

void tst_killsave::init()
{
    removeAll();
    QCOMPARE(saveOnce('A'), 0);
    QVERIFY(forgetCachedFile());
    QCOMPARE(listInFile(), 'A');
}

void tst_killsave::cleanup()
{
    removeAll();
}

void tst_killsave::killDuringSave()
{
    bool ok = false;
    int kills = qEnvironmentVariableIntValue("TRANSPORT_KILL_COUNT", &ok);
    if (!ok)
        kills = DefaultKills;
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    qInfo("%d kills, seed %u", kills, seed);

    int killedWithTemporary = 0;
    int killedWithLock = 0;
#ifdef Q_OS_UNIX
    int abandonedCopies = 0;
#endif
    for (int kill = 0; kill < kills; ++kill) {
        QProcess saver;
        startSaver(saver, { QStringLiteral("loop") });
        QVERIFY(saver.waitForStarted(ProcessTimeout));

        // Wait for one complete save, then kill the process somewhere in one of the next ones.
        QByteArray pending;
        qint64 saveMs = 0;
        while (countSaves(saver, pending, &saveMs) == 0)
            QVERIFY2(saver.waitForReadyRead(ProcessTimeout), "the saver never saved");
        const int temporariesBefore = int(leftovers().size() - leftovers().count(QStringLiteral("transport.ini.lock")));
        QThread::usleep(random.bounded(quint32(saveMs * 1500 + 1)));
#ifdef Q_OS_UNIX
        ::kill(pid_t(saver.processId()), SIGKILL);
#else
        saver.kill(); // TerminateProcess
#endif
        QVERIFY(saver.waitForFinished(ProcessTimeout));
        QCOMPARE(saver.exitStatus(), QProcess::CrashExit);

#ifdef Q_OS_UNIX
        // The killed editor's private copy, which no live process holds locked any more.
        QStringList abandoned;
        const QDir shared(QStringLiteral("/dev/shm"));
        for (const QString &name : shared.entryList({ QStringLiteral("transport-settings-??????") }, QDir::Dirs)) {
            const int fd = ::open(QFile::encodeName(shared.filePath(name)).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
                abandoned << name;
            if (fd >= 0)
                ::close(fd);
        }
        abandonedCopies += int(abandoned.size());
        const auto removedByNextStart = qScopeGuard([&] {
            for (const QString &name : abandoned)
                QVERIFY2(!shared.exists(name), qPrintable(name));
        });
#endif
        const QStringList after = leftovers();
        killedWithLock += after.contains(QStringLiteral("transport.ini.lock")) ? 1 : 0;
        killedWithTemporary += after.size() - after.count(QStringLiteral("transport.ini.lock")) > temporariesBefore ? 1 : 0;

#ifdef Q_OS_WIN
        // One rename puts the new list in place: the name holds a whole list at the moment of the
        // kill, before any editor has started.
        int onDisk = 0;
        QVERIFY2(listAtName(&onDisk) != 0,
                 qPrintable(QStringLiteral("kill %1 (seed %2): the name holds %3 rows of neither list")
                                .arg(kill).arg(seed).arg(onDisk)));
#endif
        QVERIFY(forgetCachedFile());
        {
            const QSettings settings(settingsPath(), QSettings::IniFormat);
            QVERIFY2(settings.status() == QSettings::NoError,
                     qPrintable(QStringLiteral("kill %1 (seed %2): the file does not parse").arg(kill).arg(seed)));
        }
        int rows = 0;
        QVERIFY2(listInFile(&rows) != 0,
                 qPrintable(QStringLiteral("kill %1 (seed %2): the file holds %3 rows of neither list")
                                .arg(kill).arg(seed).arg(rows)));
    }
    qInfo("kills that left a lock file: %d, a temporary file: %d, leftovers now: %s", killedWithLock,
          killedWithTemporary, qPrintable(leftovers().join(QLatin1Char(' '))));
#ifdef Q_OS_UNIX
    qInfo("private copies that killed editors left: %d", abandonedCopies);
    QVERIFY(abandonedCopies > 0);
#endif

    // Whatever the killed processes left behind, the next editor saves, and saves again.
    QCOMPARE(saveOnce('B'), 0);
    QVERIFY(forgetCachedFile());
    QCOMPARE(listInFile(), 'B');
    QCOMPARE(saveOnce('A'), 0);
    QVERIFY(forgetCachedFile());
    QCOMPARE(listInFile(), 'A');
    QCOMPARE(leftovers(), QStringList()); // neither a lock nor a half-written new file
}

// Each editor tries to save its list a fixed number of times, so the case takes about as long on
// every run, however unevenly the two share the lock. Once one has saved, the other's table no
// longer comes from the list, and its saves are refused: none is lost unseen.
void tst_killsave::concurrentEditors()
{
    QProcess savers[2];
    QByteArray pending[2];
    int saves[2] = { 0, 0 };
    int refused[2] = { 0, 0 };
    int seen[2] = { 0, 0 };
    for (int i = 0; i < 2; ++i)
        startSaver(savers[i], { QString(QLatin1Char("AB"[i])), QString::number(ConcurrentSaves) });
    for (QProcess &saver : savers)
        QVERIFY(saver.waitForStarted(ProcessTimeout));

    // Read the file while either editor is still saving.
    const QDeadlineTimer deadline(4 * ProcessTimeout);
    while (savers[0].state() != QProcess::NotRunning || savers[1].state() != QProcess::NotRunning) {
        QVERIFY2(!deadline.hasExpired(), qPrintable(QStringLiteral("saves: A %1, B %2").arg(saves[0]).arg(saves[1])));
        int rows = 0;
        const char list = listInFile(&rows);
        QVERIFY2(list != 0, qPrintable(QStringLiteral("the file holds %1 rows of neither list").arg(rows)));
        seen[list == 'A' ? 0 : 1] += 1;
        for (int i = 0; i < 2; ++i) {
            savers[i].waitForReadyRead(0);
            saves[i] += countSaves(savers[i], pending[i], nullptr, &refused[i]);
        }
#ifdef Q_OS_WIN
        // Without POSIX semantics (Wine, FAT) any handle on the list holds up its rename, and a
        // reader that never lets go for long would now and then outlast a save's retries.
        QThread::msleep(1);
#endif
    }
    qInfo("saves: A %d, B %d; refused: A %d, B %d; loads that showed A: %d, B: %d", saves[0], saves[1],
          refused[0], refused[1], seen[0], seen[1]);

    // Both ran to the end: a save that failed otherwise would have ended an editor early, with
    // exit code 3. Every save either held or was refused, and at least one held.
    for (int i = 0; i < 2; ++i) {
        saves[i] += countSaves(savers[i], pending[i], nullptr, &refused[i]);
        QCOMPARE(savers[i].exitStatus(), QProcess::NormalExit);
        QCOMPARE(savers[i].exitCode(), 0);
        QCOMPARE(saves[i] + refused[i], ConcurrentSaves);
    }
    QVERIFY(saves[0] + saves[1] > 0);
    QVERIFY(forgetCachedFile());
    QVERIFY(listInFile() != 0);
}

QTEST_MAIN(tst_killsave)
#include "tst_killsave.moc"
