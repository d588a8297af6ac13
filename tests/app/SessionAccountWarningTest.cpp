#include "app/SessionAccountWarning.h"
#include "app/Unit2.h"
#include "registry/RegistryStore.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <memory>
#include <optional>

namespace {

using orvane::TSessionAccounts;

TSessionAccounts Accounts(bool AKnown, bool ADiffers, const char* AProcess, const char* ASession,
                          const char* AReason = "") {
    TSessionAccounts Result;
    Result.Known = AKnown;
    Result.Differs = ADiffers;
    Result.ProcessAccount = AProcess;
    Result.SessionAccount = ASession;
    Result.Reason = AReason;
    return Result;
}

const TSessionAccounts KOther = Accounts(true, true, "PC\\Administrator", "PC\\dev");
const TSessionAccounts KSame = Accounts(true, false, "PC\\dev", "PC\\dev");
const TSessionAccounts KUnknown =
    Accounts(false, false, "", "", "the account signed in to the session is not known: no session");

class SessionAccountWarningTest : public testing::Test {
protected:
    std::unique_ptr<TForm2> NewForm(const TSessionAccounts& AAccounts) {
        TForm2Options Options;
        // Nothing listens on port 1: nothing here downloads.
        Options.ApiUrl = "http://127.0.0.1:1";
        Options.ExeDir = FTemp.Path();
        Options.RegistryStore = orvane::OpenSqliteRegistryStore(FTemp / "registry.sqlite");
        Options.Dialogs = FDialogs;
        Options.SessionAccounts = AAccounts;
        return std::make_unique<TForm2>(std::move(Options));
    }

    QString LogText() const {
        QFile File(QString::fromStdString((FTemp / "install.log").string()));
        return File.open(QIODevice::ReadOnly) ? QString::fromUtf8(File.readAll()) : QString();
    }

    // Shows the window and lets the boxes it posts come up.
    static void ShowAndSettle(TForm2& AForm) {
        AForm.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&AForm));
        QElapsedTimer Timer;
        Timer.start();
        while (Timer.elapsed() < 200)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }

    TTempDir FTemp;
    std::shared_ptr<TScriptedDialogs> FDialogs = std::make_shared<TScriptedDialogs>();
};

TEST(SessionAccountWarningText, NamesBothAccountsAndWhatFollows) {
    const QString Text = SessionAccountWarning(KOther);
    EXPECT_EQ(Text,
              QStringLiteral("The installer runs as \"PC\\Administrator\", but \"PC\\dev\" is "
                             "signed in to this session. The IDE settings, installation records "
                             "and documents folder of \"PC\\Administrator\" will be changed, not "
                             "those of \"PC\\dev\". To install for \"PC\\dev\", that account needs "
                             "administrator rights or must run the installer elevated as itself."));
    EXPECT_EQ(SessionAccountWarning(KSame), QString());
    EXPECT_EQ(SessionAccountWarning(KUnknown), QString());
    // An open question says nothing even where the accounts happen to be filled in.
    TSessionAccounts Open = KOther;
    Open.Known = false;
    EXPECT_EQ(SessionAccountWarning(Open), QString());
}

// The box comes once the window is shown, not from the constructor, and only
// once; the Welcome page keeps the text; install.log has it; the wizard goes on.
TEST_F(SessionAccountWarningTest, AnotherAccountIsWarnedAboutOnTheWelcomePage) {
    auto Form = NewForm(KOther);
    const QString Expected = SessionAccountWarning(KOther);
    EXPECT_TRUE(FDialogs->Calls().empty()) << "a box before the window is shown";
    EXPECT_EQ(Form->AccountWarningLabel->text(), Expected);
    EXPECT_TRUE(Form->AccountWarningLabel->isVisibleTo(Form->TbItm_Welcome));
    EXPECT_TRUE(LogText().contains(Expected)) << LogText().toStdString();
    // The Install page still waits for the installation's first line.
    EXPECT_EQ(Form->ProgressLabel->text(), QStringLiteral("..."));

    ShowAndSettle(*Form);
    EXPECT_EQ(FDialogs->Calls(), (std::vector<TDialogCall>{{dkWarning, Expected}}));
    EXPECT_EQ(Form->TabControl1->currentIndex(), int(wpWelcome));
    EXPECT_TRUE(Form->AccountWarningLabel->isVisible());

    Form->hide();
    ShowAndSettle(*Form);
    EXPECT_EQ(FDialogs->Calls().size(), 1u) << "the box came again";
    EXPECT_EQ(LogText().count(Expected), 1);

    // The user may go on.
    Form->CommercialButton->click();
    EXPECT_EQ(Form->TabControl1->currentIndex(), int(wpCredentials));
}

TEST_F(SessionAccountWarningTest, SameOrUnknownAccountSaysNothing) {
    struct TCase {
        const char* Name;
        TSessionAccounts Accounts;
        // The log line, or empty for none.
        QString LogLine;
    };
    const TCase KCases[] = {
        {"same account", KSame, QString()},
        {"question left open", KUnknown,
         QStringLiteral("Could not tell whether the installer runs as the signed-in account: "
                        "the account signed in to the session is not known: no session")},
    };
    for (const auto& C : KCases) {
        SCOPED_TRACE(C.Name);
        QFile::remove(QString::fromStdString((FTemp / "install.log").string()));
        auto Form = NewForm(C.Accounts);
        ShowAndSettle(*Form);
        EXPECT_TRUE(FDialogs->Calls().empty());
        EXPECT_FALSE(Form->AccountWarningLabel->isVisible());
        EXPECT_EQ(Form->AccountWarningLabel->text(), QString());
        EXPECT_EQ(Form->ProgressLabel->text(), QStringLiteral("..."));
        if (C.LogLine.isEmpty())
            EXPECT_EQ(LogText(), QString());
        else
            EXPECT_TRUE(LogText().contains(C.LogLine)) << LogText().toStdString();
    }
}

} // namespace
