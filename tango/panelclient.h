#pragma once

#include <QJsonObject>
#include <QString>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

// A client of the panel's control socket that a non-Qt program (the Tango device server) can use
// from any thread: requests block until their reply or a timeout, events arrive on a reader thread
// of its own. It reconnects by itself when the panel goes away and comes back.
class PanelClient {
public:
    struct Reply {
        bool ok = false;
        QJsonObject result;
        // For a refusal, the panel's error code ("unavailable", "busy", ...); "unreachable" when
        // the panel could not be asked at all, "timeout" when it did not answer in time.
        QString code;
        QString message;
    };
    using EventHandler = std::function<void(const QJsonObject &event)>;
    // Told whenever the socket connects (true) or is lost (false).
    using LinkHandler = std::function<void(bool up)>;

    PanelClient(const QString &socketPath, EventHandler onEvent, LinkHandler onLink);
    ~PanelClient();
    PanelClient(const PanelClient &) = delete;
    PanelClient &operator=(const PanelClient &) = delete;

    // Waits timeoutMs for the reply; the request carries the same "deadline_ms", so that the
    // panel never starts it after this has given up. On a time-out the link is dropped and made
    // again: whatever the panel had not started of it then never runs.
    Reply request(const QString &command, const QJsonObject &arguments = {}, int timeoutMs = 3000);
    bool isLinked() const;

    // Splits received bytes into complete lines, keeping the rest; a line over maxLine bytes is
    // cut off and dropped (the panel never sends one). Pure, for the tests and the fuzzer.
    static std::vector<QByteArray> takeLines(QByteArray &buffer, int maxLine = 1 << 20);

private:
    void run();
    bool openSocket();
    void closeSocket();
    void handleLine(const QByteArray &line);
    bool writeAll(const QByteArray &bytes);
    QString unreachableText() const;

    const QString path;
    EventHandler onEvent;
    LinkHandler onLink;

    mutable std::mutex mutex;
    std::condition_variable replied;
    std::condition_variable stopped;
    int fd = -1;
    int wakePipe[2] = {-1, -1};
    bool stopping = false;
    qint64 nextId = 1;
    // Counts the links made, so a time-out drops only the link its request went out on.
    quint64 linkNumber = 0;
    // Why the last attempt to reach the panel failed, for the next refusal.
    QString lastProblem;
    std::map<qint64, std::optional<Reply>> pending;
    std::thread reader;
};
