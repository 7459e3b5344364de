// Tests of the edit dialog: its form, ranges, results, texts, slots and port text under any locale.
#include "editdialog.h"
#include "testsupport.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMetaMethod>
#include <QPair>
#include <QPushButton>
#include <QSpinBox>
#include <QTranslator>
#include <QtTest>

using namespace testSupport;

namespace {

// Answers every lookup with its context and source, so a test sees which context a text used.
class contextTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char * = nullptr,
        int = -1) const override
    {
        return QLatin1String(context) + QLatin1Char('|') + QString::fromUtf8(sourceText);
    }
    bool isEmpty() const override { return false; }
};

// Counts the calls that reach accept() and reject(), to show the slots call them virtually.
class recordingDialog : public editDialog
{
public:
    int accepts = 0;
    int rejects = 0;
    void accept() override
    {
        ++accepts;
        editDialog::accept();
    }
    void reject() override
    {
        ++rejects;
        editDialog::reject();
    }
};

bool isAsciiDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

class tst_editDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formTree();
    void memberOrder();
    void texts();
    void portRange_data();
    void portRange();
    void hostFields();
    void focusOrder();
    void result_data();
    void result();
    void slotsBound();
    void existingObjectName();
    void languageChange();
    void metaObject();
    void slotsCallVirtually();
    void asciiPortsUnderLocale_data();
    void asciiPortsUnderLocale();

private:
    QLocale startLocale;
};

void tst_editDialog::initTestCase()
{
    startLocale = QLocale();
}

void tst_editDialog::init()
{
    failOnUnboundSlots();
}

void tst_editDialog::cleanup()
{
    QLocale::setDefault(startLocale);
}

void tst_editDialog::formTree()
{
    editDialog dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("editDialog"));
    QCOMPARE(dialog.size(), QSize(400, 147));
    QCOMPARE(dialog.parentWidget(), nullptr);

    auto *grid = qobject_cast<QGridLayout *>(dialog.layout());
    QVERIFY(grid);
    QCOMPARE(grid, dialog.gridLayout);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(grid->count(), 9);

    // The widgets the dialog owns directly, in creation order, with their place in the grid.
    struct Cell
    {
        QWidget *widget;
        const char *className;
        const char *name;
        int row;
        int column;
    };
    const Cell cells[] = {
        { dialog.label, "QLabel", "label", 0, 0 },
        { dialog.listenHostEdit, "QLineEdit", "listenHostEdit", 0, 1 },
        { dialog.label_2, "QLabel", "label_2", 1, 0 },
        { dialog.listenPortBox, "QSpinBox", "listenPortBox", 1, 1 },
        { dialog.label_4, "QLabel", "label_4", 2, 0 },
        { dialog.destHostEdit, "QLineEdit", "destHostEdit", 2, 1 },
        { dialog.label_3, "QLabel", "label_3", 3, 0 },
        { dialog.destPortBox, "QSpinBox", "destPortBox", 3, 1 },
    };
    for (const Cell &cell : cells) {
        QVERIFY2(cell.widget, cell.name);
        QCOMPARE(cell.widget->objectName(), QLatin1String(cell.name));
        QCOMPARE(cell.widget->metaObject()->className(), cell.className);
        QCOMPARE(cell.widget->parentWidget(), &dialog);
        QCOMPARE(dialog.findChild<QWidget *>(QLatin1String(cell.name)), cell.widget);
        const int index = grid->indexOf(cell.widget);
        QVERIFY2(index >= 0, cell.name);
        int row = -1, column = -1, rowSpan = -1, columnSpan = -1;
        grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        QCOMPARE(row, cell.row);
        QCOMPARE(column, cell.column);
        QCOMPARE(rowSpan, 1);
        QCOMPARE(columnSpan, 1);
        QCOMPARE(grid->itemAt(index)->alignment(), Qt::Alignment());
    }

    auto *buttons = dialog.findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout"));
    QVERIFY(buttons);
    QCOMPARE(buttons, dialog.horizontalLayout);
    QCOMPARE(buttons->parent(), grid);
    int buttonsIndex = -1;
    for (int i = 0; i < grid->count(); ++i) {
        if (grid->itemAt(i)->layout() == buttons)
            buttonsIndex = i;
    }
    QVERIFY(buttonsIndex >= 0);
    int row = -1, column = -1, rowSpan = -1, columnSpan = -1;
    grid->getItemPosition(buttonsIndex, &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(row, 4);
    QCOMPARE(column, 0);
    QCOMPARE(rowSpan, 1);
    QCOMPARE(columnSpan, 2);

    QCOMPARE(buttons->count(), 3);
    QSpacerItem *spacer = buttons->itemAt(0)->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer, dialog.horizontalSpacer);
    QCOMPARE(spacer->sizeHint(), QSize(40, 20));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(buttons->itemAt(1)->widget(), dialog.okButton);
    QCOMPARE(buttons->itemAt(2)->widget(), dialog.cancelButton);
    for (int i = 0; i < buttons->count(); ++i) {
        QCOMPARE(buttons->stretch(i), 0);
        QCOMPARE(buttons->itemAt(i)->alignment(), Qt::Alignment());
    }
    QCOMPARE(dialog.okButton->objectName(), QStringLiteral("okButton"));
    QCOMPARE(dialog.cancelButton->objectName(), QStringLiteral("cancelButton"));
    QCOMPARE(dialog.okButton->parentWidget(), &dialog);
    QCOMPARE(dialog.cancelButton->parentWidget(), &dialog);
    // No button is made default by the form.
    QVERIFY(!dialog.okButton->isDefault());
    QVERIFY(!dialog.cancelButton->isDefault());

    // Creation order shows in the order of the dialog's own children.
    QStringList names;
    const auto children = dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    for (const QWidget *child : children)
        names << child->objectName();
    QCOMPARE(names,
        QStringList({ "label", "listenHostEdit", "label_2", "listenPortBox", "label_4",
            "destHostEdit", "label_3", "destPortBox", "okButton", "cancelButton" }));
}

