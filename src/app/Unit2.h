#pragma once

#include "app/DialogService.h"
#include "platform/SessionAccount.h"
#include "registry/RegistryBackup.h"
#include "registry/RegistryData.h"
#include "server/Credentials.h"

#include <rapidjson/document.h>

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QWidget;
class TActivityIndicator;
class TTransferMeter;
class TWindowInstallHost;

namespace orvane {
class TInstallEngine;
class TRegistryStore;
class TScopedHttpLog;
} // namespace orvane

enum TWizardPage : std::uint8_t {
    wpWelcome = 0,
    wpCredentials = 1,
    wpVersions = 2,
    wpInstall = 3,
    wpDone = 4,
};

// What differs between the real program and a test or the demo sandbox.
struct TForm2Options {
    std::string ApiUrl = ORVANE_API_URL;
    // Folder of install.log, the SSL libraries and the GetIt backups; empty: the
    // running executable's folder.
    std::filesystem::path ExeDir;
    // Registry store; null: the current user's store.
    std::shared_ptr<orvane::TRegistryStore> RegistryStore;
    // Modal interaction; null: real Qt dialogs.
    std::shared_ptr<TDialogService> Dialogs;
    // Whether the installer runs as another account than the signed-in one;
    // nullopt: ask the system.
    std::optional<orvane::TSessionAccounts> SessionAccounts;
    // The IDE's executable, looked for among the running processes before the
    // registry is changed; a test names its own stand-in.
    std::string IDEProcessName = "bds.exe";
};

// The installer's one window: a wizard of five tab pages.
class TForm2 : public QMainWindow {
    Q_OBJECT

public:
    explicit TForm2(TForm2Options AOptions = {}, QWidget* AParent = nullptr);
    ~TForm2() override;

    // Wizard shell
    void FormCreate();
    void RefreshInstalledVersions();
    void SwitchPage(TWizardPage APage);
    void DeveloperButtonClick();
    void CommercialButtonClick();
    void LoginButtonClick();
    void BackButtonClick();
    void SpeedButton1Click();
    void EllipsesEditButton1Click();
    void EllipsesEditButton2Click();
    void FinishButtonClick();
    // Warns, on the Welcome page and once the window is shown, when the
    // installer runs as another account than the one signed in.
    void CheckSessionAccount();

    // Install log and status line
    void Log(const QString& AMessage);

    // Message boxes
    void ShowWarning(const QString& AMessage);
    void ShowInfo(const QString& AMessage);
    bool Confirmation(const QString& AMessage);

    // Configuration download and package list
    void DownloadConfiguration();
    void LoadConfiguration(std::unique_ptr<rapidjson::Document> ADocument);

    // IDE locations
    void SetDefaultIDEDir();
    void SetDefaultDownloadDir();

    // Installation: these members adapt the window to the engine and call it.
    void InstallButtonClick();
    void StartInstallation();
    void InstallSelectedVersions();
    void GetSelectedVersionNames(QStringList& ANames) const;
    void GetSelectedVersions(std::vector<const rapidjson::Value*>& AEntries) const;
    bool InstallPackage(const rapidjson::Value* AEntry, const QString& AIDEDir,
                        const QString& ADownloadDir);

    // An engine for one step, with this window as its host and the wizard's
    // current edition and login.
    orvane::TInstallEngine InstallEngine();
    // Rolls back what a killed or crashed run left half installed, with a
    // warning for each version.
    void RecoverInterruptedInstallations();

    // Safeguards around the IDE's registry (app/InstallSafeguards.cpp)
    // True when no IDE is running, or the user chose to go on anyway; AStep
    // names what would be undone ("installation", "uninstallation").
    bool ConfirmNoRunningIDE(const QString& AStep);
    // Saves AKeys, the IDE keys AStep ("install", "uninstall") may change, into
    // a new .reg file in ABackupDir (or, when that fails and one is given,
    // AFallbackDir) and logs its path. When it cannot be written the reason is
    // logged as an "<ERROR>" line and returned (empty: written), and nothing
    // may be changed.
    QString BackupIDERegistry(const std::string& AIDEVersion, const std::string& AStep,
                              const std::vector<orvane::TBackupKey>& AKeys,
                              const std::filesystem::path& ABackupDir,
                              const std::filesystem::path& AFallbackDir = {});
    // "Backups" inside ADownloadDir.
    static std::filesystem::path BackupFolder(const std::string& ADownloadDir);
    // Where an uninstallation of ARecord's version keeps its backup: the
    // download folder its package came from, else the default one.
    static std::filesystem::path UninstallBackupFolder(const orvane::TOrvaneRegistryData& ARecord);
    // The download's text under ProgressLabel: bytes, total and rate, a few
    // times per second at most (AFinal: now).
    void ShowTransferProgress(std::int64_t AReceived, std::int64_t ATotal, bool AFinal = false);
    void StartTransferText();

