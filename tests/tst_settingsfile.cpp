// Tests of loading and saving the redirection list: the table against transport.ini beside the binary.
#include "filemessages.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#include <pwd.h>
#endif

using namespace testSupport;

using Keys = QMap<QString, QString>;

namespace {

// Set in the environment of the unprivileged copy that saveUnwritableFile starts; its value names
// the variant of the fixture.
const char childVariable[] = "TST_SETTINGSFILE_CHILD";
// Makes the round-trip generator repeat a failed run.
const char seedVariable[] = "TST_SETTINGSFILE_SEED";

// Every key in the file as the store reads it from disk; keys of other sections as "section/key".
Keys diskKeys()
{
    Keys keys;
    if (!forgetCachedFile())
        return keys;
    QSettings settings(settingsPath(), QSettings::IniFormat);
    const QStringList names = settings.allKeys();
    for (const QString &name : names)
        keys.insert(name, settings.value(name).toString());
    return keys;
}

QString entryKey(const char *name, int number)
{
    return QLatin1String(name) + QString::number(number);
}

// The keys a save of this table sets.
Keys keysOf(const Rows &rows)
{
    Keys keys;
    keys.insert(QStringLiteral("positions"), QString::number(rows.size()));
    for (int i = 0; i < rows.size(); ++i) {
        keys.insert(entryKey("listenHost", i + 1), rows[i][0]);
        keys.insert(entryKey("listenPort", i + 1), rows[i][1]);
        keys.insert(entryKey("destHost", i + 1), rows[i][2]);
        keys.insert(entryKey("destPort", i + 1), rows[i][3]);
    }
    return keys;
}

QByteArray entryLines(int number, const QStringList &cells)
{
    const QByteArray n = QByteArray::number(number);
    return "listenHost" + n + '=' + cells[0].toLatin1() + "\nlistenPort" + n + '=' + cells[1].toLatin1()
        + "\ndestHost" + n + '=' + cells[2].toLatin1() + "\ndestPort" + n + '=' + cells[3].toLatin1()
        + '\n';
}

QStringList entry(int number)
{
    const QString n = QString::number(number);
    return { QLatin1String("lh") + n, QLatin1String("1") + n, QLatin1String("dh") + n, QLatin1String("2") + n };
}

QStringList blank()
{
    return { QString(), QString(), QString(), QString() };
}

Rows blankRows(int count)
{
    Rows rows;
    for (int i = 0; i < count; ++i)
        rows.append(blank());
    return rows;
}

// What init() writes: three entries, a port that is a word, an unknown key, a stale entry above
// the count and a section of someone else's.
const QByteArray fixture = "[General]\n"
                           "positions=3\n"
                           "listenHost1=127.0.0.1\nlistenPort1=80\ndestHost1=10.0.0.2\ndestPort1=80\n"
                           "listenHost2=127.0.0.1\nlistenPort2=110\ndestHost2=10.0.0.3\ndestPort2=110\n"
                           "listenHost3=0.0.0.0\nlistenPort3=8080\ndestHost3=backend.example\ndestPort3=http\n"
                           "timeout=30\n"
                           "listenHost4=stale.example\nlistenPort4=1\ndestHost4=old.example\ndestPort4=2\n"
                           "\n"
                           "[Other]\n"
                           "name=value\n"
                           "listenHost1=elsewhere\n";

Rows fixtureRows()
{
    return {
        { "127.0.0.1", "80", "10.0.0.2", "80" },
        { "127.0.0.1", "110", "10.0.0.3", "110" },
        { "0.0.0.0", "8080", "backend.example", "http" },
    };
}

// The fixture with two lines the store cannot parse: a line without '=' and a section without ']'.
QByteArray malformedFixture()
{
    QByteArray bytes = fixture;
    bytes.insert(bytes.indexOf("timeout="), "this line has no equals sign\n");
    return bytes + "[broken section\nkey=value\n";
}

Keys fixtureKeys()
{
    Keys keys = keysOf(fixtureRows());
    keys.insert(QStringLiteral("timeout"), QStringLiteral("30"));
    keys.insert(QStringLiteral("listenHost4"), QStringLiteral("stale.example"));
    keys.insert(QStringLiteral("listenPort4"), QStringLiteral("1"));
    keys.insert(QStringLiteral("destHost4"), QStringLiteral("old.example"));
    keys.insert(QStringLiteral("destPort4"), QStringLiteral("2"));
    keys.insert(QStringLiteral("Other/name"), QStringLiteral("value"));
    keys.insert(QStringLiteral("Other/listenHost1"), QStringLiteral("elsewhere"));
    return keys;
}

QString describe(const Rows &rows)
{
    QStringList lines;
    for (const QStringList &cells : rows)
        lines.append(QLatin1Char('[') + cells.join(QLatin1String("|")) + QLatin1Char(']'));
    return lines.join(QLatin1Char(' '));
}

// Names in the program's folder, but for the settings file itself.
QStringList folderEntries(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
                                               | QDir::System);
    names.removeAll(QStringLiteral("transport.ini"));
    return names;
}

