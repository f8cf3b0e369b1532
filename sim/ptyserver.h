#pragma once

#include "commandparser.h"
#include "outputshaper.h"
#include "stagecontroller.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace dvxsim {

// Puts a StageController behind the master side of a pseudo-terminal, so the panel can open the
// slave side as its serial port.
class PtyServer : public QObject {
    Q_OBJECT

public:
    struct Options {
        StageConfig stage;
        double garbageRate = 0.0;
        bool noCarriageReturns = false;
        bool flood = false;
        quint32 seed = 1;
    };

    // What the serial line carries at 115200 baud with 8N1 framing.
    static constexpr double kLineBytesPerSecond = 11520.0;
    // Bytes that may leave at once after a quiet spell.
    static constexpr double kBurstBytes = 1024.0;
    // Replies that would make the queue longer than this are dropped.
    static constexpr int kMaxQueuedBytes = 64 * 1024;
    // A command left open this long (a move without "\r") is complete.
    static constexpr int kIdleFlushMs = 50;
    static constexpr int kTickMs = 10;

    explicit PtyServer(const Options &options, QObject *parent = nullptr);
    ~PtyServer() override;

    bool open(QString *error);
    QString slavePath() const { return path; }
    // Replies lost because the panel did not read them and the queue was full.
    qint64 dropped() const { return droppedBytes; }
    // Closes both ends held here, as an unplugged adapter takes its device away.
    void hangUp();

signals:
    void failed(const QString &message);

private slots:
    void readCommands();
    void writeReady();
    void tick();
    void idleFlush();

private:
    void queueReplies(const QList<QByteArray> &lines);
    void queue(const QByteArray &line);
    void pump();
    qint64 now() const { return clock.elapsed(); }

    Options opts;
    StageController controller;
    CommandParser parser;
    OutputShaper shaper;
    QElapsedTimer clock;
    int masterFd = -1;
    int slaveFd = -1;
    QString path;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QTimer tickTimer;
    QTimer idleTimer;
    QByteArray outQueue;
    double budget = kBurstBytes;
    qint64 lastRefillMs = 0;
    qint64 droppedBytes = 0;
};

} // namespace dvxsim
