// Helpers the tests share: transport.ini and its bytes, a table's rows, windows shown and answered.
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QLocale>
#include <QObject>
#include <QPushButton>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

namespace testSupport {

// Where the program looks for its settings: next to the executable.
inline QString settingsPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/transport.ini");
}

// The file's bytes, empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// QSettings objects in one process share the files they parsed and parse one again only when its
// size or time stamp changed. A time stamp never used before makes the next store read the disk.
// The file is opened for reading only, so this works on a file the process may not write.
inline bool forgetCachedFile()
{
    static int stamp = 0;
    QFile file(settingsPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QDateTime time(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return file.setFileTime(time.addSecs(++stamp), QFileDevice::FileModificationTime);
}

// The four cells of each row of the table, top to bottom.
inline QList<QStringList> rowsOf(const QTreeWidget *tree)
{
    QList<QStringList> rows;
    for (int row = 0; row < tree->topLevelItemCount(); ++row) {
        const QTreeWidgetItem *item = tree->topLevelItem(row);
        rows.append({ item->text(0), item->text(1), item->text(2), item->text(3) });
    }
    return rows;
}

// The rows of a window's table; none when it has no table named treeWidget.
inline QList<QStringList> rowsOf(const QWidget &window)
{
    const auto *tree = window.findChild<QTreeWidget *>(QStringLiteral("treeWidget"));
    return tree ? rowsOf(tree) : QList<QStringList>();
}

// Clicks the button of that object name; false when there is none.
inline bool clickButton(QWidget &window, const char *name)
{
    auto *button = window.findChild<QPushButton *>(QLatin1String(name));
    if (!button)
        return false;
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
}

inline bool showExposed(QWidget &window)
{
    window.show();
    return QTest::qWaitForWindowExposed(&window);
}

// Shown, exposed and active, ready for keyboard input.
inline bool showActive(QWidget &window)
{
    if (!showExposed(window))
        return false;
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

// Queues `answer`, then runs `act`; a modal exec() in `act` runs the answer from its own event
// loop. Returns whether the answer ran. The answer must end any dialog it finds, so that no test
// can hang in exec().
inline bool runAnswered(const std::function<void()> &act, const std::function<void()> &answer)
{
    bool done = false;
    QObject guard; // cancels the answer should it not have run by the time this returns
    QTimer::singleShot(0, &guard, [&] {
        answer();
        done = true;
    });
    act();
    return QTest::qWaitFor([&] { return done; });
}

// Call in init(): a slot whose object was renamed then fails the test instead of only warning.
inline void failOnUnboundSlots()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 3, 0)
    QTest::failOnWarning(QRegularExpression(QStringLiteral("connectSlotsByName")));
#endif
}

// Data rows for locales that write digits other than 0-9.
inline void addOtherDigitLocales()
{
    QTest::addColumn<QLocale>("locale");
    QTest::newRow("ar_EG") << QLocale(QLocale::Arabic, QLocale::Egypt);
    QTest::newRow("fa_IR") << QLocale(QLocale::Persian, QLocale::Iran);
}

} // namespace testSupport

#endif // TESTSUPPORT_H
