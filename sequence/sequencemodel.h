#pragma once

#include "sequencestep.h"

#include <QAbstractTableModel>
#include <QHash>

// The list of steps as the sequence window's table edits it: label, target and dwell per row,
// each editable in place, with the rows a run is at or has trouble with marked.
class SequenceModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { LabelColumn, TargetColumn, DwellColumn, ColumnCount };
    enum class Mark { None, Current, Refused, TimedOut };

    explicit SequenceModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    const SequenceSteps &steps() const { return rows; }
    void setSteps(const SequenceSteps &steps);
    // Each returns the row that holds the moved or new step afterwards, or -1 if nothing changed.
    int insertStep(int row, const SequenceStep &step);
    bool removeStep(int row);
    int moveStep(int row, int by);
    int duplicateStep(int row);

    void setEditable(bool editable);
    bool isEditable() const { return editable; }
    // Marks one row with a reason shown as its tool tip; None clears the row's mark.
    void mark(int row, Mark mark, const QString &why = QString());
    void clearMarks(Mark mark);
    Mark markOf(int row) const { return marks.value(row).first; }

private:
    void rowChanged(int row);

    SequenceSteps rows;
    QHash<int, QPair<Mark, QString>> marks;
    bool editable = true;
};
