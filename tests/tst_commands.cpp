// Tests of New, Edit and Delete, driven through the window's buttons with the edit dialog answered.
#include "editdialog.h"
#include "settingsdialog.h"
#include "testsupport.h"

#include <QApplication>
#include <QFile>
#include <QItemSelectionModel>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

using namespace testSupport;

namespace {

const QByteArray fixture = "[General]\n"
                           "positions=3\n"
                           "listenHost1=alpha.example\n"
                           "listenPort1=1001\n"
                           "destHost1=10.1.1.1\n"
                           "destPort1=2001\n"
                           "listenHost2=beta.example\n"
                           "listenPort2=1002\n"
                           "destHost2=10.1.1.2\n"
                           "destPort2=2002\n"
                           "listenHost3=gamma.example\n"
                           "listenPort3=1003\n"
                           "destHost3=10.1.1.3\n"
                           "destPort3=2003\n";

const Rows fixtureRows = {
    { "alpha.example", "1001", "10.1.1.1", "2001" },
    { "beta.example", "1002", "10.1.1.2", "2002" },
    { "gamma.example", "1003", "10.1.1.3", "2003" },
};

const QStringList example = { "127.0.0.1", "81", "10.0.0.2", "80" };
const QStringList freshFields = { "", "0", "", "0" };

// The file's keys as written, read from the raw text: it is what reached the disk.
QMap<QByteArray, QByteArray> fileKeys()
{
    QMap<QByteArray, QByteArray> keys;
    const QList<QByteArray> lines = storeLines(readFile(settingsPath()));
    for (const QByteArray &line : lines) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            keys.insert(line.left(equals), line.mid(equals + 1));
    }
    return keys;
}

int currentRow(const QTreeWidget *tree)
{
    return tree->indexOfTopLevelItem(tree->currentItem());
}

// What the edit dialog showed when it opened.
struct Seen
{
    QStringList fields;
    int ports[2] = { -1, -1 };
};

void typeInto(editDialog *dialog, const QStringList &values)
{
    QLineEdit *hosts[] = { dialog->listenHostEdit, dialog->destHostEdit };
    QSpinBox *ports[] = { dialog->listenPortBox, dialog->destPortBox };
    for (int i = 0; i < 2; ++i) {
        hosts[i]->selectAll();
        if (values.at(2 * i).isEmpty())
            QTest::keyClick(hosts[i], Qt::Key_Backspace);
        else
            QTest::keyClicks(hosts[i], values.at(2 * i));
        ports[i]->selectAll();
        QTest::keyClicks(ports[i], values.at(2 * i + 1));
    }
}

enum class End { Ok, Cancel, Escape, Close };

void end(editDialog *dialog, End how)
{
    switch (how) {
    case End::Ok:
        QTest::mouseClick(dialog->okButton, Qt::LeftButton);
        break;
    case End::Cancel:
        QTest::mouseClick(dialog->cancelButton, Qt::LeftButton);
        break;
    case End::Escape:
        QTest::keyClick(dialog->listenHostEdit, Qt::Key_Escape);
        break;
    case End::Close:
        dialog->close();
        break;
    }
}

std::function<void(editDialog *)> typeAndEnd(const QStringList &values, End how)
{
    return [=](editDialog *dialog) {
        if (!values.isEmpty())
            typeInto(dialog, values);
        end(dialog, how);
    };
}

