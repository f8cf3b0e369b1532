#pragma once

#include <QByteArray>
#include <QFile>

#include <sys/resource.h>

// A field of /proc/self/status in KiB, such as "VmRSS" or "VmHWM"; -1 when it cannot be read.
inline qint64 statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// CPU time of the whole process so far, user and system, in seconds.
inline double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Microseconds during which some runnable task waited for a CPU, since boot (Linux PSI); -1
// without PSI.
inline qint64 cpuPressureUs()
{
    QFile file(QStringLiteral("/proc/pressure/cpu"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray some = file.readLine();
    const int at = some.indexOf("total=");
    return at < 0 ? -1 : some.mid(at + 6).trimmed().toLongLong();
}
