// What the shared file's two systems do alike: the writers' lock's protocol, and errors.
#include "fileplace.h"

#include <QDeadlineTimer>
#include <QList>
#include <QThread>

namespace {

// A lock that no live writer holds is another writer's leftover once it is this old, or at once
// when it names a process of this computer that is gone.
const int StaleLockMs = 1000;

// What a lock says of its holder: process id, program and host, each on a line of its own.
struct lockOwner
{
    qint64 pid = 0;
    QString program;
    QString host;
};

lockOwner ownerIn(const QByteArray &record)
{
    lockOwner owner;
    const QList<QByteArray> lines = record.split('\n');
    if (lines.size() >= 3) {
        owner.pid = lines[0].toLongLong();
        owner.program = QString::fromUtf8(lines[1]);
        owner.host = QString::fromUtf8(lines[2]);
    }
    return owner;
}

} // namespace

fileError filePlace::failedWith(fileError::kind what, long error, const QString &name)
{
    return fileError(what, name, systemReason(error));
}

bool filePlace::isStale(const QByteArray &record)
{
    const lockOwner owner = ownerIn(record);
    const bool here = owner.host.isEmpty() || owner.host == hostName();
    if (here && owner.pid > 0 && processGone(owner.pid))
        return true;
    return lockAgeMs() > StaleLockMs;
}

fileError filePlace::lock(int waitMs)
{
    const fileError stuck(fileError::lockStuck, lockPath());
    const QByteArray record = lockRecord();
    const QDeadlineTimer deadline(waitMs);
    // Every way round the loop but the first waits a little, and none goes on after the deadline.
    for (bool wait = false;; wait = true) {
        if (wait) {
            if (deadline.hasExpired())
                return stuck;
            QThread::msleep(50);
        }
        fileError error;
        const lockStep made = makeLock(record, &error);
        if (made == lockStep::done)
            return fileError();
        if (made == lockStep::failed)
            return error;
        bool free = false;
        const lockStep seen = openLock(&free, &error);
        if (seen == lockStep::gone)
            continue; // released in between
        if (seen != lockStep::done)
            return error ? error : stuck;
        const QByteArray held = lockContents();
        // A live writer keeps its lock held; what nobody holds may be a leftover.
        if (free && isStale(held)) {
            if (!removeLock())
                return stuck;
            continue;
        }
        if (deadline.hasExpired()) {
            const lockOwner owner = ownerIn(held);
            if (owner.pid <= 0)
                return stuck;
            return fileError(fileError::lockHeld, lockPath(), QString(),
                             { QString::number(owner.pid), owner.program, owner.host });
        }
    }
}
