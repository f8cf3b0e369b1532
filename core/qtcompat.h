#pragma once

// The few places where Qt 5.15 and Qt 6 behave differently for the same call and the panel must
// not. Everything else in the program uses calls that mean the same under both.

#include <QByteArray>
#include <QString>

#include <cstring>

namespace QtCompat {

// Text of received or shown bytes up to the first zero byte. QString(QByteArray) stops there under
// Qt 5 but carries the zero and what follows it under Qt 6; the panel shows device text the same
// way under both.
inline QString textUpToZero(const QByteArray &bytes)
{
    const void *zero = std::memchr(bytes.constData(), 0, size_t(bytes.size()));
    const int length =
        zero ? int(static_cast<const char *>(zero) - bytes.constData()) : int(bytes.size());
    return QString::fromUtf8(bytes.constData(), length);
}

} // namespace QtCompat
