#include "app/Unit1.h"
#include "app/Unit2.h"
#include "support/ModalDriver.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"
#include "support/TestForm.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <functional>
#include <memory>

namespace {

class TermsDialogTest : public testing::Test {
protected:
    void SetUp() override {
        FDialogs = std::make_shared<TScriptedDialogs>();
        FForm = NewForm(FDialogs);
        // Owned by the window, as in the program.
        FTerms = new TForm1(FForm.get());
        FForm->SetTermsDialog(FTerms);
    }

    std::unique_ptr<TForm2> NewForm(std::shared_ptr<TDialogService> ADialogs) {
        return MakeTestForm2(FTemp.Path(), std::move(ADialogs));
    }

    // Opens the terms through the main window's red text, as the user does; the
    // script plays the user inside the dialog.
    void OpenTerms(TScriptedDialogs::TDialogScript AScript) {
        FDialogs->AnswerDialog(std::move(AScript));
        if (FForm->TabControl1->currentIndex() != wpVersions)
            FForm->SwitchPage(wpVersions);
        FForm->SpeedButton1->click();
        EXPECT_EQ(FDialogs->PendingAnswers(), 0u) << "the terms dialog was not opened";
    }

    TTempDir FTemp;
    std::shared_ptr<TScriptedDialogs> FDialogs;
    std::unique_ptr<TForm2> FForm;
    TForm1* FTerms = nullptr;
};

TEST_F(TermsDialogTest, LayoutCaptionAndNames) {
    QRect Geometry;
    QRect Available;
    QRect MemoGeometry[2];
    QRect TabRect[2];
    OpenTerms([&](QDialog& ADialog) {
        Geometry = ADialog.geometry();
        Available = ADialog.screen()->availableGeometry();
        // Each tab is laid out once it is shown.
        for (int I : {1, 0}) {
            FTerms->TabControl1->setCurrentIndex(I);
            QCoreApplication::processEvents();
            QWidget* Tab = FTerms->TabControl1->widget(I);
            TabRect[I] = Tab->rect();
            MemoGeometry[I] = Tab->findChild<QPlainTextEdit*>()->geometry();
        }
        return TScriptedDialogs::ClickButton(ADialog, "I Deny");
    });

    EXPECT_EQ(FDialogs->Calls(),
              std::vector<TDialogCall>({{dkExecDialog, "Orvane - Terms & Conditions"}}));
    EXPECT_EQ(FTerms->windowType(), Qt::Tool);
    EXPECT_EQ(FTerms->parentWidget(), FForm.get());
    // Centred, and 640 x 920 or as much of it as the screen holds.
    EXPECT_EQ(Geometry, TForm1::CentredGeometry(QSize(640, 920), Available));
    EXPECT_EQ(Geometry.width(), 640);

    const std::pair<QWidget*, const char*> Names[] = {
        {FTerms->TabControl1, "TabControl1"},
        {FTerms->TabItem1, "TabItem1"},
        {FTerms->TabItem2, "TabItem2"},
        {FTerms->Memo1, "Memo1"},
        {FTerms->Memo2, "Memo2"},
        {FTerms->Button1, "Button1"},
        {FTerms->Button2, "Button2"},
    };
    for (const auto& [Widget, Name] : Names) {
        ASSERT_NE(Widget, nullptr) << Name;
        EXPECT_EQ(Widget->objectName(), QLatin1String(Name));
    }

    QTabWidget& Tabs = *FTerms->TabControl1;
    ASSERT_EQ(Tabs.count(), 2);
    EXPECT_EQ(Tabs.tabText(0), QStringLiteral("Terms And Conditions"));
    EXPECT_EQ(Tabs.tabText(1), QStringLiteral("Refund Policy"));
    EXPECT_EQ(Tabs.widget(0), FTerms->TabItem1);
    EXPECT_EQ(Tabs.widget(1), FTerms->TabItem2);
    for (int I = 0; I < 2; ++I)
        EXPECT_EQ(Tabs.tabBar()->tabRect(I).height(), 30) << "tab " << I;

    const QRect Client = FTerms->rect();
    const QRect Accept = FTerms->Button1->geometry();
    const QRect Deny = FTerms->Button2->geometry();
    EXPECT_EQ(FTerms->Button1->text(), QStringLiteral("I Accept"));
    EXPECT_EQ(FTerms->Button2->text(), QStringLiteral("I Deny"));
    EXPECT_EQ(Deny, QRect(16, Client.height() - 16 - 40, Client.width() - 32, 40));
    EXPECT_EQ(Accept, Deny.translated(0, -(40 + 16)));
    EXPECT_EQ(Tabs.geometry(), QRect(0, 0, Client.width(), Accept.top()));

    const std::pair<QPlainTextEdit*, QWidget*> Memos[] = {{FTerms->Memo1, FTerms->TabItem1},
                                                          {FTerms->Memo2, FTerms->TabItem2}};
    for (int I = 0; I < 2; ++I) {
        const auto& [Memo, Tab] = Memos[I];
        SCOPED_TRACE(Memo->objectName().toStdString());
        EXPECT_EQ(Memo->parentWidget(), Tab);
        EXPECT_TRUE(Memo->isReadOnly());
        EXPECT_FALSE(TabRect[I].isEmpty());
        EXPECT_EQ(MemoGeometry[I], TabRect[I].adjusted(16, 16, -16, -16));
    }
}

TEST_F(TermsDialogTest, DrawnWithTheMainWindowsStyleSheet) {
    ASSERT_FALSE(FForm->styleSheet().isEmpty());
    FForm->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(FForm.get()));
    QColor Background;
    QColor ButtonFace;
    OpenTerms([&](QDialog& ADialog) {
        const QImage Image = ADialog.grab().toImage();
        Background = Image.pixelColor(ADialog.width() / 2, ADialog.height() - 4);
        const QImage Button = FTerms->Button1->grab().toImage();
        ButtonFace = Button.pixelColor(4, Button.height() / 2);
        return TScriptedDialogs::ClickButton(ADialog, "I Deny");
    });