// The warning that saving to `path` failed for `error`, over `window`, as clickSave() describes it.
QStringList saveWarning(const QWidget *window, const QString &path, const fileError &error)
{
    return { QString::number(QMessageBox::Warning), QStringLiteral("Ошибка сохранения"),
             fileMessages::saveFailed(path, error), QString::number(quintptr(window), 16) };
}

} // namespace

class tst_settingsFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void load_data();
    void load();
    void noFile();
    void saveAfterDelete();
    void saveTwice();
    void shortcutSaves();
    void roundTrip_data();
    void roundTrip();
    void roundTripGenerated();
    void saveIntoDirectory();
    void saveMalformedFile_data();
    void saveMalformedFile();
    void saveUnwritableFile_data();
    void saveUnwritableFile();
    void unwritableFileChild();

private:
    bool isChild() const { return !qEnvironmentVariableIsEmpty(childVariable); }
    QString roundTripDifference(const Rows &rows);

    QStringList folderBefore;
};

void tst_settingsFile::initTestCase()
{
    if (isChild())
        return;
    QFile::remove(settingsPath());
    folderBefore = folderEntries(QCoreApplication::applicationDirPath());
}

void tst_settingsFile::init()
{
    if (isChild())
        return;
    failOnUnboundSlots();
    QVERIFY(writeFile(settingsPath(), fixture));
    QVERIFY(forgetCachedFile());
}

void tst_settingsFile::cleanup()
{
    if (isChild())
        return;
    const QString path = settingsPath();
    if (QFileInfo(path).isDir())
        QDir(path).removeRecursively();
    QFile::remove(path);
    QCOMPARE(folderEntries(QCoreApplication::applicationDirPath()), folderBefore);
}

