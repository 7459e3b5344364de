// An editor that saves a given list through its Save button, for tst_killsave:
//   transport_settings_saver once A|B     saves the list once and exits
//   transport_settings_saver repeat A|B   saves the list again and again
//   transport_settings_saver loop         saves A, B, A, B, ... again and again
// After each save it prints "saved <list> <milliseconds>". A failed save exits with 3.
#include "savelists.h"
#include "settingsdialog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItem>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QByteArray mode = argv[1];
    char list = argc > 2 ? argv[2][0] : 'A';
    if ((mode != "once" && mode != "repeat" && mode != "loop") || (list != 'A' && list != 'B'))
        return 2;

    settingsDialog window;
    auto *tree = window.findChild<QTreeWidget *>(QStringLiteral("treeWidget"));
    auto *save = window.findChild<QPushButton *>(QStringLiteral("closeButton"));
    if (!tree || !save)
        return 2;

    const QList<QStringList> lists[] = { savedList('A'), savedList('B') };
    for (;;) {
        tree->clear();
        QList<QTreeWidgetItem *> rows;
        for (const QStringList &cells : lists[list == 'A' ? 0 : 1])
            rows.append(new QTreeWidgetItem(cells));
        tree->addTopLevelItems(rows);

        // The editor tells of a failed save with a message box; that ends this process.
        QTimer::singleShot(0, [] {
            if (qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                std::printf("failed\n");
                std::fflush(stdout);
                std::_Exit(3);
            }
        });
        QElapsedTimer timer;
        timer.start();
        save->click();
        std::printf("saved %c %lld\n", list, timer.elapsed());
        std::fflush(stdout);

        if (mode == "once")
            return 0;
        if (mode == "loop")
            list = list == 'A' ? 'B' : 'A';
        QCoreApplication::processEvents();
    }
}