    // The same colours as the main window's own surface (seen through the
    // transparent footer label) and its buttons.
    const QImage Window = FForm->grab().toImage();
    const QPoint Footer = FForm->FooterLabel->mapTo(FForm.get(), QPoint(2, 2));
    const QImage Install = FForm->InstallButton->grab().toImage();
    EXPECT_EQ(Background, Window.pixelColor(Footer));
    EXPECT_EQ(ButtonFace, Install.pixelColor(4, Install.height() / 2));
    // And not the unstyled look.
    QPushButton Plain(QStringLiteral("Plain"));
    Plain.resize(FTerms->Button1->size());
    EXPECT_NE(ButtonFace, Plain.grab().toImage().pixelColor(4, Plain.height() / 2));
}

enum TTermsAction { taAccept, taDeny, taCloseTitleBar };

struct TTermsCase {
    const char* Name;
    bool TickedBefore;
    TTermsAction Action;
    bool TickedAfter;
    int Result;
};

void PrintTo(const TTermsCase& ACase, std::ostream* AOut) {
    *AOut << ACase.Name;
}

const TTermsCase TermsCases[] = {
    {"AcceptTicks", false, taAccept, true, mrOk},
    {"AcceptKeepsTicked", true, taAccept, true, mrOk},
    {"DenyDoesNotUntick", true, taDeny, true, mrCancel},
    {"DenyDoesNotTick", false, taDeny, false, mrCancel},
    {"TitleBarCloseDoesNotUntick", true, taCloseTitleBar, true, mrCancel},
    {"TitleBarCloseDoesNotTick", false, taCloseTitleBar, false, mrCancel},
};

class TermsDialogActionTest : public TermsDialogTest,
                              public testing::WithParamInterface<TTermsCase> {};

