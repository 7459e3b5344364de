// The main window of the redirection editor: the redirection table and its commands.
#ifndef SETTINGSDIALOG_H
#define SETTINGSDIALOG_H

#include "ui_settingsdialog.h"

#include <QDialog>
#include <QString>

#include <memory>

class listOrigin;

class settingsDialog : public QDialog, private Ui::settingsDialog
{
    Q_OBJECT

public:
    explicit settingsDialog(QWidget *parent = nullptr);

protected:
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private slots:
    void on_removeButton_clicked();
    void on_editButton_clicked();
    void on_newButton_clicked();
    void on_quitButton_clicked();
    void on_closeButton_clicked();

private:
    void loadSettings();
    void saveSettings();
    void warn(const QString &title, const QString &text);

    QString settingsPath;
    // What the rows came from; a save gives the new list no wider access than that file had.
    std::shared_ptr<listOrigin> origin;
    // Why the list could not be loaded, told once the window shows, and why Save then refuses to
    // put the table in its place; both empty after a load, also of no file at all.
    QString loadProblem;
    QString saveRefusal;
};

#endif // SETTINGSDIALOG_H