void tst_editDialog::memberOrder()
{
    // The form's members are laid out in the order they are declared.
    Ui::editDialog form;
    const void *members[] = {
        &form.gridLayout,
        &form.label,
        &form.listenHostEdit,
        &form.label_2,
        &form.listenPortBox,
        &form.label_4,
        &form.destHostEdit,
        &form.label_3,
        &form.destPortBox,
        &form.horizontalLayout,
        &form.horizontalSpacer,
        &form.okButton,
        &form.cancelButton,
    };
    for (size_t i = 1; i < sizeof members / sizeof members[0]; ++i)
        QVERIFY2(members[i - 1] < members[i], QByteArray::number(qulonglong(i)).constData());
    QCOMPARE(sizeof(Ui::editDialog), sizeof members);
}

void tst_editDialog::texts()
{
    editDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Dialog"));
    QCOMPARE(dialog.label->text(), QStringLiteral("Прослушиваемый хост"));
    QCOMPARE(dialog.label_2->text(), QStringLiteral("Прослушиваемый порт"));
    QCOMPARE(dialog.label_4->text(), QStringLiteral("Хост назначения"));
    QCOMPARE(dialog.label_3->text(), QStringLiteral("Порт назнияачен"));
    QCOMPARE(dialog.okButton->text(), QStringLiteral("OK"));
    QCOMPARE(dialog.cancelButton->text(), QStringLiteral("Отмена"));

    // Each caption is the buddy of the field beside it, so that a screen reader names the field
    // by it. The captions have no mnemonics.
    const QPair<QLabel *, QWidget *> captions[] = {
        { dialog.label, dialog.listenHostEdit },
        { dialog.label_2, dialog.listenPortBox },
        { dialog.label_4, dialog.destHostEdit },
        { dialog.label_3, dialog.destPortBox },
    };
    for (const auto &caption : captions) {
        QCOMPARE(caption.first->buddy(), caption.second);
        QAccessibleInterface *field = QAccessible::queryAccessibleInterface(caption.second);
        QVERIFY(field);
        QCOMPARE(field->text(QAccessible::Name), caption.first->text());
    }
}