TEST_P(TermsDialogActionTest, OnlyAcceptTouchesTheTermsBox) {
    const TTermsCase& Case = GetParam();
    FForm->CheckBox1->setChecked(Case.TickedBefore);
    bool TickedWhileOpen = !Case.TickedBefore;
    int Result = mrNone;
    OpenTerms([&](QDialog& ADialog) {
        TickedWhileOpen = FForm->CheckBox1->isChecked();
        switch (Case.Action) {
        case taAccept:
            Result = TScriptedDialogs::ClickButton(ADialog, "I Accept");
            break;
        case taDeny:
            Result = TScriptedDialogs::ClickButton(ADialog, "I Deny");
            break;
        case taCloseTitleBar:
            ADialog.close();
            Result = ADialog.result();
            break;
        }
        return Result;
    });

    EXPECT_EQ(TickedWhileOpen, Case.TickedBefore) << "opening changed the box";
    EXPECT_EQ(FForm->CheckBox1->isChecked(), Case.TickedAfter);
    EXPECT_EQ(Result, Case.Result);
    EXPECT_FALSE(FTerms->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Buttons, TermsDialogActionTest, testing::ValuesIn(TermsCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(TermsDialogTest, AcceptThenDenyLeavesTheBoxTicked) {
    OpenTerms([](QDialog& ADialog) { return TScriptedDialogs::ClickButton(ADialog, "I Accept"); });
    OpenTerms([](QDialog& ADialog) { return TScriptedDialogs::ClickButton(ADialog, "I Deny"); });
    EXPECT_TRUE(FForm->CheckBox1->isChecked());
    EXPECT_EQ(FDialogs->Texts(dkExecDialog).size(), 2);
}

TEST_F(TermsDialogTest, SecondOpeningShowsTheTabAndScrollPositionLeftBefore) {
    int TabAtFirstOpening = -1;
    int Scrolled = 0;
    OpenTerms([&](QDialog& ADialog) {
        TabAtFirstOpening = FTerms->TabControl1->currentIndex();
        QScrollBar* Bar = FTerms->Memo1->verticalScrollBar();
        EXPECT_GT(Bar->maximum(), 0) << "the terms should need scrolling";
        Bar->setValue(Bar->maximum() / 2);
        Scrolled = Bar->value();
        QTabBar* TabBar = FTerms->TabControl1->tabBar();
        QTest::mouseClick(TabBar, Qt::LeftButton, {}, TabBar->tabRect(1).center());
        return TScriptedDialogs::ClickButton(ADialog, "I Deny");
    });
    int TabAtSecondOpening = -1;
    int ScrollAtSecondOpening = -1;
    OpenTerms([&](QDialog& ADialog) {
        TabAtSecondOpening = FTerms->TabControl1->currentIndex();
        ScrollAtSecondOpening = FTerms->Memo1->verticalScrollBar()->value();
        return TScriptedDialogs::ClickButton(ADialog, "I Accept");
    });

    EXPECT_EQ(TabAtFirstOpening, 0);
    EXPECT_EQ(TabAtSecondOpening, 1);
    EXPECT_GT(Scrolled, 0);
    EXPECT_EQ(ScrollAtSecondOpening, Scrolled);
}

TEST_F(TermsDialogTest, TextsHoldTheTermsSectionsAndTheRefundPolicy) {
    const QString Terms = FTerms->Memo1->toPlainText();
    const char* const Headings[] = {
        "[Terms and Conditions]",
        "[Licence Grant]",
        "[Restrictions]",
        "[Warranties]",
        "[Liability]",
        "[Term and Termination]",
        "[Indemnity]",
        "[Rights Notice]",
        "[Applicable Law]",
    };
    qsizetype Previous = -1;
    for (const char* Heading : Headings) {
        const qsizetype At = Terms.indexOf(QLatin1String(Heading));
        EXPECT_GT(At, Previous) << Heading << " missing or out of order";
        // Every section has text of its own, not just the heading.
        EXPECT_GT(Terms.indexOf(QLatin1Char('\n'), At), At + qsizetype(qstrlen(Heading)) - 1);
        Previous = std::max(Previous, At);
    }
    EXPECT_TRUE(Terms.startsWith(QLatin1String("[Terms and Conditions]")));

    const QString Refund = FTerms->Memo2->toPlainText();
    EXPECT_TRUE(Refund.contains(QLatin1String("Developer Edition")));
    EXPECT_TRUE(Refund.contains(QLatin1String("before you buy")));
}

TEST_F(TermsDialogTest, RealModalLoopAcceptTicksTheBox) {
    auto Form = NewForm(std::make_shared<TQtDialogService>());
    auto* Terms = new TForm1(Form.get());
    Form->SetTermsDialog(Terms);
    Form->SwitchPage(wpVersions);
    TModalDriver Driver([&](QWidget& AModal) {
        if (&AModal != Terms)
            return false;
        Terms->Button1->click();
        return true;
    });

    Form->SpeedButton1->click();

    EXPECT_TRUE(Driver.Handled());
    EXPECT_TRUE(Form->CheckBox1->isChecked());
    EXPECT_FALSE(Terms->isVisible());
    EXPECT_EQ(Terms->result(), mrOk);
}

// Enter must not accept the terms, whichever control has the focus; Escape
// closes the dialog like "I Deny" and leaves the box as it was.
TEST_F(TermsDialogTest, EnterDoesNothingAndEscapeDenies) {
    auto Form = NewForm(std::make_shared<TQtDialogService>());
    auto* Terms = new TForm1(Form.get());
    Form->SetTermsDialog(Terms);
    Form->SwitchPage(wpVersions);
    bool OpenAfterEnter = false;
    bool ClosedByEscape = false;
    TModalDriver Driver([&](QWidget& AModal) {
        if (&AModal != Terms)
            return false;
        EXPECT_FALSE(Terms->Button1->autoDefault() || Terms->Button1->isDefault());
        EXPECT_FALSE(Terms->Button2->autoDefault() || Terms->Button2->isDefault());
        OpenAfterEnter = true;
        for (QWidget* Focus :
             {static_cast<QWidget*>(Terms->Button1), static_cast<QWidget*>(Terms->Button2),
              static_cast<QWidget*>(Terms->Memo1),
              static_cast<QWidget*>(Terms->TabControl1->tabBar())}) {
            Focus->setFocus(Qt::TabFocusReason);
            for (const Qt::Key Key : {Qt::Key_Return, Qt::Key_Enter})
                QTest::keyClick(Focus, Key);
            OpenAfterEnter = OpenAfterEnter && Terms->isVisible();
        }
        if (Terms->isVisible()) {
            QTest::keyClick(Terms->Memo1, Qt::Key_Escape);
            ClosedByEscape = !Terms->isVisible();
        }
        if (Terms->isVisible())
            Terms->Button2->click();
        return true;
    });

    Form->SpeedButton1->click();

    ASSERT_TRUE(Driver.Handled());
    EXPECT_TRUE(OpenAfterEnter);
    EXPECT_TRUE(ClosedByEscape);
    EXPECT_FALSE(Form->CheckBox1->isChecked());
    EXPECT_EQ(Terms->result(), mrCancel);
}

struct TGeometryCase {
    const char* Name;
    QRect Available;
    QRect Expected;
};

TEST(TForm1Test, CentredGeometryFitsTheScreen) {
    const TGeometryCase Cases[] = {
        // Room enough: 640 x 920 centred, the title bar (32) counted above it.
        {"LargeScreen", QRect(0, 0, 1920, 1200), QRect(640, 156, 640, 920)},
        {"SecondScreenRightOfFirst", QRect(1920, 0, 1920, 1200), QRect(2560, 156, 640, 920)},
        {"ScreenWithTaskbarAtTop", QRect(0, 40, 1920, 1160), QRect(640, 176, 640, 920)},
        // A laptop screen: shrink to the height, so "I Accept" stays reachable.
        {"LaptopScreen", QRect(0, 0, 1366, 728), QRect(363, 32, 640, 696)},
        {"NarrowScreen", QRect(0, 0, 600, 1200), QRect(0, 156, 600, 920)},
    };
    for (const TGeometryCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        EXPECT_EQ(TForm1::CentredGeometry(QSize(640, 920), Case.Available), Case.Expected);
    }
}

} // namespace
