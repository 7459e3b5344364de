// The window's sentences about transport.ini, each once: what every kind of error the shared file's
// layer reports says after "could not save to <path>: ", and the sentences around those causes.
// Every other test of the file asserts kinds, or compares a box with what these functions make.
#include "filemessages.h"

#include <QDir>
#include <QtTest>

// One of the sentences around a cause, for the list at a path.
using sentence = QString (*)(const QString &path, const fileError &error);

Q_DECLARE_METATYPE(fileError)
Q_DECLARE_METATYPE(fileError::kind)
Q_DECLARE_METATYPE(sentence)

class tst_fileMessages : public QObject
{
    Q_OBJECT

private slots:
    void causes_data();
    void causes();
    void sentences_data();
    void sentences();
};

void tst_fileMessages::causes_data()
{
    // The kind, its name, the system's words and details, and the cause as the window gives it.
    QTest::addColumn<fileError::kind>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QStringList>("details");
    QTest::addColumn<QString>("cause");
    const auto row = [](const char *title, fileError::kind kind, const QString &cause,
                         const QString &name = QString(), const QStringList &details = QStringList()) {
        QTest::newRow(title) << kind << name << QStringLiteral("Отказано в доступе (EACCES)") << details
                             << cause;
    };
    const QString denied = QStringLiteral(": Отказано в доступе (EACCES)");
    const QString link = QStringLiteral("/srv/shared/transport.ini");
    const QString lock = QStringLiteral("/opt/transport/transport.ini.lock");

    // Nothing more to say than the sentence around it.
    for (const fileError::kind kind : { fileError::none, fileError::noFolder, fileError::unreachable, fileError::notSaved })
        row(QByteArray::number(int(kind)).prepend("no cause for kind ").constData(), kind, QString());
    row("walkFailed", fileError::walkFailed, "путь к нему недоступен" + denied);
    QTest::newRow("linkUnreadable") << fileError::linkUnreadable << QString() << QStringLiteral("ссылку не прочитать")
                                    << QStringList() << QStringLiteral("ссылку не прочитать");
#ifdef Q_OS_WIN
    row("linkRefused", fileError::linkRefused,
        "символическая ссылка " + link + " принадлежит пользователю BUILTIN\\Users, а её папку могут изменять "
        "и другие пользователи; по такой ссылке редактор не переходит", link, { QStringLiteral("BUILTIN\\Users") });
#else
    row("linkRefused", fileError::linkRefused,
        "символическая ссылка " + link + " (её владелец — пользователь operator) лежит в папке, которую могут "
        "изменять и другие пользователи; кто положил её под это имя, не узнать, и по такой ссылке редактор не "
        "переходит", link, { QStringLiteral("operator") });
#endif
    row("tooManyLinks", fileError::tooManyLinks,
        "на пути к файлу больше 40 символических ссылок, или они замыкаются в петлю", QString(), { QStringLiteral("40") });
    row("notAFile", fileError::notAFile, "на его месте не обычный файл");
    row("tooLarge", fileError::tooLarge, "он больше 32 МБ", QString(), { QStringLiteral("32") });
    row("unreadable", fileError::unreadable, "его не удалось прочитать" + denied);
    row("heldByOther", fileError::heldByOther, "его держит открытым другая программа, не разрешая читать");
    row("typedValue", fileError::typedValue,
        "в строке 12 значение записано как двоичные данные хранилища (@Variant или @DateTime); значения в "
        "списке — только текст, и такое значение редактор не читает", QString(), { QStringLiteral("12") });
    row("notUtf8", fileError::notUtf8,
        "строка 9 не в кодировке UTF-8. Преобразуйте файл в UTF-8, прежде чем сохранять его в редакторе",
        QString(), { QStringLiteral("9") });
    row("beyondBmp", fileError::beyondBmp,
        "в значении ключа Notes/mood есть символы за пределами U+FFFF (например, эмодзи), которые сборка на "
        "Qt 5 не может записать в UTF-8, и сохранение уничтожило бы их", QStringLiteral("Notes/mood"));
    row("changedByStore", fileError::changedByStore,
        "значение ключа blob (@String(abc)) хранилище записало бы иначе, чем оно стоит в файле; редактор не "
        "сохраняет, чтобы не изменить его", QStringLiteral("blob"), { QStringLiteral("@String(abc)") });
    row("noPrivateFolder", fileError::noPrivateFolder,
        "для его копии нет временной папки, которую не могут изменить другие пользователи");
    row("copyFailed", fileError::copyFailed, "не удалось записать его копию во временную папку" + denied);
    QTest::newRow("copyFailed without a reason") << fileError::copyFailed << QString() << QString() << QStringList()
                                                 << QStringLiteral("не удалось записать его копию во временную папку");
    row("changedSinceLoad", fileError::changedSinceLoad,
        "после того как окно загрузило список, файл переместили, заменили, удалили или создали; редактор не "
        "сохраняет таблицу в другой файл. Запустите редактор снова, чтобы загрузить список");
    // What anybody can write into a lock is shown, not laid out: its separators and directional
    // marks as escapes.
    row("lockHeld", fileError::lockHeld,
        "файл заблокирован процессом 4242 (<h1>tst\\u2028Настройки сохранены\\u202eelif</h1>) на компьютере "
        "host\\u000a2, файл блокировки " + lock, lock,
        { QStringLiteral("4242"), QStringLiteral("<h1>tst\u2028Настройки сохранены\u202eelif</h1>"),
          QStringLiteral("host\n2") });
    row("lockStuck", fileError::lockStuck,
        "файл заблокирован, файл блокировки " + lock + " не удаётся ни занять, ни удалить", lock);
    row("lockNotMade", fileError::lockNotMade, "не удалось создать файл блокировки " + lock + denied, lock);
    row("lockNotWritten", fileError::lockNotWritten, "не удалось записать файл блокировки " + lock + denied, lock);
    row("accessUnknown", fileError::accessUnknown, "не удалось узнать его права доступа" + denied);
    row("identityUnknown", fileError::identityUnknown, "не удалось прочитать сведения о файле" + denied);
    row("securityUnknown", fileError::securityUnknown, "не удалось прочитать права доступа к файлу" + denied);
    row("readOnly", fileError::readOnly, "у файла атрибут «только чтение»; снимите его, чтобы сохранить список");
    row("mayNotReplace", fileError::mayNotReplace, "нет права заменить файл" + denied);
    row("stageNotMade", fileError::stageNotMade,
        "не удалось создать папку /srv/shared/transport.ini.new-a1b2c3 для нового файла" + denied,
        QStringLiteral("/srv/shared/transport.ini.new-a1b2c3"));
    row("stageNotMade, no folder of its own", fileError::stageNotMade, "не удалось создать папку для нового файла" + denied);
    row("stageSwapped", fileError::stageSwapped,
        "папку /srv/shared/transport.ini.new-a1b2c3 для нового файла подменили" + denied,
        QStringLiteral("/srv/shared/transport.ini.new-a1b2c3"));
    row("newFileNotMade", fileError::newFileNotMade, "не удалось создать новый файл" + denied);
    row("newFileBesideNotMade", fileError::newFileBesideNotMade, "не удалось создать новый файл рядом с ним" + denied);
    row("newFileNotWritten", fileError::newFileNotWritten, "не удалось записать новый файл" + denied);
    row("newFileNotFlushed", fileError::newFileNotFlushed, "не удалось записать новый файл на диск" + denied);
    row("newFileNotNamed", fileError::newFileNotNamed, "не удалось дать имя новому файлу" + denied);
    row("ownerNotGiven", fileError::ownerNotGiven, "не удалось передать новому файлу владельца прежнего" + denied);
    row("aclNotGiven", fileError::aclNotGiven, "не удалось передать новому файлу список доступа прежнего" + denied);
    row("notRenamed", fileError::notRenamed, "не удалось поставить новый файл на место старого" + denied);
    row("listNotRenamed", fileError::listNotRenamed, "не удалось поставить новый список на место прежнего" + denied);
    row("flagsLost", fileError::flagsLost, "его флаги атрибутов (chattr) не сохранены");
    row("aclLost", fileError::aclLost, "его список доступа (ACL) не сохранён (u:nobody:r--, EPERM)", QString(),
        { QStringLiteral("u:nobody:r--"), QStringLiteral("EPERM") });
    row("modeLost", fileError::modeLost, "его права доступа теперь другие");
    row("xattrsLost", fileError::xattrsLost, "его расширенные атрибуты не сохранены (security.audit)", QString(),
        { QStringLiteral("security.audit") });
    row("groupChanged", fileError::groupChanged, "его группа теперь operator вместо transport", QString(),
        { QStringLiteral("operator"), QStringLiteral("transport") });
    row("attributesLost", fileError::attributesLost, "его атрибуты не сохранены");
}