void tst_editDialog::portRange_data()
{
    QTest::addColumn<int>("set");
    QTest::addColumn<int>("held");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("typedValue");

    // A keystroke that would leave the range is refused, so the box keeps what came before it.
    QTest::newRow("zero") << 0 << 0 << "0" << 0;
    QTest::newRow("port 80") << 80 << 80 << "80" << 80;
    QTest::newRow("above 65535") << 65536 << 65536 << "65536" << 65536;
    QTest::newRow("maximum") << 100000 << 100000 << "100000" << 100000;
    QTest::newRow("above maximum") << 100001 << 100000 << "100001" << 10000;
    QTest::newRow("far above") << 2147483647 << 100000 << "999999" << 99999;
    QTest::newRow("negative") << -1 << 0 << "-1" << 1;
}

void tst_editDialog::portRange()
{
    QFETCH(int, set);
    QFETCH(int, held);
    QFETCH(QString, typed);
    QFETCH(int, typedValue);

    // A spin box writes its text when shown or when its value changes: show it, as exec() does.
    editDialog dialog;
    QVERIFY(showExposed(dialog));
    for (QSpinBox *box : { dialog.listenPortBox, dialog.destPortBox }) {
        QCOMPARE(box->minimum(), 0);
        QCOMPARE(box->maximum(), 100000);
        QCOMPARE(box->singleStep(), 1);
        QCOMPARE(box->displayIntegerBase(), 10);
        QVERIFY(box->prefix().isEmpty());
        QVERIFY(box->suffix().isEmpty());
        QVERIFY(box->specialValueText().isEmpty());
        QCOMPARE(box->value(), 0);
        QCOMPARE(box->text(), QStringLiteral("0"));

        box->setValue(set);
        QCOMPARE(box->value(), held);
        QCOMPARE(box->text(), QString::number(held));

        box->selectAll();
        QTest::keyClicks(box, typed);
        QCOMPARE(box->value(), typedValue);
        QCOMPARE(box->text(), QString::number(typedValue));
    }
}

void tst_editDialog::hostFields()
{
    editDialog dialog;
    for (QLineEdit *edit : { dialog.listenHostEdit, dialog.destHostEdit }) {
        QVERIFY(edit->text().isEmpty());
        QCOMPARE(edit->validator(), nullptr);
        QVERIFY(edit->inputMask().isEmpty());
        QCOMPARE(edit->echoMode(), QLineEdit::Normal);
        // A host as long as a file may hold comes back whole from Edit: no limit cuts it.
        const QString longHost(100000, QLatin1Char('h'));
        edit->setText(longHost);
        QCOMPARE(edit->text(), longHost);
        edit->clear();

        // Any host text goes in as typed: nothing is checked or converted.
        QTest::keyClicks(edit, QStringLiteral(" host=name;with,odd \"chars\"\\ "));
        edit->insert(QStringLiteral("и кириллица"));
        QCOMPARE(edit->text(), QStringLiteral(" host=name;with,odd \"chars\"\\ и кириллица"));
    }
}

void tst_editDialog::focusOrder()
{
    editDialog dialog;
    QVERIFY(showActive(dialog));

    // A spin box hands its focus to its inner line edit; count that as the box.
    const auto focused = [] {
        QWidget *widget = QApplication::focusWidget();
        if (widget && qobject_cast<QAbstractSpinBox *>(widget->parentWidget()))
            widget = widget->parentWidget();
        return widget;
    };
    const QList<QWidget *> order
        = { dialog.listenHostEdit, dialog.listenPortBox, dialog.destHostEdit, dialog.destPortBox,
              dialog.okButton, dialog.cancelButton, dialog.listenHostEdit };
    QTRY_COMPARE(focused(), order.first());
    for (int i = 1; i < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(focused(), order.at(i));
    }
}

void tst_editDialog::result_data()
{
    QTest::addColumn<QString>("end");
    QTest::addColumn<int>("expected");

    QTest::newRow("OK") << "ok" << int(QDialog::Accepted);
    QTest::newRow("Cancel") << "cancel" << int(QDialog::Rejected);
    QTest::newRow("Escape") << "escape" << int(QDialog::Rejected);
    QTest::newRow("close") << "close" << int(QDialog::Rejected);
}