    // Uninstallation
    void UninstallButtonClick();
    void UninstallVersion(const QString& AIDEVersion);
    // Offers the removal of GetIt installations, backing them up into ABackupDir;
    // log lines go to Log, questions to the dialog service.
    void CleanupGetItInstallation(const QString& ABackupDir);

    // The terms dialog (a TForm1) is created once by main and handed over. Kept
    // as its QDialog base so the window does not depend on the dialog's unit.
    void SetTermsDialog(QDialog* AForm) { FTermsDialog = AForm; }

    // Progress bar in 64-bit byte counts (scaled to the bar's int range).
    void SetProgressRange(std::int64_t AMax);
    void SetProgressValue(std::int64_t AValue);

    TDialogService& Dialogs() const { return *FDialogs; }
    const std::string& ApiUrl() const { return FOptions.ApiUrl; }
    std::filesystem::path ExeDir() const;
    orvane::TRegistryStore& RegistryStore() const { return *FRegistryStore; }
    // Set once the window is closing; long-running work checks it.
    bool IsClosing() const { return FClosing; }
    // An installation or uninstallation is running: nothing may replace FConfig
    // or switch pages under it, so configuration answers are dropped meanwhile.
    bool IsBusy() const { return FBusy > 0; }

    // Marks the window busy for its lifetime.
    class TBusyScope {
    public:
        explicit TBusyScope(TForm2& AForm) : FForm(AForm) { ++FForm.FBusy; }
        ~TBusyScope() { --FForm.FBusy; }
        TBusyScope(const TBusyScope&) = delete;
        TBusyScope& operator=(const TBusyScope&) = delete;

    private:
        TForm2& FForm;
    };

    // Shared wizard state
    orvane::TCredentials FCredentials;
    std::unique_ptr<rapidjson::Document> FConfig;
    std::vector<orvane::TOrvaneRegistryData> FInstalledVersions;

    // Controls, named as in the window layout
    QTabWidget* TabControl1 = nullptr;
    QWidget* TbItm_Welcome = nullptr;
    QWidget* TbItm_Credentials = nullptr;
    QWidget* TbItm_Versions = nullptr;
    QWidget* TbItm_Install = nullptr;
    QWidget* TbItm_Completed = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QLabel* StatusLabel = nullptr;
    QLabel* FooterLabel = nullptr;

    QLabel* Image1 = nullptr;
    QLabel* Label7 = nullptr;
    QPushButton* DeveloperButton = nullptr;
    QPushButton* CommercialButton = nullptr;
    QLabel* InstalledVersions = nullptr;
    QPushButton* UninstallButton = nullptr;
    QLabel* AccountWarningLabel = nullptr;

    QLabel* Label8 = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* Edt_User = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* Edt_Password = nullptr;
    QAction* PasswordEditButton1 = nullptr;
    QPushButton* LoginButton = nullptr;
    QPushButton* BackButton = nullptr;

    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QAction* EllipsesEditButton1 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QAction* EllipsesEditButton2 = nullptr;
    QLabel* DownloadablePackagesLabel = nullptr;
    QListWidget* ListBox1 = nullptr;
    TActivityIndicator* DownloadVersionsIndicator = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QPushButton* SpeedButton1 = nullptr;
    QPushButton* InstallButton = nullptr;
    QPushButton* InstallBackButton = nullptr;

    QLabel* ProgressLabel = nullptr;
    // Bytes and rate of the running download; ProgressLabel keeps the log line.
    QLabel* TransferLabel = nullptr;
    QProgressBar* ProgressBar = nullptr;

    QLabel* Label4 = nullptr;
    // Names the folder of this run's registry backups; hidden without any.
    QLabel* BackupsLabel = nullptr;
    QPushButton* FinishButton = nullptr;

protected:
    void closeEvent(QCloseEvent* AEvent) override;
    void showEvent(QShowEvent* AEvent) override;

private:
    void CreateControls();
    void RunHandler(void (TForm2::*AHandler)());

    TForm2Options FOptions;
    std::shared_ptr<TDialogService> FDialogs;
    std::shared_ptr<orvane::TRegistryStore> FRegistryStore;
    QDialog* FTermsDialog = nullptr;
    // The account warning still to be shown as a box; empty when none is due.
    QString FAccountWarning;
    std::int64_t FProgressMax = 0;
    bool FClosing = false;
    int FBusy = 0;
    // Only the newest configuration request may fill the list; the older ones'
    // transfers are told to stop.
    std::uint64_t FConfigRequest = 0;
    std::shared_ptr<std::atomic<bool>> FConfigCancel;
    std::unique_ptr<TTransferMeter> FTransferMeter;
    std::shared_ptr<TWindowInstallHost> FInstallHost;
    // The HTTP client's own lines (which proxy, a failed detection) in the log.
    std::unique_ptr<orvane::TScopedHttpLog> FHttpLog;
};
