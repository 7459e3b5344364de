// Tests of the settings window: its form, texts, focus order, meta-object and button bindings.
#include "editdialog.h"
#include "settingsdialog.h" // also brings the form class, Ui::settingsDialog
#include "testsupport.h"

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLineEdit>
#include <QMetaMethod>
#include <QPushButton>
#include <QSpacerItem>
#include <QTranslator>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest>

using namespace testSupport;

namespace {

// Three redirections whose columns are in neither ascending nor descending order.
const QByteArray threeRows = "[General]\n"
                             "positions=3\n"
                             "listenHost1=beta\nlistenPort1=20\ndestHost1=y.example\ndestPort1=7\n"
                             "listenHost2=gamma\nlistenPort2=30\ndestHost2=z.example\ndestPort2=9\n"
                             "listenHost3=alpha\nlistenPort3=10\ndestHost3=x.example\ndestPort3=8\n";

const Rows threeRowsTable = {
    { "beta", "20", "y.example", "7" },
    { "gamma", "30", "z.example", "9" },
    { "alpha", "10", "x.example", "8" },
};

// The fourteen texts in the order the form sets them; the last is the shortcut of closeButton.
const QStringList expectedTexts = {
    QString::fromUtf8("Настройки транспортного модуля"),
    QString::fromUtf8("Перенаправления"),
    QString::fromUtf8("Порт назначения"),
    QString::fromUtf8("Хост назначения"),
    QString::fromUtf8("Прослушиваемый порт"),
    QString::fromUtf8("Прослушиваемый хост"),
    QString::fromUtf8("Новый"),
    QString::fromUtf8("Редактировать"),
    QString::fromUtf8("Удалить"),
    QString::fromUtf8("Экспорт"),
    QString::fromUtf8("Импорт"),
    QString::fromUtf8("Выход"),
    QString::fromUtf8("Сохранить"),
    QStringLiteral("Ctrl+S"),
};

// The widgets of a window, looked up by object name as the binding by name does.
struct formWidgets
{
    QGridLayout *gridLayout_2 = nullptr;
    QGroupBox *groupBox = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QTreeWidget *treeWidget = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QPushButton *newButton = nullptr;
    QPushButton *editButton = nullptr;
    QPushButton *removeButton = nullptr;
    QPushButton *exportButton = nullptr;
    QPushButton *importButton = nullptr;
    QPushButton *quitButton = nullptr;
    QPushButton *closeButton = nullptr;

    explicit formWidgets(QWidget &window)
    {
        gridLayout_2 = window.findChild<QGridLayout *>(QStringLiteral("gridLayout_2"));
        groupBox = window.findChild<QGroupBox *>(QStringLiteral("groupBox"));
        horizontalLayout = window.findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout"));
        treeWidget = window.findChild<QTreeWidget *>(QStringLiteral("treeWidget"));
        verticalLayout = window.findChild<QVBoxLayout *>(QStringLiteral("verticalLayout"));
        newButton = window.findChild<QPushButton *>(QStringLiteral("newButton"));
        editButton = window.findChild<QPushButton *>(QStringLiteral("editButton"));
        removeButton = window.findChild<QPushButton *>(QStringLiteral("removeButton"));
        exportButton = window.findChild<QPushButton *>(QStringLiteral("exportButton"));
        importButton = window.findChild<QPushButton *>(QStringLiteral("importButton"));
        quitButton = window.findChild<QPushButton *>(QStringLiteral("quitButton"));
        closeButton = window.findChild<QPushButton *>(QStringLiteral("closeButton"));
    }

    bool complete() const
    {
        return gridLayout_2 && groupBox && horizontalLayout && treeWidget && verticalLayout
            && newButton && editButton && removeButton && exportButton && importButton
            && quitButton && closeButton;
    }

