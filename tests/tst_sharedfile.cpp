// End to end, through the window: text in any encoding comes back as it was, or Save says why it
// leaves the file alone; key names are the store's, as each system spells them.
#include "testsupport.h"

#include <QSettings>
#include <QtTest>

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

QString shownPath()
{
    return QDir::toNativeSeparators(settingsPath());
}

QString failedText()
{
    return QStringLiteral("Ошибка сохранения | Не удалось сохранить настройки в файл ")
        + shownPath();
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
    // "🙂" in the list and in another section.
    const QByteArray smile = "\xf0\x9f\x99\x82";
    const QString beyondBmp = QStringLiteral(": в значении ключа %1 есть символы за пределами U+FFFF "
                                             "(например, эмодзи), которые сборка на Qt 5 не может "
                                             "записать в UTF-8, и сохранение уничтожило бы их");
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QTest::newRow("beyond U+FFFF in the list") << QByteArray(fixture).replace("10.0.0.3", smile)
                                               << "destHost2" << QString::fromUtf8(smile) << QByteArray() << "";
    QTest::newRow("beyond U+FFFF in another section") << fixture + "[Notes]\nmood=" + smile + "\n"
                                                      << "Notes/mood" << QString::fromUtf8(smile) << QByteArray() << "";
#else
    QTest::newRow("beyond U+FFFF in the list") << QByteArray(fixture).replace("10.0.0.3", smile)
                                               << "" << "" << QByteArray() << beyondBmp.arg("destHost2");
    QTest::newRow("beyond U+FFFF in another section, a byte-order mark")
        << "\xef\xbb\xbf" + fixture + "[Notes]\nmood=" + smile + "\n" << "" << "" << QByteArray()
        << beyondBmp.arg("Notes/mood");
#endif
    QTest::newRow("UTF-8 in another section") << fixture + "[Описание]\nstreet=Straße\n"
                                              << "Описание/street"
                                              << "Straße" << QByteArray("UTF-8") << "";
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

QTEST_MAIN(tst_sharedFile)
#include "tst_sharedfile.moc"