void tst_editDialog::result()
{
    QFETCH(QString, end);
    QFETCH(int, expected);

    editDialog dialog;
    bool wasVisible = false;
    const auto reply = [&](editDialog *shown) {
        wasVisible = shown == &dialog && dialog.isVisible() && dialog.isModal();
        if (end == QLatin1String("ok"))
            QTest::mouseClick(dialog.okButton, Qt::LeftButton);
        else if (end == QLatin1String("cancel"))
            QTest::mouseClick(dialog.cancelButton, Qt::LeftButton);
        else if (end == QLatin1String("escape"))
            QTest::keyClick(dialog.listenHostEdit, Qt::Key_Escape); // the edit passes it on
        else
            dialog.close();
    };
    int result = 0;
    QVERIFY(answer<editDialog>([&] { result = dialog.exec(); }, reply));
    QVERIFY(wasVisible);
    QCOMPARE(result, expected);
    QVERIFY(!dialog.isVisible());

    // Nothing entered: the caller reads empty hosts and ports of "0".
    QVERIFY(dialog.listenHostEdit->text().isEmpty());
    QVERIFY(dialog.destHostEdit->text().isEmpty());
    QCOMPARE(dialog.listenPortBox->text(), QStringLiteral("0"));
    QCOMPARE(dialog.destPortBox->text(), QStringLiteral("0"));
}

void tst_editDialog::slotsBound()
{
    for (const char *name : { "okButton", "cancelButton" }) {
        editDialog dialog;
        QVERIFY(showExposed(dialog));
        QPushButton *button = dialog.findChild<QPushButton *>(QLatin1String(name));
        QVERIFY2(button, name);
        dialog.setResult(-1);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY2(!dialog.isVisible(), name);
        QCOMPARE(dialog.result(),
            int(button == dialog.okButton ? QDialog::Accepted : QDialog::Rejected));
    }
}

void tst_editDialog::existingObjectName()
{
    QDialog named;
    named.setObjectName(QStringLiteral("redirectionEditor"));
    Ui::editDialog form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("redirectionEditor"));
    // The rest of the form is built as usual.
    QCOMPARE(named.size(), QSize(400, 147));
    QCOMPARE(named.findChild<QSpinBox *>(QStringLiteral("destPortBox")), form.destPortBox);

    QDialog unnamed;
    Ui::editDialog other;
    other.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QStringLiteral("editDialog"));
}

void tst_editDialog::languageChange()
{
    editDialog dialog;
    QTest::keyClicks(dialog.listenHostEdit, QStringLiteral("127.0.0.1"));
    dialog.listenPortBox->setValue(81);
    QTest::keyClicks(dialog.destHostEdit, QStringLiteral("10.0.0.2"));
    dialog.destPortBox->setValue(80);

    const auto texts = [&] {
        return QStringList { dialog.windowTitle(), dialog.label->text(), dialog.label_2->text(),
            dialog.label_4->text(), dialog.label_3->text(), dialog.okButton->text(),
            dialog.cancelButton->text() };
    };
    const QStringList plain = texts();

    // Installing a translator posts the language-change event to every window.
    contextTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    QStringList expected;
    for (const QString &text : plain)
        expected << QStringLiteral("editDialog|") + text;
    QTRY_COMPARE(texts(), expected);
    QCOMPARE(dialog.listenHostEdit->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(dialog.listenPortBox->value(), 81);
    QCOMPARE(dialog.destHostEdit->text(), QStringLiteral("10.0.0.2"));
    QCOMPARE(dialog.destPortBox->value(), 80);

    QVERIFY(QCoreApplication::removeTranslator(&translator));
    QTRY_COMPARE(texts(), plain);

    // The event on its own, as a platform sends it, does the same.
    QEvent change(QEvent::LanguageChange);
    dialog.setWindowTitle(QString());
    dialog.label_3->clear();
    QCoreApplication::sendEvent(&dialog, &change);
    QCOMPARE(texts(), plain);
    QCOMPARE(dialog.listenHostEdit->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(dialog.listenPortBox->text(), QStringLiteral("81"));
    QCOMPARE(dialog.destHostEdit->text(), QStringLiteral("10.0.0.2"));
    QCOMPARE(dialog.destPortBox->text(), QStringLiteral("80"));
}

void tst_editDialog::metaObject()
{
    editDialog dialog;
    const QMetaObject *meta = dialog.metaObject();
    QCOMPARE(meta, &editDialog::staticMetaObject);
    QCOMPARE(meta->className(), "editDialog");
    QCOMPARE(meta->superClass(), &QDialog::staticMetaObject);
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 2);
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());
    QCOMPARE(meta->constructorCount(), 0);

    const char *signatures[] = { "on_cancelButton_clicked()", "on_okButton_clicked()" };
    for (int i = 0; i < 2; ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(signatures[i]));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.parameterCount(), 0);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
    }

    QCOMPARE(dialog.qt_metacast("editDialog"), static_cast<void *>(&dialog));
    QCOMPARE(dialog.qt_metacast("Ui::editDialog"),
        static_cast<void *>(static_cast<Ui::editDialog *>(&dialog)));
    QCOMPARE(dialog.qt_metacast("QDialog"), static_cast<void *>(static_cast<QDialog *>(&dialog)));
    QCOMPARE(dialog.qt_metacast(nullptr), nullptr);
    QCOMPARE(dialog.qt_metacast("Ui_editDialog"), nullptr);
    QCOMPARE(dialog.qt_metacast("settingsDialog"), nullptr);
    QObject *object = &dialog;
    QCOMPARE(qobject_cast<editDialog *>(object), &dialog);
}

