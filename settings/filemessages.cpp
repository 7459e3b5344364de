// Every sentence about transport.ini that the window shows: the shared file's layer gives kinds.
#include "filemessages.h"

#include <QDir>
#include <QStringList>

namespace {

QString saving(const QString &path)
{
    return path.isEmpty() ? fileMessages::tr("Не удалось сохранить настройки: папку программы, в которой лежит "
                                             "transport.ini, не удаётся определить")
                          : fileMessages::tr("Не удалось сохранить настройки в файл %1").arg(QDir::toNativeSeparators(path));
}

// A step of a save that the system refused, and the system's words.
QString step(const QString &what, const fileError &error)
{
    return what + QLatin1String(": ") + error.reason;
}

QString detail(const fileError &error, int i)
{
    return error.details.value(i);
}

} // namespace

// Where the list lies, and what lies there.
QString fileMessages::listCause(const fileError &error)
{
    const QString name = shownText(error.name);
    switch (error.what) {
    case fileError::none:
    case fileError::noFolder:
    case fileError::unreachable:
    case fileError::notSaved:
        return QString();
    case fileError::walkFailed:
        return step(tr("путь к нему недоступен"), error);
    case fileError::linkUnreadable:
        return error.reason;
    case fileError::linkRefused:
#ifdef Q_OS_WIN
        return tr("символическая ссылка %1 принадлежит пользователю %2, а её папку могут "
                  "изменять и другие пользователи; по такой ссылке редактор не переходит")
            .arg(name, shownText(detail(error, 0)));
#else
        return tr("символическая ссылка %1 (её владелец — пользователь %2) лежит в папке, "
                  "которую могут изменять и другие пользователи; кто положил её под это "
                  "имя, не узнать, и по такой ссылке редактор не переходит")
            .arg(name, shownText(detail(error, 0)));
#endif
    case fileError::tooManyLinks:
        return tr("на пути к файлу больше %1 символических ссылок, или они замыкаются в петлю").arg(detail(error, 0));
    case fileError::notAFile:
        return tr("на его месте не обычный файл");
    case fileError::tooLarge:
        return tr("он больше %1 МБ").arg(detail(error, 0));
    case fileError::unreadable:
        return tr("его не удалось прочитать: %1").arg(error.reason);
    case fileError::heldByOther:
        return tr("его держит открытым другая программа, не разрешая читать");
    case fileError::typedValue:
        return tr("в строке %1 значение записано как двоичные данные хранилища (@Variant или @DateTime); "
                  "значения в списке — только текст, и такое значение редактор не читает")
            .arg(detail(error, 0));
    case fileError::notUtf8:
        return tr("строка %1 не в кодировке UTF-8. Преобразуйте файл в UTF-8, прежде чем сохранять его в редакторе")
            .arg(detail(error, 0));
    case fileError::beyondBmp:
        return tr("в значении ключа %1 есть символы за пределами U+FFFF (например, эмодзи), которые "
                  "сборка на Qt 5 не может записать в UTF-8, и сохранение уничтожило бы их")
            .arg(error.name);
    default:
        break;
    }
    return saveCause(error);
}

// What the store would change, and the lock.
QString fileMessages::saveCause(const fileError &error)
{
    const QString name = shownText(error.name);
    switch (error.what) {
    case fileError::changedByStore:
        return tr("значение ключа %1 (%2) хранилище записало бы иначе, чем оно стоит в файле; "
                  "редактор не сохраняет, чтобы не изменить его")
            .arg(name, shownText(detail(error, 0)));
    case fileError::noPrivateFolder:
        return tr("для его копии нет временной папки, которую не могут изменить другие пользователи");
    case fileError::copyFailed:
        return error.reason.isEmpty() ? tr("не удалось записать его копию во временную папку")
                                      : step(tr("не удалось записать его копию во временную папку"), error);
    case fileError::changedSinceLoad:
        return tr("после того как окно загрузило список, файл переместили, заменили, удалили или "
                  "создали; редактор не сохраняет таблицу в другой файл. Запустите редактор снова, "
                  "чтобы загрузить список");
    case fileError::lockHeld:
        return tr("файл заблокирован процессом %1 (%2) на компьютере %3, файл блокировки %4")
            .arg(detail(error, 0), shownText(detail(error, 1)), shownText(detail(error, 2)), name);
    case fileError::lockStuck:
        return tr("файл заблокирован, файл блокировки %1 не удаётся ни занять, ни удалить").arg(name);
    case fileError::lockNotMade:
        return step(tr("не удалось создать файл блокировки %1").arg(name), error);
    case fileError::lockNotWritten:
        return step(tr("не удалось записать файл блокировки %1").arg(name), error);
    default:
        break;
    }
    return stepCause(error);
}