    QStringList texts(const QWidget &window) const
    {
        const QTreeWidgetItem *header = treeWidget->headerItem();
        return {
            window.windowTitle(), groupBox->title(),
            header->text(3), header->text(2), header->text(1), header->text(0),
            newButton->text(), editButton->text(), removeButton->text(),
            exportButton->text(), importButton->text(), quitButton->text(), closeButton->text(),
            closeButton->shortcut().toString(QKeySequence::PortableText),
        };
    }
};

// Translates every text of the settings window's context that has no disambiguation; the
// shortcut becomes Ctrl+T. A text looked up in another context or with a comment stays as is.
class markingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *disambiguation = nullptr,
                      int = -1) const override
    {
        if (qstrcmp(context, "settingsDialog") != 0 || (disambiguation && *disambiguation))
            return QString();
        const QString source = QString::fromUtf8(sourceText);
        if (source == QLatin1String("Ctrl+S"))
            return QStringLiteral("Ctrl+T");
        return QLatin1Char('[') + source + QLatin1Char(']');
    }
    bool isEmpty() const override { return false; }
};

void checkSpacer(QLayoutItem *item, QSize hint, QSizePolicy::Policy horizontal,
                 QSizePolicy::Policy vertical)
{
    QVERIFY(item);
    QSpacerItem *spacer = item->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), hint);
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), horizontal);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), vertical);
    QCOMPARE(spacer->alignment(), Qt::Alignment());
}

void checkGridCell(QGridLayout *grid, QLayoutItem *item, int row, int column, int rowSpan,
                   int columnSpan)
{
    int index = -1;
    for (int i = 0; i < grid->count(); ++i) {
        if (grid->itemAt(i) == item)
            index = i;
    }
    QVERIFY(index >= 0);
    int r = -1, c = -1, rs = -1, cs = -1;
    grid->getItemPosition(index, &r, &c, &rs, &cs);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rs, rowSpan);
    QCOMPARE(cs, columnSpan);
    QCOMPARE(item->alignment(), Qt::Alignment());
}

} // namespace

class tst_settingsDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void widgetTree();
    void table();
    void memberOrder();
    void texts();
    void languageChange();
    void objectName();
    void focusChain();
    void metaObject();
    void dialogButtons_data();
    void dialogButtons();
    void exitWithoutSaving_data();
    void exitWithoutSaving();
    void save_data();
    void save();
    void inertActions_data();
    void inertActions();
    void headerClickDoesNotSort();
    void resize();
};

void tst_settingsDialog::init()
{
    failOnUnboundSlots();
    QFile::remove(settingsPath());
}

void tst_settingsDialog::cleanup()
{
    QFile::remove(settingsPath());
}

