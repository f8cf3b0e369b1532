#include "portdiagnosis.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <QElapsedTimer>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace PortDiagnosis {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("PortDiagnosis", text);
}

// The scan of /proc stops after this many descriptors or this long: it runs on the GUI thread,
// once per failure, and no machine is worth a frozen window.
constexpr int kMaxDescriptorsScanned = 200000;
constexpr qint64 kScanBudgetMs = 40;

QString processName(qint64 pid)
{
    // The program's file name in full; comm cuts it at 15 characters.
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (commandLine.open(QIODevice::ReadOnly)) {
        const QByteArray program = commandLine.read(4096).split('\0').value(0);
        const QString name = QFileInfo(QString::fromLocal8Bit(program)).fileName();
        if (!name.isEmpty())
            return name;
    }
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.read(256)).trimmed();
}

QString describeProcess(qint64 pid)
{
    const QString name = processName(pid);
    return name.isEmpty() ? tr("process %1").arg(pid) : tr("%1 (process %2)").arg(name).arg(pid);
}

// The owner of the lock file serial programs (this one included) leave in the lock directory.
qint64 lockOwner(const QString &location)
{
    QString name = location;
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString file = QStringLiteral("LCK..") + name;
    const QStringList directories = {QStringLiteral("/var/lock"),
                                     QStringLiteral("/run/lock"),
                                     QStringLiteral("/etc/locks"),
                                     QStringLiteral("/var/spool/locks"),
                                     QStringLiteral("/var/spool/uucp"),
                                     QStringLiteral("/tmp"),
                                     QDir::tempPath()};
    for (const QString &directory : directories) {
        QFile lock(directory + QLatin1Char('/') + file);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        // Either a binary or a text pid, as the two lock conventions write it.
        const QByteArray content = lock.read(64);
        bool ok = false;
        const qint64 pid = content.trimmed().split('\n').value(0).trimmed().toLongLong(&ok);
        if (ok && pid > 0 && pid != getpid() && (::kill(pid_t(pid), 0) == 0 || errno == EPERM))
            return pid;
    }
    return 0;
}

QString userName()
{
    // Root has no group to join; the command is then written for whoever will run it.
    if (getuid() != 0) {
        if (const passwd *entry = getpwuid(getuid()))
            return QString::fromLocal8Bit(entry->pw_name);
    }
    return QStringLiteral("$USER");
}

QString permissionText(const QString &port, const QString &location)
{
    QString groupName = QStringLiteral("dialout");
    struct stat info {};
    // A device whose group may read and write it names the group to join (uucp on some
    // systems); otherwise the usual one.
    if (::stat(QFile::encodeName(location).constData(), &info) == 0 &&
        (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && info.st_gid != 0) {
        if (const struct group *entry = getgrgid(info.st_gid))
            groupName = QString::fromLocal8Bit(entry->gr_name);
    }
    return tr("%1: permission denied.\nAdd your user to the %2 group, then log in again:\n"
              "    sudo usermod -aG %2 %3")
        .arg(port, groupName, userName());
}

QString notSerialText(const QString &port)
{
    return tr("%1 is not a serial device. Choose the controller's port under Configure "
              "(usually /dev/ttyUSB0, /dev/ttyACM0 or a link in /dev/serial/by-id).")
        .arg(port);
}

QString inUseText(const QString &port, const QStringList &programs)
{
    if (programs.isEmpty())
        return tr("%1 is in use by another program, which the system does not name (try "
                  "\"fuser -v %1\"). Close that program, then Connect again.")
            .arg(port);
    return tr("%1 is in use by another program: %2. Close it, then Connect again.")
        .arg(port, programs.join(QStringLiteral(", ")));
}

QString missingText(const QString &port, const QString &location)
{
    const QFileInfo link(location);
    if (link.isSymLink())
        return tr("%1 does not exist: the link points to %2, which is gone. Check that the "
                  "controller is plugged in and switched on.")
            .arg(port, link.symLinkTarget());
    return tr("%1 does not exist. Check that the controller is plugged in and switched on, and "
              "choose its port under Configure.")
        .arg(port);
}

} // namespace

QString systemLocation(const QString &portName)
{
    if (portName.startsWith(QLatin1Char('/')) || portName.startsWith(QLatin1String("./")) ||
        portName.startsWith(QLatin1String("../")))
        return portName;
    return QStringLiteral("/dev/") + portName;
}

