// Saves a picture of every wizard page of the real window, for the README.
// Usage: orvane-screenshots <output folder> [API base URL]
// With an API server (the local one of tools/), the Versions page shows the
// packages it offers.
#include "app/ActivityIndicator.h"
#include "app/ProgressText.h"
#include "app/Unit2.h"
#include "registry/ProductRecords.h"
#include "registry/RegistryStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <cstdio>

namespace {

// Lets the window settle (layout, paint) before it is grabbed.
void Settle() {
    QElapsedTimer Timer;
    Timer.start();
    while (Timer.elapsed() < 300) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
}

bool Save(TForm2& AForm, const QDir& AOut, const char* AName) {
    Settle();
    const QString Path = AOut.filePath(QLatin1String(AName) + QStringLiteral(".png"));
    if (!AForm.grab().save(Path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(Path));
        return false;
    }
    std::printf("%s\n", qPrintable(Path));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QApplication App(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <output folder> [API base URL]\n", argv[0]);
        return 2;
    }
    const QDir Out(QString::fromLocal8Bit(argv[1]));
    if (!Out.exists() && !QDir().mkpath(Out.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    QTemporaryDir Sandbox;
    if (!Sandbox.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const std::filesystem::path Root = Sandbox.path().toStdString();
    auto Store = orvane::OpenSqliteRegistryStore(Root / "reg.sqlite");
    orvane::WriteRegistryData(*Store, {"22.0", "1.2.0", "2026-11-30 14:05:12", "Developer",
                                       "DEVELOPER", (Root / "22.0").string() + "/"});

    TForm2Options Options;
    // Without a server nothing listens there, and nothing is downloaded.
    Options.ApiUrl = argc == 3 ? argv[2] : "http://127.0.0.1:1";
    Options.ExeDir = Root;
    Options.RegistryStore = Store;
    // The pictures show the window as the signed-in user sees it.
    Options.SessionAccounts.emplace().Known = true;
    TForm2 Form(std::move(Options));
    Form.show();

    bool Ok = Save(Form, Out, "welcome");
    Form.SwitchPage(wpCredentials);
    Form.Edt_User->setText(QStringLiteral("jane.doe@example.org"));
    Form.Edt_Password->setText(QStringLiteral("secret"));
    Ok = Save(Form, Out, "credentials") && Ok;
    if (argc == 3) {
        // Only the shown page takes clicks.
        Form.BackButton->click();
        Form.DeveloperButton->click();
        QElapsedTimer Timer;
        Timer.start();
        while (Form.DownloadVersionsIndicator->isVisibleTo(&Form) && Timer.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (Form.ListBox1->count() > 0 && (Form.ListBox1->item(0)->flags() & Qt::ItemIsEnabled))
            Form.ListBox1->item(0)->setCheckState(Qt::Checked);
    } else {
        Form.SwitchPage(wpVersions);
    }
    Ok = Save(Form, Out, "versions") && Ok;
    Form.SwitchPage(wpInstall);
    Form.Log(QStringLiteral("Downloading \"Orvane_22.0_1.4.2.zip\" ..."));
    // A download under way, as its transfer line shows it.
    const std::int64_t KReceived = 126'246'502, KTotal = 304'087'040;
    Form.SetProgressRange(KTotal);
    Form.SetProgressValue(KReceived);
    Form.TransferLabel->setText(
        QString::fromStdString(FormatTransferProgress(KReceived, KTotal, 36'909'875.0)));
    Ok = Save(Form, Out, "install") && Ok;
    Form.SwitchPage(wpDone);
    Ok = Save(Form, Out, "done") && Ok;
    return Ok ? 0 : 1;
}
