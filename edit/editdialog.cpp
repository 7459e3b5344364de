// The edit dialog: holds one redirection's four fields and ends accepted or rejected.
#include "editdialog.h"

#include <QEvent>

editDialog::editDialog(QWidget *parent)
    : QDialog(parent)
{
    // The port boxes carry the C locale in the form: their text is copied into the file, and
    // the file's readers expect ASCII digits whatever language the user's desktop speaks.
    setupUi(this);
}

void editDialog::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        retranslateUi(this);
}

void editDialog::on_cancelButton_clicked()
{
    reject();
}

void editDialog::on_okButton_clicked()
{
    accept();
}
