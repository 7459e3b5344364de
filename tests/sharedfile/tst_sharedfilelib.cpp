// The shared file's layer on its own, without a window: what a load finds at the list's path,
// when a save may replace the loaded list, and which contents the store would change. Each case
// works on a list in a temporary folder of its own and looks at kinds of errors, not sentences.
#include "listcase.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace listCase;

class tst_sharedFileLib : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        folder.reset(new QTemporaryDir);
        QVERIFY(folder->isValid());
        path = folder->filePath(QStringLiteral("transport.ini"));
    }
    void loads_data();
    void loads();
    void savesOnlyTheLoadedList_data();
    void savesOnlyTheLoadedList();
    void contentTheStoreWouldChange_data();
    void contentTheStoreWouldChange();

private:
    void checkSave(const QByteArray &loaded, const QString &change);
    // A name as a fileError gives it: one that starts with "/" lies in the case's folder.
    QString named(const QString &name) const
    {
        const QString folderPath = QFileInfo(folder->path()).canonicalFilePath();
        return name.startsWith(QLatin1Char('/')) ? QDir::toNativeSeparators(folderPath + name)
                                                 : name;
    }

    std::unique_ptr<QTemporaryDir> folder;
    QString path; // the list's, in the folder
};

void tst_sharedFileLib::loads_data()
{
    // What stands at the list's path and its bytes; the load's kind, first detail and name. Only
    // a good list gives a store.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("name");
    const auto row = [](const char *name, const char *setup, const QByteArray &bytes,
                         fileError::kind kind, const QString &detail = QString(),
                         const QString &key = QString()) {
        QTest::newRow(name) << QString::fromLatin1(setup) << bytes << int(kind) << detail << key;
    };
    row("nothing", "nothing", QByteArray(), fileError::none);
    row("a list", "file", fixture, fileError::none);
    row("a folder", "folder", QByteArray(), fileError::notAFile);
    row("a file over 32 MB", "huge", fixture, fileError::tooLarge, "32");
    row("a value for the deserialiser", "file",
        fixture + "[Extra]\nblob=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\vNoSuchType\\0)\n",
        fileError::typedValue, "12");
    row("no folder known", "no path", QByteArray(), fileError::noFolder);
#ifdef Q_OS_UNIX
    row("a FIFO", "fifo", QByteArray(), fileError::notAFile);
    const struct passwd *const account = ::getpwuid(::geteuid()); // the link's owner
    row("a link in a folder that others may write", "link", fixture, fileError::linkRefused,
        account ? QString::fromLocal8Bit(account->pw_name) : QString::number(::geteuid()),
        "/transport.ini");
#endif
}

void tst_sharedFileLib::loads()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, bytes);
    QFETCH(int, kind);
    QFETCH(QString, detail);
    QFETCH(QString, name);

#ifdef Q_OS_UNIX
    if (setup == QLatin1String("link")) { // to a good list beside it
        const QString target = folder->filePath(QStringLiteral("list.ini"));
        QVERIFY(writeFile(target, bytes) && QFile::link(target, path));
        QCOMPARE(::chmod(QFile::encodeName(folder->path()).constData(), 0777), 0);
    } else if (setup == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    }
#endif
    if (setup == QLatin1String("no path"))
        path.clear();
    else if (setup == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(path));
    else if (setup != QLatin1String("link") && !bytes.isEmpty())
        QVERIFY(writeFile(path, bytes));
    if (setup == QLatin1String("huge")) // sparse: it takes no room on the disk
        QVERIFY(QFile::resize(path, 32 * 1024 * 1024 + 1));

    sharedFile file(path, newListOrigin());
    const QSettings *const store = file.read();
    const fileError &error = file.error();
    QCOMPARE(int(error.what), kind);
    QCOMPARE(error.details.value(0), detail);
    QCOMPARE(error.name, named(name));
    QCOMPARE(store != nullptr, kind == fileError::none && !bytes.isEmpty());
    if (store)
        QCOMPARE(store->value(QStringLiteral("positions")).toString(), QStringLiteral("2"));
}

// The save's columns: the list at the load (empty: none), what becomes of it before the save,
// and what the save gives: the kind that refused it with its name and first detail, or none and a
// line that the new list holds byte for byte.
void addSaveColumns()
{
    QTest::addColumn<QByteArray>("loaded");
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QByteArray>("kept");
}

void saveRow(const char *name, const QByteArray &loaded, const char *change, fileError::kind kind,
    const QString &key = QString(), const QString &detail = QString(),
    const QByteArray &kept = QByteArray())
{
    QTest::newRow(name) << loaded << QString::fromLatin1(change) << int(kind) << key << detail
                        << kept;
}

void tst_sharedFileLib::savesOnlyTheLoadedList_data()
{
    addSaveColumns();
    saveRow("unchanged", fixture, "", fileError::none, "", "", "destHost1=10.0.0.2");
    saveRow("written to in place", fixture, "rewritten", fileError::none, "", "", "destHost1=b");
    saveRow("none, and still none", QByteArray(), "", fileError::none);
    saveRow("replaced by another file", fixture, "replaced", fileError::changedSinceLoad);
    saveRow("removed", fixture, "removed", fileError::changedSinceLoad);
    saveRow("none, then one", QByteArray(), "appeared", fileError::changedSinceLoad);
#ifdef Q_OS_UNIX
    saveRow("its lock held by a live writer", fixture, "locked", fileError::lockHeld,
        "/transport.ini.lock", QString::number(QCoreApplication::applicationPid()));
#endif
}

