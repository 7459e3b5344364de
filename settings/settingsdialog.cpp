// The settings window: construction, language change and the button commands.
#include "settingsdialog.h"

#include "editdialog.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTreeWidgetItem>

namespace {

// The dialog's fields into the row's cells, for New and Edit alike; a port as its box shows it.
void copyFields(const editDialog &dialog, QTreeWidgetItem *item)
{
    item->setText(0, dialog.listenHostEdit->text());
    item->setText(1, dialog.listenPortBox->text());
    item->setText(2, dialog.destHostEdit->text());
    item->setText(3, dialog.destPortBox->text());
}

} // namespace

settingsDialog::settingsDialog(QWidget *parent)
    : QDialog(parent)
{
    setupUi(this);
    // Without a known folder (its name not readable in the file names' encoding) the path stays
    // empty, and the list is neither read nor written anywhere else.
    const QString folder = QCoreApplication::applicationDirPath();
    if (!folder.isEmpty())
        settingsPath = folder + QLatin1String("/transport.ini");
    loadSettings();
}

void settingsDialog::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        retranslateUi(this);
}

void settingsDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Told once, when the window is there to be seen, from its own event loop.
    if (loadProblem.isEmpty())
        return;
    const QString text = loadProblem;
    loadProblem.clear();
    QMetaObject::invokeMethod(
        this, [this, text] { warn(tr("Ошибка загрузки"), text); }, Qt::QueuedConnection);
}

void settingsDialog::on_removeButton_clicked()
{
    delete treeWidget->currentItem();
}

void settingsDialog::on_editButton_clicked()
{
    QTreeWidgetItem *item = treeWidget->currentItem();
    if (!item)
        return;

    editDialog dialog(this);
    // A cell that is not a decimal number shows as 0; the box clamps the rest to its range.
    dialog.listenHostEdit->setText(item->text(0));
    dialog.listenPortBox->setValue(item->text(1).toInt(nullptr, 10));
    dialog.destHostEdit->setText(item->text(2));
    dialog.destPortBox->setValue(item->text(3).toInt(nullptr, 10));
    if (dialog.exec() == QDialog::Rejected)
        return;
    copyFields(dialog, item);
}

void settingsDialog::on_newButton_clicked()
{
    editDialog dialog(this);
    if (dialog.exec() == QDialog::Rejected)
        return;
    copyFields(dialog, new QTreeWidgetItem(treeWidget));
}

void settingsDialog::on_quitButton_clicked()
{
    // Leaves without saving and without asking: only Save writes the file.
    close();
}

void settingsDialog::on_closeButton_clicked()
{
    saveSettings();
}

// Export and Import have no handler: their buttons are placeholders and do nothing.
