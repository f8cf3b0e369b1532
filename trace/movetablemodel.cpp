#include "movetablemodel.h"

#include "provenance.h"
#include "tracerecorder.h"

namespace {
QString fixed(double value, int decimals)
{
    if (!std::isfinite(value))
        return QString();
    QString text = QString::number(value, 'f', decimals);
    // A value that rounds to zero shows no sign.
    if (text.startsWith(QLatin1Char('-')) &&
        QString(text).remove(QLatin1Char('-')).remove(QLatin1Char('0')) == QLatin1String("."))
        text.remove(0, 1);
    return text;
}
QString milliseconds(const std::optional<double> &seconds)
{
    return seconds ? QString::number(*seconds * 1000.0, 'f', 0) : QString();
}
} // namespace

MoveTableModel::MoveTableModel(const TraceRecorder *recorder, QObject *parent)
    : QAbstractTableModel(parent), recorder(recorder), rows(recorder->moveCount())
{
    connect(recorder, &TraceRecorder::movesChanged, this, &MoveTableModel::movesChanged);
}

int MoveTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows;
}

int MoveTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : Columns;
}

QVariant MoveTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows)
        return {};
    if (role == Qt::TextAlignmentRole)
        return index.column() == Status ? int(Qt::AlignLeft | Qt::AlignVCenter)
                                        : int(Qt::AlignRight | Qt::AlignVCenter);
    const MoveAnalysis::Result &m = recorder->move(index.row());
    if (role == Qt::ToolTipRole && index.column() == Start) {
        const TraceSegment *segment = recorder->segment(m.segment);
        if (!segment)
            return {};
        return tr("Connection %1, %2 s after it opened, %3")
            .arg(segment->number)
            .arg(m.startS - segment->startS, 0, 'f', 3)
            .arg(isoUtc(segment->utcMsAt(m.startS)));
    }
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case Start:
        return fixed(m.startS, 3);
    case From:
        return fixed(m.fromUm, 3);
    case Target:
        return fixed(m.targetUm, 3);
    case Travel:
        return milliseconds(m.travelS);
    case Settling:
        return milliseconds(m.settlingS);
    case Overshoot:
        return fixed(m.overshootUm, 3);
    case FinalError:
        return m.finalErrorUm ? fixed(*m.finalErrorUm, 3) : QString();
    case Status:
        return MoveAnalysis::statusText(m.status);
    }
    return {};
}

QVariant MoveTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Start:
        return tr("Start [s]");
    case From:
        return tr("From [\u00b5m]");
    case Target:
        return tr("Target [\u00b5m]");
    case Travel:
        return tr("Travel [ms]");
    case Settling:
        return tr("Settling [ms]");
    case Overshoot:
        return tr("Overshoot [\u00b5m]");
    case FinalError:
        return tr("Final error [\u00b5m]");
    case Status:
        return tr("Status");
    }
    return {};
}

void MoveTableModel::movesChanged(int firstRow)
{
    const int now = recorder->moveCount();
    if (now < rows) {
        // The recording started over.
        beginResetModel();
        rows = now;
        endResetModel();
        return;
    }
    if (now > rows) {
        beginInsertRows(QModelIndex(), rows, now - 1);
        rows = now;
        endInsertRows();
    }
    if (firstRow < rows)
        emit dataChanged(index(firstRow, 0), index(rows - 1, Columns - 1));
}
