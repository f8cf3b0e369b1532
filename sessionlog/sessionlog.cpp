#include "sessionlog.h"

#include "logline.h"
#include "provenance.h"
#include "stage.h"

SessionLog::SessionLog(Stage *stage, SerialLink *link, QObject *parent, Clock::Source utcClock)
    : QObject(parent), stage(stage), link(link),
      utcNow(utcClock ? std::move(utcClock) : Clock::Source(Clock::utcMs))
{
    // Reserved, the line's storage survives resize(0) and no line costs an allocation.
    line.reserve(256);
}

SessionLog::~SessionLog()
{
    stop();
}

void SessionLog::setLimits(qint64 bytes, int files)
{
    maxBytes = bytes;
    keep = files;
}

QByteArray SessionLog::preamble(bool rotated) const
{
    QByteArray out;
    const Provenance p = Provenance::of(stage ? stage->state() : PanelState());
    LogLine::appendLogStart(out, utcNow(),
                            rotated ? QStringLiteral("continued") : QStringLiteral("started"), p);
    return out;
}

bool SessionLog::start(const QString &path, QString *error)
{
    stop();
    QString reason;
    if (!file.open(
            path, maxBytes, keep, [this](bool rotated) { return preamble(rotated); }, &reason)) {
        if (error)
            *error = reason;
        return false;
    }
    // Only now does the link carry a tap: without a log, a line costs it one test of a null.
    if (link)
        link->setTap(this);
    if (stage)
        connect(stage, &Stage::panelEvent, this, &SessionLog::onEvent, Qt::UniqueConnection);
    emit started(file.path());
    return true;
}

void SessionLog::stop()
{
    if (!file.isOpen())
        return;
    if (link && link->currentTap() == this)
        link->setTap(nullptr);
    if (stage)
        disconnect(stage, &Stage::panelEvent, this, &SessionLog::onEvent);
    const QString path = file.path();
    line.resize(0);
    LogLine::appendEvent(
        line, utcNow(),
        PanelEvent{PanelEvent::Kind::Note, tr("session log stopped"), PanelEvent::Source::Panel});
    QString ignored;
    file.writeLines(line, &ignored);
    file.close();
    emit stopped(path);
}

void SessionLog::giveUp(const QString &message)
{
    const QString path = file.path();
    if (link && link->currentTap() == this)
        link->setTap(nullptr);
    if (stage)
        disconnect(stage, &Stage::panelEvent, this, &SessionLog::onEvent);
    file.close();
    emit stopped(path);
    emit failed(tr("Session log stopped: %1").arg(message));
}

void SessionLog::write()
{
    QString error;
    if (!file.writeLines(line, &error))
        giveUp(error);
}

void SessionLog::sent(const QByteArray &bytes)
{
    line.resize(0);
    LogLine::appendSent(line, utcNow(), bytes);
    write();
}

void SessionLog::received(const QByteArray &bytes)
{
    line.resize(0);
    LogLine::appendReceived(line, utcNow(), bytes);
    write();
}

void SessionLog::onEvent(const PanelEvent &event)
{
    if (!file.isOpen())
        return;
    line.resize(0);
    LogLine::appendEvent(line, utcNow(), event);
    write();
}