void tst_settingsFile::load_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Rows>("rows");

    const QByteArray e1 = entryLines(1, entry(1));
    const QByteArray e2 = entryLines(2, entry(2));

    QTest::newRow("two entries") << "[General]\npositions=2\n" + e1 + e2 << Rows{ entry(1), entry(2) };
    QTest::newRow("count above the entries")
        << "[General]\npositions=3\n" + e1 + e2 << Rows{ entry(1), entry(2), blank() };
    QTest::newRow("count zero") << "[General]\npositions=0\n" + e1 + e2 << Rows{};
    QTest::newRow("count negative") << "[General]\npositions=-2\n" + e1 + e2 << Rows{};
    QTest::newRow("count not a number") << "[General]\npositions=abc\n" + e1 + e2 << Rows{};
    QTest::newRow("count negative beyond int")
        << "[General]\npositions=-4294967295\n" + e1 + e2 << Rows{};
    QTest::newRow("count missing") << "[General]\n" + e1 + e2 << Rows{};
    QTest::newRow("empty file") << QByteArray() << Rows{};
    QTest::newRow("entries above the count") << "[General]\npositions=1\n" + e1 + e2 << Rows{ entry(1) };
    QTest::newRow("keys of another section")
        << "[General]\npositions=1\n[Other]\n" + e1 << Rows{ blank() };
    QTest::newRow("missing keys")
        << QByteArray("[General]\npositions=1\nlistenHost1=a.example\ndestPort1=25\n")
        << Rows{ { "a.example", "", "", "25" } };
    QTest::newRow("ports that are not numbers")
        << QByteArray("[General]\npositions=1\nlistenHost1=h\nlistenPort1=eighty\ndestHost1=d\n"
                      "destPort1=0x50\n")
        << Rows{ { "h", "eighty", "d", "0x50" } };
    QTest::newRow("values with unquoted commas")
        << QByteArray("[General]\npositions=1\nlistenHost1=10.0.0.1,10.0.0.2\nlistenPort1=80,\n"
                      "destHost1=d\ndestPort1=8\n")
        << Rows{ { "10.0.0.1,10.0.0.2", "80,", "d", "8" } };

    QByteArray ten = "[General]\npositions=10\n";
    Rows tenRows;
    for (int n = 1; n <= 10; ++n) {
        ten += entryLines(n, entry(n));
        tenRows.append(entry(n));
    }
    QTest::newRow("two-digit numbers") << ten << tenRows;

    Rows hundredRows = blankRows(100);
    hundredRows[0] = entry(1);
    hundredRows[9] = entry(10);
    hundredRows[99] = entry(100);
    QTest::newRow("three-digit numbers")
        << "[General]\npositions=100\n" + entryLines(100, entry(100)) + entryLines(10, entry(10)) + e1
        << hundredRows;

    // A count far beyond the entries present keeps every entry present, in order, with at most
    // 1000 blank rows in all; a gap that does not fit is closed up.
    QTest::newRow("huge count")
        << "[General]\npositions=2147483647\n" + e1 + e2 << Rows{ entry(1), entry(2) };
    QTest::newRow("huge count, a far entry after a short gap")
        << "[General]\npositions=2147483647\n" + e1 + entryLines(3, entry(3))
            + entryLines(5000000, entry(5000000))
        << Rows{ entry(1), blank(), entry(3), entry(5000000) };
    QTest::newRow("count beyond int")
        << "[General]\npositions=4294967298\n" + e1 + e2 + entryLines(3, entry(3))
        << Rows{ entry(1), entry(2), entry(3) };
    QTest::newRow("count just beyond int")
        << "[General]\npositions=2147483648\n" + e1 << Rows{ entry(1) };
    QTest::newRow("huge count, one far key")
        << QByteArray("[General]\npositions=2147483647\ndestPort2000000000=9\n")
        << Rows{ { "", "", "", "9" } };
    Rows bound = blankRows(1002);
    bound[0] = entry(1);
    bound[1] = entry(2);
    QTest::newRow("blank rows up to the bound") << "[General]\npositions=1002\n" + e1 + e2 << bound;
    QTest::newRow("a gap one over the bound")
        << "[General]\npositions=1003\n" + e1 + e2 << Rows{ entry(1), entry(2) };
    Rows shared = blankRows(602);
    shared[0] = entry(1);
    shared[600] = entry(601);
    shared[601] = entry(1202);
    QTest::newRow("the bound holds for all gaps together")
        << "[General]\npositions=1202\n" + e1 + entryLines(601, entry(601)) + entryLines(1202, entry(1202))
        << shared;
}

void tst_settingsFile::load()
{
    QFETCH(QByteArray, file);
    QFETCH(Rows, rows);
    const QString path = settingsPath();

    openedWindow editor(file);
    QVERIFY(editor.table);
    const Rows shown = editor.rows();
    QCOMPARE(shown.size(), rows.size());
    QCOMPARE(shown, rows);
    QCOMPARE(readFile(path), file);
    QCOMPARE(folderEntries(QCoreApplication::applicationDirPath()), folderBefore);

    // Saving into an emptied file writes exactly what was shown, blank cells as empty values.
    QVERIFY(writeFile(path, QByteArray()));
    QVERIFY(clickButton(editor.window, "closeButton"));
    const Keys expected = keysOf(rows);
    QCOMPARE(diskKeys(), expected);
    const QList<QByteArray> lines = storeLines(readFile(path));
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9.]*$"));
    for (auto key = expected.cbegin(); key != expected.cend(); ++key) {
        if (plain.match(key.value()).hasMatch())
            QVERIFY2(lines.contains((key.key() + QLatin1Char('=') + key.value()).toLatin1()),
                     qPrintable(key.key()));
    }
    QCOMPARE(editor.rows(), rows);
}

void tst_settingsFile::noFile()
{
    const QString path = settingsPath();
    QVERIFY(QFile::remove(path));
    {
        openedWindow editor;
        QVERIFY(editor.table);
        QCOMPARE(editor.table->topLevelItemCount(), 0);
    }
    QVERIFY(!QFile::exists(path));

    settingsDialog window;
    QVERIFY(clickButton(window, "closeButton"));
    QCOMPARE(readFile(path), storeText("[General]\npositions=0\n"));
}