void tst_settingsDialog::widgetTree()
{
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QCOMPARE(window.parentWidget(), nullptr);
    QCOMPARE(window.size(), QSize(584, 378));
    QCOMPARE(window.windowFlags(), QDialog().windowFlags());
    QVERIFY(!window.isVisible());
    QVERIFY(!window.isModal());

    // Top level: the group box across the first row, then a gap, Save and Exit.
    QCOMPARE(window.layout(), form.gridLayout_2);
    QGridLayout *grid = form.gridLayout_2;
    QCOMPARE(grid->parent(), &window);
    QCOMPARE(grid->rowCount(), 2);
    QCOMPARE(grid->columnCount(), 3);
    QCOMPARE(grid->count(), 4);
    QCOMPARE(grid->itemAt(0)->widget(), form.groupBox);
    checkGridCell(grid, grid->itemAt(0), 0, 0, 1, 3);
    checkSpacer(grid->itemAt(1), QSize(401, 20), QSizePolicy::Expanding, QSizePolicy::Minimum);
    checkGridCell(grid, grid->itemAt(1), 1, 0, 1, 1);
    QCOMPARE(grid->itemAt(2)->widget(), form.quitButton);
    checkGridCell(grid, grid->itemAt(2), 1, 2, 1, 1);
    QCOMPARE(grid->itemAt(3)->widget(), form.closeButton);
    checkGridCell(grid, grid->itemAt(3), 1, 1, 1, 1);

    QCOMPARE(form.groupBox->parentWidget(), &window);
    QCOMPARE(form.quitButton->parentWidget(), &window);
    QCOMPARE(form.closeButton->parentWidget(), &window);
    QVERIFY(form.groupBox->testAttribute(Qt::WA_SetCursor));
    QCOMPARE(form.groupBox->cursor().shape(), Qt::ArrowCursor);

    // Inside the group box: the table, then the column of buttons.
    QCOMPARE(form.groupBox->layout(), form.horizontalLayout);
    QHBoxLayout *row = form.horizontalLayout;
    QCOMPARE(row->count(), 2);
    QCOMPARE(row->itemAt(0)->widget(), form.treeWidget);
    QCOMPARE(row->itemAt(1)->layout(), form.verticalLayout);
    QCOMPARE(form.verticalLayout->parent(), row);
    for (int i = 0; i < row->count(); ++i) {
        QCOMPARE(row->stretch(i), 0);
        QCOMPARE(row->itemAt(i)->alignment(), Qt::Alignment());
    }
    QCOMPARE(form.treeWidget->parentWidget(), form.groupBox);

    QVBoxLayout *column = form.verticalLayout;
    QCOMPARE(column->count(), 7);
    QCOMPARE(column->itemAt(0)->widget(), form.newButton);
    checkSpacer(column->itemAt(1), QSize(20, 28), QSizePolicy::Minimum, QSizePolicy::Expanding);
    QCOMPARE(column->itemAt(2)->widget(), form.editButton);
    QCOMPARE(column->itemAt(3)->widget(), form.removeButton);
    checkSpacer(column->itemAt(4), QSize(20, 40), QSizePolicy::Minimum, QSizePolicy::Expanding);
    QCOMPARE(column->itemAt(5)->widget(), form.exportButton);
    QCOMPARE(column->itemAt(6)->widget(), form.importButton);
    for (int i = 0; i < column->count(); ++i) {
        QCOMPARE(column->stretch(i), 0);
        QCOMPARE(column->itemAt(i)->alignment(), Qt::Alignment());
    }
    for (QPushButton *button : { form.newButton, form.editButton, form.removeButton,
                                 form.exportButton, form.importButton }) {
        QCOMPARE(button->parentWidget(), form.groupBox);
    }

    // Creation order shows in the order of each parent's widget children.
    QList<QObject *> expected = { form.groupBox, form.quitButton, form.closeButton };
    QCOMPARE(window.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly).size(), 3);
    const auto windowChildren = window.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    for (int i = 0; i < windowChildren.size(); ++i)
        QCOMPARE(windowChildren.at(i), expected.at(i));
    expected = { form.treeWidget, form.newButton, form.editButton, form.removeButton,
                 form.exportButton, form.importButton };
    const auto boxChildren =
        form.groupBox->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(boxChildren.size(), expected.size());
    for (int i = 0; i < boxChildren.size(); ++i)
        QCOMPARE(boxChildren.at(i), expected.at(i));

    // Nothing the form leaves alone was set: no default button, everything enabled and shown.
    const auto buttons = window.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 7);
    for (const QPushButton *button : buttons) {
        QVERIFY(!button->isDefault());
        QVERIFY(button->isEnabled());
        QVERIFY(!button->isHidden());
    }
}

