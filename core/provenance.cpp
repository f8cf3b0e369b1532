#include "provenance.h"

#include "clock.h"

#include <QCoreApplication>
#include <QDateTime>

namespace {

QByteArray line(const QString &key, const QString &value)
{
    QString text = value.isEmpty() ? QStringLiteral("-") : value;
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return "# " + key.toUtf8() + ": " + text.toUtf8() + '\n';
}

} // namespace

QString isoUtc(qint64 utcMs)
{
    return QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC).toString(Qt::ISODateWithMs);
}

Provenance Provenance::of(const PanelState &state)
{
    Provenance p;
    const QString name = QCoreApplication::applicationName();
    const QString version = QCoreApplication::applicationVersion();
    p.program = (name.isEmpty() ? QStringLiteral("mirastellon") : name) +
                (version.isEmpty() ? QString() : QLatin1Char(' ') + version);
    p.exportedUtcMs = Clock::utcMs();
    p.port = state.chosenPort.isEmpty() ? state.port : state.chosenPort;
    p.stablePort = state.stablePort;
    p.model = state.model;
    p.firmware = state.firmware;
    p.lineSettings = state.lineSettings;
    if (state.connectedUtcMs > 0)
        p.segmentStartUtcMs = state.connectedUtcMs;
    return p;
}

QByteArray Provenance::header() const
{
    QByteArray text;
    text += line(QStringLiteral("program"), program);
    text += line(QStringLiteral("exported_utc"), isoUtc(exportedUtcMs));
    text += line(QStringLiteral("port"), port);
    text += line(QStringLiteral("stable_port"), stablePort);
    text +=
        line(QStringLiteral("model"), model.isEmpty() ? QString() : QStringLiteral("DVX") + model);
    text += line(QStringLiteral("firmware"), firmware);
    text += line(QStringLiteral("line"), lineSettings);
    text +=
        line(QStringLiteral("sampling_ms"), samplingMs ? QString::number(*samplingMs) : QString());
    text += line(QStringLiteral("tolerance_um"),
                 toleranceUm ? QString::number(*toleranceUm, 'g', 6) : QString());
    text += line(QStringLiteral("segment_start_utc"),
                 segmentStartUtcMs ? isoUtc(*segmentStartUtcMs) : QString());
    for (const auto &field : extra)
        text += line(field.first, field.second);
    return text;
}
