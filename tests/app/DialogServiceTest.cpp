#include "app/DialogService.h"
#include "support/ModalDriver.h"
#include "support/TempDir.h"
#include "support/TestForm.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <functional>

namespace {

enum TUserAction { uaClickOk, uaClickYes, uaClickNo, uaCloseBox, uaPressEnter };

// What the user does with an open message box.
void Act(QMessageBox& ABox, TUserAction AAction) {
    switch (AAction) {
    case uaClickOk:
        ABox.button(QMessageBox::Ok)->click();
        break;
    case uaClickYes:
        ABox.button(QMessageBox::Yes)->click();
        break;
    case uaClickNo:
        ABox.button(QMessageBox::No)->click();
        break;
    case uaCloseBox:
        ABox.close();
        break;
    case uaPressEnter:
        QTest::keyClick(&ABox, Qt::Key_Return);
        break;
    }
}

struct TBoxCase {
    const char* Name;
    std::function<int(TDialogService&, const QString&)> Show;
    TUserAction Action;
    QMessageBox::Icon Icon;
    QMessageBox::StandardButtons Buttons;
    QMessageBox::StandardButton Default;
    int Expected;
};

int ShowWarning(TDialogService& AService, const QString& AText) {
    AService.Warning(nullptr, AText);
    return mrNone;
}

int ShowMessage(TDialogService& AService, const QString& AText) {
    AService.Message(nullptr, AText);
    return mrNone;
}

int AskWarning(TDialogService& AService, const QString& AText) {
    return AService.WarningQuestion(nullptr, AText);
}

// The running-IDE question: going on is the risky answer.
int AskWarningNoByDefault(TDialogService& AService, const QString& AText) {
    return AService.WarningQuestion(nullptr, AText, mrNo);
}

int AskConfirmation(TDialogService& AService, const QString& AText) {
    return AService.ConfirmationQuestion(nullptr, AText);
}

const QMessageBox::StandardButtons YesNo = QMessageBox::Yes | QMessageBox::No;

const TBoxCase BoxCases[] = {
    {"WarningOk", ShowWarning, uaClickOk, QMessageBox::Warning, QMessageBox::Ok, QMessageBox::Ok,
     mrNone},
    {"WarningClosed", ShowWarning, uaCloseBox, QMessageBox::Warning, QMessageBox::Ok,
     QMessageBox::Ok, mrNone},
    {"MessageOk", ShowMessage, uaClickOk, QMessageBox::NoIcon, QMessageBox::Ok, QMessageBox::Ok,
     mrNone},
    {"WarningQuestionYes", AskWarning, uaClickYes, QMessageBox::Warning, YesNo, QMessageBox::Yes,
     mrYes},
    {"WarningQuestionNo", AskWarning, uaClickNo, QMessageBox::Warning, YesNo, QMessageBox::Yes,
     mrNo},
    {"WarningQuestionClosed", AskWarning, uaCloseBox, QMessageBox::Warning, YesNo, QMessageBox::Yes,
     mrCancel},
    {"WarningQuestionEnter", AskWarning, uaPressEnter, QMessageBox::Warning, YesNo,
     QMessageBox::Yes, mrYes},
    {"WarningQuestionNoByDefaultEnter", AskWarningNoByDefault, uaPressEnter, QMessageBox::Warning,
     YesNo, QMessageBox::No, mrNo},
    {"WarningQuestionNoByDefaultYes", AskWarningNoByDefault, uaClickYes, QMessageBox::Warning,
     YesNo, QMessageBox::No, mrYes},
    {"ConfirmationYes", AskConfirmation, uaClickYes, QMessageBox::Question, YesNo, QMessageBox::Yes,
     mrYes},
    {"ConfirmationNo", AskConfirmation, uaClickNo, QMessageBox::Question, YesNo, QMessageBox::Yes,
     mrNo},
    {"ConfirmationClosed", AskConfirmation, uaCloseBox, QMessageBox::Question, YesNo,
     QMessageBox::Yes, mrCancel},
};

void PrintTo(const TBoxCase& ACase, std::ostream* AOut) {
    *AOut << ACase.Name;
}

class TQtMessageBoxTest : public testing::TestWithParam<TBoxCase> {};

TEST_P(TQtMessageBoxTest, ShowsTheBoxAndReportsTheButton) {
    const TBoxCase& Case = GetParam();
    // Names from a zip or the server can look like markup; the box shows them as
    // they are, with no live link.
    const QString Text = QStringLiteral(
        "Package file already present: \"C:\\Temp\\<a href=\"https://example.org\">a</a><b>.zip\"");
    TQtDialogService Service;

    QMessageBox::Icon Icon = QMessageBox::Critical;
    QString ShownText;
    Qt::TextFormat BoxFormat = Qt::AutoText;
    Qt::TextFormat LabelFormat = Qt::AutoText;
    QMessageBox::StandardButtons Buttons;
    QMessageBox::StandardButton Default = QMessageBox::NoButton;
    TModalDriver Driver([&](QWidget& AModal) {
        auto* Box = qobject_cast<QMessageBox*>(&AModal);
        if (Box == nullptr)
            return false;
        Icon = Box->icon();
        ShownText = Box->text();
        BoxFormat = Box->textFormat();
        if (const auto* Label = Box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
            LabelFormat = Label->textFormat();
        Buttons = Box->standardButtons();
        if (Box->defaultButton() != nullptr)
            Default = Box->standardButton(Box->defaultButton());
        Act(*Box, Case.Action);
        return true;
    });

    const int Result = Case.Show(Service, Text);

    ASSERT_TRUE(Driver.Handled()) << "no message box was shown";
    EXPECT_EQ(Result, Case.Expected);
    EXPECT_EQ(ShownText, Text);
    EXPECT_EQ(BoxFormat, Qt::PlainText);
    EXPECT_EQ(LabelFormat, Qt::PlainText);
    EXPECT_EQ(Icon, Case.Icon);
    EXPECT_EQ(Buttons, Case.Buttons);
    EXPECT_EQ(Default, Case.Default);
}

INSTANTIATE_TEST_SUITE_P(Boxes, TQtMessageBoxTest, testing::ValuesIn(BoxCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(TQtDialogServiceTest, SelectFolderReturnsTheChosenFolderOrNothing) {
    TTempDir Temp;
    const QString Folder = QString::fromStdString(Temp.Path().string());
    const QString Title = QStringLiteral("Please select your temporary download directory ...");

    for (const bool Choose : {true, false}) {
        SCOPED_TRACE(Choose ? "chosen" : "cancelled");
        TQtDialogService Service;
        QString ShownTitle;
        TModalDriver Driver([&](QWidget& AModal) {
            auto* Picker = qobject_cast<QFileDialog*>(&AModal);
            if (Picker == nullptr)
                return false;
            ShownTitle = Picker->windowTitle();
            if (Choose) {
                Picker->setDirectory(Folder);
                static_cast<QDialog*>(Picker)->accept();
            } else {
                Picker->reject();
            }
            return true;
        });

        const std::optional<QString> Result = Service.SelectFolder(nullptr, Title);

        ASSERT_TRUE(Driver.Handled()) << "no folder dialog was shown";
        EXPECT_EQ(ShownTitle, Title);
        if (Choose) {
            ASSERT_TRUE(Result.has_value());
            EXPECT_EQ(QDir(*Result).canonicalPath(), QDir(Folder).canonicalPath());
        } else {
            EXPECT_FALSE(Result.has_value());
        }
    }
}

struct TForm2BoxCase {
    const char* Name;
    std::function<int(TForm2&, const QString&)> Call;
    TUserAction Action;
    QMessageBox::Icon Icon;
    QMessageBox::StandardButtons Buttons;
    int Expected;
};

void PrintTo(const TForm2BoxCase& ACase, std::ostream* AOut) {
    *AOut << ACase.Name;
}

int Form2Warning(TForm2& AForm, const QString& AText) {
    AForm.ShowWarning(AText);
    return mrNone;
}

int Form2Info(TForm2& AForm, const QString& AText) {
    AForm.ShowInfo(AText);
    return mrNone;
}

int Form2Confirmation(TForm2& AForm, const QString& AText) {
    return AForm.Confirmation(AText) ? 1 : 0;
}

const TForm2BoxCase Form2BoxCases[] = {
    {"ShowWarning", Form2Warning, uaClickOk, QMessageBox::Warning, QMessageBox::Ok, mrNone},
    {"ShowInfoIsAWarningToo", Form2Info, uaClickOk, QMessageBox::Warning, QMessageBox::Ok, mrNone},
    {"ConfirmationYes", Form2Confirmation, uaClickYes, QMessageBox::Question, YesNo, 1},
    {"ConfirmationNo", Form2Confirmation, uaClickNo, QMessageBox::Question, YesNo, 0},
    {"ConfirmationClosed", Form2Confirmation, uaCloseBox, QMessageBox::Question, YesNo, 0},
};

class TForm2MessageBoxTest : public testing::TestWithParam<TForm2BoxCase> {};

// The main window's box operations on real boxes, owned by the window.
TEST_P(TForm2MessageBoxTest, ShowsAModalBoxOverTheWindow) {
    const TForm2BoxCase& Case = GetParam();
    TTempDir Temp;
    auto Form = MakeTestForm2(Temp.Path(), std::make_shared<TQtDialogService>());
    const QString Text = QStringLiteral("No version selected!");
    QMessageBox::Icon Icon = QMessageBox::Critical;
    QMessageBox::StandardButtons Buttons;
    QWidget* Parent = nullptr;
    bool Modal = false;
    TModalDriver Driver([&](QWidget& AModal) {
        auto* Box = qobject_cast<QMessageBox*>(&AModal);
        if (Box == nullptr || Box->text() != Text)
            return false;
        Icon = Box->icon();
        Buttons = Box->standardButtons();
        Parent = Box->parentWidget();
        Modal = Box->isModal();
        Act(*Box, Case.Action);
        return true;
    });

    const int Result = Case.Call(*Form, Text);

    ASSERT_TRUE(Driver.Handled());
    EXPECT_EQ(Result, Case.Expected);
    EXPECT_EQ(Icon, Case.Icon);
    EXPECT_EQ(Buttons, Case.Buttons);
    EXPECT_EQ(Parent, Form.get());
    EXPECT_TRUE(Modal);
}

INSTANTIATE_TEST_SUITE_P(Operations, TForm2MessageBoxTest, testing::ValuesIn(Form2BoxCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

} // namespace
