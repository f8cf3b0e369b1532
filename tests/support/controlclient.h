#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTest>

// A script's end of the control socket for tests in the panel's own thread: it never blocks,
// so the panel keeps answering while the test waits for a line.
class ControlClient {
public:
    explicit ControlClient(const QString &path) { socket.connectToServer(path); }

    bool connected()
    {
        return QTest::qWaitFor([this] { return socket.state() == QLocalSocket::ConnectedState; },
                               5000);
    }

    void sendRaw(const QByteArray &bytes) { socket.write(bytes); }
    void send(const QJsonObject &request)
    {
        socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    }

    // The next line the panel sent, events included; an empty object after timeoutMs.
    QJsonObject nextLine(int timeoutMs = 5000)
    {
        if (!QTest::qWaitFor([this] { return socket.canReadLine(); }, timeoutMs))
            return {};
        return QJsonDocument::fromJson(socket.readLine()).object();
    }

    // The next reply, skipping event lines.
    QJsonObject nextReply(int timeoutMs = 5000)
    {
        for (;;) {
            const QJsonObject line = nextLine(timeoutMs);
            if (line.isEmpty() || !line.contains(QLatin1String("event")))
                return line;
        }
    }

    QJsonObject request(const QJsonObject &request, int timeoutMs = 5000)
    {
        send(request);
        return nextReply(timeoutMs);
    }

    static QString errorCode(const QJsonObject &reply)
    {
        return reply.value(QLatin1String("error"))
            .toObject()
            .value(QLatin1String("code"))
            .toString();
    }

    bool closedByPanel()
    {
        return QTest::qWaitFor([this] { return socket.state() == QLocalSocket::UnconnectedState; },
                               5000);
    }

    QLocalSocket socket;
};
