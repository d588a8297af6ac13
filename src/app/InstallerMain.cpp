#include "app/InstallerMain.h"

#include "app/Application.h"
#include "app/DialogService.h"
#include "app/InstanceLock.h"
#include "app/Unit1.h"
#include "app/Unit2.h"

#include <QMessageBox>

#include <exception>
#include <memory>

int RunInstaller(int& AArgc, char** AArgv, const std::function<void(TForm2&)>& AOnWindow) {
    TOrvaneApplication App(AArgc, AArgv);
    TQtDialogService LStartDialogs;
    const auto LInstanceLock = LockInstaller(LStartDialogs);
    if (!LInstanceLock)
        return 1;
    std::unique_ptr<TForm2> Form2;
    try {
        Form2 = std::make_unique<TForm2>();
    } catch (const std::exception& AError) {
        // The window could not even read the installation records (an
        // unreadable registry store, a record of the wrong type): say why.
        QMessageBox::critical(nullptr, QStringLiteral("Orvane Installation"),
                              QString::fromUtf8(AError.what()));
        return 1;
    }
    if (AOnWindow)
        AOnWindow(*Form2);
    Form2->show();
    // Created once and kept hidden, so the terms keep their tab and scroll
    // position between showings; a child of the window, which deletes it.
    Form2->SetTermsDialog(new TForm1(Form2.get()));
    return QApplication::exec();
}
