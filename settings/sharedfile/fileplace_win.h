// What the Windows half decides about links from what it reads through their handles; apart, so
// that the decisions can be tried where no links can be made.
#ifndef FILEPLACE_WIN_H
#define FILEPLACE_WIN_H

#include <QByteArray>
#include <QString>

namespace windowsLinks {

// Whether a symbolic link or junction owned by `ownerSid` (a PSID) may be followed: only one that
// an administrator, SYSTEM, TrustedInstaller or the user who saves could have made.
bool mayFollow(void *ownerSid);

// Where a symbolic link or junction points, from the reparse data that FSCTL_GET_REPARSE_POINT
// gives: an absolute path ("C:/x", "//server/share/x", "//?/Volume{...}/x"), a path relative to the
// link's folder, or nothing for any other kind of reparse point or data that does not add up.
QString target(const QByteArray &reparseData);

} // namespace windowsLinks

#endif // FILEPLACE_WIN_H
