#pragma once

#include "protocol.h"
#include "serialsettings.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

class FastSampler;
class QTimer;

// Told of every reply line the link has framed and read, in the order the lines arrived.
class ReplyListener {
public:
    virtual ~ReplyListener() = default;

    // An identification line. The link speaks its dialect from now on; before is the identity
    // it had until this line (empty when none).
    virtual void identified(const Protocol::Identity &identity, const Protocol::Identity &before,
                            const QByteArray &line) = 0;
    // A position line of the current dialect and its number (not finite when the controller sent
    // something that is no number the panel can use).
    virtual void position(double valueUm, const QByteArray &line) = 0;
    // Any other line, with what it means in the current dialect.
    virtual void reply(Protocol::ReplyKind kind, const QByteArray &line) = 0;
    // The position line to show now: the last one of a read, so that a read of many lines paints
    // one frame, and during a flood at most one a frame.
    virtual void showPosition(const QByteArray &line, Protocol::Dialect dialect,
                              double valueUm) = 0;
    // Every line of a read has been handled.
    virtual void readHandled() {}
};

// Told of the traffic on the line as it passes: every command written and every reply line
// read, whether or not anything comes of it. The link holds at most one, and none unless someone
// listens, so that the receive path pays one test per line for it.
class LinkTap {
public:
    virtual ~LinkTap() = default;
    // Bytes handed to the port, as written.
    virtual void sent(const QByteArray &bytes) = 0;
    // A reply line as framed, "\r" included, before it is read.
    virtual void received(const QByteArray &line) = 0;
};

// The only code that touches the serial port: it opens and closes it, writes commands, cuts the
// received bytes into reply lines at "\r", recognises the controller's identification and reads
// each line in its dialect, polls the position every 500 ms (telling whether the controller has
// identified itself by then) and samples faster for whoever asks. No widgets.
class SerialLink : public QObject {
    Q_OBJECT

public:
    static constexpr int kPollIntervalMs = 500;
    // During a flood the shown position changes at most once a frame of a 60 Hz screen.
    static constexpr int kPositionFrameMs = 16;
    static constexpr qsizetype kFloodReadBytes = 1024;

    explicit SerialLink(QObject *parent = nullptr);
    ~SerialLink() override;

    void setListener(ReplyListener *listener) { replies = listener; }
    // Null removes the tap.
    void setTap(LinkTap *linkTap) { tap = linkTap; }
    LinkTap *currentTap() const { return tap; }

    // Opens the port read-write with the record's line parameters. On failure, error holds the
    // port's error and details the cause and its remedy, for the operator.
    bool open(const SerialSettings &settings, QString *details = nullptr);
    // Writes what is queued (a device that vanished meanwhile is reported as lost), then closes.
    // Returns the bytes the line did not take by then: they are dropped.
    qint64 close();
    bool isOpen() const;
    QString portName() const;
    QSerialPort::SerialPortError error() const;
    QString errorString() const;

    void write(const QByteArray &bytes);

    // The controller that identified itself on this link, and the dialect its replies are read in.
    Protocol::Dialect dialect() const { return replyDialect; }
    const Protocol::Identity &identity() const { return current; }
    bool identified() const { return !current.model.isEmpty() && !current.firmware.isEmpty(); }
    // Until the next identification line, replies are dropped.
    void forgetIdentity();

    // The 500 ms poll: ">cp\r", then pollTicked. Started by a successful open (by the caller)
    // and on the closed-loop page.
    void startPolling();
    void stopPolling();
    bool isPolling() const;

    // Position requests faster than the poll; see FastSampler.
    void requestSampling(const void *requester, int intervalMs);
    void setSamplingAllowed(bool allowed);
    bool isSamplingFast() const;
    int samplingIntervalMs() const;

    // Shows the position held back for the next read now.
    void flushPendingPosition();

    // Bytes as if the port had delivered them: the receive path's way in for tests and fuzzing.
    void receive(const QByteArray &bytes);
    // Received bytes not cut into a line yet.
    const QByteArray &pendingBytes() const { return rxBuffer; }

public slots:
    // Writes the poll's position request.
    void getPosition();

signals:
    // A poll tick has written its position request.
    void pollTicked();
    // The port failed for good while open (unplugged, switched off). It is closed already.
    void lost(const QString &reason);

private slots:
    void readData();

private:
    // Every write to the port goes through here.
    void send(const char *bytes, qint64 size);
    void handleError(QSerialPort::SerialPortError error);
    void frameReplies(const QByteArray &received);
    // Takes a position line's storage for the readout; any other line is left as it is.
    void handleLine(QByteArray &line);
    void showPositionOfRead(qsizetype readBytes);
    bool moreBytesWaiting() const;

    QSerialPort *port = nullptr;
    ReplyListener *replies = nullptr;
    LinkTap *tap = nullptr;
    QTimer *pollTimer = nullptr;
    FastSampler *sampler = nullptr;

    Protocol::Identity current;
    Protocol::Dialect replyDialect = Protocol::Dialect::Unidentified;

    QByteArray rxBuffer;
    // Set once a partial reply outgrew its cap: the rest of that line, up to its "\r", is noise.
    bool discardingOverlongReply = false;
    // The reply line being handled; its storage is reused from line to line.
    QByteArray replyLine;
    // Set while frameReplies runs: bytes that arrive meanwhile (a listener running an event loop
    // of its own) wait in receivedWhileFraming until the line at hand is handled.
    bool framingReplies = false;
    QByteArray receivedWhileFraming;

    // The last position line of the read being handled, not shown yet.
    bool positionPending = false;
    QByteArray pendingPositionLine;
    Protocol::Dialect pendingPositionDialect = Protocol::Dialect::Unidentified;
    double pendingPositionValue = 0.0;
    // When a position was last shown (steady ms), -1 before the first.
    qint64 positionShownMs = -1;
};
