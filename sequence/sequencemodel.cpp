#include "sequencemodel.h"

#include <QBrush>
#include <QColor>

#include <cmath>

namespace {

QString typedLabel(const QString &text)
{
    QString label = Sequence::cleanLabel(text);
    if (label.size() > Sequence::kMaxLabelLength) {
        int length = Sequence::kMaxLabelLength;
        if (label.at(length - 1).isHighSurrogate())
            --length; // not half a character
        label.truncate(length);
    }
    return label;
}

// Whatever way a list comes in, its labels are ones a file can carry.
SequenceSteps withCleanLabels(SequenceSteps steps)
{
    for (SequenceStep &step : steps)
        step.label = Sequence::cleanLabel(step.label);
    return steps;
}

} // namespace

SequenceModel::SequenceModel(QObject *parent) : QAbstractTableModel(parent) {}

int SequenceModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

int SequenceModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant SequenceModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return QVariant();
    const SequenceStep &step = rows.at(index.row());
    const auto marked = marks.value(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (index.column()) {
        case LabelColumn:
            return step.label;
        case TargetColumn:
            return role == Qt::EditRole ? QVariant(step.targetUm)
                                        : QVariant(QString::number(step.targetUm, 'g', 10));
        case DwellColumn:
            return step.dwellMs;
        }
        break;
    case Qt::TextAlignmentRole:
        if (index.column() != LabelColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        break;
    case Qt::BackgroundRole:
        switch (marked.first) {
        case Mark::Current:
            return QBrush(QColor(0xb8, 0xe0, 0xb8));
        case Mark::Refused:
            return QBrush(QColor(0xf4, 0xb0, 0xb0));
        case Mark::TimedOut:
            return QBrush(QColor(0xf8, 0xd8, 0x90));
        case Mark::None:
            break;
        }
        break;
    case Qt::ToolTipRole:
        if (!marked.second.isEmpty())
            return marked.second;
        break;
    }
    return QVariant();
}

bool SequenceModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!editable || role != Qt::EditRole || !index.isValid() || index.row() >= rows.size())
        return false;
    SequenceStep &step = rows[index.row()];
    bool ok = true;
    switch (index.column()) {
    case LabelColumn:
        step.label = typedLabel(value.toString());
        break;
    case TargetColumn: {
        double um = 0.0;
        if (value.userType() == QMetaType::QString) {
            const std::optional<double> typed = Sequence::typedNumber(value.toString());
            ok = typed.has_value();
            um = typed.value_or(0.0);
        } else {
            um = value.toDouble(&ok);
        }
        if (!ok || !std::isfinite(um) || std::abs(um) > Sequence::kMaxAbsTargetUm)
            return false;
        step.targetUm = um;
        break;
    }
    case DwellColumn: {
        const int ms = value.toInt(&ok);
        if (!ok || ms < 0 || ms > Sequence::kMaxDwellMs)
            return false;
        step.dwellMs = ms;
        break;
    }
    default:
        return false;
    }
    if (marks.value(index.row()).first == Mark::Refused)
        marks.remove(index.row());
    rowChanged(index.row());
    return true;
}

QVariant SequenceModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Vertical)
        return section + 1;
    switch (section) {
    case LabelColumn:
        return tr("Label");
    case TargetColumn:
        return tr("Target [\u00b5m]");
    case DwellColumn:
        return tr("Dwell [ms]");
    }
    return QVariant();
}

Qt::ItemFlags SequenceModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (editable && index.isValid())
        f |= Qt::ItemIsEditable;
    return f;
}

void SequenceModel::setSteps(const SequenceSteps &steps)
{
    beginResetModel();
    rows = withCleanLabels(steps);
    marks.clear();
    endResetModel();
}

int SequenceModel::insertStep(int row, const SequenceStep &step)
{
    if (!editable || rows.size() >= Sequence::kMaxRows)
        return -1;
    row = qBound(0, row, int(rows.size()));
    beginInsertRows(QModelIndex(), row, row);
    SequenceStep added = step;
    added.label = Sequence::cleanLabel(step.label);
    rows.insert(row, added);
    marks.clear();
    endInsertRows();
    emit dataChanged(index(0, 0), index(int(rows.size()) - 1, ColumnCount - 1));
    return row;
}

bool SequenceModel::removeStep(int row)
{
    if (!editable || row < 0 || row >= rows.size())
        return false;
    beginRemoveRows(QModelIndex(), row, row);
    rows.removeAt(row);
    marks.clear();
    endRemoveRows();
    if (!rows.isEmpty())
        emit dataChanged(index(0, 0), index(int(rows.size()) - 1, ColumnCount - 1));
    return true;
}

int SequenceModel::moveStep(int row, int by)
{
    const int to = row + by;
    if (!editable || row < 0 || row >= rows.size() || to < 0 || to >= rows.size() || by == 0)
        return -1;
    // beginMoveRows wants the row before which the moved one lands, in the old numbering.
    const int destination = by > 0 ? to + 1 : to;
    beginMoveRows(QModelIndex(), row, row, QModelIndex(), destination);
    rows.move(row, to);
    marks.clear();
    endMoveRows();
    return to;
}

int SequenceModel::duplicateStep(int row)
{
    if (row < 0 || row >= rows.size())
        return -1;
    return insertStep(row + 1, rows.at(row));
}

void SequenceModel::setEditable(bool on)
{
    if (editable == on)
        return;
    editable = on;
    if (!rows.isEmpty())
        emit dataChanged(index(0, 0), index(int(rows.size()) - 1, ColumnCount - 1));
}

void SequenceModel::mark(int row, Mark m, const QString &why)
{
    if (row < 0 || row >= rows.size())
        return;
    if (m == Mark::None)
        marks.remove(row);
    else
        marks.insert(row, qMakePair(m, why));
    rowChanged(row);
}

void SequenceModel::clearMarks(Mark m)
{
    const QList<int> marked = marks.keys();
    for (int row : marked) {
        if (marks.value(row).first == m) {
            marks.remove(row);
            rowChanged(row);
        }
    }
}

void SequenceModel::rowChanged(int row)
{
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}
