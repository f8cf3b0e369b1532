#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The controller's end of a pseudo-terminal: the panel opens portPath() with a real QSerialPort,
// the test reads what it wrote and answers as the stage controller would.
class FakeController : public QObject {
    Q_OBJECT

public:
    FakeController();
    ~FakeController() override;

    QString portPath() const { return slavePath; }
    bool isOpen() const { return masterFd >= 0; }

    // Queues bytes for the panel; they leave as fast as the line takes them.
    void send(const QByteArray &bytes);
    // Everything the panel wrote so far, and the same with the record emptied.
    QByteArray received() const { return receivedBytes; }
    QByteArray takeReceived();
    void clearReceived() { receivedBytes.clear(); }
    // Runs the event loop until the panel has written needle (counted from the last clear).
    bool waitForReceived(const QByteArray &needle, int timeoutMs = 3000);
    // Stops and resumes reading, as a controller that falls behind does: the line fills up.
    void setReading(bool on);
    // Closes the controller's end, as an unplugged adapter does.
    void hangUp();

signals:
    void bytesReceived();

private:
    void readMaster();
    void flushPending();

    int masterFd = -1;
    int slaveFd = -1;
    QString slavePath;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QByteArray receivedBytes;
    QByteArray pending;
};