// Clicks the named button of `window`; the edit dialogs it opens (`dialogs` of them) are recorded
// in `seen` and handed to `reply`. True when each opened modal, over the window and as the only
// one, and was ended by its reply.
bool command(QWidget &window, const char *button, const std::function<void(editDialog *)> &reply,
    Seen &seen, int dialogs = 1)
{
    auto *pushButton = window.findChild<QPushButton *>(QLatin1String(button));
    if (!pushButton)
        return false;
    seen = Seen();
    bool opensRight = true;
    const auto record = [&](editDialog *dialog) {
        opensRight = opensRight && QApplication::activeModalWidget() == dialog
            && dialog->parentWidget() == &window && window.findChildren<editDialog *>().size() == 1;
        seen.fields = QStringList { dialog->listenHostEdit->text(), dialog->listenPortBox->text(),
            dialog->destHostEdit->text(), dialog->destPortBox->text() };
        seen.ports[0] = dialog->listenPortBox->value();
        seen.ports[1] = dialog->destPortBox->value();
        reply(dialog);
    };
    const auto click = [&] { QTest::mouseClick(pushButton, Qt::LeftButton); };
    if (!answer<editDialog>(click, record, dialogs))
        return false;
    if (!opensRight)
        qWarning("the edit dialog was not the window's only modal child");
    return opensRight && window.findChildren<editDialog *>().isEmpty();
}

} // namespace

Q_DECLARE_METATYPE(End)

class tst_commands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void newAccepted_data();
    void newAccepted();
    void rejected_data();
    void rejected();
    void newTwice();
    void editAccepted_data();
    void editAccepted();
    void editNormalisesPorts_data();
    void editNormalisesPorts();
    void removeCurrent_data();
    void removeCurrent();
    void nothingToActOn_data();
    void nothingToActOn();
    void doubleClickOpensNothing();
    void saveWritesCommands();
    void asciiPortsUnderLocale_data();
    void asciiPortsUnderLocale();

private:
    bool open(openedWindow &editor);

    QLocale startLocale;
    QTreeWidget *tree = nullptr;
};

void tst_commands::initTestCase()
{
    startLocale = QLocale();
}

void tst_commands::init()
{
    failOnUnboundSlots();
    QVERIFY(writeFile(settingsPath(), fixture));
}

void tst_commands::cleanup()
{
    tree = nullptr;
    QLocale::setDefault(startLocale);
    QFile::remove(settingsPath());
}

// Shows the window with the fixture loaded and finds its table.
bool tst_commands::open(openedWindow &editor)
{
    tree = editor.table;
    return tree && showExposed(editor.window) && rowsOf(tree) == fixtureRows;
}

void tst_commands::newAccepted_data()
{
    QTest::addColumn<QStringList>("typed");
    QTest::addColumn<QStringList>("row");

    QTest::newRow("four values") << example << example;
    QTest::newRow("nothing entered") << QStringList() << freshFields;
    QTest::newRow("port maximum, above 65535") << QStringList { "a", "100000", "b", "65536" }
                                               << QStringList { "a", "100000", "b", "65536" };
    QTest::newRow("duplicate of a row") << fixtureRows.at(1) << fixtureRows.at(1);
}

void tst_commands::newAccepted()
{
    QFETCH(QStringList, typed);
    QFETCH(QStringList, row);

    openedWindow editor;
    QVERIFY(open(editor));
    tree->setCurrentItem(tree->topLevelItem(1));

    Seen seen;
    QVERIFY(command(editor.window, "newButton", typeAndEnd(typed, End::Ok), seen));
    QCOMPARE(seen.fields, freshFields);

    // Appended as the last row, whatever row is current; the current row stays.
    QCOMPARE(rowsOf(tree), Rows(fixtureRows) << row);
    QCOMPARE(currentRow(tree), 1);
    QCOMPARE(readFile(settingsPath()), fixture);
}

void tst_commands::rejected_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("current");
    QTest::addColumn<End>("how");

    QTest::newRow("New, Cancel") << "newButton" << 0 << End::Cancel;
    QTest::newRow("New, Escape") << "newButton" << 0 << End::Escape;
    QTest::newRow("New, close") << "newButton" << 0 << End::Close;
    QTest::newRow("Edit, Cancel") << "editButton" << 1 << End::Cancel;
    QTest::newRow("Edit, Escape") << "editButton" << 2 << End::Escape;
    QTest::newRow("Edit, close") << "editButton" << 0 << End::Close;
}

