#include "sequencemodel.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QUndoStack>

#include <functional>

namespace {

// An edit as two ways of applying it: forwards, and back.
class Edit : public QUndoCommand {
public:
    Edit(const QString &text, std::function<void()> forwards, std::function<void()> back)
        : QUndoCommand(text), forwards(std::move(forwards)), back(std::move(back))
    {
    }
    void redo() override { forwards(); }
    void undo() override { back(); }

private:
    std::function<void()> forwards;
    std::function<void()> back;
};

// Whatever way a list comes in, its labels are ones a file can carry.
SequenceSteps withFittedLabels(SequenceSteps steps)
{
    for (SequenceStep &step : steps)
        step.label = Sequence::fittedLabel(step.label);
    return steps;
}

// A whole list in each direction is kept for a replaced table; a hundred of them is plenty.
constexpr int kUndoLimit = 100;

} // namespace

SequenceModel::SequenceModel(QObject *parent)
    : QAbstractTableModel(parent), edits(new QUndoStack(this))
{
    edits->setUndoLimit(kUndoLimit);
}

// The stack announces its clearing as it goes, to listeners that may be half destroyed already.
SequenceModel::~SequenceModel()
{
    edits->blockSignals(true);
}

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
    case Qt::ForegroundRole:
        // Dark text on the light marks, whatever the palette's text colour.
        if (marked.first != Mark::None)
            return QBrush(Qt::black);
        break;
    case Qt::FontRole:
        if (marked.first == Mark::Current) {
            QFont bold;
            bold.setBold(true);
            return bold;
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
    const int row = index.row();
    SequenceStep step = rows.at(row);
    QString what;
    switch (index.column()) {
    case LabelColumn:
        step.label = Sequence::fittedLabel(value.toString());
        what = tr("Edit label");
        break;
    case TargetColumn: {
        bool ok = true;
        double um = 0.0;
        if (value.userType() == QMetaType::QString) {
            const std::optional<double> typed = Sequence::typedNumber(value.toString());
            ok = typed.has_value();
            um = typed.value_or(0.0);
        } else {
            um = value.toDouble(&ok);
        }
        if (!ok || !Sequence::targetProblem(um).isEmpty())
            return false;
        step.targetUm = um;
        what = tr("Edit target");
        break;
    }
    case DwellColumn: {
        bool ok = true;
        const double ms = value.toDouble(&ok);
        if (!ok || !Sequence::dwellProblem(ms).isEmpty())
            return false;
        step.dwellMs = int(ms);
        what = tr("Edit dwell");
        break;
    }
    default:
        return false;
    }
    const SequenceStep before = rows.at(row);
    if (step == before)
        return true;
    edits->push(new Edit(
        what, [this, row, step] { applyStep(row, step); },
        [this, row, before] { applyStep(row, before); }));
    return true;
}

QVariant SequenceModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Vertical) {
        const bool current = marks.value(section).first == Mark::Current;
        if (role == Qt::DisplayRole)
            return current ? QStringLiteral("\u25b6 %1").arg(section + 1)
                           : QString::number(section + 1);
        if (role == Qt::FontRole && current) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        return QVariant();
    }
    if (role != Qt::DisplayRole)
        return QVariant();
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
    applySteps(withFittedLabels(steps));
    edits->clear();
}

bool SequenceModel::isModified() const
{
    return !edits->isClean();
}

bool SequenceModel::replaceSteps(const SequenceSteps &steps, const QString &what)
{
    const SequenceSteps after = withFittedLabels(steps);
    if (!editable || after.size() > Sequence::kMaxRows)
        return false;
    const SequenceSteps before = rows;
    edits->push(new Edit(
        what, [this, after] { applySteps(after); }, [this, before] { applySteps(before); }));
    return true;
}

int SequenceModel::insertStep(int row, const SequenceStep &step)
{
    if (!editable || rows.size() >= Sequence::kMaxRows)
        return -1;
    row = qBound(0, row, int(rows.size()));
    SequenceStep added = step;
    added.label = Sequence::fittedLabel(step.label);
    edits->push(new Edit(
        tr("Add row"), [this, row, added] { applyInsert(row, added); },
        [this, row] { applyRemove(row); }));
    return row;
}

bool SequenceModel::removeStep(int row)
{
    if (!editable || row < 0 || row >= rows.size())
        return false;
    const SequenceStep removed = rows.at(row);
    edits->push(new Edit(
        tr("Remove row"), [this, row] { applyRemove(row); },
        [this, row, removed] { applyInsert(row, removed); }));
    return true;
}

int SequenceModel::moveStep(int row, int by)
{
    const int to = row + by;
    if (!editable || row < 0 || row >= rows.size() || to < 0 || to >= rows.size() || by == 0)
        return -1;
    edits->push(new Edit(
        by < 0 ? tr("Move row up") : tr("Move row down"), [this, row, to] { applyMove(row, to); },
        [this, row, to] { applyMove(to, row); }));
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
    allRowsChanged();
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

void SequenceModel::applyStep(int row, const SequenceStep &step)
{
    rows[row] = step;
    if (marks.value(row).first == Mark::Refused)
        marks.remove(row);
    rowChanged(row);
}

// Marks are about rows as a run numbered them; once rows come or go, none of them holds.
void SequenceModel::applyInsert(int row, const SequenceStep &step)
{
    beginInsertRows(QModelIndex(), row, row);
    rows.insert(row, step);
    marks.clear();
    endInsertRows();
    allRowsChanged();
}

void SequenceModel::applyRemove(int row)
{
    beginRemoveRows(QModelIndex(), row, row);
    rows.removeAt(row);
    marks.clear();
    endRemoveRows();
    allRowsChanged();
}

void SequenceModel::applyMove(int from, int to)
{
    // beginMoveRows wants the row before which the moved one lands, in the old numbering.
    const int destination = to > from ? to + 1 : to;
    beginMoveRows(QModelIndex(), from, from, QModelIndex(), destination);
    rows.move(from, to);
    marks.clear();
    endMoveRows();
    allRowsChanged();
}

void SequenceModel::applySteps(const SequenceSteps &steps)
{
    beginResetModel();
    rows = steps;
    marks.clear();
    endResetModel();
}

void SequenceModel::allRowsChanged()
{
    if (rows.isEmpty())
        return;
    emit dataChanged(index(0, 0), index(int(rows.size()) - 1, ColumnCount - 1));
    emit headerDataChanged(Qt::Vertical, 0, int(rows.size()) - 1);
}

void SequenceModel::rowChanged(int row)
{
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
    emit headerDataChanged(Qt::Vertical, row, row);
}