// The steps of a save.
QString fileMessages::stepCause(const fileError &error)
{
    const QString name = shownText(error.name);
    switch (error.what) {
    case fileError::accessUnknown:
        return step(tr("не удалось узнать его права доступа"), error);
    case fileError::identityUnknown:
        return step(tr("не удалось прочитать сведения о файле"), error);
    case fileError::securityUnknown:
        return step(tr("не удалось прочитать права доступа к файлу"), error);
    case fileError::readOnly:
        return tr("у файла атрибут «только чтение»; снимите его, чтобы сохранить список");
    case fileError::mayNotReplace:
        return step(tr("нет права заменить файл"), error);
    case fileError::stageNotMade:
        return step(error.name.isEmpty() ? tr("не удалось создать папку для нового файла")
                                         : tr("не удалось создать папку %1 для нового файла").arg(name),
                    error);
    case fileError::stageSwapped:
        return step(tr("папку %1 для нового файла подменили").arg(name), error);
    case fileError::newFileNotMade:
        return step(tr("не удалось создать новый файл"), error);
    case fileError::newFileBesideNotMade:
        return step(tr("не удалось создать новый файл рядом с ним"), error);
    case fileError::newFileNotWritten:
        return step(tr("не удалось записать новый файл"), error);
    case fileError::newFileNotFlushed:
        return step(tr("не удалось записать новый файл на диск"), error);
    case fileError::newFileNotNamed:
        return step(tr("не удалось дать имя новому файлу"), error);
    case fileError::ownerNotGiven:
        return step(tr("не удалось передать новому файлу владельца прежнего"), error);
    case fileError::aclNotGiven:
        return step(tr("не удалось передать новому файлу список доступа прежнего"), error);
    case fileError::notRenamed:
        return step(tr("не удалось поставить новый файл на место старого"), error);
    case fileError::listNotRenamed:
        return step(tr("не удалось поставить новый список на место прежнего"), error);
    default:
        break;
    }
    return lostCause(error);
}

// What of the old file's access the new one could not keep.
QString fileMessages::lostCause(const fileError &error)
{
    switch (error.what) {
    case fileError::flagsLost:
        return tr("его флаги атрибутов (chattr) не сохранены");
    case fileError::aclLost:
        return tr("его список доступа (ACL) не сохранён (%1)").arg(error.details.join(QLatin1String(", ")));
    case fileError::modeLost:
        return tr("его права доступа теперь другие");
    case fileError::xattrsLost:
        return tr("его расширенные атрибуты не сохранены (%1)").arg(error.details.join(QLatin1String(", ")));
    case fileError::groupChanged:
        return tr("его группа теперь %1 вместо %2").arg(shownText(detail(error, 0)), shownText(detail(error, 1)));
    case fileError::attributesLost:
        return tr("его атрибуты не сохранены");
    default:
        break;
    }
    return QString();
}

QString fileMessages::cause(const fileError &error)
{
    return listCause(error);
}

QString fileMessages::saveFailed(const QString &path, const fileError &error)
{
    const QString why = cause(error);
    return why.isEmpty() ? saving(path) : saving(path) + QLatin1String(": ") + why;
}

QString fileMessages::loadFailed(const QString &path, const fileError &error)
{
    if (error.what == fileError::noFolder)
        return tr("Не удалось загрузить настройки: папку программы, в которой лежит "
                  "transport.ini, не удаётся определить");
    QString why = cause(error);
    if (why.isEmpty())
        why = tr("путь к нему недоступен");
    return tr("Не удалось загрузить настройки из файла %1: %2. Пока список не загружен, "
              "редактор его не сохраняет; запустите редактор снова, когда файл будет в порядке")
        .arg(QDir::toNativeSeparators(path), why);
}

QString fileMessages::saveRefused(const QString &path, const fileError &error)
{
    switch (error.what) {
    case fileError::noFolder:
        return saving(path);
    case fileError::walkFailed:
    case fileError::linkUnreadable:
    case fileError::linkRefused:
    case fileError::tooManyLinks:
        // The path itself is refused, whatever lies at its end.
        return saveFailed(path, error);
    default:
        break;
    }
    QString why = cause(error);
    if (why.isEmpty())
        why = tr("путь к нему недоступен");
    return tr("%1: %2. Таблица загружена не из этого файла, и редактор не сохранит её поверх него; "
              "запустите редактор снова, когда файл будет в порядке")
        .arg(saving(path), why);
}

QString fileMessages::accessLost(const QString &path, const QList<fileError> &lost)
{
    QStringList what;
    for (const fileError &error : lost)
        what.append(cause(error));
    return tr("Настройки сохранены в файл %1, но %2")
        .arg(QDir::toNativeSeparators(path), what.join(QLatin1String("; ")));
}
