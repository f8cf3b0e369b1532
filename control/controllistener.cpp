#include "controllistener.h"

#include "controlprotocol.h"
#include "socketpath.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Connections taken per turn of the event loop: a crowd of clients does not hold the panel.
constexpr int kAcceptsPerTurn = 16;
constexpr int kBacklog = 64;
// How often a listener out of descriptors looks whether some are free again.
constexpr int kRetryMs = 250;

QString tr(const char *text)
{
    return QCoreApplication::translate("ControlListener", text);
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool fillAddress(const QString &path, sockaddr_un *address)
{
    const QByteArray name = QFile::encodeName(path);
    if (name.size() > SocketPath::maxPathBytes())
        return false;
    *address = {};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, name.constData(), size_t(name.size()));
    return true;
}

// The process that holds the lock on fd: the system's list of locks says, at once, even before
// the holder has written its number into the file; the file's text is the fallback.
QByteArray lockHolder(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) == 0) {
        const QByteArray file = QByteArray::number(major(info.st_dev), 16).rightJustified(2, '0') +
                                ':' +
                                QByteArray::number(minor(info.st_dev), 16).rightJustified(2, '0') +
                                ':' + QByteArray::number(quint64(info.st_ino));
        QFile locks(QStringLiteral("/proc/locks"));
        if (locks.open(QIODevice::ReadOnly)) {
            // "1: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF"; waiters are marked "->".
            const QList<QByteArray> lines = locks.readAll().split('\n');
            for (const QByteArray &line : lines) {
                const QList<QByteArray> fields = line.simplified().split(' ');
                const int at = int(fields.indexOf(file));
                if (at > 0 && !fields.contains("->"))
                    return fields.at(at - 1);
            }
        }
    }
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? QByteArray(text, int(n)).trimmed() : QByteArray();
}

QString heldBy(const QString &path, const QByteArray &pid)
{
    if (pid.isEmpty())
        return tr("Another panel is already listening on %1 (it is starting up)").arg(path);
    return tr("Another panel is already listening on %1 (process %2)")
        .arg(path, QString::fromLatin1(pid));
}

} // namespace

ControlListener::ControlListener(QObject *parent) : QObject(parent), retryTimer(new QTimer(this))
{
    retryTimer->setInterval(kRetryMs);
    connect(retryTimer, &QTimer::timeout, this, &ControlListener::retry);
}

ControlListener::~ControlListener()
{
    closeAll();
}

QString ControlListener::lockPathFor(const QString &socketPath)
{
    return socketPath + QStringLiteral(".lock");
}

bool ControlListener::listen(const QString &path, QString *error)
{
    const auto fail = [this, error](const QString &message) {
        closeAll();
        if (error)
            *error = message;
        return false;
    };
    closeAll();
    const QString tooLong = SocketPath::lengthProblem(path);
    if (!tooLong.isEmpty())
        return fail(tooLong);
    QString problem;
    if (!lock(path, &problem) || !clearStaleSocket(path, &problem))
        return fail(problem);

    sockaddr_un address{};
    fillAddress(path, &address);
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd < 0)
        return fail(tr("Cannot listen on %1: %2").arg(path, errnoText(errno)));
    const QByteArray name = QFile::encodeName(path);
    if (::bind(listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return fail(tr("Cannot listen on %1: %2").arg(path, errnoText(errno)));
    socketPath = path;
    struct stat info {};
    if (::lstat(name.constData(), &info) == 0) {
        socketDevice = info.st_dev;
        socketInode = info.st_ino;
    }
    // Nobody can connect before listen(): the mode is right before anyone could try.
    if (::chmod(name.constData(), 0600) != 0 || ::listen(listenFd, kBacklog) != 0)
        return fail(tr("Cannot listen on %1: %2").arg(path, errnoText(errno)));

    spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    notifier = new QSocketNotifier(listenFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &ControlListener::acceptPending);
    starved = false;
    return true;
}

bool ControlListener::lock(const QString &socket, QString *error)
{
    const QString path = lockPathFor(socket);
    const QByteArray name = QFile::encodeName(path);
    // The last holder removes the file as it leaves: a lock taken on a file that is no longer
    // at the path is worth nothing, and is taken again on the new one.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            *error = tr("Cannot open the lock file %1: %2").arg(path, errnoText(errno));
            return false;
        }
        struct stat opened {};
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_uid != ::getuid()) {
            ::close(fd);
            *error = tr("The lock file %1 is not a file of user %2; not using it")
                         .arg(path)
                         .arg(quint64(::getuid()));
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int lockError = errno;
            if (lockError == EWOULDBLOCK)
                *error = heldBy(socket, lockHolder(fd));
            else
                *error = tr("Cannot lock %1: %2").arg(path, errnoText(lockError));
            ::close(fd);
            return false;
        }
        struct stat named {};
        if (::stat(name.constData(), &named) != 0 || named.st_dev != opened.st_dev ||
            named.st_ino != opened.st_ino) {
            ::close(fd);
            continue;
        }
        const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0) {
            *error = tr("Cannot write the lock file %1: %2").arg(path, errnoText(errno));
            ::unlink(name.constData());
            ::close(fd);
            return false;
        }
        lockFd = fd;
        lockPath = path;
        return true;
    }
    *error = tr("Cannot lock %1: it keeps being replaced").arg(path);
    return false;
}

