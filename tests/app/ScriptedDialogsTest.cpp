#include "support/ScriptedDialogs.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QDialog>
#include <QPushButton>
#include <QVBoxLayout>

#include <functional>

// The double every GUI test relies on: it must answer in order, record what was
// asked, and fail loudly instead of answering what nobody scripted.

namespace {

TEST(TScriptedDialogsTest, AnswersInOrderAndRecordsEveryCall) {
    TScriptedDialogs Dialogs;
    Dialogs.AnswerYes()
        .AnswerFolder(QStringLiteral("/tmp/ide"))
        .AnswerNo()
        .AnswerFolder(std::nullopt);

    Dialogs.Warning(nullptr, QStringLiteral("w1"));
    EXPECT_EQ(Dialogs.WarningQuestion(nullptr, QStringLiteral("q1")), mrYes);
    EXPECT_EQ(Dialogs.SelectFolder(nullptr, QStringLiteral("f1")), QStringLiteral("/tmp/ide"));
    Dialogs.Message(nullptr, QStringLiteral("m1"));
    EXPECT_EQ(Dialogs.ConfirmationQuestion(nullptr, QStringLiteral("q2")), mrNo);
    EXPECT_EQ(Dialogs.SelectFolder(nullptr, QStringLiteral("f2")), std::nullopt);

    const std::vector<TDialogCall> Expected = {
        {dkWarning, "w1"}, {dkWarningQuestion, "q1", mrYes}, {dkSelectFolder, "f1"},
        {dkMessage, "m1"}, {dkConfirmationQuestion, "q2"},   {dkSelectFolder, "f2"},
    };
    EXPECT_EQ(Dialogs.Calls(), Expected);
    EXPECT_EQ(Dialogs.Texts(dkSelectFolder), QStringList({"f1", "f2"}));
    EXPECT_EQ(Dialogs.PendingAnswers(), 0u);
}

struct TUnexpectedCase {
    const char* Name;
    std::function<void(TScriptedDialogs&)> Script;
    std::function<int(TScriptedDialogs&)> Ask;
    int FallbackResult;
    std::size_t PendingAfter;
};

int AskWarning(TScriptedDialogs& ADialogs) {
    return ADialogs.WarningQuestion(nullptr, QStringLiteral("Overwrite?"));
}

int AskFolder(TScriptedDialogs& ADialogs) {
    return ADialogs.SelectFolder(nullptr, QStringLiteral("Pick")).has_value() ? mrOk : mrCancel;
}

int RunDialog(TScriptedDialogs& ADialogs) {
    QDialog Dialog;
    const int Result = ADialogs.ExecDialog(Dialog);
    EXPECT_FALSE(Dialog.isVisible());
    return Result;
}

const TUnexpectedCase UnexpectedCases[] = {
    {"QuestionWithEmptyQueue", [](TScriptedDialogs&) {}, AskWarning, mrNo, 0},
    {"QuestionWhenAFolderIsNext",
     [](TScriptedDialogs& ADialogs) { ADialogs.AnswerFolder(QStringLiteral("/x")); }, AskWarning,
     mrNo, 1},
    {"FolderWhenAQuestionIsNext", [](TScriptedDialogs& ADialogs) { ADialogs.AnswerYes(); },
     AskFolder, mrCancel, 1},
    {"DialogWithEmptyQueue", [](TScriptedDialogs&) {}, RunDialog, mrCancel, 0},
    {"DialogWhenAQuestionIsNext", [](TScriptedDialogs& ADialogs) { ADialogs.AnswerYes(); },
     RunDialog, mrCancel, 1},
};

void PrintTo(const TUnexpectedCase& ACase, std::ostream* AOut) {
    *AOut << ACase.Name;
}

class TScriptedDialogsUnexpectedTest : public testing::TestWithParam<TUnexpectedCase> {};

TEST_P(TScriptedDialogsUnexpectedTest, FailsTheTestAndAnswersNoOrCancel) {
    const TUnexpectedCase& Case = GetParam();
    TScriptedDialogs Dialogs;
    Case.Script(Dialogs);
    int Result = mrNone;
    EXPECT_NONFATAL_FAILURE(Result = Case.Ask(Dialogs), "scripted answer");
    EXPECT_EQ(Result, Case.FallbackResult);
    EXPECT_EQ(Dialogs.PendingAnswers(), Case.PendingAfter);
    EXPECT_EQ(Dialogs.Calls().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Calls, TScriptedDialogsUnexpectedTest, testing::ValuesIn(UnexpectedCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// A dialog with two buttons that close it with results 1 and 2.
class TTwoButtonDialog : public QDialog {
public:
    TTwoButtonDialog() {
        setWindowTitle(QStringLiteral("Choose"));
        auto* Layout = new QVBoxLayout(this);
        auto* Ok = new QPushButton(QStringLiteral("&OK"), this);
        auto* Cancel = new QPushButton(QStringLiteral("&Cancel"), this);
        Layout->addWidget(Ok);
        Layout->addWidget(Cancel);
        connect(Ok, &QPushButton::clicked, this, [this] { done(mrOk); });
        connect(Cancel, &QPushButton::clicked, this, [this] { done(mrCancel); });
    }
};

TEST(TScriptedDialogsTest, ExecDialogShowsTheDialogToTheScript) {
    for (const char* Button : {"OK", "Cancel"}) {
        SCOPED_TRACE(Button);
        TScriptedDialogs Dialogs;
        bool WasVisible = false;
        Dialogs.AnswerDialog([&](QDialog& ADialog) {
            WasVisible = ADialog.isVisible();
            return TScriptedDialogs::ClickButton(ADialog, QString::fromLatin1(Button));
        });
        TTwoButtonDialog Dialog;

        const int Result = Dialogs.ExecDialog(Dialog);

        EXPECT_TRUE(WasVisible);
        EXPECT_FALSE(Dialog.isVisible());
        EXPECT_EQ(Result, QLatin1String(Button) == QLatin1String("OK") ? mrOk : mrCancel);
        EXPECT_EQ(Dialogs.Calls(), std::vector<TDialogCall>({{dkExecDialog, "Choose"}}));
    }
}

TEST(TScriptedDialogsTest, ExecDialogClosesADialogTheScriptLeftOpen) {
    TScriptedDialogs Dialogs;
    Dialogs.AnswerDialog([](QDialog&) { return int(mrYes); });
    TTwoButtonDialog Dialog;

    EXPECT_EQ(Dialogs.ExecDialog(Dialog), mrYes);
    EXPECT_FALSE(Dialog.isVisible());
    EXPECT_EQ(Dialog.result(), mrYes);
}

TEST(TScriptedDialogsTest, ClickButtonOnAMissingButtonFails) {
    TScriptedDialogs Dialogs;
    Dialogs.AnswerDialog(
        [](QDialog& ADialog) { return TScriptedDialogs::ClickButton(ADialog, "Abort"); });
    TTwoButtonDialog Dialog;
    int Result = mrNone;
    EXPECT_NONFATAL_FAILURE(Result = Dialogs.ExecDialog(Dialog), "No button \"Abort\"");
    EXPECT_EQ(Result, mrCancel);
    EXPECT_FALSE(Dialog.isVisible());
}

} // namespace
