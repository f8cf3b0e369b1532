#pragma once

#include "sequencestep.h"

#include <QAbstractTableModel>
#include <QHash>

class QUndoStack;

// The list of steps as the sequence window's table edits it: label, target and dwell per row,
// each editable in place, with the rows a run is at or has trouble with marked. Every edit goes
// on an undo stack; the stack's clean state is the list as last opened or saved.
class SequenceModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { LabelColumn, TargetColumn, DwellColumn, ColumnCount };
    enum class Mark { None, Current, Refused, TimedOut };

    explicit SequenceModel(QObject *parent = nullptr);
    ~SequenceModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    const SequenceSteps &steps() const { return rows; }
    // A list to start from: the history of edits begins again, with nothing to undo.
    void setSteps(const SequenceSteps &steps);
    // The operator's edits, each undoable. Each returns the row that holds the moved or new step
    // afterwards, or -1 (false) if nothing changed.
    bool replaceSteps(const SequenceSteps &steps, const QString &what);
    int insertStep(int row, const SequenceStep &step);
    bool removeStep(int row);
    int moveStep(int row, int by);
    int duplicateStep(int row);
    QUndoStack *history() const { return edits; }
    // The list differs from the one last opened, saved or started from.
    bool isModified() const;

    // While a run has the list, nothing changes it.
    void setEditable(bool editable);
    // Marks one row with a reason shown as its tool tip; None clears the row's mark.
    void mark(int row, Mark mark, const QString &why = QString());
    void clearMarks(Mark mark);
    Mark markOf(int row) const { return marks.value(row).first; }

private:
    void applyStep(int row, const SequenceStep &step);
    void applyInsert(int row, const SequenceStep &step);
    void applyRemove(int row);
    void applyMove(int from, int to);
    void applySteps(const SequenceSteps &steps);
    void allRowsChanged();
    void rowChanged(int row);

    SequenceSteps rows;
    QHash<int, QPair<Mark, QString>> marks;
    QUndoStack *edits = nullptr;
    bool editable = true;
};