void tst_settingsFile::saveAfterDelete()
{
    openedWindow editor;
    QVERIFY(editor.table);
    QCOMPARE(editor.rows(), fixtureRows());
    editor.table->setCurrentItem(editor.table->topLevelItem(1));
    QVERIFY(clickButton(editor.window, "removeButton"));
    QVERIFY(clickButton(editor.window, "closeButton"));

    // Entry 3 moves up to 2; its old keys, the stale entry 4, the unknown key and the other
    // section stay as they were.
    const Rows rows = fixtureRows();
    Keys expected = fixtureKeys();
    expected.insert(QStringLiteral("positions"), QStringLiteral("2"));
    expected.insert(QStringLiteral("listenHost2"), rows[2][0]);
    expected.insert(QStringLiteral("listenPort2"), rows[2][1]);
    expected.insert(QStringLiteral("destHost2"), rows[2][2]);
    expected.insert(QStringLiteral("destPort2"), rows[2][3]);
    QCOMPARE(diskKeys(), expected);
    QVERIFY(readFile(settingsPath()).contains(storeText("\n[Other]\n")));
    QCOMPARE(editor.rows(), (Rows{ rows[0], rows[2] }));

    QCOMPARE(openedWindow().rows(), (Rows{ rows[0], rows[2] }));
}

void tst_settingsFile::saveTwice()
{
    const QString path = settingsPath();
    openedWindow editor;
    QVERIFY(editor.table);

    QByteArray saved[2];
    for (QByteArray &bytes : saved) {
#ifdef Q_OS_UNIX
        // The store writes a new file and renames it over the old one, so a save interrupted
        // half-way never leaves a truncated file: each save puts a different inode in place.
        struct stat before;
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &before), 0);
#endif
        QVERIFY(clickButton(editor.window, "closeButton"));
#ifdef Q_OS_UNIX
        struct stat after;
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &after), 0);
        QVERIFY(after.st_ino != before.st_ino);
#endif
        bytes = readFile(path);
        QCOMPARE(folderEntries(QCoreApplication::applicationDirPath()), folderBefore);
    }
    QCOMPARE(saved[1], saved[0]);
    QCOMPARE(diskKeys(), fixtureKeys());
    QCOMPARE(editor.rows(), fixtureRows());
}

void tst_settingsFile::shortcutSaves()
{
    const QString path = settingsPath();
    QByteArray byButton;
    {
        openedWindow editor;
        QVERIFY(editor.table);
        editor.table->setCurrentItem(editor.table->topLevelItem(0));
        QVERIFY(clickButton(editor.window, "removeButton"));
        QVERIFY(clickButton(editor.window, "closeButton"));
        byButton = readFile(path);
    }
    QVERIFY(byButton.contains(storeText("\npositions=2\n")));

    openedWindow editor(fixture);
    QVERIFY(editor.table);
    editor.table->setCurrentItem(editor.table->topLevelItem(0));
    QVERIFY(clickButton(editor.window, "removeButton"));
    QVERIFY(showActive(editor.window));
    QTest::keyClick(&editor.window, Qt::Key_S, Qt::ControlModifier);
    // The shortcut clicks the button through an animated click, after the key event returns.
    QTRY_COMPARE(readFile(path), byButton);
    QVERIFY(editor.window.isVisible());
    QCOMPARE(editor.table->topLevelItemCount(), 2);
}

void tst_settingsFile::roundTrip_data()
{
    QTest::addColumn<Rows>("rows");

    QTest::newRow("reserved characters")
        << Rows{ { "a=b", "x;y", "1,2", "k = v" }, { "#hash", ";semi", "[section]", "a]b" } };
    QTest::newRow("quotes and backslashes")
        << Rows{ { "\"quoted\"", "it's", "\"", "'" }, { "C:\\dir\\file", "\\", "\\n", "end\\" } };
    QTest::newRow("blanks") << Rows{ { " lead", "trail ", "  both  ", " " } };
    QTest::newRow("cyrillic")
        << Rows{ { QStringLiteral("хост.рф"), QStringLiteral("Порт"), QStringLiteral("ёЁ"),
                    QStringLiteral("сервер, резерв") } };
    QTest::newRow("empty cells") << Rows{ { "", "", "x", "" }, blank() };
    QTest::newRow("at sign first")
        << Rows{ { "@", "@Invalid()", "@ByteArray(x)", "@Variant(\\0\\0\\0\\x7f)" } };
    QTest::newRow("control characters") << Rows{ { "line1\nline2", "tab\there", "\r", "a\x01z" } };
    QTest::newRow("beyond the basic plane")
        << Rows{ { QStringLiteral("\U0001F600"), QStringLiteral("中文"), QStringLiteral("é"),
                    QString(4000, QLatin1Char('x')) } };
}

