// The shared file on Windows. Its folder (C:\ProgramData\transport-settings as installed) may be
// written by a whole group, whose members can put links, junctions and other files in its way. So
// the path is walked once, a link or junction followed only when an administrator or the saver
// owns it, and the folders on the way are held open so that nobody can rename them or swap them
// for a junction while the file is saved. The new list is written beside the old one, given the
// old one's access, and renamed over it in one step through its own handle, relative to the
// folder's handle: the name always holds a whole list, the old one or the new one. The writers'
// lock is made as Qt's QLockFile makes it, so that editors of earlier builds keep out of the way.
#include "fileplace.h"
#include "fileplace_win.h"
#include "testhooks.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>
#include <winternl.h>

std::function<void(const QString &)> sharedFileTestHooks::beforeReplace;

namespace {

// As many links as the system follows on one path.
const int MaxLinks = 63;

// How long a step that another program's handle gets in the way of is tried again: virus
// scanners, indexers and backup agents open a new file for a moment right after it is written.
const int BusyRetryMs = 2000;

// The new file's name: the list's, the editor's own mark, and a random tail in its own alphabet
// (lower-case hexadecimal digits). A file that this user made under such a name is the editor's;
// a name alone (an operator's transport.ini.old-backup or .new-draft1) never is.
const char newMark[] = ".~new-";
const int tailLength = 8;
const char tailLetters[] = "0123456789abcdef";

// The store's private folders in the temporary folder: QTemporaryDir's six letters and digits.
const char privatePrefix[] = "transport-settings-";
const int privateTailLength = 6;

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FILE_SUPPORTS_POSIX_UNLINK_RENAME, which MinGW's headers do not declare.
const DWORD posixRenameVolume = 0x400;

// The form of a path that every Win32 file call gets, as Qt's own file code gives it:
// \\?\C:\..., \\?\UNC\server\share\..., so that no path is cut at MAX_PATH.
std::wstring native(const QString &path)
{
    QString text = QDir::toNativeSeparators(path);
    if (text.startsWith(QLatin1String("\\\\?\\")) || text.startsWith(QLatin1String("\\\\.\\")))
        return text.toStdWString();
    if (text.startsWith(QLatin1String("\\\\")))
        return (QLatin1String("\\\\?\\UNC\\") + text.mid(2)).toStdWString();
    return (QLatin1String("\\\\?\\") + text).toStdWString();
}

// A path as a message names it.
QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

class handle
{
public:
    explicit handle(HANDLE h = INVALID_HANDLE_VALUE) : h(h) { }
    ~handle() { reset(); }
    handle(const handle &) = delete;
    handle &operator=(const handle &) = delete;
    void reset(HANDLE other = INVALID_HANDLE_VALUE)
    {
        if (valid())
            ::CloseHandle(h);
        h = other;
    }
    HANDLE release()
    {
        const HANDLE taken = h;
        h = INVALID_HANDLE_VALUE;
        return taken;
    }
    bool valid() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    HANDLE h;
};

// Opens what is at `path` itself, never what a link or junction there points to.
HANDLE openItself(const QString &path, DWORD access, DWORD share = shareAll)
{
    return ::CreateFileW(native(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool tagInfo(HANDLE h, FILE_ATTRIBUTE_TAG_INFO *info)
{
    return ::GetFileInformationByHandleEx(h, FileAttributeTagInfo, info, sizeof *info);
}

// A plain file: no folder, and no reparse point of any kind.
bool isPlainFile(HANDLE h)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    return tagInfo(h, &info) && ::GetFileType(h) == FILE_TYPE_DISK
        && !(info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// Deletes the file that the handle (opened with DELETE access) is, whatever its name now.
bool deleteByHandle(HANDLE h)
{
    FILE_DISPOSITION_INFO disposition = { TRUE };
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
}

// What tells one file from every other while it exists: its volume's serial number and its ID.
QByteArray identity(HANDLE h)
{
    FILE_ID_INFO id;
    if (::GetFileInformationByHandleEx(h, FileIdInfo, &id, sizeof id))
        return QByteArray(reinterpret_cast<const char *>(&id), sizeof id);
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info))
        return QByteArray();
    const quint64 parts[] = { info.dwVolumeSerialNumber,
                              (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 0 };
    return QByteArray(reinterpret_cast<const char *>(parts), sizeof parts);
}

// The owner, group and DACL of an open file, as a self-relative security descriptor.
QByteArray securityOf(HANDLE h)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(h, SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                          nullptr, nullptr, nullptr, nullptr, &descriptor)
        != ERROR_SUCCESS)
        return QByteArray();
    const QByteArray bytes(static_cast<const char *>(descriptor), int(::GetSecurityDescriptorLength(descriptor)));
    ::LocalFree(descriptor);
    return bytes;
}

// The user whom this process acts as, and the owner it gives what it makes.
bool isMe(PSID sid)
{
    HANDLE token = nullptr;
    if (!sid || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    char owner[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_OWNER)];
    DWORD size = 0;
    const bool me = (::GetTokenInformation(token, TokenUser, user, sizeof user, &size)
                     && ::EqualSid(sid, reinterpret_cast<TOKEN_USER *>(user)->User.Sid))
        || (::GetTokenInformation(token, TokenOwner, owner, sizeof owner, &size)
            && ::EqualSid(sid, reinterpret_cast<TOKEN_OWNER *>(owner)->Owner));
    ::CloseHandle(token);
    return me;
}

// Whether what the handle is was made by this user: a plain file or folder with one name, owned
// by the user or by the owner the user gives what it makes.
bool madeByMe(HANDLE h, bool folder)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    BY_HANDLE_FILE_INFORMATION names;
    if (!tagInfo(h, &info) || (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        || bool(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != folder
        || !::GetFileInformationByHandle(h, &names) || (!folder && names.nNumberOfLinks != 1))
        return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                          nullptr, &descriptor)
        != ERROR_SUCCESS)
        return false;
    const bool mine = isMe(owner);
    ::LocalFree(descriptor);
    return mine;
}

bool hasMark(const QString &name, const QString &prefix, const char *letters, int length)
{
    if (name.size() != prefix.size() + length || !name.startsWith(prefix))
        return false;
    for (qsizetype i = prefix.size(); i < name.size(); ++i) {
        const char16_t c = name.at(i).unicode();
        if (c > 0x7f || !std::strchr(letters, char(c)))
            return false;
    }
    return true;
}

QString randomTail()
{
    QString tail;
    for (int i = 0; i < tailLength; ++i)
        tail += QLatin1Char(tailLetters[QRandomGenerator::global()->bounded(int(sizeof tailLetters) - 1)]);
    return tail;
}

// Errors that another program's handle on a file causes for a moment.
bool isBusy(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Runs `attempt` until it succeeds, fails otherwise than `busy` says, or BusyRetryMs have gone,
// waiting a little longer each time. The first pauses are short: a reader that opens the list
// again and again leaves it closed only for moments.
bool retryWhileBusy(const std::function<bool(DWORD *)> &attempt, bool (*busy)(DWORD) = isBusy)
{
    const QDeadlineTimer deadline(BusyRetryMs);
    unsigned long pause = 1;
    for (;;) {
        DWORD error = ERROR_SUCCESS;
        if (attempt(&error))
            return true;
        if (!busy(error) || deadline.hasExpired())
            return false;
        QThread::msleep(std::min<qint64>(pause, std::max<qint64>(deadline.remainingTime(), 1)));
        pause = std::min(pause * 2, 50ul);
    }
}

QString accountName(PSID sid)
{
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return domainSize ? QString::fromWCharArray(domain) + QLatin1Char('\\') + QString::fromWCharArray(name)
                          : QString::fromWCharArray(name);
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    ::LocalFree(text);
    return result;
}

// Splits an absolute path with / separators into its root ("C:/", "//server/share/",
// "//?/Volume{...}/") and the rest; false for a path with no root.
bool splitRoot(QString path, QString *root, QString *rest)
{
    if (path.startsWith(QLatin1String("//?/")) || path.startsWith(QLatin1String("//./"))) {
        path.remove(0, 4);
        if (path.startsWith(QLatin1String("UNC/"), Qt::CaseInsensitive))
            path.replace(0, 4, QLatin1String("//"));
        else if (!(path.size() >= 2 && path[1] == QLatin1Char(':')))
            path.prepend(QLatin1String("//?/"));
    }
    qsizetype end = -1;
    if (path.size() >= 3 && path[0].isLetter() && path[1] == QLatin1Char(':') && path[2] == QLatin1Char('/')) {
        end = 3;
    } else if (path.startsWith(QLatin1String("//?/"))) {
        end = path.indexOf(QLatin1Char('/'), 4);
        end = end < 0 ? path.size() : end + 1;
    } else if (path.startsWith(QLatin1String("//"))) {
        const qsizetype share = path.indexOf(QLatin1Char('/'), 2);
        if (share <= 2)
            return false;
        end = path.indexOf(QLatin1Char('/'), share + 1);
        end = end < 0 ? path.size() : end + 1;
    }
    if (end < 0)
        return false;
    *root = path.left(end);
    if (!root->endsWith(QLatin1Char('/')))
        *root += QLatin1Char('/');
    *rest = path.mid(end);
    return true;
}

void prependParts(std::deque<QString> &parts, const QString &path)
{
    const QStringList split = path.split(QLatin1Char('/'));
    for (auto part = split.crbegin(); part != split.crend(); ++part) {
        if (!part->isEmpty() && *part != QLatin1String("."))
            parts.push_front(*part);
    }
}

bool isRunning(qint64 pid)
{
    const handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid)));
    DWORD code = 0;
    return process.valid() && ::GetExitCodeProcess(process.h, &code) && code == STILL_ACTIVE;
}

