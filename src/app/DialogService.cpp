#include "app/DialogService.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QObject>

namespace {

// QMessageBox maps a title-bar close onto its escape button (No), but the
// installer reports a box closed without any button as mrCancel.
class TCloseWatcher : public QObject {
public:
    explicit TCloseWatcher(QMessageBox& ABox) : FBox(ABox) { FBox.installEventFilter(this); }

    bool ClosedWithoutButton() const { return FClosedWithoutButton; }

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override {
        if (AWatched == &FBox && AEvent->type() == QEvent::Close && FBox.clickedButton() == nullptr)
            FClosedWithoutButton = true;
        return false;
    }

private:
    QMessageBox& FBox;
    bool FClosedWithoutButton = false;
};

QString AppTitle() {
    const QString Name = QGuiApplication::applicationDisplayName();
    return Name.isEmpty() ? QStringLiteral("Orvane Installer") : Name;
}

void ShowOkBox(QWidget* AParent, QMessageBox::Icon AIcon, const QString& ATitle,
               const QString& AMessage) {
    QMessageBox Box(AIcon, ATitle, AMessage, QMessageBox::Ok, AParent);
    // Messages carry names from zips, the server and the registry: plain text,
    // like the labels, so nothing in them turns into markup or a live link.
    Box.setTextFormat(Qt::PlainText);
    Box.setDefaultButton(QMessageBox::Ok);
    Box.exec();
}

int AskYesNo(QWidget* AParent, QMessageBox::Icon AIcon, const QString& ATitle,
             const QString& AMessage, int ADefault = mrYes) {
    QMessageBox Box(AIcon, ATitle, AMessage, QMessageBox::Yes | QMessageBox::No, AParent);
    Box.setTextFormat(Qt::PlainText);
    Box.setDefaultButton(ADefault == mrNo ? QMessageBox::No : QMessageBox::Yes);
    TCloseWatcher Watcher(Box);
    Box.exec();
    if (Watcher.ClosedWithoutButton())
        return mrCancel;
    switch (Box.standardButton(Box.clickedButton())) {
    case QMessageBox::Yes:
        return mrYes;
    case QMessageBox::No:
        return mrNo;
    default:
        return mrCancel;
    }
}

} // namespace

void TQtDialogService::Warning(QWidget* AParent, const QString& AMessage) {
    ShowOkBox(AParent, QMessageBox::Warning, QStringLiteral("Warning"), AMessage);
}

int TQtDialogService::WarningQuestion(QWidget* AParent, const QString& AMessage, int ADefault) {
    return AskYesNo(AParent, QMessageBox::Warning, QStringLiteral("Warning"), AMessage, ADefault);
}

int TQtDialogService::ConfirmationQuestion(QWidget* AParent, const QString& AMessage) {
    return AskYesNo(AParent, QMessageBox::Question, QStringLiteral("Confirm"), AMessage);
}

void TQtDialogService::Message(QWidget* AParent, const QString& AMessage) {
    ShowOkBox(AParent, QMessageBox::NoIcon, AppTitle(), AMessage);
}

std::optional<QString> TQtDialogService::SelectFolder(QWidget* AParent, const QString& ATitle) {
    const QString Folder = QFileDialog::getExistingDirectory(AParent, ATitle, QString());
    if (Folder.isEmpty())
        return std::nullopt;
    return Folder;
}

int TQtDialogService::ExecDialog(QDialog& ADialog) {
    return ADialog.exec();
}
