#include "panelclient.h"

#include "socketpath.h"

#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
constexpr int kRetryMs = 1000;
}

PanelClient::PanelClient(const QString &socketPath, EventHandler events, LinkHandler link)
    : path(socketPath), onEvent(std::move(events)), onLink(std::move(link))
{
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        wakePipe[0] = wakePipe[1] = -1;
    reader = std::thread([this] { run(); });
}

PanelClient::~PanelClient()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    stopped.notify_all();
    if (wakePipe[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
    }
    reader.join();
    closeSocket();
    for (int end : wakePipe) {
        if (end >= 0)
            ::close(end);
    }
}

bool PanelClient::isLinked() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return fd >= 0;
}

std::vector<QByteArray> PanelClient::takeLines(QByteArray &buffer, int maxLine)
{
    std::vector<QByteArray> lines;
    int start = 0;
    int end;
    while ((end = buffer.indexOf('\n', start)) != -1) {
        if (end - start <= maxLine)
            lines.push_back(buffer.mid(start, end - start));
        start = end + 1;
    }
    buffer.remove(0, start);
    if (buffer.size() > maxLine)
        buffer.clear();
    return lines;
}

bool PanelClient::openSocket()
{
    const auto fail = [this](const QString &problem) {
        std::lock_guard<std::mutex> lock(mutex);
        lastProblem = problem;
        return false;
    };
    // Nothing is sent to a socket that another local user put where the panel's should be.
    QString problem = SocketPath::lengthProblem(path);
    if (problem.isEmpty())
        problem = SocketPath::socketOwnerProblem(path);
    if (!problem.isEmpty())
        return fail(problem);
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    if (::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(s);
        return fail(QString::fromLocal8Bit(std::strerror(error)));
    }
    problem = SocketPath::peerProblem(s, path);
    if (!problem.isEmpty()) {
        ::close(s);
        return fail(problem);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        fd = s;
        ++linkNumber;
        lastProblem.clear();
    }
    // Events are what keeps the device's state current; ask for them on every new link.
    const QByteArray subscribe =
        R"({"id":0,"cmd":"subscribe","events":["position","state","console","error"]})"
        "\n";
    writeAll(subscribe);
    return true;
}

void PanelClient::closeSocket()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    // Whoever waits for a reply on the lost link hears of it now rather than at its timeout.
    for (auto &entry : pending) {
        if (!entry.second)
            entry.second = Reply{false,
                                 {},
                                 QStringLiteral("unreachable"),
                                 QStringLiteral("The panel's control socket closed")};
    }
    replied.notify_all();
}

bool PanelClient::writeAll(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (fd < 0)
        return false;
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QString PanelClient::unreachableText() const
{
    if (lastProblem.isEmpty())
        return QStringLiteral("The panel's control socket %1 cannot be reached").arg(path);
    return QStringLiteral("The panel's control socket %1 cannot be reached: %2")
        .arg(path, lastProblem);
}

PanelClient::Reply PanelClient::request(const QString &command, const QJsonObject &arguments,
                                        int timeoutMs)
{
    qint64 id;
    quint64 link;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (fd < 0)
            return {false, {}, QStringLiteral("unreachable"), unreachableText()};
        id = nextId++;
        link = linkNumber;
        pending.emplace(id, std::nullopt);
    }
    QJsonObject message = arguments;
    message.insert(QStringLiteral("id"), double(id));
    message.insert(QStringLiteral("cmd"), command);
    message.insert(QStringLiteral("deadline_ms"), timeoutMs);
    const QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
    if (!writeAll(line)) {
        std::lock_guard<std::mutex> lock(mutex);
        pending.erase(id);
        return {false,
                {},
                QStringLiteral("unreachable"),
                QStringLiteral("Writing to the panel's control socket failed")};
    }
    std::unique_lock<std::mutex> lock(mutex);
    const bool answered = replied.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                           [&] { return pending.at(id).has_value(); });
    Reply reply =
        answered ? *pending.at(id)
                 : Reply{false,
                         {},
                         QStringLiteral("timeout"),
                         QStringLiteral("The panel did not answer within %1 ms").arg(timeoutMs)};
    pending.erase(id);
    // A panel that did not answer may be stopped or stuck with the request still unread; were
    // the link kept, it would run the request when it goes on, after the caller was told it
    // failed. A dropped link takes it along; the reader makes a new one.
    if (!answered && fd >= 0 && linkNumber == link)
        ::shutdown(fd, SHUT_RDWR);
    return reply;
}

void PanelClient::handleLine(const QByteArray &line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return;
    const QJsonObject object = document.object();
    if (object.contains(QStringLiteral("event"))) {
        if (onEvent)
            onEvent(object);
        return;
    }
    const qint64 id = qint64(object.value(QStringLiteral("id")).toDouble(-1));
    Reply reply;
    reply.ok = object.value(QStringLiteral("ok")).toBool();
    reply.result = object.value(QStringLiteral("result")).toObject();
    const QJsonObject failure = object.value(QStringLiteral("error")).toObject();
    reply.code = failure.value(QStringLiteral("code")).toString();
    reply.message = failure.value(QStringLiteral("message")).toString();
    std::lock_guard<std::mutex> lock(mutex);
    auto found = pending.find(id);
    if (found == pending.end())
        return;
    found->second = reply;
    replied.notify_all();
}

void PanelClient::run()
{
    QByteArray buffer;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (stopping)
                return;
        }
        if (!isLinked()) {
            if (openSocket()) {
                buffer.clear();
                if (onLink)
                    onLink(true);
            } else {
                std::unique_lock<std::mutex> lock(mutex);
                stopped.wait_for(lock, std::chrono::milliseconds(kRetryMs),
                                 [this] { return stopping; });
                continue;
            }
        }
        int socketFd;
        {
            std::lock_guard<std::mutex> lock(mutex);
            socketFd = fd;
        }
        pollfd watched[2] = {{socketFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        const int ready = ::poll(watched, wakePipe[0] >= 0 ? 2 : 1, kRetryMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0 || !(watched[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char chunk[16384];
        const ssize_t n = ::recv(socketFd, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            closeSocket();
            if (onLink)
                onLink(false);
            continue;
        }
        buffer.append(chunk, int(n));
        for (const QByteArray &line : takeLines(buffer))
            handleLine(line);
    }
}
