#include "about.h"

#include "mirastellon_version.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QtGlobal>

QString aboutText()
{
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("MainWindow", text);
    };
    return QStringLiteral("<h3>Mirastellon %1</h3>"
                          "<p>%2</p>"
                          "<p>%3</p>"
                          "<p>Copyright &copy; %4 Mirastellon developers</p>"
                          "<p>%5</p>"
                          "<p>%6</p>")
        .arg(QStringLiteral(MIRASTELLON_VERSION),
             tr("Control panel for a single-axis linear positioning stage."),
             tr("Built with Qt %1, running on Qt %2.")
                 .arg(QStringLiteral(QT_VERSION_STR), QString::fromLatin1(qVersion())),
             QStringLiteral(MIRASTELLON_COPYRIGHT_YEARS),
             tr("This program is free software: you can redistribute it and/or modify it under "
                "the terms of the GNU General Public License as published by the Free Software "
                "Foundation, either version 3 of the License, or (at your option) any later "
                "version."),
             tr("It is distributed in the hope that it will be useful, but WITHOUT ANY WARRANTY; "
                "without even the implied warranty of MERCHANTABILITY or FITNESS FOR A PARTICULAR "
                "PURPOSE. See the GNU General Public License for more details: "
                "<a href=\"https://www.gnu.org/licenses/gpl-3.0.html\">"
                "https://www.gnu.org/licenses/gpl-3.0.html</a>."));
}

void showAboutBox(QWidget *parent)
{
    QMessageBox::about(parent, QCoreApplication::translate("MainWindow", "About Mirastellon"),
                       aboutText());
}
