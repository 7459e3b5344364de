// Entry point of the redirection editor: one application object, one settings window.
#include "settingsdialog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 always scales with the screen; Qt 5 only when asked, before the application exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
#endif
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(true);

    // Declared after the application object, so the window is destroyed first.
    settingsDialog window;
    window.show();
    return QApplication::exec();
}
