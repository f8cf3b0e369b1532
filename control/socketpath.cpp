#include "socketpath.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace SocketPath {

namespace {

const char kSocketName[] = "mirastellon.sock";

// The session's runtime folder, when the variable names one; a relative value is no folder
// (the base directory rules say to ignore it).
QString runtimeFolder()
{
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (runtime.isEmpty() || !QDir::isAbsolutePath(runtime))
        return {};
    return QDir::cleanPath(runtime);
}

QString modeText(mode_t mode)
{
    return QStringLiteral("%1").arg(uint(mode & 07777), 4, 8, QLatin1Char('0'));
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The session's runtime folder is made by the login manager; any mode that keeps other users
// out will do, and a link to such a folder is accepted.
QString runtimeFolderProblem(const QString &folder, uid_t uid)
{
    struct stat info {};
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0)
        return QStringLiteral("XDG_RUNTIME_DIR %1 cannot be used: %2")
            .arg(folder, errnoText(errno));
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("XDG_RUNTIME_DIR %1 is not a folder").arg(folder);
    if (info.st_uid != uid)
        return QStringLiteral("XDG_RUNTIME_DIR %1 belongs to user %2, not to user %3")
            .arg(folder)
            .arg(quint64(info.st_uid))
            .arg(quint64(uid));
    if (info.st_mode & 077)
        return QStringLiteral("XDG_RUNTIME_DIR %1 has mode %2: other users can reach into it")
            .arg(folder, modeText(info.st_mode));
    return {};
}

} // namespace

QString defaultFolder()
{
    const QString runtime = runtimeFolder();
    if (!runtime.isEmpty())
        return runtime;
    return QDir(QDir::tempPath())
        .filePath(QStringLiteral("mirastellon-%1").arg(quint64(::getuid())));
}

QString defaultPath()
{
    return QDir(defaultFolder()).filePath(QLatin1String(kSocketName));
}

QString privateFolderProblem(const QString &folder, uid_t uid)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0)
        return QStringLiteral("%1 cannot be used: %2").arg(folder, errnoText(errno));
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("%1 is a symbolic link, not a folder; not using it").arg(folder);
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("%1 is not a folder; not using it").arg(folder);
    if (info.st_uid != uid)
        return QStringLiteral("%1 belongs to user %2, not to user %3; not using it")
            .arg(folder)
            .arg(quint64(info.st_uid))
            .arg(quint64(uid));
    if ((info.st_mode & 07777) != 0700)
        return QStringLiteral("%1 has mode %2, not 0700; not using it")
            .arg(folder, modeText(info.st_mode));
    return {};
}

QString prepareDefaultFolder(FolderAction action)
{
    const uid_t uid = ::getuid();
    const QString runtime = runtimeFolder();
    if (!runtime.isEmpty())
        return runtimeFolderProblem(runtime, uid);
    const QString folder = defaultFolder();
    const QByteArray name = QFile::encodeName(folder);
    if (action == FolderAction::Create) {
        if (::mkdir(name.constData(), 0700) == 0) {
            // The umask may have taken more than group and others; the folder is ours now,
            // and in a sticky temporary folder nobody else can swap it.
            ::chmod(name.constData(), 0700);
        } else if (errno != EEXIST) {
            return QStringLiteral("Cannot make the folder %1: %2").arg(folder, errnoText(errno));
        }
    } else {
        struct stat info {};
        if (::lstat(name.constData(), &info) != 0 && errno == ENOENT)
            return {};
    }
    // Made just now or found: either way it is checked, since another user may have made it
    // first.
    return privateFolderProblem(folder, uid);
}

int maxPathBytes()
{
    return int(sizeof(sockaddr_un::sun_path)) - 1;
}

QString lengthProblem(const QString &path)
{
    const int length = int(QFile::encodeName(path).size());
    if (length <= maxPathBytes())
        return {};
    return QStringLiteral("The socket path %1 is too long: %2 bytes, and the system allows at "
                          "most %3")
        .arg(path)
        .arg(length)
        .arg(maxPathBytes());
}

QString socketOwnerProblem(const QString &path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    if (!S_ISSOCK(info.st_mode))
        return QStringLiteral("%1 is not a socket; not talking to it").arg(path);
    if (info.st_uid != ::getuid())
        return QStringLiteral("%1 belongs to user %2, not to user %3; not talking to it")
            .arg(path)
            .arg(quint64(info.st_uid))
            .arg(quint64(::getuid()));
    return {};
}

qint64 peerUid(int fd)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials)
        return -1;
    return qint64(credentials.uid);
}

QString peerProblem(int fd, const QString &path)
{
    const qint64 uid = peerUid(fd);
    if (uid == qint64(::getuid()))
        return {};
    if (uid < 0)
        return QStringLiteral("Cannot tell who listens on %1: %2").arg(path, errnoText(errno));
    return QStringLiteral("%1 is served by a process of user %2, not of user %3; not talking to it")
        .arg(path)
        .arg(uid)
        .arg(quint64(::getuid()));
}

} // namespace SocketPath
