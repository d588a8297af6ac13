#include "support/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDialog>
#include <QPushButton>
#include <QTest>

#include <iterator>
#include <sstream>

namespace {

QString WithoutMnemonics(QString AText) {
    AText.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    AText.remove(QLatin1Char('&'));
    AText.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    return AText;
}

const char* AnswerName(std::size_t AIndex) {
    static const char* const Names[] = {"a question answer", "a folder answer", "a dialog script"};
    return AIndex < std::size(Names) ? Names[AIndex] : "?";
}

} // namespace

const char* DialogKindName(TDialogKind AKind) {
    switch (AKind) {
    case dkWarning:
        return "Warning";
    case dkWarningQuestion:
        return "WarningQuestion";
    case dkConfirmationQuestion:
        return "ConfirmationQuestion";
    case dkMessage:
        return "Message";
    case dkSelectFolder:
        return "SelectFolder";
    case dkExecDialog:
        return "ExecDialog";
    }
    return "?";
}

void PrintTo(const TDialogCall& ACall, std::ostream* AOut) {
    *AOut << DialogKindName(ACall.Kind) << "(\"" << ACall.Text.toStdString() << "\"";
    if (ACall.Default != mrNone)
        *AOut << ", default " << (ACall.Default == mrNo ? "No" : "Yes");
    *AOut << ")";
}

TScriptedDialogs& TScriptedDialogs::AnswerQuestion(int AModalResult) {
    FAnswers.emplace_back(std::in_place_index<0>, AModalResult);
    return *this;
}

TScriptedDialogs& TScriptedDialogs::AnswerFolder(std::optional<QString> AFolder) {
    FAnswers.emplace_back(std::in_place_index<1>, std::move(AFolder));
    return *this;
}

TScriptedDialogs& TScriptedDialogs::AnswerDialog(TDialogScript AScript) {
    FAnswers.emplace_back(std::in_place_index<2>, std::move(AScript));
    return *this;
}

QStringList TScriptedDialogs::Texts(TDialogKind AKind) const {
    QStringList Result;
    for (const TDialogCall& Call : FCalls)
        if (Call.Kind == AKind)
            Result << Call.Text;
    return Result;
}

template <typename T> std::optional<T> TScriptedDialogs::Take(const TDialogCall& ACall) {
    std::ostringstream Call;
    PrintTo(ACall, &Call);
    if (FAnswers.empty()) {
        ADD_FAILURE() << "No scripted answer left for " << Call.str();
        return std::nullopt;
    }
    if (!std::holds_alternative<T>(FAnswers.front())) {
        ADD_FAILURE() << "The next scripted answer is " << AnswerName(FAnswers.front().index())
                      << ", but the code asked " << Call.str();
        return std::nullopt;
    }
    T Answer = std::get<T>(std::move(FAnswers.front()));
    FAnswers.pop_front();
    return Answer;
}

int TScriptedDialogs::Question(TDialogKind AKind, const QString& AMessage, int ADefault) {
    FCalls.push_back({AKind, AMessage, ADefault});
    return Take<int>(FCalls.back()).value_or(mrNo);
}

void TScriptedDialogs::Warning(QWidget*, const QString& AMessage) {
    FCalls.push_back({dkWarning, AMessage});
}

int TScriptedDialogs::WarningQuestion(QWidget*, const QString& AMessage, int ADefault) {
    return Question(dkWarningQuestion, AMessage, ADefault);
}

int TScriptedDialogs::ConfirmationQuestion(QWidget*, const QString& AMessage) {
    return Question(dkConfirmationQuestion, AMessage);
}

void TScriptedDialogs::Message(QWidget*, const QString& AMessage) {
    FCalls.push_back({dkMessage, AMessage});
}

std::optional<QString> TScriptedDialogs::SelectFolder(QWidget*, const QString& ATitle) {
    FCalls.push_back({dkSelectFolder, ATitle});
    return Take<std::optional<QString>>(FCalls.back()).value_or(std::nullopt);
}

int TScriptedDialogs::ExecDialog(QDialog& ADialog) {
    FCalls.push_back({dkExecDialog, ADialog.windowTitle()});
    std::optional<TDialogScript> Script = Take<TDialogScript>(FCalls.back());
    if (!Script || !*Script)
        return mrCancel;
    ADialog.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&ADialog)) << "dialog never shown";
    const int Result = (*Script)(ADialog);
    if (ADialog.isVisible())
        ADialog.done(Result);
    else
        EXPECT_EQ(ADialog.result(), Result) << "the script reported a different result than the "
                                               "dialog closed with";
    return Result;
}

QAbstractButton* FindButton(QWidget& AParent, const QString& AText) {
    for (QAbstractButton* Button : AParent.findChildren<QAbstractButton*>())
        if (WithoutMnemonics(Button->text()) == AText)
            return Button;
    return nullptr;
}

int TScriptedDialogs::ClickButton(QDialog& ADialog, const QString& AText) {
    QAbstractButton* Button = FindButton(ADialog, AText);
    if (Button == nullptr) {
        ADD_FAILURE() << "No button \"" << AText.toStdString() << "\" in dialog \""
                      << ADialog.windowTitle().toStdString() << "\"";
        return mrCancel;
    }
    Button->click();
    return ADialog.result();
}
