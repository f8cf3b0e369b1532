#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    MainWindow window;

    // QApplication has taken its own options; "--port PATH" is ours. Anything else is ignored.
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--port") && i + 1 < arguments.size())
            window.preselectPort(arguments.at(++i));
        else if (argument.startsWith(QLatin1String("--port=")))
            window.preselectPort(argument.mid(int(qstrlen("--port="))));
    }

    // Read from the working directory on purpose: started elsewhere, the window has no icon.
    const QIcon icon(QStringLiteral("images/Mirastellon_Icon_only@500x.png"));
    window.setWindowIcon(icon);
    window.show();
    return app.exec();
}
