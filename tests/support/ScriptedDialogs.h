#pragma once

#include "app/DialogService.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <variant>
#include <vector>

class QAbstractButton;

enum TDialogKind {
    dkWarning,
    dkWarningQuestion,
    dkConfirmationQuestion,
    dkMessage,
    dkSelectFolder,
    dkExecDialog,
};

const char* DialogKindName(TDialogKind AKind);

// One modal interaction as the code under test asked for it: the message, the
// folder picker's title, or the dialog's window title.
struct TDialogCall {
    TDialogKind Kind;
    QString Text;
    // The button Enter presses (mrYes or mrNo), for a warning question.
    int Default = mrNone;

    bool operator==(const TDialogCall&) const = default;
};

void PrintTo(const TDialogCall& ACall, std::ostream* AOut);

// Answers modal interactions from a queue, in the order they are asked, and
// records every call. Warnings and plain messages need no answer and take none
// from the queue. An unexpected call (queue empty, or the next answer is for a
// different kind of call) is a test failure and answers No / Cancel / nothing,
// so a test never hangs on a dialog nobody scripted.
class TScriptedDialogs : public TDialogService {
public:
    // Gets the dialog already shown (so its geometry is laid out); may click its
    // buttons or change its controls; returns the modal result to report. A
    // dialog the script leaves open is closed with that result.
    using TDialogScript = std::function<int(QDialog&)>;

    // Queue answers, consumed in order.
    TScriptedDialogs& AnswerQuestion(int AModalResult);
    TScriptedDialogs& AnswerYes() { return AnswerQuestion(mrYes); }
    TScriptedDialogs& AnswerNo() { return AnswerQuestion(mrNo); }
    TScriptedDialogs& AnswerFolder(std::optional<QString> AFolder);
    TScriptedDialogs& AnswerDialog(TDialogScript AScript);

    // Answers not yet consumed.
    std::size_t PendingAnswers() const { return FAnswers.size(); }

    const std::vector<TDialogCall>& Calls() const { return FCalls; }
    // Texts of the calls of one kind, in order.
    QStringList Texts(TDialogKind AKind) const;
    void ClearCalls() { FCalls.clear(); }

    void Warning(QWidget* AParent, const QString& AMessage) override;
    int WarningQuestion(QWidget* AParent, const QString& AMessage, int ADefault = mrYes) override;
    int ConfirmationQuestion(QWidget* AParent, const QString& AMessage) override;
    void Message(QWidget* AParent, const QString& AMessage) override;
    std::optional<QString> SelectFolder(QWidget* AParent, const QString& ATitle) override;
    int ExecDialog(QDialog& ADialog) override;

    // Script helper: clicks the dialog's push button with this text (mnemonic
    // ampersands ignored) and returns the dialog's result afterwards. A missing
    // button is a test failure and answers mrCancel.
    static int ClickButton(QDialog& ADialog, const QString& AText);

private:
    using TAnswer = std::variant<int, std::optional<QString>, TDialogScript>;

    int Question(TDialogKind AKind, const QString& AMessage, int ADefault = mrNone);
    // The next answer if it holds an alternative T; otherwise a recorded failure.
    template <typename T> std::optional<T> Take(const TDialogCall& ACall);

    std::deque<TAnswer> FAnswers;
    std::vector<TDialogCall> FCalls;
};

// Finds a button or check box of AParent by its text, mnemonic ampersands
// ignored; null when there is none.
QAbstractButton* FindButton(QWidget& AParent, const QString& AText);
