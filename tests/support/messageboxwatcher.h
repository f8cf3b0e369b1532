#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

// Closes every modal message box that opens while it lives, recording title and text, so tests
// can drive code paths that ask the operator to acknowledge an error.
class MessageBoxWatcher : public QObject {
    Q_OBJECT

public:
    explicit MessageBoxWatcher(QObject *parent = nullptr);

    int count() const { return titles.size(); }
    QStringList titles;
    QStringList texts;
    QStringList informativeTexts;

private:
    void closeActiveBox();
    QTimer poll;
};
