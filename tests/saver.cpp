// An editor that saves a given list through its Save button, for tst_killsave:
//   transport_settings_saver A|B [N]   saves the list N times (once by default) and exits
//   transport_settings_saver loop      saves A, B, A, B, ... until it is killed
// After each save it prints "saved <list> <milliseconds>". A save refused for a lock is tried again;
// on Windows one refused because the other editor saved since the load prints "refused <list>";
// any other failed save exits with 3.
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
    const bool loop = mode == "loop";
    bool ok = true;
    const int times = argc > 2 ? QByteArray(argv[2]).toInt(&ok) : 1;
    if ((!loop && mode != "A" && mode != "B") || !ok || times < 1)
        return 2;

    openedWindow editor;
    if (!editor.table)
        return 2;
    char list = loop ? 'A' : mode[0];
    const Rows lists[] = { savedList('A'), savedList('B') };
    int refused = 0;
    for (int save = 0; loop || save < times; ++save) {
        editor.table->clear();
        QList<QTreeWidgetItem *> rows;
        for (const QStringList &cells : lists[list == 'A' ? 0 : 1])
            rows.append(new QTreeWidgetItem(cells));
        editor.table->addTopLevelItems(rows);

        QElapsedTimer timer;
        timer.start();
        // Save waits a few seconds for another writer's lock and is then refused, the file left
        // as it was; with two editors saving flat out that can happen, and the save is tried again.
        QStringList said;
        if (!clickSave(editor.window, 0, &said)) {
            if (said.value(2).contains(QStringLiteral("заблокирован")) && ++refused < 20) {
                --save;
                continue;
            }
#ifdef Q_OS_WIN
            // The other editor saved since this one loaded the list: refused, as it must be.
            if (said.value(2).contains(QStringLiteral("после того как окно загрузило список"))) {
                std::printf("refused %c\n", list);
                std::fflush(stdout);
                continue;
            }
#endif
            std::printf("failed\n");
            return 3;
        }
        std::printf("saved %c %lld\n", list, timer.elapsed());
        std::fflush(stdout);
        if (loop)
            list = list == 'A' ? 'B' : 'A';
        QCoreApplication::processEvents();
    }
    return 0;
}