void tst_commands::rejected()
{
    QFETCH(QString, button);
    QFETCH(int, current);
    QFETCH(End, how);

    openedWindow editor;
    QVERIFY(open(editor));
    tree->setCurrentItem(tree->topLevelItem(current));

    // Whatever was typed, a dialog that is not accepted changes nothing.
    Seen seen;
    QVERIFY(command(editor.window, qPrintable(button),
        typeAndEnd({ "typed.example", "7", "typed.dest", "9" }, how), seen));
    QCOMPARE(rowsOf(tree), fixtureRows);
    QCOMPARE(currentRow(tree), current);
    QCOMPARE(readFile(settingsPath()), fixture);
}

void tst_commands::newTwice()
{
    openedWindow editor;
    QVERIFY(open(editor));

    for (int i = 0; i < 2; ++i) {
        Seen seen;
        QVERIFY(command(editor.window, "newButton", typeAndEnd(example, End::Ok), seen));
        // Each click gets a fresh dialog, not the values of the one before.
        QCOMPARE(seen.fields, freshFields);
    }
    QCOMPARE(rowsOf(tree), Rows(fixtureRows) << example << example);
    QCOMPARE(readFile(settingsPath()), fixture);
}

void tst_commands::editAccepted_data()
{
    QTest::addColumn<int>("current");
    QTest::addColumn<bool>("selectOther");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("typed");

    // An empty `before` keeps the loaded row; an empty `typed` accepts the dialog untouched.
    QTest::newRow("unchanged, first row") << 0 << false << QStringList() << QStringList();
    QTest::newRow("unchanged, middle row") << 1 << false << QStringList() << QStringList();
    QTest::newRow("unchanged, plain texts")
        << 1 << false << QStringList { "хост с пробелом", "0", "", "100000" } << QStringList();
    QTest::newRow("changed, last row") << 2 << false << QStringList() << example;
    QTest::newRow("changed, middle row")
        << 1 << false << QStringList() << QStringList { "", "65535", "x", "1" };
    // The current row counts, even when another row is the one shown selected.
    QTest::newRow("current, not selected") << 2 << true << QStringList() << example;
}

void tst_commands::editAccepted()
{
    QFETCH(int, current);
    QFETCH(bool, selectOther);
    QFETCH(QStringList, before);
    QFETCH(QStringList, typed);

    openedWindow editor;
    QVERIFY(open(editor));
    Rows expected = fixtureRows;
    if (!before.isEmpty()) {
        for (int column = 0; column < 4; ++column)
            tree->topLevelItem(current)->setText(column, before.at(column));
        expected[current] = before;
    }
    if (selectOther) {
        tree->setCurrentItem(tree->topLevelItem(0));
        tree->selectionModel()->setCurrentIndex(
            tree->model()->index(current, 0), QItemSelectionModel::NoUpdate);
        QCOMPARE(tree->selectedItems(), QList<QTreeWidgetItem *> { tree->topLevelItem(0) });
    } else {
        tree->setCurrentItem(tree->topLevelItem(current));
    }
    QCOMPARE(currentRow(tree), current);

    Seen seen;
    QVERIFY(command(editor.window, "editButton", typeAndEnd(typed, End::Ok), seen));
    QCOMPARE(seen.fields, expected.at(current));

    if (!typed.isEmpty())
        expected[current] = typed;
    QCOMPARE(rowsOf(tree), expected);
    QCOMPARE(currentRow(tree), current);
    QCOMPARE(readFile(settingsPath()), fixture);
}

