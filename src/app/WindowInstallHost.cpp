#include "app/WindowInstallHost.h"

#include "app/Unit2.h"

#include <QLabel>

namespace {

QString Q(const std::string& AText) {
    return QString::fromStdString(AText);
}

} // namespace

void TWindowInstallHost::Log(const std::string& ALine) {
    if (FForm) {
        FForm->Log(Q(ALine));
    }
}

void TWindowInstallHost::Warning(const std::string& AText) {
    if (FForm) {
        FForm->ShowWarning(Q(AText));
    }
}

void TWindowInstallHost::Message(const std::string& AText) {
    if (FForm) {
        FForm->Dialogs().Message(FForm, Q(AText));
    }
}

bool TWindowInstallHost::Ask(const orvane::TQuestion& AQuestion) {
    if (!FForm) {
        return AQuestion.Default;
    }
    using orvane::TQuestionId;
    switch (AQuestion.Id) {
    case TQuestionId::GetItCleanup:
    case TQuestionId::GetItRemove:
        return FForm->Dialogs().ConfirmationQuestion(FForm, Q(AQuestion.Text)) == mrYes;
    case TQuestionId::IdeRunning:
        // Going on is the risky answer: Enter must not give it.
        return FForm->Dialogs().WarningQuestion(FForm, Q(AQuestion.Text), mrNo) == mrYes;
    case TQuestionId::ExistingZip:
    case TQuestionId::OlderVersionInstalled:
        break;
    }
    return FForm->Dialogs().WarningQuestion(FForm, Q(AQuestion.Text)) == mrYes;
}

void TWindowInstallHost::Progress(const orvane::TProgress& AProgress) {
    if (!FForm) {
        return;
    }
    switch (AProgress.Phase) {
    case orvane::TProgressPhase::ppDownloadStarted:
        FForm->SetProgressRange(AProgress.Total);
        FForm->SetProgressValue(0);
        FForm->StartTransferText();
        break;
    case orvane::TProgressPhase::ppDownloading:
        FForm->SetProgressValue(AProgress.Bytes);
        FForm->ShowTransferProgress(AProgress.Bytes, AProgress.Total,
                                    AProgress.Bytes == AProgress.Total);
        break;
    case orvane::TProgressPhase::ppExtracting:
        FForm->SetProgressRange(AProgress.Total);
        FForm->SetProgressValue(AProgress.Bytes);
        break;
    }
}

void TWindowInstallHost::BackupWritten(const std::string&, const std::string& AFolder) {
    if (FForm) {
        FForm->BackupsLabel->setText(QStringLiteral("Registry backups: %1").arg(Q(AFolder)));
        FForm->BackupsLabel->show();
    }
}
