// The modal dialog in which the user enters or changes one redirection.
#ifndef EDITDIALOG_H
#define EDITDIALOG_H

#include "ui_editdialog.h"

#include <QDialog>

// The form is a public base: callers fill and read the four fields directly.
class editDialog : public QDialog, public Ui::editDialog
{
    Q_OBJECT

public:
    explicit editDialog(QWidget *parent = nullptr);

protected:
    void changeEvent(QEvent *event) override;

private slots:
    void on_cancelButton_clicked();
    void on_okButton_clicked();
};

#endif // EDITDIALOG_H
