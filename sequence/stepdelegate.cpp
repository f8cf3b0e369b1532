#include "stepdelegate.h"

#include "sequencemodel.h"
#include "sequencestep.h"

#include <QLineEdit>
#include <QLocale>
#include <QSpinBox>
#include <QValidator>

namespace {

// Drops what a label cannot hold rather than refusing the whole paste.
class LabelValidator : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString &input, int &pos) const override
    {
        input = Sequence::cleanLabel(input, &pos);
        return Acceptable;
    }
    void fixup(QString &input) const override { input = Sequence::cleanLabel(input); }
};

// Acceptable once the model would take the text. Nothing typed is dropped: "0,500" with its comma
// left out would be five hundred.
class TargetValidator : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString &input, int &) const override
    {
        const std::optional<double> um = Sequence::typedNumber(input);
        if (um && Sequence::targetProblem(*um).isEmpty())
            return Acceptable;
        return Intermediate;
    }
};

} // namespace

QWidget *StepDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                                    const QModelIndex &index) const
{
    switch (index.column()) {
    case SequenceModel::LabelColumn: {
        auto *line = new QLineEdit(parent);
        line->setFrame(false);
        line->setMaxLength(Sequence::kMaxLabelLength);
        line->setValidator(new LabelValidator(line));
        return line;
    }
    case SequenceModel::TargetColumn: {
        auto *line = new QLineEdit(parent);
        line->setFrame(false);
        line->setValidator(new TargetValidator(line));
        return line;
    }
    case SequenceModel::DwellColumn: {
        auto *box = new QSpinBox(parent);
        box->setFrame(false);
        box->setRange(0, Sequence::kMaxDwellMs);
        return box;
    }
    }
    return QStyledItemDelegate::createEditor(parent, option, index);
}

void StepDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    auto *line = qobject_cast<QLineEdit *>(editor);
    if (index.column() == SequenceModel::TargetColumn && line) {
        // Every digit the value has, without an exponent: 1000000, not 1e+06.
        line->setText(QString::number(index.data(Qt::EditRole).toDouble(), 'f',
                                      QLocale::FloatingPointShortest));
        return;
    }
    QStyledItemDelegate::setEditorData(editor, index);
}
