// Fuzzed transport.ini files: each loads without crash or hang, and Save then load keeps the table.
#include "filemessages.h"
#include "settingsdialog.h"
#include "sharedfile/listcase.h"
#include "testsupport.h"

#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include <unistd.h>

using namespace testSupport;

namespace {

// TRANSPORT_FUZZ_FILES sets how many files one run tries; TRANSPORT_FUZZ_SEED repeats a run.
const int DefaultFiles = 1000;
// A file that takes longer than this to load and save counts as a hang.
const unsigned HangSeconds = 60;

// The seed of the file under test, for the signal handlers, which may only write(2) it.
char currentSeedText[64] = "none";
struct sigaction previousActions[NSIG];

// Names the seed, then lets the handler that was there before (QtTest's, or the sanitizer's) run.
extern "C" void reportSeedAndDie(int signal)
{
    const char prefix[] = "\ntst_fuzz: stopped by a signal on the file of seed ";
    ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    ignored = write(STDERR_FILENO, currentSeedText, std::strlen(currentSeedText));
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    sigaction(signal, &previousActions[signal], nullptr);
    raise(signal);
}

// Why the shared file's layer refuses to save the list at `path` as it stands: what the load found,
// or else what Save's look at the content found. `atLoad` tells which.
fileError refusalOf(const QString &path, bool *atLoad)
{
    listCase::editor editor(path);
    const fileError loaded = editor.load();
    *atLoad = bool(loaded);
    return loaded ? loaded : editor.save();
}

// Whether `file` holds what a refusal of that kind says: Save refuses only text that the store
// would destroy (not UTF-8 for the Qt 6 store, beyond U+FFFF for the Qt 5 store writing UTF-8),
// values that are not text, and the store's other "@" forms that it would write otherwise.
bool fileShows(const QByteArray &file, const fileError &why)
{
    switch (why.what) {
    case fileError::notUtf8:
        return QString::fromUtf8(file).toUtf8() != file;
    case fileError::typedValue:
    case fileError::changedByStore:
        return file.contains('@');
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    case fileError::beyondBmp: {
        QTemporaryDir folder;
        const QString copy = folder.filePath(QStringLiteral("copy.ini"));
        if (!writeFile(copy, file))
            return false;
        QSettings settings(copy, QSettings::IniFormat);
        settings.setIniCodec("UTF-8");
        const QVariant value = settings.value(why.name);
        const QString text = value.userType() == QMetaType::QStringList ? value.toStringList().join(QString()) : value.toString();
        return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSurrogate(); });
    }
#endif
    default:
        return false;
    }
}

// Builds malformed settings files out of pieces that each bend one rule of the format.
class fileGenerator
{
public:
    explicit fileGenerator(quint64 seed) : random(seed) { }

    QByteArray file()
    {
        // Half the files are valid UTF-8, which the Qt 6 store can save: Save refuses the rest there.
        tame = chance(50);
        QByteArray text;
        if (chance(10))
            text += "\xef\xbb\xbf";
        const int lines = pick(0, 40);
        for (int i = 0; i < lines; ++i)
            text += line() + newline();
        if (chance(25))
            text.truncate(pick(0, int(text.size())));
        return text;
    }

private:
    QByteArray line()
    {
        switch (pick(0, 12)) {
        case 0:
            return "[General]";
        case 1:
            return oneOf({ "[general", "[Other]", "[", "[]", "[%General]", "[Gen]eral]", "[a/b]" });
        case 2:
        case 3:
            return "positions=" + count();
        case 4:
            return junk(pick(0, 60));
        case 5:
            return oneOf({ "=", "==", "listenHost1", ";listenHost1=x", "destPort", "\\", "\"" });
        default:
            return key() + oneOf({ "=", " = ", "=\"", "\t=" }) + value();
        }
    }

    QByteArray count()
    {
        switch (pick(0, 9)) {
        case 0:
            return oneOf({ "2147483647", "2147483648", "4294967298", "99999999999999999999" });
        case 1:
            return oneOf({ "-1", "-2147483648", "-99999999999", "0" });
        case 2:
            return oneOf({ "abc", "0x10", " 7 ", "+3", "1e3", "3.5", "", "@Invalid()", "\"5\"" });
        default:
            return QByteArray::number(pick(0, 25));
        }
    }

    QByteArray key()
    {
        QByteArray key = oneOf({ "listenHost", "listenPort", "destHost", "destPort" });
        if (chance(5))
            key = key.toLower();
        switch (pick(0, 9)) {
        case 0:
            return key + "00" + QByteArray::number(pick(0, 20));
        case 1:
            return key + oneOf({ "+1", "-1", " 1", "1 ", "", "0", "1.0", "%31", "\\1" });
        case 2:
            return key + QByteArray::number(pick(1000, 2000000000));
        default:
            return key + QByteArray::number(pick(1, 25));
        }
    }

    QByteArray value()
    {
        switch (pick(0, 11)) {
        case 0:
            return QByteArray(pick(1000, 20000), 'v');
        case 1:
            return junk(pick(0, 40));
        case 2:
            return tame ? "caf\xc3\xa9" : oneOf({ "\xff\xfe", "\xc3", "\xed\xa0\x80", "caf\xc3\xa9", "\xe2\x82" });
        case 3:
            return oneOf({ "a\\nb", "\\x41\\x", "\\", "\"open", "a;b", "a,b,c", "@String(x)", "@@x" });
        case 4:
            return QByteArray("nul\0in\0it", 9);
        default:
            return QByteArray::number(pick(1, 255)) + '.' + QByteArray::number(pick(0, 255))
                + ".0." + QByteArray::number(pick(0, 255));
        }
    }