void tst_commands::editNormalisesPorts_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("cell");
    QTest::addColumn<int>("shown");

    QTest::newRow("letters, listen port") << 1 << "abc" << 0;
    QTest::newRow("letters, destination port") << 3 << "abc" << 0;
    QTest::newRow("above maximum, listen port") << 1 << "250000" << 100000;
    QTest::newRow("above maximum, destination port") << 3 << "250000" << 100000;
    QTest::newRow("negative") << 3 << "-5" << 0;
    QTest::newRow("beyond int") << 1 << "99999999999" << 0;
    QTest::newRow("leading zeros") << 1 << "0080" << 80;
    QTest::newRow("digits then letters") << 3 << "80x" << 0;
    QTest::newRow("empty") << 1 << "" << 0;
}

void tst_commands::editNormalisesPorts()
{
    QFETCH(int, column);
    QFETCH(QString, cell);
    QFETCH(int, shown);

    openedWindow editor;
    QVERIFY(open(editor));
    tree->topLevelItem(1)->setText(column, cell);
    tree->setCurrentItem(tree->topLevelItem(1));

    Seen seen;
    QVERIFY(command(editor.window, "editButton", typeAndEnd({}, End::Ok), seen));
    const int box = column == 1 ? 0 : 1;
    QCOMPARE(seen.ports[box], shown);
    QCOMPARE(seen.fields.at(column), QString::number(shown));

    Rows expected = fixtureRows;
    expected[1][column] = QString::number(shown);
    QCOMPARE(rowsOf(tree), expected);
    QCOMPARE(readFile(settingsPath()), fixture);
}

void tst_commands::removeCurrent_data()
{
    QTest::addColumn<int>("current");
    QTest::addColumn<bool>("selectOther");

    QTest::newRow("first") << 0 << false;
    QTest::newRow("middle") << 1 << false;
    QTest::newRow("last") << 2 << false;
    QTest::newRow("current, not selected") << 1 << true;
}

void tst_commands::removeCurrent()
{
    QFETCH(int, current);
    QFETCH(bool, selectOther);

    openedWindow editor;
    QVERIFY(open(editor));
    if (selectOther) {
        tree->setCurrentItem(tree->topLevelItem(2));
        tree->selectionModel()->setCurrentIndex(
            tree->model()->index(current, 0), QItemSelectionModel::NoUpdate);
    } else {
        tree->setCurrentItem(tree->topLevelItem(current));
    }
    QCOMPARE(currentRow(tree), current);

    Seen seen;
    QVERIFY(command(editor.window, "removeButton", typeAndEnd({}, End::Cancel), seen, 0));

    // Gone at once; the rows below move up.
    Rows expected = fixtureRows;
    expected.removeAt(current);
    QCOMPARE(rowsOf(tree), expected);
    QCOMPARE(readFile(settingsPath()), fixture);
}

void tst_commands::nothingToActOn_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("emptyTable");

    QTest::newRow("Edit, empty table") << "editButton" << true;
    QTest::newRow("Delete, empty table") << "removeButton" << true;
    QTest::newRow("Edit, no current row") << "editButton" << false;
    QTest::newRow("Delete, no current row") << "removeButton" << false;
}

void tst_commands::nothingToActOn()
{
    QFETCH(QString, button);
    QFETCH(bool, emptyTable);

    openedWindow editor;
    QVERIFY(open(editor));
    if (emptyTable)
        tree->clear();
    tree->setCurrentItem(nullptr);
    QCOMPARE(tree->currentItem(), nullptr);
    const Rows before = rowsOf(tree);

    Seen seen;
    QVERIFY(command(editor.window, qPrintable(button), typeAndEnd(example, End::Ok), seen, 0));
    QCOMPARE(rowsOf(tree), before);
    QCOMPARE(readFile(settingsPath()), fixture);
}