void tst_settingsDialog::table()
{
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QTreeWidget *tree = form.treeWidget;

    const QSizePolicy policy = tree->sizePolicy();
    QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(policy.verticalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(policy.horizontalStretch(), 0);
    QCOMPARE(policy.verticalStretch(), 0);
    QCOMPARE(policy.hasHeightForWidth(), QTreeWidget().sizePolicy().hasHeightForWidth());

    // Four columns from the header texts alone; the indicator shows while sorting stays off.
    QCOMPARE(tree->columnCount(), 4);
    QVERIFY(tree->header()->isSortIndicatorShown());
    QVERIFY(!tree->isSortingEnabled());
    const QTreeWidgetItem *header = tree->headerItem();
    QCOMPARE(header->text(0), expectedTexts.at(5));
    QCOMPARE(header->text(1), expectedTexts.at(4));
    QCOMPARE(header->text(2), expectedTexts.at(3));
    QCOMPARE(header->text(3), expectedTexts.at(2));

    // No settings file: an empty table.
    QCOMPARE(tree->topLevelItemCount(), 0);
}

void tst_settingsDialog::memberOrder()
{
    // The form's members are laid out in the order they are declared.
    QDialog dialog;
    Ui::settingsDialog form;
    form.setupUi(&dialog);
    const void *members[] = {
        &form.gridLayout_2, &form.groupBox, &form.horizontalLayout, &form.treeWidget,
        &form.verticalLayout, &form.newButton, &form.verticalSpacer, &form.editButton,
        &form.removeButton, &form.verticalSpacer_2, &form.exportButton, &form.importButton,
        &form.horizontalSpacer, &form.quitButton, &form.closeButton,
    };
    for (size_t i = 1; i < sizeof members / sizeof *members; ++i)
        QVERIFY2(static_cast<const char *>(members[i - 1]) < static_cast<const char *>(members[i]),
                 QByteArray::number(qulonglong(i)).constData());

    // The members point at the objects of the same names.
    formWidgets found(dialog);
    QVERIFY(found.complete());
    QCOMPARE(form.gridLayout_2, found.gridLayout_2);
    QCOMPARE(form.groupBox, found.groupBox);
    QCOMPARE(form.horizontalLayout, found.horizontalLayout);
    QCOMPARE(form.treeWidget, found.treeWidget);
    QCOMPARE(form.verticalLayout, found.verticalLayout);
    QCOMPARE(form.newButton, found.newButton);
    QCOMPARE(form.editButton, found.editButton);
    QCOMPARE(form.removeButton, found.removeButton);
    QCOMPARE(form.exportButton, found.exportButton);
    QCOMPARE(form.importButton, found.importButton);
    QCOMPARE(form.quitButton, found.quitButton);
    QCOMPARE(form.closeButton, found.closeButton);
    QCOMPARE(static_cast<QLayoutItem *>(form.verticalSpacer), found.verticalLayout->itemAt(1));
    QCOMPARE(static_cast<QLayoutItem *>(form.verticalSpacer_2), found.verticalLayout->itemAt(4));
    QCOMPARE(static_cast<QLayoutItem *>(form.horizontalSpacer), found.gridLayout_2->itemAt(1));
}

void tst_settingsDialog::texts()
{
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QCOMPARE(form.texts(window), expectedTexts);
    QCOMPARE(form.closeButton->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
}

void tst_settingsDialog::languageChange()
{
    QVERIFY(writeFile(settingsPath(), threeRows));
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QCOMPARE(rowsOf(form.treeWidget), threeRowsTable);

    // Every text is looked up again in the window's context; rows stay as they are.
    QStringList translated;
    for (const QString &text : expectedTexts)
        translated << QLatin1Char('[') + text + QLatin1Char(']');
    translated.last() = QStringLiteral("Ctrl+T");
    markingTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    QTRY_COMPARE(form.texts(window), translated);
    QCOMPARE(rowsOf(form.treeWidget), threeRowsTable);
    QVERIFY(QCoreApplication::removeTranslator(&translator));
    QTRY_COMPARE(form.texts(window), expectedTexts);

    // A change event sent directly puts back texts that someone changed.
    window.setWindowTitle(QStringLiteral("x"));
    form.groupBox->setTitle(QStringLiteral("x"));
    for (int column = 0; column < 4; ++column)
        form.treeWidget->headerItem()->setText(column, QStringLiteral("x"));
    for (QPushButton *button : window.findChildren<QPushButton *>())
        button->setText(QStringLiteral("x"));
    form.closeButton->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    QEvent other(QEvent::FontChange);
    QCoreApplication::sendEvent(&window, &other);
    QCOMPARE(window.windowTitle(), QStringLiteral("x"));
    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(&window, &change);
    QCOMPARE(form.texts(window), expectedTexts);
    QCOMPARE(rowsOf(form.treeWidget), threeRowsTable);
    QCOMPARE(form.treeWidget->columnCount(), 4);
}

void tst_settingsDialog::objectName()
{
    settingsDialog window;
    QCOMPARE(window.objectName(), QStringLiteral("settingsDialog"));

    // The form names a window only when it has no name yet.
    QDialog named;
    named.setObjectName(QStringLiteral("mainWindow"));
    Ui::settingsDialog form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("mainWindow"));
    QCOMPARE(named.size(), QSize(584, 378));
    QCOMPARE(formWidgets(named).texts(named), expectedTexts);

    QDialog unnamed;
    Ui::settingsDialog other;
    other.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QStringLiteral("settingsDialog"));
}