// The name QLockFile gives a program: its executable's, without folder and extension.
QString programName()
{
    QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

bool writeAll(HANDLE file, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        DWORD done = 0;
        const DWORD chunk = DWORD(std::min<qint64>(left, 1 << 24));
        if (!::WriteFile(file, data, chunk, &done, nullptr) || done == 0)
            return false;
        data += done;
        left -= done;
    }
    return true;
}

} // namespace

namespace windowsLinks {

bool isTrusted(void *sid)
{
    const PSID owner = static_cast<PSID>(sid);
    if (!owner || !::IsValidSid(owner))
        return false;
    if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(owner, WinLocalSystemSid))
        return true;
    PSID installer = nullptr;
    if (::ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer)) {
        const bool same = ::EqualSid(owner, installer);
        ::LocalFree(installer);
        if (same)
            return true;
    }
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    const bool saver = ::GetTokenInformation(token, TokenUser, user, sizeof user, &size)
        && ::EqualSid(owner, reinterpret_cast<TOKEN_USER *>(user)->User.Sid);
    ::CloseHandle(token);
    return saver;
}

bool othersMayChange(void *securityDescriptor)
{
    const auto descriptor = static_cast<PSECURITY_DESCRIPTOR>(securityDescriptor);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !isTrusted(owner)
        || !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return true;
    ACL_SIZE_INFORMATION sizes = {};
    if (!::GetAclInformation(dacl, &sizes, sizeof sizes, AclSizeInformation))
        return true;
    const ACCESS_MASK changes = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | WRITE_DAC
        | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
    for (DWORD i = 0; i < sizes.AceCount; ++i) {
        ACE_HEADER *ace = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void **>(&ace)))
            return true;
        // Denials and audits only take away; an entry only for what the folder will hold is not
        // the folder's own.
        const bool allows = ace->AceType == ACCESS_ALLOWED_ACE_TYPE || ace->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE
            || ace->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE || ace->AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE
            || ace->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
        if (!allows || (ace->AceFlags & INHERIT_ONLY_ACE))
            continue;
        // The other kinds of allowing entry are not looked into: they count as others'.
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return true;
        const auto *allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(ace);
        if ((allowed->Mask & changes) && !isTrusted(const_cast<DWORD *>(&allowed->SidStart)))
            return true;
    }
    return false;
}

