// Times one Save of the table that the editor loaded from transport.ini next to this program,
// driven through the Save button as a user would. Prints the row count and the milliseconds on
// standard output. With --plain it times instead the floor that Save is held to: a plain QSettings
// on the same file that sets the same keys to the same texts and syncs.
#include "settingsdialog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSettings>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>

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

    const bool plain = argc > 1 && qstrcmp(argv[1], "--plain") == 0;
    static const char *const names[] = { "listenHost%1", "listenPort%1", "destHost%1", "destPort%1" };
    QElapsedTimer timer;
    timer.start();
    if (plain) {
        QSettings settings(QCoreApplication::applicationDirPath() + QLatin1String("/transport.ini"),
                           QSettings::IniFormat);
        settings.setValue(QStringLiteral("positions"), tree->topLevelItemCount());
        for (int row = 0; row < tree->topLevelItemCount(); ++row) {
            for (int column = 0; column < 4; ++column)
                settings.setValue(QString::fromLatin1(names[column]).arg(row + 1),
                                  tree->topLevelItem(row)->text(column));
        }
        settings.sync();
    } else {
        save->click();
    }
    // The store frees hundreds of thousands of small keys, and glibc merges them only when a
    // larger block is asked for next (malloc_consolidate: a quarter of a second for 100,000 rows
    // here), whoever asks. Asked for here, so that each way of saving is charged with all the work
    // it leaves, not only with the part that happens to fall before the clock stops.
    std::free(std::malloc(64 * 1024));
    const qint64 ns = timer.nsecsElapsed();
    std::printf("%d %.3f\n", tree->topLevelItemCount(), ns / 1e6);
    return 0;
}