void tst_sharedFileLib::savesOnlyTheLoadedList()
{
    QFETCH(QByteArray, loaded);
    QFETCH(QString, change);
    checkSave(loaded, change);
}

void tst_sharedFileLib::contentTheStoreWouldChange_data()
{
    addSaveColumns();
    // "Иванов" in Windows-1251, and "🙂".
    const QByteArray cp1251 = fixture + "[Extra]\nowner=\xc8\xe2\xe0\xed\xee\xe2\n";
    const QByteArray smile = "mood=\xf0\x9f\x99\x82";
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    saveRow("a line not in UTF-8", cp1251, "", fileError::notUtf8, "", "12");
    saveRow(
        "beyond U+FFFF", fixture + "[Extra]\n" + smile + '\n', "", fileError::none, "", "", smile);
#else
    // Read as Latin-1, written as escapes of the same characters.
    saveRow("a line not in UTF-8", cp1251, "", fileError::none);
    saveRow("beyond U+FFFF", fixture + "[Extra]\n" + smile + '\n', "", fileError::beyondBmp,
        "Extra/mood");
#endif
    // The store reads it as text, and would write it as plain abc.
    saveRow("@String under another program's key", fixture + "[Extra]\nblob=@String(abc)\n", "",
        fileError::changedByStore, "blob", "@String(abc)");
    saveRow("@String under a key that the save writes, in another section",
        fixture + "[Extra]\nlistenHost3=@String(abc)\n", "", fileError::changedByStore,
        "listenHost3", "@String(abc)");
    saveRow("@String under a key that the save writes",
        fixture + "[General]\nlistenHost3=@String(abc)\n", "", fileError::none);
    saveRow("@Point", fixture + "[Extra]\nblob=@Point(1 2)\n", "", fileError::none, "", "",
        "blob=@Point(1 2)");
}

void tst_sharedFileLib::contentTheStoreWouldChange()
{
    QFETCH(QByteArray, loaded);
    checkSave(loaded, QString());
}

// Loads `loaded`, makes the change, and saves positions=3 as the save columns expect.
void tst_sharedFileLib::checkSave(const QByteArray &loaded, const QString &change)
{
    QFETCH(int, kind);
    QFETCH(QString, name);
    QFETCH(QString, detail);
    QFETCH(QByteArray, kept);

    if (!loaded.isEmpty())
        QVERIFY(writeFile(path, loaded));
    editor window(path);
    QCOMPARE(int(window.load().what), int(fileError::none));
    const QByteArray other
        = "[General]\npositions=1\nlistenHost1=a\nlistenPort1=1\ndestHost1=b\ndestPort1=2\n";
    if (change == QLatin1String("rewritten") || change == QLatin1String("appeared")) {
        QVERIFY(writeFile(path, other));
    } else if (change == QLatin1String("replaced")) {
        QSaveFile replacement(path); // a new file, renamed over the list
        QVERIFY(replacement.open(QIODevice::WriteOnly) && replacement.write(other) == other.size());
        QVERIFY(replacement.commit());
    } else if (change == QLatin1String("removed")) {
        QVERIFY(QFile::remove(path));
    }
#ifdef Q_OS_UNIX
    // Held as another editor holds it: locked, with its process, program and host.
    int lock = -1;
    const auto closeLock = qScopeGuard([&] {
        if (lock >= 0)
            ::close(lock);
    });
    if (change == QLatin1String("locked")) {
        const QByteArray lockName = QFile::encodeName(path + QLatin1String(".lock"));
        const QByteArray owner
            = detail.toUtf8() + "\nwriter\n" + QSysInfo::machineHostName().toUtf8() + '\n';
        lock = ::open(lockName.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        QVERIFY(lock >= 0 && ::flock(lock, LOCK_EX) == 0);
        QCOMPARE(::write(lock, owner.constData(), size_t(owner.size())), ssize_t(owner.size()));
    }
#endif
    const QByteArray before = readFile(path);
    const QStringList namesBefore = entries(folder->path());

    const fileError error = window.save([](QSettings &store) { store.setValue(QStringLiteral("positions"), 3); });
    const bool byEdit = window.refusedAtEdit;
    QCOMPARE(int(error.what), kind);
    QCOMPARE(error.name, named(name));
    QCOMPARE(error.details.value(0), detail);
    if (error) {
#ifdef Q_OS_WIN
        // There only the rename compares the file at the path with the loaded one.
        QCOMPARE(byEdit, error.what != fileError::changedSinceLoad);
#else
        QVERIFY(byEdit);
#endif
        QCOMPARE(readFile(path), before);
        QCOMPARE(entries(folder->path()), namesBefore);
        return;
    }
    const QByteArray saved
        = '\n' + readFile(path).replace("\r\n", "\n"); // lines as the system ends them
    QVERIFY2(saved.contains("\npositions=3\n"), saved.constData());
    QVERIFY2(kept.isEmpty() || saved.contains('\n' + kept + '\n'), saved.constData());
    QCOMPARE(entries(folder->path()),
        QStringList { QStringLiteral("transport.ini") }); // no lock, no stage
}

QTEST_GUILESS_MAIN(tst_sharedFileLib)
#include "tst_sharedfilelib.moc"