QStringList holders(const QString &location)
{
    QStringList found;
    const qint64 locker = lockOwner(location);
    if (locker != 0)
        found.append(describeProcess(locker));

    const QByteArray target = QFile::encodeName(QFileInfo(location).canonicalFilePath());
    if (target.isEmpty())
        return found;
    // Plain directory reads: this runs on the GUI thread, and a busy machine has thousands of
    // descriptors. What the budget leaves unscanned stays unnamed.
    QElapsedTimer budget;
    budget.start();
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return found;
    const pid_t self = getpid();
    int scanned = 0;
    while (const dirent *process = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self || pid == locker)
            continue;
        if (budget.elapsed() > kScanBudgetMs)
            break;
        char fdPath[64];
        std::snprintf(fdPath, sizeof fdPath, "/proc/%ld/fd", pid);
        DIR *descriptors = ::opendir(fdPath);
        if (!descriptors)
            continue;
        bool holds = false;
        while (const dirent *descriptor = ::readdir(descriptors)) {
            if (++scanned > kMaxDescriptorsScanned)
                break;
            char link[PATH_MAX];
            const ssize_t length =
                ::readlinkat(::dirfd(descriptors), descriptor->d_name, link, sizeof link);
            if (length == target.size() && std::memcmp(link, target.constData(), length) == 0) {
                holds = true;
                break;
            }
        }
        ::closedir(descriptors);
        if (holds)
            found.append(describeProcess(pid));
    }
    ::closedir(proc);
    return found;
}

Finding openFailure(const QString &portName, QSerialPort::SerialPortError error,
                    const QString &errorString)
{
    if (portName.isEmpty())
        return {Cause::NoPortChosen,
                tr("No serial port is chosen: none was found when the panel started. Plug in "
                   "the controller, start the panel again and choose its port under "
                   "Configure.")};
    const QString location = systemLocation(portName);
    const QString &port = location;
    const QByteArray path = QFile::encodeName(location);

    struct stat info {};
    if (::stat(path.constData(), &info) != 0) {
        if (errno == EACCES)
            return {Cause::PermissionDenied, permissionText(port, location)};
        return {Cause::NoSuchFile, missingText(port, location)};
    }
    if (!S_ISCHR(info.st_mode))
        return {Cause::NotSerial, notSerialText(port)};

    // Opened as the serial port opens it, and closed at once: the kernel's own answer.
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int reason = errno;
        if (reason == EACCES || reason == EPERM)
            return {Cause::PermissionDenied, permissionText(port, location)};
        if (reason == EBUSY)
            return {Cause::InUse, inUseText(port, holders(location))};
        if (reason == ENOENT || reason == ENXIO || reason == ENODEV)
            return {Cause::NoSuchFile,
                    tr("%1 exists, but no device answers behind it. Check that the controller "
                       "is plugged in and switched on.")
                        .arg(port)};
        return {Cause::Other, tr("Cannot open %1: %2").arg(port, errorString)};
    }
    termios settings{};
    const bool terminal = ::tcgetattr(fd, &settings) == 0;
    ::close(fd);
    if (!terminal)
        return {Cause::NotSerial, notSerialText(port)};

    const QStringList programs = holders(location);
    if (error == QSerialPort::PermissionError || !programs.isEmpty())
        return {Cause::InUse, inUseText(port, programs)};
    return {Cause::Other, tr("Cannot open %1: %2").arg(port, errorString)};
}

Finding noAnswer(const QString &portName, int waitedMs)
{
    const QString location = systemLocation(portName);
    const QString &port = location;
    const int fd =
        ::open(QFile::encodeName(location).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        termios settings{};
        const bool terminal = ::tcgetattr(fd, &settings) == 0;
        ::close(fd);
        if (!terminal)
            return {Cause::NotSerial, notSerialText(port)};
    }
    return {Cause::NoAnswer,
            tr("%1 opened, but nothing answered \">inform\" within %2 s. Check that the "
               "controller is switched on and that this is its port; a different device or a "
               "wrong cable answers nothing the panel understands.")
                .arg(port)
                .arg(waitedMs / 1000.0)};
}

Finding lost(const QString &portName)
{
    const QString location = systemLocation(portName);
    QString text = tr("%1 was removed or stopped answering.").arg(location);
    if (!QFileInfo::exists(location))
        text += QLatin1Char(' ') + tr("The device file is gone: the adapter was unplugged or "
                                      "the controller switched off.");
    text += QLatin1Char(' ') + tr("Check the cable and the controller's power, then Connect "
                                  "again.");
    return {Cause::Removed, text};
}

} // namespace PortDiagnosis
