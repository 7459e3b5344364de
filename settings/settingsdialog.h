// The main window of the redirection editor: the redirection table and its commands.
#ifndef SETTINGSDIALOG_H
#define SETTINGSDIALOG_H

#include "ui_settingsdialog.h"

#include <QDialog>
#include <QString>

class settingsDialog : public QDialog, private Ui::settingsDialog
{
    Q_OBJECT

public:
    explicit settingsDialog(QWidget *parent = nullptr);

protected:
    void changeEvent(QEvent *event) override;

private slots:
    void on_removeButton_clicked();
    void on_editButton_clicked();
    void on_newButton_clicked();
    void on_quitButton_clicked();
    void on_closeButton_clicked();

private:
    void loadSettings();
    void saveSettings();

    QString settingsPath;
};

#endif // SETTINGSDIALOG_H
