#pragma once

#include <QString>

#include <optional>

class QDialog;
class QWidget;

// Modal results as the installer's dialogs report them.
enum TModalResult : int {
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    mrAbort = 3,
    mrYes = 6,
    mrNo = 7,
};

// Every modal interaction of the installer goes through this one seam, so
// tests can answer in order and see what was asked.
class TDialogService {
public:
    virtual ~TDialogService() = default;

    // Warning-kind box with one OK button (ShowWarning and ShowInfo).
    virtual void Warning(QWidget* AParent, const QString& AMessage) = 0;
    // Yes/No question of the warning kind; returns mrYes, mrNo, or mrCancel when
    // the box is closed without a button. ADefault (mrYes or mrNo) is the
    // button Enter presses.
    virtual int WarningQuestion(QWidget* AParent, const QString& AMessage,
                                int ADefault = mrYes) = 0;
    // Yes/No question of the confirmation kind, Yes being the default button.
    virtual int ConfirmationQuestion(QWidget* AParent, const QString& AMessage) = 0;
    // Plain message box with one OK button.
    virtual void Message(QWidget* AParent, const QString& AMessage) = 0;
    // Platform folder picker; nullopt when cancelled.
    virtual std::optional<QString> SelectFolder(QWidget* AParent, const QString& ATitle) = 0;
    // Runs a ready-made modal dialog (terms dialog, option dialog) and returns its
    // modal result.
    virtual int ExecDialog(QDialog& ADialog) = 0;
};

// Real Qt message boxes and dialogs.
class TQtDialogService : public TDialogService {
public:
    void Warning(QWidget* AParent, const QString& AMessage) override;
    int WarningQuestion(QWidget* AParent, const QString& AMessage, int ADefault = mrYes) override;
    int ConfirmationQuestion(QWidget* AParent, const QString& AMessage) override;
    void Message(QWidget* AParent, const QString& AMessage) override;
    std::optional<QString> SelectFolder(QWidget* AParent, const QString& ATitle) override;
    int ExecDialog(QDialog& ADialog) override;
};
