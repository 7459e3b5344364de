// The two complete redirection lists that tst_killsave and its saver process write in turn.
#ifndef SAVELISTS_H
#define SAVELISTS_H

#include "testsupport.h"

// List 'A' is longer than list 'B', so a file saved from B still holds A's entries above B's
// count: the editor must show exactly B's rows all the same.
inline testSupport::Rows savedList(char list)
{
    const int rows = list == 'A' ? 3000 : 2200;
    const QString tag = QString(QLatin1Char(list)).toLower();
    testSupport::Rows table;
    table.reserve(rows);
    for (int row = 1; row <= rows; ++row) {
        const QString number = QString::number(row);
        table.append({ tag + QLatin1String("-listen-") + number, QString::number(1000 + row),
                       tag + QLatin1String("-dest-") + number,
                       QString::number(list == 'A' ? 20000 + row : 40000 + row) });
    }
    return table;
}

#endif // SAVELISTS_H
