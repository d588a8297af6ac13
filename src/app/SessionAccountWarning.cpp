#include "app/SessionAccountWarning.h"

#include "app/Unit2.h"

#include <QLabel>
#include <QTimer>

QString SessionAccountWarning(const orvane::TSessionAccounts& AAccounts) {
    if (!AAccounts.Known || !AAccounts.Differs)
        return {};
    const QString Process = QString::fromStdString(AAccounts.ProcessAccount);
    const QString Session = QString::fromStdString(AAccounts.SessionAccount);
    return QStringLiteral("The installer runs as \"%1\", but \"%2\" is signed in to this session. "
                          "The IDE settings, installation records and documents folder of \"%1\" "
                          "will be changed, not those of \"%2\". To install for \"%2\", that "
                          "account needs administrator rights or must run the installer elevated "
                          "as itself.")
        .arg(Process, Session);
}

void TForm2::CheckSessionAccount() {
    const orvane::TSessionAccounts Accounts =
        FOptions.SessionAccounts ? *FOptions.SessionAccounts : orvane::QuerySessionAccounts();
    // The Install page shows "..." until the installation's own first line.
    const QString Progress = ProgressLabel->text();
    if (!Accounts.Known) {
        Log(QStringLiteral("Could not tell whether the installer runs as the signed-in account: ") +
            QString::fromStdString(Accounts.Reason));
    } else if (const QString Warning = SessionAccountWarning(Accounts); !Warning.isEmpty()) {
        Log(Warning);
        AccountWarningLabel->setText(Warning);
        AccountWarningLabel->setVisible(true);
        FAccountWarning = Warning;
    }
    ProgressLabel->setText(Progress);
}

void TForm2::showEvent(QShowEvent* AEvent) {
    QMainWindow::showEvent(AEvent);
    // Once the window is on screen, so the box has the window behind it; the
    // user may close it and go on.
    if (!FAccountWarning.isEmpty()) {
        const QString Warning = FAccountWarning;
        FAccountWarning.clear();
        QTimer::singleShot(0, this, [this, Warning] { ShowWarning(Warning); });
    }
}
