#pragma once

#include "clock.h"
#include "rotatingfile.h"
#include "seriallink.h"

#include <QObject>
#include <QPointer>

class Stage;
struct PanelEvent;

// The session log, kept only when asked for: every command the link sends, every reply line it
// reads and every event of the panel, one JSON line each with its UTC time, in the order they
// happened. Each line reaches the system as it is written; the file rotates at a size limit.
// When the file cannot be written (a full disk, a file that became unwritable) the log says so
// once and stops; the panel goes on.
class SessionLog : public QObject, private LinkTap {
    Q_OBJECT

public:
    // utcClock gives ms since the epoch; tests pass one they can set.
    SessionLog(Stage *stage, SerialLink *link, QObject *parent = nullptr,
               Clock::Source utcClock = {});
    ~SessionLog() override;

    // Starts logging to path (continuing a file that is there), or to a new path when already
    // logging. On failure nothing is logged and error says why.
    bool start(const QString &path, QString *error);
    void stop();
    bool isActive() const { return file.isOpen(); }
    QString path() const { return file.path(); }
    void setLimits(qint64 maxBytes, int keep);

signals:
    void started(const QString &path);
    void stopped(const QString &path);
    // Writing failed and logging has stopped: message names the file and the reason.
    void failed(const QString &message);

private:
    // LinkTap.
    void sent(const QByteArray &bytes) override;
    void received(const QByteArray &line) override;
    void onEvent(const PanelEvent &event);
    QByteArray preamble(bool rotated) const;
    void write();
    // Stops and tells why; the stop itself is told too.
    void giveUp(const QString &message);

    QPointer<Stage> stage;
    QPointer<SerialLink> link;
    Clock::Source utcNow;
    RotatingFile file;
    qint64 maxBytes = RotatingFile::kDefaultMaxBytes;
    int keep = RotatingFile::kDefaultKeep;
    // The line being written; its storage is reused from line to line.
    QByteArray line;
};
