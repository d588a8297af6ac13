#include "app/OptionSelectDialog.h"
#include "support/ModalDriver.h"
#include "support/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <vector>

namespace {

// What the user saw in one row of the dialog, top to bottom.
struct TRow {
    QString Text;
    QRect Geometry;
    bool Checked = false;
    bool IsButton = false;
    bool Default = false;
};

QString Shown(QString AText) {
    AText.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    AText.remove(QLatin1Char('&'));
    return AText.replace(QStringLiteral("\x01"), QStringLiteral("&"));
}

std::vector<TRow> RowsTopDown(QDialog& ADialog) {
    std::vector<TRow> Rows;
    for (QAbstractButton* Control : ADialog.findChildren<QAbstractButton*>()) {
        auto* Push = qobject_cast<QPushButton*>(Control);
        Rows.push_back({Shown(Control->text()), Control->geometry(), Control->isChecked(),
                        Push != nullptr,
                        Push != nullptr && (Push->isDefault() || Push->autoDefault())});
    }
    std::sort(Rows.begin(), Rows.end(),
              [](const TRow& A, const TRow& B) { return A.Geometry.top() < B.Geometry.top(); });
    return Rows;
}

QStringList Texts(const std::vector<TRow>& ARows) {
    QStringList Result;
    for (const TRow& Row : ARows)
        Result << Row.Text;
    return Result;
}

struct TCallback {
    int Calls = 0;
    int Result = mrNone;
    QStringList Values;

