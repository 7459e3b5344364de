// Saves that die half-way or race another editor: transport.ini always holds one complete list.
#include "savelists.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QThread>
#include <QtTest>

#include <signal.h>

using namespace testSupport;

namespace {

// TRANSPORT_KILL_COUNT sets how many saves killDuringSave interrupts.
const int DefaultKills = 60;
const int ProcessTimeout = 60000;

QString folder()
{
    return QCoreApplication::applicationDirPath();
}

// What a killed save may leave beside the file: QSaveFile's temporary and QLockFile's lock.
QStringList leftovers()
{
    return QDir(folder()).entryList({ QStringLiteral("transport.ini.*") }, QDir::Files | QDir::Hidden);
}

void removeAll()
{
    QFile::remove(settingsPath());
    for (const QString &name : leftovers())
        QFile::remove(folder() + QLatin1Char('/') + name);
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
    startSaver(process, { QStringLiteral("once"), QString(QLatin1Char(list)) });
    if (!process.waitForFinished(ProcessTimeout)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// Reads "saved <list> <ms>" lines that a saver has printed so far.
int countSaves(QProcess &process, QByteArray &pending, qint64 *lastMs = nullptr)
{
    pending += process.readAllStandardOutput();
    int saves = 0;
    int end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QList<QByteArray> words = pending.left(end).split(' ');
        pending.remove(0, end + 1);
        if (words.size() == 3 && words[0] == "saved") {
            ++saves;
            if (lastMs)
                *lastMs = words[2].toLongLong();
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
        ::kill(pid_t(saver.processId()), SIGKILL);
        QVERIFY(saver.waitForFinished(ProcessTimeout));
        QCOMPARE(saver.exitStatus(), QProcess::CrashExit);

        const QStringList after = leftovers();
        killedWithLock += after.contains(QStringLiteral("transport.ini.lock")) ? 1 : 0;
        killedWithTemporary += after.size() - after.count(QStringLiteral("transport.ini.lock")) > temporariesBefore ? 1 : 0;

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

    // Whatever the killed processes left behind, the next editor saves, and saves again.
    QCOMPARE(saveOnce('B'), 0);
    QVERIFY(forgetCachedFile());
    QCOMPARE(listInFile(), 'B');
    QCOMPARE(saveOnce('A'), 0);
    QVERIFY(forgetCachedFile());
    QCOMPARE(listInFile(), 'A');
    QVERIFY(!leftovers().contains(QStringLiteral("transport.ini.lock")));
}

void tst_killsave::concurrentEditors()
{
    QProcess saverA;
    QProcess saverB;
    startSaver(saverA, { QStringLiteral("repeat"), QStringLiteral("A") });
    startSaver(saverB, { QStringLiteral("repeat"), QStringLiteral("B") });
    QVERIFY(saverA.waitForStarted(ProcessTimeout));
    QVERIFY(saverB.waitForStarted(ProcessTimeout));

    // Read the file while both editors keep saving, until each has saved several times.
    QByteArray pendingA;
    QByteArray pendingB;
    int savesA = 0;
    int savesB = 0;
    int seenA = 0;
    int seenB = 0;
    const QDeadlineTimer deadline(4 * ProcessTimeout);
    while (savesA < 6 || savesB < 6) {
        QVERIFY2(!deadline.hasExpired(), qPrintable(QStringLiteral("saves: A %1, B %2").arg(savesA).arg(savesB)));
        QVERIFY2(saverA.state() == QProcess::Running && saverB.state() == QProcess::Running,
                 "an editor stopped: a save failed");
        int rows = 0;
        const char list = listInFile(&rows);
        QVERIFY2(list != 0, qPrintable(QStringLiteral("the file holds %1 rows of neither list").arg(rows)));
        (list == 'A' ? seenA : seenB) += 1;
        saverA.waitForReadyRead(0);
        saverB.waitForReadyRead(0);
        savesA += countSaves(saverA, pendingA);
        savesB += countSaves(saverB, pendingB);
    }
    qInfo("saves: A %d, B %d; loads that showed A: %d, B: %d", savesA, savesB, seenA, seenB);

    saverA.kill();
    saverB.kill();
    QVERIFY(saverA.waitForFinished(ProcessTimeout));
    QVERIFY(saverB.waitForFinished(ProcessTimeout));
    QVERIFY(forgetCachedFile());
    QVERIFY(listInFile() != 0);
}

QTEST_MAIN(tst_killsave)
#include "tst_killsave.moc"