void tst_settingsDialog::focusChain()
{
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QVERIFY(showActive(window));
    QVERIFY(form.groupBox->focusPolicy() == Qt::NoFocus);

    form.treeWidget->setFocus(Qt::OtherFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(form.treeWidget));

    // Tab follows creation order, so Exit comes before Save, and wraps round to the table.
    const QList<QWidget *> order = { form.newButton, form.editButton, form.removeButton,
                                     form.exportButton, form.importButton, form.quitButton,
                                     form.closeButton, form.treeWidget };
    for (QWidget *next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    for (int i = order.size() - 2; i >= 0; --i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), order.at(i));
    }
}

void tst_settingsDialog::metaObject()
{
    const QMetaObject &meta = settingsDialog::staticMetaObject;
    QCOMPARE(meta.className(), "settingsDialog");
    QCOMPARE(meta.superClass(), &QDialog::staticMetaObject);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());

    const QByteArray slotNames[] = {
        "on_removeButton_clicked()", "on_editButton_clicked()", "on_newButton_clicked()",
        "on_quitButton_clicked()", "on_closeButton_clicked()",
    };
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 5);
    for (int i = 0; i < 5; ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), slotNames[i]);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.parameterCount(), 0);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        QCOMPARE(meta.indexOfSlot(slotNames[i].constData()), meta.methodOffset() + i);
    }

    settingsDialog window;
    QCOMPARE(window.metaObject(), &meta);
    QCOMPARE(window.qt_metacast("settingsDialog"), static_cast<void *>(&window));
    QCOMPARE(window.qt_metacast("Ui::settingsDialog"), nullptr);
    QCOMPARE(window.qt_metacast("Ui_settingsDialog"), nullptr);
    QCOMPARE(window.qt_metacast("QDialog"), static_cast<void *>(static_cast<QDialog *>(&window)));
    QVERIFY(window.inherits("QDialog"));
    QVERIFY(!window.inherits("Ui::settingsDialog"));
    QDialog *dialog = &window;
    QCOMPARE(qobject_cast<settingsDialog *>(dialog), &window);
    QDialog plain;
    QCOMPARE(qobject_cast<settingsDialog *>(&plain), nullptr);
}

void tst_settingsDialog::dialogButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("new") << QStringLiteral("newButton");
    QTest::newRow("edit") << QStringLiteral("editButton");
}

// New and Edit each run a modal edit dialog owned by the window; cancelling it changes nothing.
void tst_settingsDialog::dialogButtons()
{
    QFETCH(QString, button);
    QVERIFY(writeFile(settingsPath(), threeRows));
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QVERIFY(showExposed(window));
    form.treeWidget->setCurrentItem(form.treeWidget->topLevelItem(1));

    bool found = false;
    bool modal = false;
    const auto reply = [&](editDialog *dialog) {
        found = window.findChildren<editDialog *>() == QList<editDialog *> { dialog }
            && dialog->parentWidget() == &window;
        modal = QApplication::activeModalWidget() == dialog;
        dialog->reject();
    };
    QVERIFY(answer<editDialog>([&] { clickButton(window, qPrintable(button)); }, reply));
    QVERIFY(found);
    QVERIFY(modal);
    QVERIFY(window.findChildren<editDialog *>().isEmpty());
    QCOMPARE(rowsOf(form.treeWidget), threeRowsTable);
    QVERIFY(window.isVisible());
}

void tst_settingsDialog::exitWithoutSaving_data()
{
    QTest::addColumn<int>("how");
    QTest::addColumn<bool>("withFile");
    QTest::newRow("Exit button") << 0 << true;
    QTest::newRow("Exit button, no file") << 0 << false;
    QTest::newRow("Escape") << 1 << true;
    QTest::newRow("Escape, no file") << 1 << false;
    QTest::newRow("window closed") << 2 << true;
}

