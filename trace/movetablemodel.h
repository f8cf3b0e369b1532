#pragma once

#include <QAbstractTableModel>

class TraceRecorder;

// The move table as the trace window shows it: one row per closed-loop move.
class MoveTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { Start, From, Target, Travel, Settling, Overshoot, FinalError, Status, Columns };

    explicit MoveTableModel(const TraceRecorder *recorder, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    void movesChanged(int firstRow);

    const TraceRecorder *recorder;
    int rows = 0;
};
