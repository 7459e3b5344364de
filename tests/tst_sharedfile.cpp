// End to end, through the window: text in any encoding comes back as it was, or Save says why it
// leaves the file alone; key names are the store's, as each system spells them; and what the
// window tells of a list it could not load, or of access a save could not keep.
#include "filemessages.h"
#include "testsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>
#endif

using namespace testSupport;

Q_DECLARE_METATYPE(fileError)

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

QString failed(const fileError &error)
{
    return QStringLiteral("Ошибка сохранения | ") + fileMessages::saveFailed(settingsPath(), error);
}

} // namespace

class tst_sharedFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void encodings_data();
    void encodings();
    void keyCase();
    void notLoaded();
#ifdef Q_OS_UNIX
    void accessNotKept();
#endif
};

void tst_sharedFile::init()
{
    QVERIFY(writeFile(settingsPath(), fixture));
    QVERIFY(forgetCachedFile());
}

void tst_sharedFile::encodings_data()
{
    // The file, a key and the text it must read afterwards with `codec` (Qt 5), or the reason
    // Save must give for leaving the file as it is.
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<fileError>("refusal");
    const fileError saved;

    // "сервер" and "Иванов" in Windows-1251, as an editor of an older desktop saves them.
    const QByteArray cp1251 = fixture + "[Notes]\nowner=\xc8\xe2\xe0\xed\xee\xe2\n";
    const QByteArray cp1251InList
        = QByteArray(fixture).replace("10.0.0.3", "\xf1\xe5\xf0\xe2\xe5\xf0");
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const auto notUtf8 = [](int line) {
        return fileError(fileError::notUtf8, QString(), QString(), { QString::number(line) });
    };
    QTest::newRow("cp1251 in the list") << cp1251InList << "destHost2"
                                        << "" << QByteArray() << notUtf8(9);
    QTest::newRow("cp1251 in another section") << cp1251 << "Notes/owner"
                                               << "" << QByteArray() << notUtf8(12);
#else
    // Read as Latin-1 and written as escapes: the same characters for every reader.
    QTest::newRow("cp1251 in the list")
        << cp1251InList << "destHost2" << QString::fromLatin1("\xf1\xe5\xf0\xe2\xe5\xf0")
        << QByteArray() << saved;
    QTest::newRow("cp1251 in another section")
        << cp1251 << "Notes/owner" << QString::fromLatin1("\xc8\xe2\xe0\xed\xee\xe2")
        << QByteArray() << saved;
#endif
    // "🙂" in the list and in another section.
    const QByteArray smile = "\xf0\x9f\x99\x82";
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QTest::newRow("beyond U+FFFF in the list") << QByteArray(fixture).replace("10.0.0.3", smile)
                                               << "destHost2" << QString::fromUtf8(smile) << QByteArray() << saved;
    QTest::newRow("beyond U+FFFF in another section") << fixture + "[Notes]\nmood=" + smile + "\n"
                                                      << "Notes/mood" << QString::fromUtf8(smile) << QByteArray() << saved;
#else
    const auto beyondBmp = [](const char *key) { return fileError(fileError::beyondBmp, QLatin1String(key)); };
    QTest::newRow("beyond U+FFFF in the list") << QByteArray(fixture).replace("10.0.0.3", smile)
                                               << "" << "" << QByteArray() << beyondBmp("destHost2");
    QTest::newRow("beyond U+FFFF in another section, a byte-order mark")
        << "\xef\xbb\xbf" + fixture + "[Notes]\nmood=" + smile + "\n" << "" << "" << QByteArray()
        << beyondBmp("Notes/mood");
#endif
    QTest::newRow("UTF-8 in another section") << fixture + "[Описание]\nstreet=Straße\n"
                                              << "Описание/street"
                                              << "Straße" << QByteArray("UTF-8") << saved;
}