void tst_commands::doubleClickOpensNothing()
{
    openedWindow editor;
    QVERIFY(open(editor));
    QTreeWidgetItem *item = tree->topLevelItem(1);

    // A double-click as a mouse delivers it: press, release, double-click, release.
    const QPoint cell = tree->visualItemRect(item).center();
    const auto doubleClick = [&] {
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
        QTest::mouseRelease(tree->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
    };
    QVERIFY(answer<editDialog>(doubleClick, [](editDialog *) {}, 0));
    QVERIFY(editor.window.findChildren<editDialog *>().isEmpty());
    QCOMPARE(rowsOf(tree), fixtureRows);
    QCOMPARE(readFile(settingsPath()), fixture);
}

void tst_commands::saveWritesCommands()
{
    openedWindow editor;
    QVERIFY(open(editor));

    Seen seen;
    QVERIFY(command(editor.window, "newButton", typeAndEnd(example, End::Ok), seen));
    tree->setCurrentItem(tree->topLevelItem(0));
    QVERIFY(command(editor.window, "editButton",
        typeAndEnd({ "edited.example", "11", "10.9.9.9", "12" }, End::Ok), seen));
    tree->setCurrentItem(tree->topLevelItem(1));
    QVERIFY(command(editor.window, "removeButton", typeAndEnd({}, End::Cancel), seen, 0));
    const Rows expected
        = { { "edited.example", "11", "10.9.9.9", "12" }, fixtureRows.at(2), example };
    QCOMPARE(rowsOf(tree), expected);
    QCOMPARE(readFile(settingsPath()), fixture);

    QVERIFY(clickButton(editor.window, "closeButton"));

    const QMap<QByteArray, QByteArray> keys = fileKeys();
    QCOMPARE(keys.value("positions"), QByteArray("3"));
    for (int row = 0; row < expected.size(); ++row) {
        const QByteArray n = QByteArray::number(row + 1);
        QCOMPARE(keys.value("listenHost" + n), expected[row][0].toLatin1());
        QCOMPARE(keys.value("listenPort" + n), expected[row][1].toLatin1());
        QCOMPARE(keys.value("destHost" + n), expected[row][2].toLatin1());
        QCOMPARE(keys.value("destPort" + n), expected[row][3].toLatin1());
    }
}

void tst_commands::asciiPortsUnderLocale_data()
{
    addOtherDigitLocales();
}

void tst_commands::asciiPortsUnderLocale()
{
    QFETCH(QLocale, locale);
    QLocale::setDefault(locale);
    // The locale writes other digits, so a port box that followed it would corrupt the cells.
    QVERIFY(QLocale().toString(80) != QLatin1String("80"));

    openedWindow editor;
    QVERIFY(open(editor));

    // New: the listen port reaches 80 by a step, which makes the box write out its text.
    Seen seen;
    QVERIFY(command(editor.window, "newButton",
        [](editDialog *dialog) {
            typeInto(dialog, { "127.0.0.1", "79", "10.0.0.2", "8080" });
            QTest::keyClick(dialog->listenPortBox, Qt::Key_Up);
            end(dialog, End::Ok);
        },
        seen));
    QCOMPARE(seen.fields, freshFields);

    // Edit without a change: the ports set from the cells come back unchanged.
    tree->setCurrentItem(tree->topLevelItem(0));
    QVERIFY(command(editor.window, "editButton", typeAndEnd({}, End::Ok), seen));
    QCOMPARE(seen.fields, fixtureRows.at(0));

    const QStringList added = { "127.0.0.1", "80", "10.0.0.2", "8080" };
    QCOMPARE(rowsOf(tree), Rows(fixtureRows) << added);
    QCOMPARE(readFile(settingsPath()), fixture);

    QVERIFY(clickButton(editor.window, "closeButton"));
    const QMap<QByteArray, QByteArray> keys = fileKeys();
    QCOMPARE(keys.value("positions"), QByteArray("4"));
    QCOMPARE(keys.value("listenPort4"), QByteArray("80"));
    QCOMPARE(keys.value("destPort4"), QByteArray("8080"));
    QCOMPARE(keys.value("listenPort1"), QByteArray("1001"));
    QCOMPARE(keys.value("destPort1"), QByteArray("2001"));
}

QTEST_MAIN(tst_commands)
#include "tst_commands.moc"