QString target(const QByteArray &reparseData)
{
    // REPARSE_DATA_BUFFER, which MinGW's headers do not declare: tag, length, reserved, then the
    // offsets and lengths (in bytes) of the substitute and print names, for a symbolic link its
    // flags, and the names.
    struct header
    {
        ULONG tag;
        USHORT length, reserved;
        USHORT substituteOffset, substituteLength, printOffset, printLength;
    };
    const qsizetype size = reparseData.size();
    if (size < qsizetype(sizeof(header)))
        return QString();
    header h;
    std::memcpy(&h, reparseData.constData(), sizeof h);
    qsizetype names = sizeof h;
    ULONG flags = 0;
    if (h.tag == IO_REPARSE_TAG_SYMLINK) {
        if (size < names + qsizetype(sizeof flags))
            return QString();
        std::memcpy(&flags, reparseData.constData() + names, sizeof flags);
        names += sizeof flags;
    } else if (h.tag != IO_REPARSE_TAG_MOUNT_POINT) {
        return QString();
    }
    if (h.substituteLength == 0 || h.substituteLength % 2 || h.substituteOffset % 2
        || names + h.substituteOffset + h.substituteLength > size)
        return QString();
    QString name(h.substituteLength / 2, Qt::Uninitialized);
    std::memcpy(name.data(), reparseData.constData() + names + h.substituteOffset, h.substituteLength);
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const ULONG relative = 1; // SYMLINK_FLAG_RELATIVE
    if (h.tag == IO_REPARSE_TAG_SYMLINK && (flags & relative))
        return name.startsWith(QLatin1Char('/')) ? QString() : name;
    // An absolute target is an NT path: \??\C:\x, \??\UNC\server\share\x, \??\Volume{...}\x.
    if (!name.startsWith(QLatin1String("/?" "?/")))
        return QString();
    name.replace(0, 4, QLatin1String("//?/"));
    QString root, rest;
    return splitRoot(name, &root, &rest) ? root + rest : QString();
}

} // namespace windowsLinks

// Kept since the load: the file's identity and access, and where that holds up nobody's rename,
// the file itself.
class listOrigin
{
public:
    ~listOrigin() { reset(nullptr); }
    void reset(void *other);
    // Open, sharing reading, writing and deletion, where the volume renames with POSIX semantics,
    // so that no other writer's rename waits for it; elsewhere (FAT, most network shares, Wine)
    // every open handle would stop another writer's rename of the list, so only the file's
    // identity and access are kept.
    void *file = nullptr;
    QByteArray id;        // volume serial and file ID; empty: there was no file
    QByteArray security;  // its owner, group and DACL, self-relative
    unsigned long attributes = 0;
};

std::shared_ptr<listOrigin> newListOrigin()
{
    return std::make_shared<listOrigin>();
}

struct filePlace::system
{
    QString path;                // the file, every link on the way resolved
    QString name;                // its name in its folder
    std::vector<void *> folders; // the folders on the way, held so that none is renamed or deleted
    void *folder = nullptr;      // the one that holds the file, among them
    void *file = nullptr;        // the file as it was read last
    void *lockFile = nullptr;    // the lock's handle, while this object holds it
    handle seenLock;             // somebody's lock, as looked at last
    DWORD lockError = ERROR_SUCCESS; // why the lock could not be made last
};