void tst_sharedFile::encodings()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(QByteArray, codec);
    QFETCH(fileError, refusal);

    openedWindow editor(file);
    QVERIFY(editor.written);
    const Rows rows = editor.rows();
    QCOMPARE(rows.size(), 2);
    const QStringList boxes = saveAndAnswer(editor.window, refusal ? 1 : 0);

    if (refusal) {
        QCOMPARE(boxes, QStringList { failed(refusal) });
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

// Key names are the store's business: case-sensitive on Linux, not on Windows, where the list's
// keys in capitals name the same entries.
void tst_sharedFile::keyCase()
{
    openedWindow editor("[general]\nPOSITIONS=1\nLISTENHOST1=a\nListenPort1=1\ndesthost1=b\nDESTPORT1=2\n");
    QVERIFY(editor.written);
#ifdef Q_OS_WIN
    QCOMPARE(editor.rows(), (Rows { { QStringLiteral("a"), QStringLiteral("1"), QStringLiteral("b"), QStringLiteral("2") } }));
#else
    QCOMPARE(editor.rows(), Rows());
#endif
}

// A list the window could not load: it says so when it shows, and Save leaves the file alone.
void tst_sharedFile::notLoaded()
{
    QVERIFY(QFile::resize(settingsPath(), 32 * 1024 * 1024 + 1)); // sparse: it takes no room
    const fileError tooLarge(fileError::tooLarge, QString(), QString(), { QStringLiteral("32") });
    const qint64 size = QFileInfo(settingsPath()).size();

    openedWindow editor;
    QCOMPARE(editor.rows(), Rows());
    QCOMPARE(showAndAnswer(editor.window, 1),
             QStringList { "Ошибка загрузки | " + fileMessages::loadFailed(settingsPath(), tooLarge) });
    QCOMPARE(saveAndAnswer(editor.window, 1),
             QStringList { "Ошибка сохранения | " + fileMessages::saveRefused(settingsPath(), tooLarge) });
    QCOMPARE(QFileInfo(settingsPath()).size(), size);
    QVERIFY(readFile(settingsPath()).startsWith(fixture));
}

#ifdef Q_OS_UNIX
// Saved by an account that is not in the list's group: the list is its own now, and the window
// says which group it has instead.
void tst_sharedFile::accessNotKept()
{
    const struct group *const nogroup = ::getgrnam("nogroup");
    if (::geteuid() != 0 || !nogroup)
        QSKIP("needs root, and the group nogroup");
    // The list in a folder that everybody may write, reached through root's link.
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString list = folder.filePath(QStringLiteral("transport.ini"));
    QCOMPARE(::chmod(QFile::encodeName(folder.path()).constData(), 0777), 0);
    QVERIFY(writeFile(list, fixture));
    QCOMPARE(::chmod(QFile::encodeName(list).constData(), 0666), 0);
    QVERIFY(QFile::remove(settingsPath()) && QFile::link(list, settingsPath()));

    QStringList said;
    {
        std::vector<gid_t> groups(size_t(::getgroups(0, nullptr)));
        groups.resize(size_t(::getgroups(int(groups.size()), groups.data())));
        const auto asRoot = qScopeGuard([&] {
            if (::seteuid(0) != 0 || ::setegid(0) != 0 || ::setgroups(groups.size(), groups.data()) != 0)
                qFatal("could not become root again");
        });
        const gid_t group = nogroup->gr_gid;
        QVERIFY(::setgroups(1, &group) == 0 && ::setegid(group) == 0 && ::seteuid(65534) == 0);
        if (::access(QFile::encodeName(settingsPath()).constData(), R_OK) != 0)
            QSKIP("nobody cannot reach the program's folder");
        openedWindow editor;
        QCOMPARE(editor.rows().size(), 2);
        said = saveAndAnswer(editor.window, 1);
    }
    const fileError changed(fileError::groupChanged, QString(), QString(),
                            { QString::fromLocal8Bit(nogroup->gr_name), QStringLiteral("root") });
    QCOMPARE(said, QStringList { "Сохранение настроек | " + fileMessages::accessLost(settingsPath(), { changed }) });
    QVERIFY(readFile(list) != fixture);
    QVERIFY(QFile::remove(settingsPath()));
}
#endif

QTEST_MAIN(tst_sharedFile)
#include "tst_sharedfile.moc"