    QByteArray junk(int size)
    {
        QByteArray bytes(size, '\0');
        for (char &byte : bytes)
            byte = char(pick(0, tame ? 127 : 255));
        return bytes;
    }

    QByteArray newline() { return oneOf({ "\n", "\n", "\n", "\r\n", "\r", "\n\n" }); }

    QByteArray oneOf(std::initializer_list<const char *> choices)
    {
        return QByteArray(*(choices.begin() + pick(0, int(choices.size()) - 1)));
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    bool chance(int percent) { return pick(0, 99) < percent; }

    std::mt19937_64 random;
    bool tame = false;
};

} // namespace

class tst_fuzz : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void malformedFiles();
};

void tst_fuzz::initTestCase()
{
    struct sigaction action = {};
    action.sa_handler = reportSeedAndDie;
    sigemptyset(&action.sa_mask);
    for (int signal : { SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGALRM })
        sigaction(signal, &action, &previousActions[signal]);
}

void tst_fuzz::cleanup()
{
    QFile::remove(settingsPath());
}

void tst_fuzz::malformedFiles()
{
    bool ok = false;
    int files = qEnvironmentVariableIntValue("TRANSPORT_FUZZ_FILES", &ok);
    if (!ok)
        files = DefaultFiles;
    quint64 baseSeed = qEnvironmentVariable("TRANSPORT_FUZZ_SEED").toULongLong(&ok);
    if (!ok)
        baseSeed = quint64(QDateTime::currentMSecsSinceEpoch());
    qInfo("%d files from seed %llu (TRANSPORT_FUZZ_SEED=%llu repeats this run)", files,
          (unsigned long long)baseSeed, (unsigned long long)baseSeed);

    int nonEmpty = 0;
    int refused = 0;
    for (int i = 0; i < files; ++i) {
        const quint64 seed = baseSeed + quint64(i);
        std::snprintf(currentSeedText, sizeof currentSeedText, "%llu", (unsigned long long)seed);
        const QByteArray seedText(currentSeedText);
        const auto why = [&](const char *what) { return QByteArray(what) + ", seed " + seedText; };
        alarm(HangSeconds);

        QFile::remove(settingsPath());
        const QByteArray original = fileGenerator(seed).file();
        QVERIFY(writeFile(settingsPath(), original));
        QVERIFY2(forgetCachedFile(), why("cannot touch the file").constData());

        Rows loaded;
        QStringList said;
        bool saved = false;
        {
            openedWindow editor;
            loaded = editor.rows();
            saved = clickSave(editor.window, 0, &said);
        }
        nonEmpty += loaded.isEmpty() ? 0 : 1;
        if (!saved) {
            // Only what the store cannot write back without loss is refused, the window says so,
            // and the file stays.
            QVERIFY2(readFile(settingsPath()) == original, why("a refused save changed the file").constData());
            bool atLoad = false;
            const fileError refusal = refusalOf(settingsPath(), &atLoad);
            QVERIFY2(fileShows(original, refusal), why("save failed").constData());
            QVERIFY2(said.value(2) == (atLoad ? fileMessages::saveRefused : fileMessages::saveFailed)(settingsPath(), refusal),
                     why("the window told another refusal").constData());
            ++refused;
            alarm(0);
            continue;
        }
        // Keys the editor does not know and entries above the count may outnumber the table's.
        QVERIFY2(loaded.size() <= 2000, why("more rows than the blank-row cap allows").constData());

        // The saved file, read from disk again, holds exactly the table that was saved...
        QVERIFY2(forgetCachedFile(), why("cannot touch the file").constData());
        {
            QSettings settings(settingsPath(), QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
            // A UTF-8 file with text beyond ASCII is read, and saved, with the UTF-8 codec.
            const QByteArray written = readFile(settingsPath());
            if (QString::fromUtf8(written).toUtf8() == written && QString::fromLatin1(written).toUtf8() != written)
                settings.setIniCodec("UTF-8");
#endif
            QVERIFY2(settings.status() == QSettings::NoError, why("saved file does not parse").constData());
            QVERIFY2(settings.value("positions").toInt() == loaded.size(), why("count").constData());
            const char *names[] = { "listenHost", "listenPort", "destHost", "destPort" };
            for (int row = 0; row < loaded.size(); ++row) {
                for (int column = 0; column < 4; ++column) {
                    const QString key = QLatin1String(names[column]) + QString::number(row + 1);
                    if (settings.value(key).toString() != loaded[row][column])
                        QFAIL(why(qPrintable(QStringLiteral("%1 was not saved").arg(key))).constData());
                }
            }
        }

        // ...and so does the editor's next start, and the start after its Save.
        QVERIFY2(forgetCachedFile(), why("cannot touch the file").constData());
        {
            openedWindow editor;
            if (editor.rows() != loaded) {
                qWarning() << "first load:" << loaded;
                qWarning() << "after save:" << editor.rows();
                QFAIL(why("Save and load changed the table").constData());
            }
            QVERIFY2(clickSave(editor.window), why("second save failed").constData());
        }
        QVERIFY2(forgetCachedFile(), why("cannot touch the file").constData());
        QVERIFY2(openedWindow().rows() == loaded, why("the second Save changed the table").constData());
        alarm(0);
    }
    qInfo("%d files refused", refused);
    // A generator that only produced files without entries, or that Save refuses, would test nothing.
    if (files >= 100)
        QVERIFY(nonEmpty > files / 4 && refused < files * 3 / 4);
    std::strcpy(currentSeedText, "none");
}

QTEST_MAIN(tst_fuzz)
#include "tst_fuzz.moc"
