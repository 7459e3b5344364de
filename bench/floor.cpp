// The start-up floor: the least a Qt Widgets program does to show a window, an empty QDialog.
#include <QApplication>
#include <QDialog>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.show();
    return QApplication::exec();
}