// Every way out closes the window, asks nothing and leaves the file as it was.
void tst_settingsDialog::exitWithoutSaving()
{
    QFETCH(int, how);
    QFETCH(bool, withFile);
    if (withFile)
        QVERIFY(writeFile(settingsPath(), threeRows));
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QVERIFY(showActive(window));
    delete form.treeWidget->topLevelItem(0);
    new QTreeWidgetItem(form.treeWidget, QStringList{ "h", "1", "d", "2" });

    const int windows = QApplication::topLevelWidgets().size();
    switch (how) {
    case 0:
        QTest::mouseClick(form.quitButton, Qt::LeftButton);
        break;
    case 1:
        QTest::keyClick(&window, Qt::Key_Escape);
        break;
    default:
        QVERIFY(window.close());
        break;
    }
    QTRY_VERIFY(!window.isVisible());
    QCOMPARE(window.result(), int(QDialog::Rejected));
    QCOMPARE(QApplication::topLevelWidgets().size(), windows);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    if (withFile)
        QCOMPARE(readFile(settingsPath()), threeRows);
    else
        QVERIFY(!QFile::exists(settingsPath()));
}

void tst_settingsDialog::save_data()
{
    QTest::addColumn<bool>("shortcut");
    QTest::newRow("Save button") << false;
    QTest::newRow("Ctrl+S") << true;
}

// Save writes next to the executable and keeps the window open.
void tst_settingsDialog::save()
{
    QFETCH(bool, shortcut);
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QVERIFY(showActive(window));
    new QTreeWidgetItem(form.treeWidget, QStringList{ "h", "1", "d", "2" });
    QVERIFY(!QFile::exists(settingsPath()));

    if (shortcut) {
        form.treeWidget->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    } else {
        QTest::mouseClick(form.closeButton, Qt::LeftButton);
    }
    QTRY_VERIFY(QFile::exists(settingsPath()));
    const QByteArray text = readFile(settingsPath());
    QVERIFY2(text.contains("positions=1"), text.constData());
    QVERIFY2(text.contains("listenHost1=h"), text.constData());
    QVERIFY(window.isVisible());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

void tst_settingsDialog::inertActions_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("withFile");
    QTest::newRow("export") << QStringLiteral("exportButton") << true;
    QTest::newRow("export, no file") << QStringLiteral("exportButton") << false;
    QTest::newRow("import") << QStringLiteral("importButton") << true;
    QTest::newRow("import, no file") << QStringLiteral("importButton") << false;
    QTest::newRow("double-click on a row") << QString() << true;
}

// Export and Import have no handler, and nothing is bound to the table: no dialog, no in-place
// editor, no file access, no change to the rows.
void tst_settingsDialog::inertActions()
{
    QFETCH(QString, button);
    QFETCH(bool, withFile);
    if (withFile)
        QVERIFY(writeFile(settingsPath(), threeRows));
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QVERIFY(showActive(window));
    form.treeWidget->setCurrentItem(form.treeWidget->topLevelItem(1));
    const Rows before = rowsOf(form.treeWidget);
    const QStringList entries = QDir(QCoreApplication::applicationDirPath()).entryList();
    const int windows = QApplication::topLevelWidgets().size();

    QPushButton *target = nullptr;
    const QRect cell = form.treeWidget->visualItemRect(form.treeWidget->topLevelItem(1));
    if (button.isEmpty()) {
        QVERIFY(cell.isValid());
    } else {
        target = window.findChild<QPushButton *>(button);
        QVERIFY(target);
        QVERIFY(target->isVisible());
        QVERIFY(target->isEnabled());
    }
    QSignalSpy doubleClicked(form.treeWidget, &QTreeWidget::itemDoubleClicked);
    const auto act = [&] {
        if (target) {
            QTest::mouseClick(target, Qt::LeftButton);
            return;
        }
        // A view takes a double-click only on the row it saw pressed.
        QWidget *viewport = form.treeWidget->viewport();
        QTest::mousePress(viewport, Qt::LeftButton, Qt::NoModifier, cell.center());
        QTest::mouseDClick(viewport, Qt::LeftButton, Qt::NoModifier, cell.center());
    };
    // No window opens; one that did is closed again, so the test cannot hang.
    QVERIFY(answer<QWidget>(act, [](QWidget *) {}, 0));
    if (!target)
        QCOMPARE(doubleClicked.count(), 1);

    QVERIFY(window.findChildren<QLineEdit *>().isEmpty());
    QCOMPARE(QApplication::topLevelWidgets().size(), windows);
    QCOMPARE(rowsOf(form.treeWidget), before);
    QCOMPARE(form.treeWidget->currentItem(), form.treeWidget->topLevelItem(1));
    QCOMPARE(QDir(QCoreApplication::applicationDirPath()).entryList(), entries);
    if (withFile)
        QCOMPARE(readFile(settingsPath()), threeRows);
    QVERIFY(window.isVisible());
}