// Loads the rows from a file the store wrote, then lets only the window's save produce the file
// and loads it into a new window. Returns what differed, empty when nothing did.
QString tst_settingsFile::roundTripDifference(const Rows &rows)
{
    const QString path = settingsPath();
    QFile::remove(path);
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(QStringLiteral("positions"), rows.size());
        const Keys keys = keysOf(rows);
        for (auto key = keys.cbegin(); key != keys.cend(); ++key)
            settings.setValue(key.key(), key.value());
    }
    if (!forgetCachedFile())
        return QStringLiteral("the store wrote no file");

    openedWindow editor;
    if (!editor.table)
        return QStringLiteral("no treeWidget");
    if (editor.rows() != rows)
        return QLatin1String("loaded ") + describe(editor.rows());
    if (!writeFile(path, QByteArray()))
        return QStringLiteral("could not empty the file");
    if (!clickButton(editor.window, "closeButton"))
        return QStringLiteral("no closeButton");
    if (folderEntries(QCoreApplication::applicationDirPath()) != folderBefore)
        return QStringLiteral("files left beside transport.ini");
    const Keys onDisk = diskKeys();
    if (onDisk != keysOf(rows))
        return QLatin1String("saved keys ") + QStringList(onDisk.values()).join(QLatin1Char('|'));

    const Rows reloaded = openedWindow().rows();
    if (reloaded != rows)
        return QLatin1String("reloaded ") + describe(reloaded);
    return QString();
}