namespace {

// Whether the item is a symbolic link or junction (`followable`), or another kind of link, which
// is never followed; a file that a cloud or deduplication service keeps is a file.
bool isLink(const FILE_ATTRIBUTE_TAG_INFO &info, bool followable)
{
    if (!(info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    const bool link = info.ReparseTag == IO_REPARSE_TAG_SYMLINK || info.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT;
    return followable ? link : !link && IsReparseTagNameSurrogate(info.ReparseTag);
}

// The trust rule, as on Linux: a folder counts as others' when anybody but an administrator,
// SYSTEM, TrustedInstaller and this user may change what it holds, and no link or junction is
// followed in such a folder, whoever owns it.
bool othersMayChange(HANDLE folder)
{
    const QByteArray security = securityOf(folder);
    return security.isEmpty() || windowsLinks::othersMayChange(const_cast<char *>(security.constData()));
}

bool mayFollowLinkIn(bool othersFolder)
{
    return !othersFolder;
}

// The walk to the list, one name at a time. Every folder on the way stays open without sharing
// deletion, so that no one renames or deletes it (and puts a junction in its place) while the
// walk's owner lives.
struct pathWalk
{
    std::vector<void *> &folders;
    QString root;
    QString current;              // the folder reached so far, with a slash at its end
    QString held;                 // the folder that folders.back() is
    std::deque<QString> parts;    // the names still to go
    int links = 0;

    // The folder reached so far, held: the last one held, unless the walk reached it from
    // elsewhere (a root, or a folder again after ".."); null when it is not a plain folder.
    HANDLE folder()
    {
        if (!folders.empty() && held == current)
            return folders.back();
        handle item(openItself(current == root ? current : current.chopped(1), FILE_READ_ATTRIBUTES | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE));
        FILE_ATTRIBUTE_TAG_INFO info;
        if (!item.valid() || !tagInfo(item.h, &info) || !(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            || (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return nullptr;
        folders.push_back(item.release());
        held = current;
        return folders.back();
    }

    void up()
    {
        const qsizetype slash = current.lastIndexOf(QLatin1Char('/'), -2);
        if (current.size() > root.size() && slash >= root.size() - 1)
            current.truncate(slash + 1);
    }

    // Puts the target of the symbolic link or junction `link`, found at `next`, in front of the
    // names still to go.
    fileError follow(HANDLE link, const QString &next)
    {
        const HANDLE in = folder();
        if (!in)
            return { fileError::unreachable };
        if (!mayFollowLinkIn(othersMayChange(in)))
            return { fileError::linkRefused, shown(next), QString(), { ownerOf(link) } };
        QByteArray data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, '\0');
        DWORD size = 0;
        const QString target = ::DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                                                 DWORD(data.size()), &size, nullptr)
            ? windowsLinks::target(data.left(int(size)))
            : QString();
        if (target.isEmpty())
            return { fileError::unreachable };
        if (++links > MaxLinks)
            return { fileError::tooManyLinks, QString(), QString(), { QString::number(MaxLinks) } };
        QString targetRoot, targetRest;
        if (splitRoot(target, &targetRoot, &targetRest)) {
            root = targetRoot;
            current = targetRoot;
            prependParts(parts, targetRest);
        } else {
            prependParts(parts, target);
        }
        return fileError();
    }

    static QString ownerOf(HANDLE item)
    {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (::GetSecurityInfo(item, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
            return QString();
        const QString name = accountName(owner);
        ::LocalFree(descriptor);
        return name;
    }
};

} // namespace

filePlace::filePlace(const QString &path)
    : d(new system)
{
    QString root, rest;
    if (path.isEmpty() || !QDir::isAbsolutePath(path)
        || !splitRoot(QDir::cleanPath(QDir::fromNativeSeparators(path)), &root, &rest)) {
        problem = { fileError::unreachable };
        return;
    }
    pathWalk walk { d->folders, root, root, QString(), {} };
    prependParts(walk.parts, rest);
    // The file is the last part in the folder reached, through whose handle a new list is renamed.
    const auto found = [&](const QString &part) {
        d->path = walk.current + part;
        d->name = part;
        problem = (d->folder = walk.folder()) ? fileError() : fileError(fileError::unreachable);
    };
    while (!walk.parts.empty()) {
        const QString part = walk.parts.front();
        walk.parts.pop_front();
        if (part == QLatin1String("..")) {
            walk.up();
            continue;
        }
        const bool last = walk.parts.empty();
        const QString next = walk.current + part;
        // A folder is held without sharing deletion (none held for deletion now is walked through);
        // the file itself is only looked at, and may be replaced by another writer meanwhile.
        handle item(openItself(next, FILE_READ_ATTRIBUTES | READ_CONTROL, last ? shareAll : FILE_SHARE_READ | FILE_SHARE_WRITE));
        FILE_ATTRIBUTE_TAG_INFO info;
        if (!item.valid() || !tagInfo(item.h, &info)) {
            if (last && !item.valid() && ::GetLastError() == ERROR_FILE_NOT_FOUND)
                found(part); // no file yet: a save makes it
            else
                problem = { fileError::unreachable };
            return;
        }
        if (isLink(info, true)) {
            if ((problem = walk.follow(item.h, next)))
                return;
            continue;
        }
        if (isLink(info, false))
            break;
        if (last) {
            // Whatever it is: read() and replace() look at it again, without following it.
            found(part);
            return;
        }
        if (!(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            break;
        d->folders.push_back(item.release());
        walk.current = next + QLatin1Char('/');
        walk.held = walk.current;
    }
    // The path ends in a folder, or leads through something else.
    problem = { fileError::unreachable };
}



filePlace::~filePlace()
{
    unlock();
    if (d->file)
        ::CloseHandle(d->file);
    for (void *held : d->folders)
        ::CloseHandle(held);
}


void listOrigin::reset(void *other)
{
    if (file)
        ::CloseHandle(file);
    file = other;
}

filePlace::content filePlace::read(QByteArray *bytes)
{
    if (d->file) {
        ::CloseHandle(d->file);
        d->file = nullptr;
    }
    // One open, tried again for a while when another program keeps the list open without sharing
    // it for reading; nothing else is waited for.
    handle opened;
    DWORD error = ERROR_SUCCESS;
    retryWhileBusy([&](DWORD *why) {
        opened.reset(::CreateFileW(native(d->path).c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        error = *why = opened.valid() ? ERROR_SUCCESS : ::GetLastError();
        return opened.valid();
    });
    if (!opened.valid()) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return missing;
        return isBusy(error) ? heldByOther : notAFile;
    }
    LARGE_INTEGER size;
    if (!isPlainFile(opened.h) || !::GetFileSizeEx(opened.h, &size))
        return notAFile;
    if (size.QuadPart > MaxBytes)
        return tooLarge;
    bytes->clear();
    bytes->reserve(qsizetype(size.QuadPart));
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(opened.h, buffer, sizeof buffer, &got, nullptr)) {
            readError = systemReason(long(::GetLastError()));
            return unreadable;
        }
        if (got == 0)
            break;
        // A file that said it was small may still grow while it is read: never more than the limit.
        if (bytes->size() + qsizetype(got) > MaxBytes)
            return tooLarge;
        bytes->append(buffer, qsizetype(got));
    }
    d->file = opened.release();
    return regular;
}

// At the path, under the lock; replace() then compares the identity of what was read with the
// loaded file's. Whatever is there that is not a file is not the file that was loaded.
filePlace::content filePlace::readLoaded(QByteArray *bytes)
{
    const content found = read(bytes);
    return found == notAFile ? changed : found;
}

// Whether a handle that stays open on this file holds up no other writer's rename of it: only
// where the volume renames with POSIX semantics.
static bool mayStayOpen(HANDLE h)
{
    DWORD flags = 0;
    return ::GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)
        && (flags & posixRenameVolume);
}

static void keep(listOrigin *origin, HANDLE h)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    origin->id = identity(h);
    origin->security = securityOf(h);
    origin->attributes = tagInfo(h, &info) ? info.FileAttributes : 0;
    HANDLE copy = mayStayOpen(h) ? ::ReOpenFile(h, GENERIC_READ, shareAll, 0) : nullptr;
    origin->reset(copy == INVALID_HANDLE_VALUE ? nullptr : copy);
}

void filePlace::keepAsOrigin()
{
    if (!origin)
        return;
    if (d->file) {
        keep(origin.get(), d->file);
    } else {
        origin->reset(nullptr);
        origin->id.clear();
        origin->security.clear();
        origin->attributes = 0;
    }
}

QString filePlace::lockPath() const
{
    return shown(d->path + QLatin1String(".lock"));
}

QByteArray filePlace::lockRecord() const
{
    return QByteArray::number(QCoreApplication::applicationPid()) + '\n' + programName().toUtf8() + '\n'
        + hostName().toUtf8() + '\n' + QSysInfo::machineUniqueId() + '\n' + QSysInfo::bootUniqueId() + '\n';
}

QString filePlace::hostName()
{
    return qEnvironmentVariable("COMPUTERNAME");
}

bool filePlace::processGone(qint64 pid)
{
    return !isRunning(pid);
}

filePlace::lockStep filePlace::makeLock(const QByteArray &record, fileError *error)
{
    // Made and held as QLockFile makes and holds it: created new, shared for reading only, so
    // that a live holder's lock can be neither deleted nor opened for deletion.
    handle made(::CreateFileW(native(d->path + QLatin1String(".lock")).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (made.valid()) {
        if (!writeAll(made.h, record) || !::FlushFileBuffers(made.h)) {
            *error = failedWith(fileError::lockNotMade, long(::GetLastError()), lockPath());
            deleteByHandle(made.h); // a full disk: nothing is left behind
            return lockStep::failed;
        }
        d->lockFile = made.release();
        return lockStep::done;
    }
    d->lockError = ::GetLastError();
    if (d->lockError == ERROR_FILE_EXISTS || d->lockError == ERROR_ALREADY_EXISTS
        || d->lockError == ERROR_ACCESS_DENIED || d->lockError == ERROR_SHARING_VIOLATION)
        return lockStep::exists;
    *error = failedWith(fileError::lockNotMade, long(d->lockError), lockPath());
    return lockStep::failed;
}

filePlace::lockStep filePlace::openLock(bool *free, fileError *error)
{
    // Looked at as itself. Only a lock that no live writer holds open can be opened for deletion.
    const QString lockName = d->path + QLatin1String(".lock");
    d->seenLock.reset(openItself(lockName, GENERIC_READ | DELETE));
    *free = d->seenLock.valid();
    if (!*free) {
        const DWORD why = ::GetLastError();
        // Access denied where there is nothing: the user may not make files in this folder.
        if (why == ERROR_FILE_NOT_FOUND && d->lockError == ERROR_ACCESS_DENIED) {
            *error = failedWith(fileError::lockNotMade, long(d->lockError), lockPath());
            return lockStep::failed;
        }
        if (why == ERROR_FILE_NOT_FOUND)
            return lockStep::gone;
        if (why == ERROR_SHARING_VIOLATION)
            d->seenLock.reset(openItself(lockName, GENERIC_READ));
        // A lock just released and still open somewhere is deleted when that handle closes.
        if (!d->seenLock.valid() && ::GetLastError() == ERROR_ACCESS_DENIED)
            return lockStep::gone;
    }
    return d->seenLock.valid() && isPlainFile(d->seenLock.h) ? lockStep::done : lockStep::failed;
}

QByteArray filePlace::lockContents()
{
    char text[4096];
    DWORD size = 0;
    OVERLAPPED at = {};
    if (!::ReadFile(d->seenLock.h, text, sizeof text, &size, &at))
        size = 0;
    return QByteArray(text, int(size));
}

qint64 filePlace::lockAgeMs()
{
    FILETIME written;
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    if (!::GetFileTime(d->seenLock.h, nullptr, nullptr, &written))
        return -1;
    const auto ticks = [](const FILETIME &time) { return (qint64(time.dwHighDateTime) << 32) | time.dwLowDateTime; };
    return qAbs(ticks(now) - ticks(written)) / 10000;
}

bool filePlace::removeLock()
{
    const bool removed = deleteByHandle(d->seenLock.h);
    d->seenLock.reset(); // gone once closed
    return removed;
}

void filePlace::unlock()
{
    if (!d->lockFile)
        return;
    deleteByHandle(d->lockFile);
    ::CloseHandle(d->lockFile);
    d->lockFile = nullptr;
}

// New files that a save of this user left when it was killed, removed under the lock, when no
// other save of this program is under way. Only a plain file with one name, of this user, under
// the editor's own name for it, is one: nothing that others named is ever removed, and no file
// is ever moved into the list's place.
void filePlace::removeLeftovers()
{
    const QString prefix = d->name + QLatin1String(newMark);
    const QString in = d->path.left(d->path.size() - d->name.size());
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileExW(native(d->path + QLatin1String(newMark) + QLatin1Char('*')).c_str(),
                                             FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const QString entry = QString::fromWCharArray(found.cFileName);
        if (!hasMark(entry, prefix, tailLetters, tailLength))
            continue;
        const handle leftover(openItself(in + entry, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES));
        if (leftover.valid() && madeByMe(leftover.h, false))
            deleteByHandle(leftover.h);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// A handle of another program's on the old list is in the way of its replacement for a moment:
// without POSIX semantics any handle (access denied; replace() made sure before that this user may
// replace the list), with them one that does not share deletion.
static bool isBusyOrInUse(DWORD error)
{
    return isBusy(error) || error == ERROR_ACCESS_DENIED;
}

// The new file's rename over the list, through its own handle and relative to the folder's
// handle, so that the list's name is never looked up by path again: a link or junction put at
// the name meanwhile is replaced itself, not followed. With POSIX semantics (Windows 10 1809 and
// later, NTFS) readers that hold the old list open do not stand in the way. Where that is not
// supported (FAT, many network shares, Wine), the same rename without them: one step all the
// same, but every open handle on the old list stops it for as long as it stays open.
static DWORD renameInPlace(HANDLE folder, const QString &name, HANDLE newFile)
{
    const std::wstring target = name.toStdWString();
    QByteArray buffer(int(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t)), '\0');
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    const DWORD flags = 0x1 | 0x2; // FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS
    std::memcpy(info, &flags, sizeof flags); // the Flags member, which MinGW declares for newer targets only
    info->RootDirectory = folder;
    info->FileNameLength = DWORD(target.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, target.data(), target.size() * sizeof(wchar_t));
    const auto renameInfoEx = FILE_INFO_BY_HANDLE_CLASS(22); // FileRenameInfoEx

    using setInformation = LONG(WINAPI *)(HANDLE, IO_STATUS_BLOCK *, void *, ULONG, int);
    static const auto ntSet = reinterpret_cast<setInformation>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
    using toError = ULONG(WINAPI *)(LONG);
    static const auto ntError = reinterpret_cast<toError>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
    const int renameInformation = 10; // FileRenameInformation
    bool posix = true;
    DWORD error = ERROR_SUCCESS;
    const bool done = retryWhileBusy(
        [&](DWORD *why) {
            if (posix) {
                if (::SetFileInformationByHandle(newFile, renameInfoEx, info, DWORD(buffer.size())))
                    return true;
                error = ::GetLastError();
                if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED
                    && error != ERROR_INVALID_FUNCTION) {
                    *why = error;
                    return false;
                }
                posix = false;
            }
            if (!ntSet) {
                *why = error;
                return false;
            }
            // FILE_RENAME_INFORMATION: ReplaceIfExists in the first byte, where Flags lay.
            const DWORD replace = 1;
            std::memcpy(info, &replace, sizeof replace);
            IO_STATUS_BLOCK status = {};
            const LONG result = ntSet(newFile, &status, info, ULONG(buffer.size()), renameInformation);
            if (result >= 0)
                return true;
            error = *why = ntError ? ntError(result) : ERROR_GEN_FAILURE;
            return false;
        },
        isBusyOrInUse);
    return done ? ERROR_SUCCESS : error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

namespace {

// The old list's access, as the new file takes it over.
struct listAccess
{
    QByteArray security; // self-relative: owner, group and DACL point into it
    FILE_ATTRIBUTE_TAG_INFO info = {};
    PACL dacl = nullptr;
    PSID owner = nullptr;
    PSID group = nullptr;
    BOOL hasDacl = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    // What the new file is made with: the old list's DACL and nothing inherited besides, so that
    // nobody may read it who may not read the list.
    SECURITY_DESCRIPTOR initial;
};

bool readAccess(listAccess *access)
{
    auto *old = reinterpret_cast<PSECURITY_DESCRIPTOR>(access->security.data());
    BOOL defaulted = FALSE;
    DWORD revision = 0;
    return ::GetSecurityDescriptorDacl(old, &access->hasDacl, &access->dacl, &defaulted)
        && ::GetSecurityDescriptorOwner(old, &access->owner, &defaulted)
        && ::GetSecurityDescriptorGroup(old, &access->group, &defaulted)
        && ::GetSecurityDescriptorControl(old, &access->control, &revision)
        && ::InitializeSecurityDescriptor(&access->initial, SECURITY_DESCRIPTOR_REVISION)
        && ::SetSecurityDescriptorDacl(&access->initial, access->hasDacl, access->dacl, FALSE)
        && ::SetSecurityDescriptorControl(&access->initial, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

// Makes the new file beside the list at `path`, under the editor's own mark and a random tail,
// shared for reading only, so that nobody renames or deletes it until it is in place.
fileError makeNewFile(const QString &path, SECURITY_ATTRIBUTES *attributes, QString *newName, handle *out)
{
    for (int attempt = 0; attempt < 100 && !out->valid(); ++attempt) {
        *newName = path + QLatin1String(newMark) + randomTail();
        out->reset(::CreateFileW(native(*newName).c_str(),
                                 GENERIC_WRITE | DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES | WRITE_DAC | WRITE_OWNER,
                                 FILE_SHARE_READ, attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        const DWORD error = out->valid() ? ERROR_SUCCESS : ::GetLastError();
        if (!out->valid() && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return filePlace::failedWith(fileError::newFileBesideNotMade, long(error));
    }
    if (!out->valid())
        return { fileError::notSaved }; // every name taken: none of them is ours to remove
    return fileError();
}

// Whether entries of the DACL came from the folder, as against all being its own.
bool inheritsEntries(const listAccess &old)
{
    ACL_SIZE_INFORMATION sizes = {};
    if (!old.hasDacl || !old.dacl || (old.control & SE_DACL_PROTECTED)
        || !::GetAclInformation(old.dacl, &sizes, sizeof sizes, AclSizeInformation))
        return false;
    for (DWORD i = 0; i < sizes.AceCount; ++i) {
        ACE_HEADER *ace = nullptr;
        if (::GetAce(old.dacl, i, reinterpret_cast<void **>(&ace)) && (ace->AceFlags & INHERITED_ACE))
            return true;
    }
    return false;
}

// Gives the new file the old list's owner, group, DACL and attributes; none, or the step that
// failed, with the system's error set.
fileError::kind giveAccess(HANDLE out, const listAccess &old, QList<fileError> *lost)
{
    // The old list's owner where this user may give it (an administrator, to Administrators or
    // SYSTEM); otherwise the saver owns the new list, as on Linux a member who saves does.
    const DWORD given = ::SetSecurityInfo(out, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
                                          old.owner, old.group, nullptr, nullptr);
    if (given != ERROR_SUCCESS && given != ERROR_INVALID_OWNER) {
        ::SetLastError(given);
        return fileError::ownerNotGiven;
    }
    // Its DACL exactly: entries inherited from the folder stay inherited, as they were, unless the
    // old list had none (or was protected), when the entries are all its own.
    const DWORD set = ::SetSecurityInfo(out, SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION
                                            | (inheritsEntries(old) ? UNPROTECTED_DACL_SECURITY_INFORMATION
                                                                    : PROTECTED_DACL_SECURITY_INFORMATION),
                                        nullptr, nullptr, old.hasDacl ? old.dacl : nullptr, nullptr);
    if (set != ERROR_SUCCESS) {
        ::SetLastError(set);
        return fileError::aclNotGiven;
    }
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE
        | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (old.info.FileAttributes & kept) {
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = old.info.FileAttributes & kept;
        if (!::SetFileInformationByHandle(out, FileBasicInfo, &basic, sizeof basic))
            lost->append(fileError(fileError::attributesLost));
    }
    return fileError::none;
}

// Why the list `file` at `path` may not be replaced by this user, or none; `access` gets its access.
fileError checkReplaceable(const listOrigin *origin, HANDLE file, const QString &path, listAccess *access)
{
    // Where the loaded file is not held open, its identity could be that of another file made
    // since under a freed ID (Wine reuses them at once): its access is the one seen at the load.
    access->security = origin && !origin->file ? origin->security : securityOf(file);
    if (access->security.isEmpty() || !tagInfo(file, &access->info) || !readAccess(access))
        return filePlace::failedWith(fileError::securityUnknown, long(::GetLastError()));
    // A read-only file is one that its owner does not want changed.
    if (access->info.FileAttributes & FILE_ATTRIBUTE_READONLY)
        return { fileError::readOnly };
    // A list that this user may not replace is refused now, with the system's reason, not after
    // every retry of the rename.
    const handle replaceable(openItself(path, DELETE));
    const DWORD error = replaceable.valid() ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_ACCESS_DENIED)
        return filePlace::failedWith(fileError::mayNotReplace, long(error));
    return fileError();
}

} // namespace

fileError filePlace::replace(const QByteArray &bytes, QList<fileError> *lost)
{
    removeLeftovers();
    // The rows go only where they came from: the list at the name now (as edit() read it under
    // the lock) must be the file that the window loaded, or none when none was there, and the
    // new file gets that file's access.
    const QByteArray loaded = d->file ? identity(d->file) : QByteArray();
    if (d->file && loaded.isEmpty())
        return failedWith(fileError::identityUnknown, long(::GetLastError()));
    if (origin && loaded != origin->id)
        return { fileError::changedSinceLoad };
    const bool existed = d->file != nullptr;
    listAccess access;
    SECURITY_ATTRIBUTES attributes = { sizeof attributes, existed ? &access.initial : nullptr, FALSE };
    if (existed) {
        if (const fileError error = checkReplaceable(origin.get(), d->file, d->path, &access))
            return error;
    }
    QString newName;
    handle out;
    if (const fileError error = makeNewFile(d->path, &attributes, &newName, &out))
        return error;
    const auto fail = [&](fileError::kind step) {
        const DWORD error = ::GetLastError();
        deleteByHandle(out.h); // a full disk, or access refused: nothing is left behind
        return failedWith(step, long(error));
    };
    if (!writeAll(out.h, bytes))
        return fail(fileError::newFileNotWritten);
    if (existed) {
        if (const fileError::kind step = giveAccess(out.h, access, lost))
            return fail(step);
    }
    if (!::FlushFileBuffers(out.h))
        return fail(fileError::newFileNotFlushed);
    if (sharedFileTestHooks::beforeReplace)
        sharedFileTestHooks::beforeReplace(newName);

    // This object's own handles on the old list would stop a rename without POSIX semantics.
    ::CloseHandle(d->file);
    d->file = nullptr;
    if (origin)
        origin->reset(nullptr);
    const DWORD renameError = renameInPlace(d->folder, d->name, out.h);
    if (renameError != ERROR_SUCCESS) {
        deleteByHandle(out.h);
        // The list is as it was: the loaded file again, where it can be held.
        handle again(openItself(d->path, GENERIC_READ));
        if (origin && again.valid() && identity(again.h) == loaded && mayStayOpen(again.h))
            origin->reset(again.release());
        return failedWith(fileError::listNotRenamed, long(renameError));
    }
    // The new list is now the loaded file: the window's next Save goes on from it.
    if (origin)
        keep(origin.get(), out.h);
    unlock();
    return fileError();
}

// The store's private folders that editors killed while they loaded or saved left behind: a live
// editor holds its own open without sharing deletion, so one that can be opened for deletion has
// no live owner. Only this user's folders under the store's name are looked at, only the files
// that the store makes there are removed, and the folder then, if nothing else is in it.
static void removeDeadFolders(const QString &temporary)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const QString prefix = QLatin1String(privatePrefix);
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileExW(native(temporary + QLatin1Char('/') + prefix + QLatin1Char('*')).c_str(),
                                             FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const QString entry = QString::fromWCharArray(found.cFileName);
        if (!hasMark(entry, prefix, letters, privateTailLength))
            continue;
        const QString dead = temporary + QLatin1Char('/') + entry;
        const auto openDead = [&dead] {
            return openItself(dead, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
        };
        {
            // Its listing, below, cannot be read while a handle with the right to delete it is open.
            const handle probe(openDead());
            if (!probe.valid() || !madeByMe(probe.h, true))
                continue;
        }
        WIN32_FIND_DATAW inside;
        const HANDLE files = ::FindFirstFileExW(native(dead + QLatin1String("/transport.ini*")).c_str(),
                                                FindExInfoBasic, &inside, FindExSearchNameMatch, nullptr, 0);
        if (files != INVALID_HANDLE_VALUE) {
            do {
                const handle file(openItself(dead + QLatin1Char('/') + QString::fromWCharArray(inside.cFileName),
                                             DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES));
                if (file.valid() && madeByMe(file.h, false))
                    deleteByHandle(file.h);
            } while (::FindNextFileW(files, &inside));
            ::FindClose(files);
        }
        const handle folder(openDead());
        if (folder.valid())
            deleteByHandle(folder.h);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// In the user's temporary folder, held open without sharing deletion while this object lives;
// one that can be deleted was left by an editor that was killed, and the next one removes it.
struct privateFolder::system
{
    std::unique_ptr<QTemporaryDir> dir;
    void *held = nullptr;
};

privateFolder::privateFolder()
    : d(new system)
{
    const QString temporary = QDir::tempPath();
    removeDeadFolders(temporary);
    // Another editor's removeDeadFolders() may take an empty folder in the moment before it is
    // held: then another one.
    for (int attempt = 0; attempt < 3 && !d->held; ++attempt) {
        d->dir.reset(new QTemporaryDir(temporary + QLatin1Char('/') + QLatin1String(privatePrefix)
                                    + QLatin1String("XXXXXX")));
        if (!d->dir->isValid())
            return;
        // With an access that sharing applies to: a handle for its attributes alone would let
        // anybody open it for deletion.
        handle self(openItself(d->dir->path(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE));
        if (self.valid() && madeByMe(self.h, true))
            d->held = self.release();
    }
}

bool privateFolder::isValid() const
{
    return d->dir && d->held;
}

QString privateFolder::path() const
{
    return d->dir ? d->dir->path() : QString();
}

privateFolder::~privateFolder()
{
    // Let go before the folder removes itself.
    if (d->held)
        ::CloseHandle(d->held);
}
