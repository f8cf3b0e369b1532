#pragma once

#include <QStyledItemDelegate>

// The editors of the sequence table. A label takes only what a sequence file can hold, as it is
// typed or pasted, so every list that can be saved can be opened again. A target is text read
// as the model reads it: "." or the operator's decimal point, never a group separator, every
// digit kept (a spin box would round it to its decimals). A dwell is held to its limits.
class StepDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
};