bool ControlListener::clearStaleSocket(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(name.constData(), &info) != 0)
        return true;
    if (!S_ISSOCK(info.st_mode)) {
        *error = tr("%1 exists and is not a socket; not replacing it").arg(path);
        return false;
    }
    // A panel that holds no lock (an older one, or one whose lock file was removed) may still
    // answer there.
    sockaddr_un address{};
    fillAddress(path, &address);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        const bool live =
            ::connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ||
            errno == EAGAIN;
        ucred credentials{};
        socklen_t size = sizeof credentials;
        const bool known = live &&
                           ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
                           credentials.pid > 0;
        ::close(probe);
        if (live) {
            *error = heldBy(path, known ? QByteArray::number(qint64(credentials.pid)) : "");
            return false;
        }
    }
    // Nobody answers: a panel that died left it behind.
    if (::unlink(name.constData()) != 0 && errno != ENOENT) {
        *error = tr("Cannot remove the old socket %1: %2").arg(path, errnoText(errno));
        return false;
    }
    return true;
}

void ControlListener::acceptPending()
{
    for (int i = 0; i < kAcceptsPerTurn && listenFd >= 0; ++i) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            switch (errno) {
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
                continue;
            case EAGAIN:
                return;
            default:
                // Out of descriptors or memory: nothing can be taken until some are free.
                starve(errno);
                return;
            }
        }
        // Only the user who started the panel drives it, whatever the socket's mode.
        if (SocketPath::peerUid(fd) != qint64(::getuid())) {
            ::close(fd);
            continue;
        }
        emit accepted(fd);
    }
}

void ControlListener::starve(int error)
{
    notifier->setEnabled(false);
    retryTimer->start();
    if (!starved) {
        starved = true;
        emit acceptingChanged(
            false, tr("The control socket %1 cannot take new clients: %2; they are refused "
                      "until file descriptors are free again")
                       .arg(socketPath, errnoText(error)));
    }
    refuseWaitingClients();
}

void ControlListener::refuseWaitingClients()
{
    // The spare descriptor is given up to take one waiting client at a time, tell it, and
    // close it again; without one the clients wait in the backlog until descriptors are free.
    const QByteArray line = ControlProtocol::errorReply(
        QJsonValue(QJsonValue::Null), ControlProtocol::ErrorCode::Busy,
        tr("The panel has run out of file descriptors; try again later"));
    for (int i = 0; i < kAcceptsPerTurn && spareFd >= 0; ++i) {
        ::close(spareFd);
        spareFd = -1;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        const int acceptError = errno;
        if (fd >= 0) {
            if (SocketPath::peerUid(fd) == qint64(::getuid()))
                refuse(fd, line);
            else
                ::close(fd);
        }
        spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0 && acceptError != EINTR && acceptError != ECONNABORTED)
            break;
    }
}

void ControlListener::retry()
{
    if (listenFd < 0) {
        retryTimer->stop();
        return;
    }
    if (spareFd < 0)
        spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Free again when one more descriptor can be had besides the spare.
    const int probe = spareFd >= 0 ? ::fcntl(spareFd, F_DUPFD_CLOEXEC, 0) : -1;
    if (probe < 0) {
        refuseWaitingClients();
        return;
    }
    ::close(probe);
    retryTimer->stop();
    starved = false;
    notifier->setEnabled(true);
    emit acceptingChanged(true, QString());
}

void ControlListener::refuse(int fd, const QByteArray &line)
{
    [[maybe_unused]] const ssize_t sent =
        ::send(fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    // Requests already sent are read away: closing on unread input would make the client's
    // system report a reset instead of this line.
    char sink[4096];
    for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

void ControlListener::closeAll()
{
    retryTimer->stop();
    delete notifier;
    notifier = nullptr;
    if (listenFd >= 0) {
        ::close(listenFd);
        listenFd = -1;
        // Only the panel's own socket goes: a later panel may have replaced it meanwhile.
        const QByteArray name = QFile::encodeName(socketPath);
        struct stat info {};
        if (::lstat(name.constData(), &info) == 0 && info.st_dev == socketDevice &&
            info.st_ino == socketInode)
            ::unlink(name.constData());
    }
    if (lockFd >= 0) {
        // Removed while still held: whoever opened it meanwhile sees that it is gone.
        ::unlink(QFile::encodeName(lockPath).constData());
        ::close(lockFd);
        lockFd = -1;
    }
    if (spareFd >= 0) {
        ::close(spareFd);
        spareFd = -1;
    }
    starved = false;
    socketPath.clear();
    lockPath.clear();
}