void tst_settingsFile::roundTrip()
{
    QFETCH(Rows, rows);
    const QString difference = roundTripDifference(rows);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void tst_settingsFile::roundTripGenerated()
{
    static const QStringList pieces = {
        "a", "Z", "0", "9", ".", ":", "=", ";", ",", "\"", "'", "\\", " ", "\t", "\n", "\r", "#", "[",
        "]", "@", "%", "&", "/", "$", "{", "}", "~", QStringLiteral("ж"), QStringLiteral("Ё"),
        QStringLiteral("é"), QStringLiteral("中"), QStringLiteral("\U0001F600"),
    };
    quint32 seed = QRandomGenerator::global()->generate();
    if (qEnvironmentVariableIsSet(seedVariable))
        seed = qEnvironmentVariable(seedVariable).toUInt();
    QRandomGenerator random(seed);

    for (int round = 0; round < 5; ++round) {
        Rows rows;
        const int count = random.bounded(1, 30);
        for (int row = 0; row < count; ++row) {
            QStringList cells;
            for (int column = 0; column < 4; ++column) {
                QString text;
                const int length = random.bounded(0, 12);
                for (int i = 0; i < length; ++i)
                    text += pieces[random.bounded(pieces.size())];
                cells.append(text);
            }
            rows.append(cells);
        }
        const QString difference = roundTripDifference(rows);
        QVERIFY2(difference.isEmpty(),
                 qPrintable(QStringLiteral("%1=%2 round %3: wrote %4; %5")
                                .arg(QLatin1String(seedVariable))
                                .arg(seed)
                                .arg(round)
                                .arg(describe(rows), difference)));
    }
}

void tst_settingsFile::saveIntoDirectory()
{
    const QString path = settingsPath();
    openedWindow editor;
    QVERIFY(editor.table);
    QCOMPARE(editor.rows(), fixtureRows());

    // Something has put a directory where the file was.
    QVERIFY(QFile::remove(path));
    QVERIFY(QDir().mkdir(path));
    QVERIFY(writeFile(path + QLatin1String("/inside"), "kept"));

    QStringList said;
    QVERIFY(clickSave(editor.window, 1, &said));
    QCOMPARE(said, saveWarning(&editor.window, path, fileError(fileError::changedSinceLoad)));
    QVERIFY(editor.window.findChildren<QMessageBox *>().isEmpty());
    QCOMPARE(editor.rows(), fixtureRows());
    QVERIFY(QFileInfo(path).isDir());
    QCOMPARE(QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{ "inside" });
    QCOMPARE(readFile(path + QLatin1String("/inside")), QByteArray("kept"));
    QCOMPARE(folderEntries(QCoreApplication::applicationDirPath()), folderBefore);

    // Once the directory is gone, Save is still refused: the file the rows came from is gone, and
    // nothing is made in its place.
    QVERIFY(QDir(path).removeRecursively());
    QVERIFY(clickSave(editor.window, 1, &said));
    QCOMPARE(said, saveWarning(&editor.window, path, fileError(fileError::changedSinceLoad)));
    QVERIFY(!QFileInfo::exists(path));
}

void tst_settingsFile::saveMalformedFile_data()
{
    QTest::addColumn<bool>("changedAfterLoading");
    QTest::newRow("as loaded") << false;
    // The save's store then parses the file itself and keeps reporting its FormatError after the
    // rewrite succeeded.
    QTest::newRow("changed after loading") << true;
}

void tst_settingsFile::saveMalformedFile()
{
    QFETCH(bool, changedAfterLoading);
    const QString path = settingsPath();
    QVERIFY(writeFile(path, malformedFixture()));
    QVERIFY(forgetCachedFile());
    {
        const QSettings check(path, QSettings::IniFormat);
        QCOMPARE(check.status(), QSettings::FormatError);
    }
    QVERIFY(forgetCachedFile());

    openedWindow editor;
    QVERIFY(editor.table);
    QCOMPARE(editor.rows(), fixtureRows());
    editor.table->setCurrentItem(editor.table->topLevelItem(0));
    QVERIFY(clickButton(editor.window, "removeButton"));
    if (changedAfterLoading)
        QVERIFY(forgetCachedFile());

    QVERIFY(clickSave(editor.window, 0));
    const Rows rows = { fixtureRows()[1], fixtureRows()[2] };
    QCOMPARE(editor.rows(), rows);
    const QByteArray bytes = readFile(path);
    QVERIFY(bytes.contains(storeText("\npositions=2\n")));
    QVERIFY(bytes.contains(storeText("\nlistenPort1=110\n")));
    const Keys onDisk = diskKeys();
    const Keys expected = keysOf(rows);
    for (auto key = expected.cbegin(); key != expected.cend(); ++key)
        QCOMPARE(onDisk.value(key.key()), key.value());
    QCOMPARE(folderEntries(QCoreApplication::applicationDirPath()), folderBefore);
}

void tst_settingsFile::saveUnwritableFile_data()
{
    QTest::addColumn<QString>("variant");
    QTest::newRow("well-formed file") << QStringLiteral("plain");
    // The store's status keeps the FormatError it met first and would hide the failed write.
    QTest::newRow("malformed file changed after loading") << QStringLiteral("changed");
    // The store must not fall back to writing the file in place, half-written if interrupted, when
    // it cannot put a new file beside it.
    QTest::newRow("writable file in a read-only folder") << QStringLiteral("folder");
}

// Root may write anywhere, so a copy of this binary runs the save as an unprivileged user (or as
// the same user when we are not root) in a folder of its own that it cannot write to;
// unwritableFileChild does the save there and sees the warning, and the old file stays as it was.
void tst_settingsFile::saveUnwritableFile()
{
#ifndef Q_OS_UNIX
    QSKIP("needs Unix permissions");
#else
    QFETCH(QString, variant);
    const bool changed = variant == QLatin1String("changed");
    const bool fileWritable = variant == QLatin1String("folder");
    const bool root = ::geteuid() == 0;
    uid_t childUid = ::geteuid();
    gid_t childGid = ::getegid();
    if (root) {
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody)
            QSKIP("no user nobody to run the save as");
        childUid = nobody->pw_uid;
        childGid = nobody->pw_gid;
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("setpriv (util-linux) is needed to run the save as nobody");
    }

    QTemporaryDir folder;
    QTemporaryDir home;
    QVERIFY(folder.isValid() && home.isValid());
    const QString executable =
        folder.filePath(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), executable));
    QVERIFY(QFile::setPermissions(executable, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                      | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                      | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                      | QFileDevice::ExeOther));
    const QString file = folder.filePath(QStringLiteral("transport.ini"));
    const QByteArray before = changed ? malformedFixture() : fixture;
    QVERIFY(writeFile(file, before));

    const QFileDevice::Permissions readable = QFileDevice::ReadOwner | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
    const QFileDevice::Permissions listable = readable | QFileDevice::ExeOwner | QFileDevice::ExeGroup
        | QFileDevice::ExeOther;
    const QString runtime = home.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkdir(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                      | QFileDevice::ExeOwner));
    if (root) {
        // The folder belongs to root (0755). So does the well-formed file (0644); the child owns
        // the file where it changes its time stamp (0444) or may write it (0644).
        QVERIFY(QFile::setPermissions(folder.path(), listable | QFileDevice::WriteOwner));
        QVERIFY(QFile::setPermissions(file, changed ? readable : readable | QFileDevice::WriteOwner));
        if (changed || fileWritable)
            QCOMPARE(::chown(QFile::encodeName(file).constData(), childUid, childGid), 0);
        QCOMPARE(::chown(QFile::encodeName(home.path()).constData(), childUid, childGid), 0);
        QCOMPARE(::chown(QFile::encodeName(runtime).constData(), childUid, childGid), 0);
    } else {
        QVERIFY(QFile::setPermissions(file, fileWritable ? readable | QFileDevice::WriteOwner : readable));
        QVERIFY(QFile::setPermissions(folder.path(), listable));
    }
    const QStringList folderBeforeSave = QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(childVariable), variant);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList testArguments = { QStringLiteral("unwritableFileChild") };
    if (root) {
        child.start(QStringLiteral("setpriv"),
                    QStringList{ QStringLiteral("--reuid=%1").arg(childUid),
                                 QStringLiteral("--regid=%1").arg(childGid),
                                 QStringLiteral("--clear-groups"), executable }
                        + testArguments);
    } else {
        child.start(executable, testArguments);
    }
    QVERIFY2(child.waitForFinished(90000), qPrintable(child.errorString()));
    const QString output = QString::fromLocal8Bit(child.readAll());
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, qPrintable(output));
    QVERIFY2(output.contains(QLatin1String("PASS   : tst_settingsFile::unwritableFileChild()")),
             qPrintable(output));

    QCOMPARE(readFile(file), before);
    QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             folderBeforeSave);
    QVERIFY(QFile::setPermissions(folder.path(), listable | QFileDevice::WriteOwner));
