// An editor that saves a given list through its Save button, for tst_killsave:
//   transport_settings_saver once A|B     saves the list once and exits
//   transport_settings_saver repeat A|B   saves the list again and again
//   transport_settings_saver loop         saves A, B, A, B, ... again and again
// After each save it prints "saved <list> <milliseconds>". A failed save exits with 3.
#include "savelists.h"
#include "testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeWidgetItem>

#include <cstdio>

using namespace testSupport;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QByteArray mode = argc > 1 ? argv[1] : "";
    char list = argc > 2 ? argv[2][0] : 'A';
    if ((mode != "once" && mode != "repeat" && mode != "loop") || (list != 'A' && list != 'B'))
        return 2;

    openedWindow editor;
    if (!editor.table)
        return 2;
    const Rows lists[] = { savedList('A'), savedList('B') };
    for (;;) {
        editor.table->clear();
        QList<QTreeWidgetItem *> rows;
        for (const QStringList &cells : lists[list == 'A' ? 0 : 1])
            rows.append(new QTreeWidgetItem(cells));
        editor.table->addTopLevelItems(rows);

        QElapsedTimer timer;
        timer.start();
        if (!clickSave(editor.window)) {
            std::printf("failed\n");
            return 3;
        }
        std::printf("saved %c %lld\n", list, timer.elapsed());
        std::fflush(stdout);
        if (mode == "once")
            return 0;
        if (mode == "loop")
            list = list == 'A' ? 'B' : 'A';
        QCoreApplication::processEvents();
    }
}
