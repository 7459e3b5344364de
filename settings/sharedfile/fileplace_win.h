// What the Windows half decides about folders and links from what it reads through their
// handles; apart, so that the decisions can be tried where no links can be made.
#ifndef FILEPLACE_WIN_H
#define FILEPLACE_WIN_H

#include <QByteArray>
#include <QString>

namespace windowsLinks {

// Whether the SID (a PSID) is one that may be trusted with what the saver trusts: an
// administrator, SYSTEM, TrustedInstaller or the user who saves.
bool isTrusted(void *sid);

// Whether anybody not trusted may change what a folder with this security descriptor (a
// PSECURITY_DESCRIPTOR) holds: it has no DACL, an owner not trusted, or an entry that lets
// somebody not trusted add files or folders, delete what is in it, or change its access.
bool othersMayChange(void *securityDescriptor);

// Where a symbolic link or junction points, from the reparse data that FSCTL_GET_REPARSE_POINT
// gives: an absolute path ("C:/x", "//server/share/x", "//?/Volume{...}/x"), a path relative to the
// link's folder, or nothing for any other kind of reparse point or data that does not add up.
QString target(const QByteArray &reparseData);

} // namespace windowsLinks

#endif // FILEPLACE_WIN_H