void tst_fileMessages::causes()
{
    QFETCH(fileError::kind, kind);
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QFETCH(QStringList, details);
    QFETCH(QString, cause);

    QCOMPARE(fileMessages::cause(fileError(kind, name, reason, details)), cause);
}

void tst_fileMessages::sentences_data()
{
    // Which sentence, for which error, and what it says of the list at /opt/transport/transport.ini,
    // or without a path where the program's folder is unknown.
    QTest::addColumn<sentence>("make");
    QTest::addColumn<fileError>("error");
    QTest::addColumn<QString>("text");

    const sentence saved = fileMessages::saveFailed, loaded = fileMessages::loadFailed,
                   refused = fileMessages::saveRefused;
    const sentence savedBut = [](const QString &path, const fileError &error) {
        return fileMessages::accessLost(path, { error, fileError(fileError::flagsLost) });
    };
    const QString list = QDir::toNativeSeparators(QStringLiteral("/opt/transport/transport.ini"));
    const QString saving = "Не удалось сохранить настройки в файл " + list;
    const fileError large(fileError::tooLarge, QString(), QString(), { QStringLiteral("32") });
    const QString largeText = QStringLiteral(": он больше 32 МБ");
    const fileError noFolder(fileError::noFolder), unreachable(fileError::unreachable);
    const QString unknownFolder
        = QStringLiteral(": папку программы, в которой лежит transport.ini, не удаётся определить");
    QTest::newRow("saved, with a cause") << saved << large << saving + largeText;
    QTest::newRow("saved, no cause") << saved << fileError(fileError::notSaved) << saving;
    QTest::newRow("saved, no folder") << saved << noFolder << "Не удалось сохранить настройки" + unknownFolder;

    const QString loading = "Не удалось загрузить настройки из файла " + list;
    const QString loadAgain = QStringLiteral(". Пока список не загружен, редактор его не сохраняет; запустите "
                                             "редактор снова, когда файл будет в порядке");
    QTest::newRow("loaded, with a cause") << loaded << large << loading + largeText + loadAgain;
    QTest::newRow("loaded, no cause") << loaded << unreachable << loading + ": путь к нему недоступен" + loadAgain;
    QTest::newRow("loaded, no folder") << loaded << noFolder << "Не удалось загрузить настройки" + unknownFolder;

    const QString notOver = QStringLiteral(". Таблица загружена не из этого файла, и редактор не сохранит её "
                                           "поверх него; запустите редактор снова, когда файл будет в порядке");
    QTest::newRow("refused after a load, with a cause") << refused << large << saving + largeText + notOver;
    QTest::newRow("refused after a load, no cause") << refused << unreachable
                                                    << saving + ": путь к нему недоступен" + notOver;
    QTest::newRow("refused after a load, no folder") << refused << noFolder
                                                     << "Не удалось сохранить настройки" + unknownFolder;
    // The path itself is refused, whatever lies at its end.
    QTest::newRow("refused after a load, the path")
        << refused << fileError(fileError::tooManyLinks, QString(), QString(), { QStringLiteral("40") })
        << saving + ": на пути к файлу больше 40 символических ссылок, или они замыкаются в петлю";

    QTest::newRow("saved, but") << savedBut << fileError(fileError::modeLost)
                                << "Настройки сохранены в файл " + list
            + ", но его права доступа теперь другие; его флаги атрибутов (chattr) не сохранены";
}

void tst_fileMessages::sentences()
{
    QFETCH(sentence, make);
    QFETCH(fileError, error);
    QFETCH(QString, text);

    QCOMPARE(make(error.what == fileError::noFolder ? QString() : QStringLiteral("/opt/transport/transport.ini"), error),
             text);
}

QTEST_GUILESS_MAIN(tst_fileMessages)
#include "tst_filemessages.moc"
