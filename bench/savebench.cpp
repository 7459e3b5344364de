// Times one Save of the table that the editor loaded from transport.ini next to this program,
// driven through the Save button as a user would. Prints the milliseconds on standard output.
#include "settingsdialog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTreeWidget>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    settingsDialog window;
    window.show();
    QApplication::processEvents();

    auto *save = window.findChild<QPushButton *>(QStringLiteral("closeButton"));
    auto *tree = window.findChild<QTreeWidget *>(QStringLiteral("treeWidget"));
    if (!save || !tree)
        return 2;

    QElapsedTimer timer;
    timer.start();
    save->click();
    const qint64 ns = timer.nsecsElapsed();
    std::printf("%d %.3f\n", tree->topLevelItemCount(), ns / 1e6);
    return 0;
}
