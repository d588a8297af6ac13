#include "app/ActivityIndicator.h"
#include "app/Unit2.h"
#include "server/ConfigurationList.h"
#include "server/Downloader.h"
#include "server/MachineIdentifier.h"
#include "app/PackageList.h"
#include "server/Protocol.h"

#include <QCoreApplication>
#include <QLabel>
#include <QListWidget>
#include <QPointer>

#include <iterator>
#include <stdexcept>

namespace {

const char* const KReadFailure = "Failed to read configuration from server!";

void HideIndicator(TForm2& AForm) {
    AForm.DownloadVersionsIndicator->SetAnimating(false);
    AForm.DownloadVersionsIndicator->setVisible(false);
    QCoreApplication::processEvents();
}

void ConfigurationFailed(TForm2& AForm, const QString& AMessage, orvane::TUserMode AMode) {
    // A window that is closing aborts its download; nobody is there to read why.
    if (!AForm.IsClosing()) {
        AForm.ShowWarning(AMessage);
    }
    HideIndicator(AForm);
    if (AMode == orvane::imCommercial) {
        AForm.FCredentials.Mode = orvane::imDeveloper;
        AForm.FCredentials.Username.clear();
        AForm.FCredentials.Password.clear();
        AForm.SwitchPage(wpWelcome);
    }
}

void ConfigurationArrived(TForm2& AForm, orvane::TDownloader& ADownloader) {
    try {
        std::iostream& LStream = *ADownloader.Stream();
        LStream.clear();
        LStream.seekg(0);
        const std::string LBytes{std::istreambuf_iterator<char>(LStream), {}};
        auto LDocument = orvane::ParseAnswer(LBytes);
        if (!LDocument || !LDocument->IsObject()) {
            // An answer that is not a configuration document at all: an empty
            // list, and the user is told why.
            AForm.LoadConfiguration(nullptr);
            throw std::runtime_error("configuration is not a JSON object");
        }
        AForm.LoadConfiguration(std::move(LDocument));
    } catch (const orvane::TAnswerLimitError& AError) {
        AForm.ShowWarning(QStringLiteral("%1\r\n\r\n%2").arg(KReadFailure, AError.what()));
    } catch (...) {
        AForm.ShowWarning(KReadFailure);
    }
    HideIndicator(AForm);
}

} // namespace

void TForm2::DownloadConfiguration() {
    DownloadVersionsIndicator->setVisible(true);
    DownloadVersionsIndicator->SetAnimating(true);
    QCoreApplication::processEvents();

    ListBox1->clear();
    FConfig.reset();

    // A newer request supersedes the one still on its way.
    if (FConfigCancel) {
        *FConfigCancel = true;
    }
    FConfigCancel = std::make_shared<std::atomic<bool>>(false);
    const std::uint64_t LRequest = ++FConfigRequest;

    auto LDownloader = std::make_unique<orvane::TDownloader>(ApiUrl(), "");
    LDownloader->Credentials = FCredentials;
    LDownloader->Cancelled = FConfigCancel;
    const orvane::TUserMode LMode = FCredentials.Mode;
    // The window may be gone by the time a transfer ends. An older request's
    // answer is dropped; so is the newest one while an installation runs.
    QPointer<TForm2> LSelf(this);
    const auto LTakes = [LSelf, LRequest] {
        if (!LSelf || LRequest != LSelf->FConfigRequest) {
            return false;
        }
        if (LSelf->IsBusy()) {
            HideIndicator(*LSelf);
            return false;
        }
        return true;
    };
    LDownloader->OnError = [LSelf, LMode, LTakes](const std::exception& AError) {
        if (LTakes()) {
            ConfigurationFailed(*LSelf, QString::fromStdString(AError.what()), LMode);
        }
    };
    LDownloader->OnCompleted = [LSelf, LTakes](orvane::TDownloader& ADownloader) {
        if (LTakes()) {
            ConfigurationArrived(*LSelf, ADownloader);
        }
    };

    const std::string LEndPoint =
        orvane::ConfigurationEndpoint(FCredentials.Mode, orvane::MachineDigest());
    LDownloader.release()->Download(LEndPoint, "", true);
}

void TForm2::LoadConfiguration(std::unique_ptr<rapidjson::Document> ADocument) {
    DownloadablePackagesLabel->setText(QStringLiteral("Downloadable Packages (0 / 0)"));
    if (FConfig) {
        ListBox1->clear();
        FConfig.reset();
    }
    FConfig = std::move(ADocument);
    if (!FConfig || IsClosing()) {
        return;
    }
    ListBox1->clear();
    const orvane::TListCounts LCounts =
        orvane::ListConfigurationEntries(*FConfig, [this](const orvane::TListedEntry& AEntry) {
            auto* LItem = new QListWidgetItem(QString::fromStdString(AEntry.Caption), ListBox1);
            LItem->setFlags(LItem->flags() | Qt::ItemIsUserCheckable);
            LItem->setCheckState(Qt::Unchecked);
            TForm2AttachEntry(LItem, AEntry.Entry);
            if (!AEntry.Enabled) {
                LItem->setFlags(LItem->flags() & ~Qt::ItemIsEnabled);
            }
        });
    DownloadablePackagesLabel->setText(QStringLiteral("Downloadable Packages (%1 / %2)")
                                           .arg(LCounts.Available)
                                           .arg(LCounts.Listed));
}
