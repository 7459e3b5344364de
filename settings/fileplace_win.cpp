// The shared file on Windows: ReplaceFileW puts the new file in place and keeps the old one's
// access list (ACL), owner and attributes, and the writers' lock is Qt's.
#include "fileplace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <io.h>
#include <windows.h>

namespace {

// A lock that no live writer holds is another writer's leftover once it is this old.
const int StaleLockMs = 1000;

// As many links as the system follows on one path.
const int MaxLinks = 63;

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

} // namespace

filePlace::filePlace(const QString &path, const QString &failed)
    : failed(failed), path(path)
{
    if (path.isEmpty() || !QDir::isAbsolutePath(path)) {
        problem = failed;
        return;
    }
    // A symbolic link is followed, so that the lock and the new file go beside its target: the
    // installer keeps the list in a folder that its operators may change, and links it into the
    // program's folder, which they may not. Only administrators may make links on Windows.
    QFileInfo info(path);
    for (int links = 0; info.isSymLink() && !info.isShortcut(); ++links) {
        if (links == MaxLinks) {
            problem = failed;
            return;
        }
        info.setFile(info.symLinkTarget());
    }
    this->path = info.absoluteFilePath();
}

QString filePlace::storeFolder()
{
    return QDir::tempPath();
}

filePlace::~filePlace()
{
    unlock();
}

filePlace::content filePlace::read(QByteArray *bytes)
{
    const QFileInfo info(path);
    if (!info.exists())
        return missing;
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return notAFile;
    *bytes = file.readAll();
    return regular;
}

QString filePlace::lock(int waitMs)
{
    const QString lockName = path + QLatin1String(".lock");
    lockFile.reset(new QLockFile(lockName));
    lockFile->setStaleLockTime(StaleLockMs);
    if (lockFile->tryLock(waitMs))
        return QString();
    const QLockFile::LockError error = lockFile->error();
    qint64 pid = 0;
    QString host, program;
    const bool named = lockFile->getLockInfo(&pid, &host, &program);
    lockFile.reset();
    if (error != QLockFile::LockFailedError)
        return failed;
    if (!named)
        return tr("%1: файл заблокирован, файл блокировки %2 не удаётся ни занять, ни удалить")
            .arg(failed, QDir::toNativeSeparators(lockName));
    return tr("%1: файл заблокирован процессом %2 (%3) на компьютере %4, файл блокировки %5")
        .arg(failed, QString::number(pid), program, host, QDir::toNativeSeparators(lockName));
}

void filePlace::unlock()
{
    lockFile.reset();
}

QString filePlace::replace(const QByteArray &bytes, QStringList *lost)
{
    const std::wstring target = native(path);
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    const bool existed = attributes != INVALID_FILE_ATTRIBUTES;
    // A read-only file is one that its owner does not want changed.
    if (existed && (attributes & FILE_ATTRIBUTE_READONLY))
        return failed;

    QFile out;
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100 && !out.isOpen(); ++attempt) {
        QString name = path + QLatin1String(".new-");
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)]);
        out.setFileName(name);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !QFileInfo::exists(name))
            return failed;
    }
    if (!out.isOpen())
        return failed; // every name taken: none of them is ours to remove
    const std::wstring replacement = native(out.fileName());
    bool done = out.write(bytes) == bytes.size() && out.flush()
        && ::FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(out.handle())));
    out.close();
    // ReplaceFileW keeps the old file's access list and attributes on Windows; Wine's does not
    // keep the attributes (hidden, not indexed ...), so they are given to the new file first.
    if (done && existed) {
        if (!::SetFileAttributesW(replacement.c_str(), attributes))
            lost->append(tr("его атрибуты не сохранены"));
    }
    // ReplaceFileW gives the new file the old one's ACL, owner and attributes; a file that another
    // program holds open without letting it be deleted makes it fail, and the old file stays.
    if (done) {
        done = existed ? ::ReplaceFileW(target.c_str(), replacement.c_str(), nullptr,
                                        REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                       : ::MoveFileExW(replacement.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    }
    if (!done) {
        out.remove();
        return failed;
    }
    unlock();
    return QString();
}
