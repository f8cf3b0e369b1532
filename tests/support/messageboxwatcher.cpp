#include "messageboxwatcher.h"

#include <QApplication>
#include <QMessageBox>

MessageBoxWatcher::MessageBoxWatcher(QObject *parent) : QObject(parent)
{
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, this, &MessageBoxWatcher::closeActiveBox);
    poll.start();
}

void MessageBoxWatcher::closeActiveBox()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    titles.append(box->windowTitle());
    texts.append(box->text());
    informativeTexts.append(box->informativeText());
    box->done(QMessageBox::Ok);
}
