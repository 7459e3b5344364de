// Helpers the tests share: transport.ini and its bytes, a window and its table, windows answered.
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "settingsdialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QDateTime>
#include <QDialog>
#include <QEvent>
#include <QFile>
#include <QList>
#include <QLocale>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

namespace testSupport {

// The rows of a table, top to bottom, each as its four cells.
using Rows = QList<QStringList>;

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

// The line end of a file the settings store wrote: Qt's QSettings ends INI lines as the platform
// does, CRLF on Windows and LF elsewhere.
#ifdef Q_OS_WIN
inline const QByteArray storeLineEnd = "\r\n";
#else
inline const QByteArray storeLineEnd = "\n";
#endif

// Text written with LF line ends, as the store writes it on this platform.
inline QByteArray storeText(QByteArray text)
{
    return text.replace('\n', storeLineEnd);
}

// The lines of a file the store wrote, each without its line end. A line that ends otherwise
// keeps what it has, so that it equals no line a test expects.
inline QList<QByteArray> storeLines(const QByteArray &bytes)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        end = end < 0 ? bytes.size() : end + 1;
        QByteArray line = bytes.mid(start, end - start);
        if (line.endsWith(storeLineEnd))
            line.chop(storeLineEnd.size());
        lines.append(line);
        start = end;
    }
    return lines;
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

inline Rows rowsOf(const QTreeWidget *tree)
{
    Rows rows;
    for (int row = 0; row < tree->topLevelItemCount(); ++row) {
        const QTreeWidgetItem *item = tree->topLevelItem(row);
        rows.append({ item->text(0), item->text(1), item->text(2), item->text(3) });
    }
    return rows;
}

// A settings window opened on `file`, written first where the program looks for it and read
// afresh; without a file, on whatever lies there. `table` is null when the file could not be
// written or the form has no table named treeWidget.
struct openedWindow
{
    openedWindow() = default;
    explicit openedWindow(const QByteArray &file)
        : written(writeFile(settingsPath(), file) && forgetCachedFile())
    {
    }

    Rows rows() const { return table ? rowsOf(table) : Rows(); }

    const bool written = true;
    settingsDialog window;
    QTreeWidget *const table
        = written ? window.findChild<QTreeWidget *>(QStringLiteral("treeWidget")) : nullptr;
};

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

// While it lives, hands every window of type T that is shown to `reply`, queued, so that the
// reply runs in the window's own event loop (a modal exec()). A dialog of another type is
// counted and ended there without a reply.
template <typename T>
class showCatcher : public QObject
{
public:
    explicit showCatcher(const std::function<void(T *)> &reply) : reply(reply)
    {
        QCoreApplication::instance()->installEventFilter(this);
    }

    // Ends a window: a dialog is rejected, as Escape would.
    static void end(QWidget *window)
    {
        if (auto *dialog = qobject_cast<QDialog *>(window))
            dialog->reject();
        else
            window->close();
    }

    int shown = 0;
    int others = 0; // dialogs of another type
    int leftOpen = 0; // still shown when their reply returned
    QList<QPointer<QWidget>> waiting; // shown, not yet reached by an event loop

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() != QEvent::Show || !object->isWidgetType())
            return false;
        QPointer<QWidget> window = static_cast<QWidget *>(object);
        T *typed = qobject_cast<T *>(window);
        if (!window->isWindow() || (!typed && !qobject_cast<QDialog *>(window)))
            return false;
        ++(typed ? shown : others);
        waiting.append(window);
        QMetaObject::invokeMethod(this, [this, window, typed] {
            waiting.removeAll(window);
            if (window && typed)
                reply(typed);
            if (window && window->isVisible()) {
                leftOpen += typed ? 1 : 0;
                end(window);
            }
        }, Qt::QueuedConnection);
        return false;
    }

private:
    std::function<void(T *)> reply;
};

// Runs `act` and answers each window of type T that it shows with `reply`. Whatever the reply
// does, every such window, and any other dialog, is ended before this returns, so that no test
// can hang in exec(). True when `act` showed exactly `expected` of them and no other dialog,
// each answered inside its modal event loop while `act` still ran and ended by its reply;
// otherwise false, with a warning that says why.
template <typename T>
bool answer(const std::function<void()> &act, const std::function<void(T *)> &reply, int expected = 1)
{
    showCatcher<T> catcher(reply);
    act();
    const int notModal = int(catcher.waiting.size());
    for (QWidget *window : catcher.waiting) {
        if (window)
            catcher.end(window);
    }
    if (catcher.shown == expected && catcher.others == 0 && catcher.leftOpen == 0 && notModal == 0)
        return true;
    qWarning("%s: %d shown, %d expected; %d other dialogs; %d left open by the reply; %d not modal",
             T::staticMetaObject.className(), catcher.shown, expected, catcher.others,
             catcher.leftOpen, notModal);
    return false;
}

// Clicks Save in `window` and answers with OK each message box that it shows (the editor shows
// one when a save fails). True when there is a Save button and it showed `boxes` boxes; `said`
// gets the last one's icon, title, text and the window it belongs to.
inline bool clickSave(QWidget &window, int boxes = 0, QStringList *said = nullptr)
{
    bool clicked = false;
    const auto reply = [&](QMessageBox *box) {
        if (said) {
            // Its text comes from others in part (names, a lock's contents): a box that would
            // render it as rich text says so, and equals no text that a test expects.
            const QString format = box->textFormat() == Qt::PlainText ? QString() : QStringLiteral("rich text: ");
            *said = QStringList { QString::number(box->icon()), box->windowTitle(), format + box->text(),
                QString::number(quintptr(box->parentWidget()), 16) };
        }
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
    };
    return answer<QMessageBox>([&] { clicked = clickButton(window, "closeButton"); }, reply, boxes)
        && clicked;
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