void tst_editDialog::slotsCallVirtually()
{
    // Cancel reaches an overriding reject(), and OK an overriding accept().
    recordingDialog dialog;
    QVERIFY(showExposed(dialog));
    QTest::mouseClick(dialog.cancelButton, Qt::LeftButton);
    QCOMPARE(dialog.rejects, 1);
    QCOMPARE(dialog.accepts, 0);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));

    QVERIFY(showExposed(dialog));
    QTest::mouseClick(dialog.okButton, Qt::LeftButton);
    QCOMPARE(dialog.rejects, 1);
    QCOMPARE(dialog.accepts, 1);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));

    // The slots are reached through the meta-object by their index as well.
    dialog.show();
    const QMetaObject *meta = dialog.metaObject();
    QVERIFY(meta->method(meta->methodOffset()).invoke(&dialog, Qt::DirectConnection));
    QCOMPARE(dialog.rejects, 2);
    QVERIFY(meta->method(meta->methodOffset() + 1).invoke(&dialog, Qt::DirectConnection));
    QCOMPARE(dialog.accepts, 2);
}

void tst_editDialog::asciiPortsUnderLocale_data()
{
    addOtherDigitLocales();
}

void tst_editDialog::asciiPortsUnderLocale()
{
    QFETCH(QLocale, locale);
    QLocale::setDefault(locale);

    // The locale really writes other digits: a box that follows it would not show "80".
    QSpinBox plain;
    QVERIFY(showExposed(plain));
    plain.setValue(80);
    QCOMPARE(plain.text(), locale.toString(80));
    QVERIFY2(!isAsciiDigits(plain.text()), qPrintable(plain.text()));

    editDialog dialog;
    QVERIFY(showExposed(dialog));
    for (QSpinBox *box : { dialog.listenPortBox, dialog.destPortBox }) {
        QCOMPARE(box->text(), QStringLiteral("0"));
        box->setValue(80);
        QCOMPARE(box->text(), QStringLiteral("80"));
        box->setValue(100000);
        QCOMPARE(box->text(), QStringLiteral("100000"));
        // Typed ASCII digits are read as such, and a step shows ASCII again.
        box->selectAll();
        QTest::keyClicks(box, QStringLiteral("443"));
        QCOMPARE(box->value(), 443);
        QTest::keyClick(box, Qt::Key_Up);
        QCOMPARE(box->value(), 444);
        QCOMPARE(box->text(), QStringLiteral("444"));
    }
}

QTEST_MAIN(tst_editDialog)
#include "tst_editdialog.moc"