#endif
}

void tst_settingsFile::unwritableFileChild()
{
    if (!isChild())
        QSKIP("runs only as the unprivileged copy that saveUnwritableFile starts");
    const QString path = settingsPath();
    const QByteArray before = readFile(path);
    QVERIFY(!before.isEmpty());
    const QString variant = qEnvironmentVariable(childVariable);
    {
        QFile probe(path);
        if (variant == QLatin1String("folder"))
            QVERIFY2(probe.open(QIODevice::WriteOnly | QIODevice::Append), "transport.ini is not writable");
        else
            QVERIFY2(!probe.open(QIODevice::WriteOnly | QIODevice::Append), "transport.ini is writable");
        QFile beside(QCoreApplication::applicationDirPath() + QLatin1String("/probe"));
        QVERIFY2(!beside.open(QIODevice::WriteOnly), "the folder is writable");
    }

    openedWindow editor;
    QVERIFY(editor.table);
    QCOMPARE(editor.rows(), fixtureRows());
    editor.table->setCurrentItem(editor.table->topLevelItem(1));
    QVERIFY(clickButton(editor.window, "removeButton"));
    if (variant == QLatin1String("changed"))
        QVERIFY(forgetCachedFile());

    QStringList said;
    QVERIFY(clickSave(editor.window, 1, &said));
    // The folder may not be written, and the message says so in the system's words.
    const QString lock = QDir::toNativeSeparators(path + QLatin1String(".lock"));
    QCOMPARE(said, saveWarning(&editor.window, path,
                               fileError(fileError::lockNotMade, lock,
                                         QString::fromLocal8Bit(std::strerror(EACCES)) + QLatin1String(" (EACCES)"))));
    QCOMPARE(editor.rows(), (Rows{ fixtureRows()[0], fixtureRows()[2] }));
    QCOMPARE(readFile(path), before);
}

QTEST_MAIN(tst_settingsFile)
#include "tst_settingsfile.moc"