void tst_settingsDialog::headerClickDoesNotSort()
{
    QVERIFY(writeFile(settingsPath(), threeRows));
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QVERIFY(showExposed(window));
    QCOMPARE(rowsOf(form.treeWidget), threeRowsTable);

    QHeaderView *header = form.treeWidget->header();
    for (int column = 0; column < 4; ++column) {
        const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
        const QPoint point(x, header->height() / 2);
        QCOMPARE(header->logicalIndexAt(point), column);
        for (int click = 0; click < 2; ++click) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, point);
            QCOMPARE(rowsOf(form.treeWidget), threeRowsTable);
        }
    }
    QVERIFY(!form.treeWidget->isSortingEnabled());
}

// A larger window gives the table all the added room; Save and Exit stay at the bottom right.
void tst_settingsDialog::resize()
{
    QVERIFY(writeFile(settingsPath(), threeRows));
    settingsDialog window;
    formWidgets form(window);
    QVERIFY(form.complete());
    QSpacerItem *gap1 = form.verticalLayout->itemAt(1)->spacerItem();
    QSpacerItem *gap2 = form.verticalLayout->itemAt(4)->spacerItem();
    QVERIFY(gap1 && gap2);
    QVERIFY(showExposed(window));
    QTRY_COMPARE(window.size(), QSize(584, 378));

    const QRect table = form.treeWidget->geometry();
    const QRect save = form.closeButton->geometry();
    const QRect exit = form.quitButton->geometry();
    const QRect newButton = form.newButton->geometry();
    const int gap1Height = gap1->geometry().height();
    const int gap2Height = gap2->geometry().height();

    const QSize added(216, 144);
    window.resize(window.size() + added);
    QTRY_COMPARE(window.size(), QSize(584, 378) + added);
    QTRY_COMPARE(form.treeWidget->size(), table.size() + added);
    QCOMPARE(form.treeWidget->geometry().topLeft(), table.topLeft());

    QCOMPARE(form.closeButton->geometry(), save.translated(added.width(), added.height()));
    QCOMPARE(form.quitButton->geometry(), exit.translated(added.width(), added.height()));
    QVERIFY(form.closeButton->geometry().right() < form.quitButton->geometry().left());
    QCOMPARE(form.closeButton->y(), form.quitButton->y());
    QCOMPARE(window.width() - form.quitButton->geometry().right(), 584 - exit.right());
    QCOMPARE(window.height() - form.quitButton->geometry().bottom(), 378 - exit.bottom());

    // The button column moves right with the table's edge; its two gaps take the added height.
    QCOMPARE(form.newButton->geometry(), newButton.translated(added.width(), 0));
    const int grow1 = gap1->geometry().height() - gap1Height;
    const int grow2 = gap2->geometry().height() - gap2Height;
    QVERIFY2(grow1 > 0 && grow2 > 0, qPrintable(QString("%1 %2").arg(grow1).arg(grow2)));
    QCOMPARE(grow1 + grow2, added.height());
    QCOMPARE(rowsOf(form.treeWidget), threeRowsTable);
}

QTEST_MAIN(tst_settingsDialog)
#include "tst_settingsdialog.moc"
