// The window's sentences for what went wrong with transport.ini, from the shared file's errors.
#ifndef FILEMESSAGES_H
#define FILEMESSAGES_H

#include "sharedfile.h"

#include <QCoreApplication>
#include <QList>
#include <QString>

class fileMessages
{
    Q_DECLARE_TR_FUNCTIONS(sharedFile)

public:
    // For the list at `path` that could not be loaded: what the window tells when it shows, and
    // why Save then refuses to put the table in its place.
    static QString loadFailed(const QString &path, const fileError &error);
    static QString saveRefused(const QString &path, const fileError &error);
    // Why a save of the list at `path` failed, the list left as it was.
    static QString saveFailed(const QString &path, const fileError &error);
    // What of the old list's access the saved one could not keep.
    static QString accessLost(const QString &path, const QList<fileError> &lost);

    // The cause alone, as it follows "could not save to <path>: "; empty where there is nothing
    // more to say.
    static QString cause(const fileError &error);

private:
    static QString listCause(const fileError &error);
    static QString saveCause(const fileError &error);
    static QString stepCause(const fileError &error);
    static QString lostCause(const fileError &error);
};

#endif // FILEMESSAGES_H
