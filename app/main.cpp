// Entry point of the redirection editor: one application object, one settings window.
#include "settingsdialog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(true);

    // Declared after the application object, so the window is destroyed first.
    settingsDialog window;
    window.show();
    return QApplication::exec();
}
