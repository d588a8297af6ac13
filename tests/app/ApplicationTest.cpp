#include "app/Application.h"
#include "app/Unit2.h"
#include "registry/ProductRecords.h"
#include "registry/RegistryStore.h"
#include "support/ModalDriver.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>

namespace {

// Restores the test run's handler after a test that installs its own.
class ApplicationTest : public testing::Test {
protected:
    void TearDown() override {
        App().SetErrorHandler([](const QString& AMessage) {
            ADD_FAILURE() << "failure escaped a handler: " << AMessage.toStdString();
        });
    }
    static TOrvaneApplication& App() { return *static_cast<TOrvaneApplication*>(qApp); }
};

TEST_F(ApplicationTest, AFailureEscapingAClickIsReportedAndTheWindowStaysUsable) {
    TTempDir temp;
    auto store = orvane::OpenSqliteRegistryStore(temp / "registry.sqlite");
    orvane::WriteRegistryData(*store, orvane::TOrvaneRegistryData::Create(
                                          "22.0", "1.4.2", "DEVELOPER", "DEVELOPER", "/tmp/x/"));
    auto dialogs = std::make_shared<TScriptedDialogs>();
    TForm2Options options;
    options.ApiUrl = "http://127.0.0.1:9";
    options.ExeDir = temp.Path();
    options.RegistryStore = store;
    options.Dialogs = dialogs;
    TForm2 form(options);
    form.show();

    // A failure inside the handler, here from its modal dialog.
    dialogs->AnswerDialog(
        [](QDialog&) -> int { throw std::runtime_error("the dialog went wrong"); });
    form.UninstallButton->click();

    EXPECT_EQ(dialogs->Texts(dkWarning), QStringList{"the dialog went wrong"});
    EXPECT_EQ(orvane::ReadInstalledVersions(*store).size(), 1u);
    // The program goes on: the window still answers clicks.
    form.CommercialButton->click();
    EXPECT_EQ(form.TabControl1->currentWidget(), form.TbItm_Credentials);
}

// The last safety net, for failures outside the window's handlers.
TEST_F(ApplicationTest, AFailureEscapingAnEventIsReportedNotFatal) {
    class TThrowing : public QObject {
    public:
        bool event(QEvent*) override { throw std::runtime_error("store went away"); }
    };
    TThrowing target;
    QStringList reported;
    App().SetErrorHandler([&](const QString& AMessage) { reported << AMessage; });
    QEvent event(QEvent::User);
    EXPECT_TRUE(QCoreApplication::sendEvent(&target, &event));
    EXPECT_EQ(reported, QStringList{"store went away"});
}

// Without a handler installed, the user sees the failure in a warning box, as
// plain text: failure texts carry names from zips and the server.
TEST_F(ApplicationTest, AnUnhandledFailureIsShownAsPlainText) {
    App().SetErrorHandler(nullptr);
    const QString Text = QStringLiteral("Cannot extract <a href=\"https://example.org\">x</a>");
    QString Shown;
    Qt::TextFormat Format = Qt::AutoText;
    TModalDriver Driver([&](QWidget& AModal) {
        auto* Box = qobject_cast<QMessageBox*>(&AModal);
        if (Box == nullptr)
            return false;
        Shown = Box->text();
        Format = Box->textFormat();
        Box->button(QMessageBox::Ok)->click();
        return true;
    });
    App().ReportError(Text);
    ASSERT_TRUE(Driver.Handled());
    EXPECT_EQ(Shown, Text);
    EXPECT_EQ(Format, Qt::PlainText);
}

} // namespace
