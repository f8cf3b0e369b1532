#pragma once

// Pieces the panel's benchmark and its bare floors share: clocks, the controller's end of a
// pseudo-terminal, and the position lines written into it.

#include "procstatus.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace bench {

using Clock = std::chrono::steady_clock;

inline qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

inline double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// One "key value" line for the parent.
inline void report(const char *key, double value)
{
    std::printf("%s %.9g\n", key, value);
}

inline bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// The two reply dialects of model 1901 measured here; both move the slider.
struct Dialect {
    const char *name;
    QByteArray identification;
    QByteArray prefix;
};

inline Dialect dialectNamed(const QByteArray &name)
{
    if (name == "1.26")
        return {"1.26", "_Ver 126 DVX1901\r", "P "};
    return {"3.x", "_Ver 312 DVX1901\r", "_cp "};
}

// A position line as dvxsim writes it: three decimals, " um\r".
inline QByteArray positionLine(const Dialect &dialect, double um)
{
    return dialect.prefix + QByteArray::number(um, 'f', 3) + " um\r";
}

// The position of flood line i of n: a stage sweeping the travel in 0.1 um steps, so every line
// changes the label; the last line carries a position no other line has.
constexpr double kFloodSentinelUm = -123.0;
inline double floodPosition(int i, int lines)
{
    return i + 1 < lines ? (i % 60000) * 0.1 : kFloodSentinelUm;
}

inline QByteArray floodLines(const Dialect &dialect, int lines)
{
    QByteArray flood;
    flood.reserve(lines * 17);
    for (int i = 0; i < lines; ++i)
        flood += positionLine(dialect, floodPosition(i, lines));
    return flood;
}

// The controller's end of a pseudo-terminal, written from a thread of its own so that the
// reader's thread does nothing but its own work.
struct ControllerLine {
    int master = -1;
    int slave = -1;
    QString path;

    ControllerLine()
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            qFatal("openpty failed: %s", strerror(errno));
        termios attributes{};
        tcgetattr(slave, &attributes);
        cfmakeraw(&attributes);
        tcsetattr(slave, TCSANOW, &attributes);
        path = QString::fromLocal8Bit(name);
    }
    ~ControllerLine()
    {
        ::close(master);
        ::close(slave);
    }
    ControllerLine(const ControllerLine &) = delete;
    ControllerLine &operator=(const ControllerLine &) = delete;
};

} // namespace bench