    TMultipleOptionSelectDialogProc Proc() {
        return [this](int AModalResult, const QStringList& AValues) {
            ++Calls;
            Result = AModalResult;
            Values = AValues;
        };
    }
};

const QStringList ThreeOptions = {"12.0 - Orvane 1.2.0", "22.0 - Orvane 1.2.3",
                                  "23.0 - Orvane 1.3.0"};
const QStringList ThreeValues = {"1", "2", "3"};

TEST(TMultipleOptionSelectDialogTest, ShowsOptionsInOrderThenOkThenCancel) {
    TScriptedDialogs Dialogs;
    std::vector<TRow> Rows;
    QSize Size;
    Dialogs.AnswerDialog([&](QDialog& ADialog) {
        Rows = RowsTopDown(ADialog);
        Size = ADialog.size();
        return TScriptedDialogs::ClickButton(ADialog, "OK");
    });
    TCallback Callback;

    TMultipleOptionSelectDialog::Execute(Dialogs, "Select versions to uninstall", ThreeOptions,
                                         ThreeValues, Callback.Proc());

    EXPECT_EQ(Dialogs.Calls(),
              std::vector<TDialogCall>({{dkExecDialog, "Select versions to uninstall"}}));
    EXPECT_EQ(Texts(Rows), ThreeOptions + QStringList({"OK", "Cancel"}));
    EXPECT_EQ(Size, QSize(240, 240));
    ASSERT_EQ(Rows.size(), 5u);
    for (std::size_t I = 0; I < Rows.size(); ++I) {
        SCOPED_TRACE(Rows[I].Text.toStdString());
        // Rows of 32 with margins of 4 all round: one every 40, 4 in from each side.
        EXPECT_EQ(Rows[I].Geometry, QRect(4, 4 + 40 * int(I), 240 - 8, 32));
        EXPECT_EQ(Rows[I].IsButton, I >= 3);
        EXPECT_FALSE(Rows[I].Default) << "neither button may be the default";
        if (!Rows[I].IsButton) {
            EXPECT_TRUE(Rows[I].Checked);
        }
    }
    EXPECT_EQ(Callback.Calls, 1);
    EXPECT_EQ(Callback.Result, mrOk);
    EXPECT_EQ(Callback.Values, QStringList({"3", "2", "1"}));
}

enum TCloseBy { cbOk, cbCancel, cbTitleBar };

struct TResultCase {
    const char* Name;
    QStringList Options;
    QStringList Values;
    QStringList Untick;
    TCloseBy CloseBy;
    int ExpectedResult;
    QStringList ExpectedValues;
};

const TResultCase ResultCases[] = {
    {"AllTickedOk", ThreeOptions, ThreeValues, {}, cbOk, mrOk, {"3", "2", "1"}},
    {"SecondUntickedOk", ThreeOptions, ThreeValues, {ThreeOptions[1]}, cbOk, mrOk, {"3", "1"}},
    {"AllUntickedOk", ThreeOptions, ThreeValues, ThreeOptions, cbOk, mrOk, {}},
    {"CancelStillReportsTickedValues",
     ThreeOptions,
     ThreeValues,
     {ThreeOptions[0]},
     cbCancel,
     mrCancel,
     {"3", "2"}},
    {"TitleBarCloseIsCancel", ThreeOptions, ThreeValues, {}, cbTitleBar, mrCancel, {"3", "2", "1"}},
    {"EmptyLists", {}, {}, {}, cbOk, mrOk, {}},
    {"DuplicatesAndAmpersandsAsGiven",
     {"R&D", "Same", "Same"},
     {"x", "v", "v"},
     {},
     cbOk,
     mrOk,
     {"v", "v", "x"}},
};

void PrintTo(const TResultCase& ACase, std::ostream* AOut) {
    *AOut << ACase.Name;
}

class TOptionSelectResultTest : public testing::TestWithParam<TResultCase> {};

TEST_P(TOptionSelectResultTest, CallsBackWithResultAndTickedValuesInReverse) {
    const TResultCase& Case = GetParam();
    TScriptedDialogs Dialogs;
    QStringList ShownTexts;
    Dialogs.AnswerDialog([&](QDialog& ADialog) {
        ShownTexts = Texts(RowsTopDown(ADialog));
        for (const QString& Option : Case.Untick) {
            auto* Box = qobject_cast<QCheckBox*>(FindButton(ADialog, Option));
            EXPECT_NE(Box, nullptr) << Option.toStdString();
            if (Box != nullptr)
                Box->click();
        }
        switch (Case.CloseBy) {
        case cbOk:
            return TScriptedDialogs::ClickButton(ADialog, "OK");
        case cbCancel:
            return TScriptedDialogs::ClickButton(ADialog, "Cancel");
        case cbTitleBar:
            ADialog.close();
            return ADialog.result();
        }
        return int(mrNone);
    });
    TCallback Callback;

    TMultipleOptionSelectDialog::Execute(Dialogs, "Uninstall", Case.Options, Case.Values,
                                         Callback.Proc());

    EXPECT_EQ(ShownTexts, Case.Options + QStringList({"OK", "Cancel"}));
    EXPECT_EQ(Callback.Calls, 1);
    EXPECT_EQ(Callback.Result, Case.ExpectedResult);
    EXPECT_EQ(Callback.Values, Case.ExpectedValues);
    EXPECT_EQ(Dialogs.PendingAnswers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Closes, TOptionSelectResultTest, testing::ValuesIn(ResultCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

bool AnyOptionDialogAlive() {
    for (QWidget* Widget : QApplication::allWidgets())
        if (qobject_cast<TMultipleOptionSelectDialog*>(Widget) != nullptr)
            return true;
    return false;
}

TEST(TMultipleOptionSelectDialogTest, DifferentLengthsThrowBeforeAnyWindow) {
    const std::pair<QStringList, QStringList> Mismatches[] = {
        {{"a", "b"}, {"1", "2", "3"}},
        {{"a", "b", "c"}, {"1", "2"}},
        {{}, {"1"}},
    };
    for (const auto& [Options, Values] : Mismatches) {
        SCOPED_TRACE(Options.join(',').toStdString() + " / " + Values.join(',').toStdString());
        TScriptedDialogs Dialogs;
        TCallback Callback;
        try {
            TMultipleOptionSelectDialog::Execute(Dialogs, "Uninstall", Options, Values,
                                                 Callback.Proc());
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& AError) {
            EXPECT_STREQ(AError.what(), "Failed to execute TOptionSelectDialog - Options and "
                                        "values of different size!");
            EXPECT_FALSE(AnyOptionDialogAlive());
        }
        EXPECT_TRUE(Dialogs.Calls().empty());
        EXPECT_EQ(Callback.Calls, 0);
    }
}

TEST(TMultipleOptionSelectDialogTest, GrowsSoOkAndCancelStayInsideWithManyOptions) {
    for (const int Count : {1, 4, 5, 8, 12}) {
        SCOPED_TRACE(Count);
        QStringList Options;
        QStringList Values;
        for (int I = 0; I < Count; ++I) {
            Options << QStringLiteral("%1.0 - Orvane 1.0.%2").arg(20 + I).arg(I);
            Values << QStringLiteral("%1.0").arg(20 + I);
        }
        TScriptedDialogs Dialogs;
        QSize Size;
        std::vector<TRow> Rows;
        Dialogs.AnswerDialog([&](QDialog& ADialog) {
            Size = ADialog.size();
            Rows = RowsTopDown(ADialog);
            return TScriptedDialogs::ClickButton(ADialog, "OK");
        });
        TCallback Callback;

        TMultipleOptionSelectDialog::Execute(Dialogs, "Uninstall", Options, Values,
                                             Callback.Proc());

        EXPECT_EQ(Size.width(), 240);
        EXPECT_EQ(Size.height(), std::max(240, 40 * (Count + 2)));
        ASSERT_EQ(Rows.size(), std::size_t(Count + 2));
        for (const TRow& Row : Rows)
            EXPECT_TRUE(QRect(QPoint(0, 0), Size).contains(Row.Geometry))
                << Row.Text.toStdString() << " lies outside the dialog";
        EXPECT_EQ(Callback.Values.size(), Count);
        EXPECT_EQ(Callback.Values.front(), Values.back());
    }
}

TEST(TMultipleOptionSelectDialogTest, RealModalLoopReportsTheClickedButton) {
    for (const QString& Button : {QStringLiteral("OK"), QStringLiteral("Cancel")}) {
        SCOPED_TRACE(Button.toStdString());
        TQtDialogService Dialogs;
        TModalDriver Driver([&](QWidget& AModal) {
            auto* Dialog = qobject_cast<TMultipleOptionSelectDialog*>(&AModal);
            if (Dialog == nullptr)
                return false;
            qobject_cast<QCheckBox*>(FindButton(*Dialog, ThreeOptions[2]))->click();
            FindButton(*Dialog, Button)->click();
            return true;
        });
        TCallback Callback;

        TMultipleOptionSelectDialog::Execute(Dialogs, "Uninstall", ThreeOptions, ThreeValues,
                                             Callback.Proc());

        EXPECT_TRUE(Driver.Handled());
        EXPECT_EQ(Callback.Calls, 1);
        EXPECT_EQ(Callback.Result, Button == QLatin1String("OK") ? mrOk : mrCancel);
        EXPECT_EQ(Callback.Values, QStringList({"2", "1"}));
    }
}

} // namespace
