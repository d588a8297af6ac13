// The window's event loop during a full installation and uninstallation: the
// real TForm2 (offscreen unless a display is set) installs the benchmark
// packages from the local API server into a sandbox IDE, is started again and
// uninstalls them, while a probe timer in the GUI thread records the gap
// between its ticks.
//   bench_window_stall [--versions N] [--mib MIB] [--files N] [--interval MS]
#include "PackageZip.h"
#include "app/ActivityIndicator.h"
#include "app/Application.h"
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "registry/GetItInstallations.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegistryStore.h"
#include "app/PackageList.h"
#include "server/Sha256.h"
#include "support/FileText.h"
#include "support/LocalApiServer.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"
#include "support/WizardSandbox.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const KFrameworkVersion = "1.4.2";

struct TOptions {
    int Versions = 3;
    std::uint64_t Mib = 300;
    std::size_t Files = 5000;
    int IntervalMs = 5;
};

TOptions ParseOptions(int AArgc, char** AArgv) {
    TOptions LOptions;
    for (int LIndex = 1; LIndex + 1 < AArgc; LIndex += 2) {
        const std::string LName = AArgv[LIndex];
        const long long LValue = std::atoll(AArgv[LIndex + 1]);
        if (LName == "--versions" && LValue >= 1 && LValue <= 6) {
            LOptions.Versions = static_cast<int>(LValue);
        } else if (LName == "--mib" && LValue >= 1) {
            LOptions.Mib = static_cast<std::uint64_t>(LValue);
        } else if (LName == "--files" && LValue >= 10) {
            LOptions.Files = static_cast<std::size_t>(LValue);
        } else if (LName == "--interval" && LValue >= 1) {
            LOptions.IntervalMs = static_cast<int>(LValue);
        } else {
            throw std::invalid_argument("unknown option or value: " + LName + " " +
                                        AArgv[LIndex + 1]);
        }
    }
    if (AArgc % 2 == 0) {
        throw std::invalid_argument(
            "usage: bench_window_stall [--versions 1-6] [--mib MIB] [--files N] [--interval MS]");
    }
    return LOptions;
}

// IDE versions of the sandbox: the demo's two, then older ones made from 22.0.
std::vector<std::string> IdeVersions(int ACount) {
    const std::vector<std::string> LAll = {"23.0", "22.0", "21.0", "20.0", "19.0", "18.0"};
    std::vector<std::string> LVersions(LAll.begin(), LAll.begin() + ACount);
    std::sort(LVersions.begin(), LVersions.end());
    return LVersions;
}

// The demo's IDE keys for 22.0 and 23.0, and copies of 22.0's for the others.
std::string SandboxIdeKeys(const fs::path& ASandbox, const std::vector<std::string>& AVersions) {
    std::string LText =
        ReadFileText(TLocalApiServer::SourceDir() / "tools" / "sandbox" / "ide.reg");
    const std::string LMarker = "%SANDBOX%";
    for (std::size_t LAt; (LAt = LText.find(LMarker)) != std::string::npos;) {
        LText.replace(LAt, LMarker.size(), ASandbox.string());
    }
    const std::size_t LFrom = LText.find("[-HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\BDS\\22.0]");
    const std::size_t LTo = LText.find("[-HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\BDS\\23.0]");
    if (LFrom == std::string::npos || LTo == std::string::npos) {
        throw std::runtime_error("tools/sandbox/ide.reg has no 22.0 and 23.0 sections");
    }
    const std::string L22 = LText.substr(LFrom, LTo - LFrom);
    for (const std::string& LVersion : AVersions) {
        if (LVersion == "22.0" || LVersion == "23.0") {
            continue;
        }
        std::string LCopy = L22;
        for (const std::string LOld : {"\\22.0", "/22.0"}) {
            const std::string LNew = LOld.substr(0, 1) + LVersion;
            for (std::size_t LAt = 0; (LAt = LCopy.find(LOld, LAt)) != std::string::npos;
                 LAt += LNew.size()) {
                LCopy.replace(LAt, LOld.size(), LNew);
            }
        }
        LText += "\r\n" + LCopy;
    }
    return LText;
}

std::string PackageFile(const std::string& AVersion) {
    return "Orvane_" + AVersion + "_" + KFrameworkVersion + ".zip";
}

// One zip per IDE version with the framework's packages, DLL and header, and
// the bulk of a real package; returns the configuration document listing them.
std::string WritePackages(const TLocalApiServer& AServer, const std::vector<std::string>& AVersions,
                          const TOptions& AOptions) {
    std::ostringstream LConfig;
    LConfig << R"({"url": "", "ide": [)";
    for (std::size_t LIndex = 0; LIndex < AVersions.size(); ++LIndex) {
        const std::string& LVersion = AVersions[LIndex];
        std::vector<std::pair<std::string, std::string>> LFramework;
        for (const char* LPlatform : {"Win32", "Win64"}) {
            const std::string LRelease = std::string(LPlatform) + "/Release/";
            for (const char* LName :
                 {"Orvane_Core.bpl", "Orvane_Visual.bpl", "Orvane_Core.dcp", "Orvane_Visual.dcp",
                  "OrvaneNative.dll", "C/hpp/Orvane.Core.hpp"}) {
                LFramework.emplace_back(LRelease + LName, LVersion + " " + LRelease + LName);
            }
        }
        const fs::path LZip = AServer.Root() / "files" / PackageFile(LVersion);
        std::fprintf(stderr, "writing %s ...\n", LZip.filename().c_str());
        WritePackageZip(LZip.string(), AOptions.Mib * 1024 * 1024, AOptions.Files, LFramework);
        LConfig << (LIndex ? ", " : "") << R"({"name": "Orvane Developer for BDS )" << LVersion
                << R"(", "version": ")" << LVersion << R"(", "file": ")" << PackageFile(LVersion)
                << R"(", "url": "file/", "platforms": "Win32,Win64",)"
                << R"( "bpls": "Orvane_Core.bpl,Orvane_Visual.bpl",)"
                << R"( "dcps": "Orvane_Core.dcp,Orvane_Visual.dcp",)"
                << R"( "dlls": "Win32/Release/OrvaneNative.dll", "sha256": ")"
                << orvane::Sha256OfFile(LZip) << R"("})";
    }
    LConfig << "]}";
    return LConfig.str();
}

// Ticks of a timer in the GUI thread: the time between two ticks is how long
// the event loop could not run. Each gap keeps the log line shown when it
// began and when it ended, which names the step that held the thread.
class TStallProbe {
public:
    struct TGap {
        double Ms = 0;
        QString Before;
        QString After;
    };

    TStallProbe(const QLabel& ALine, int AIntervalMs) : FLine(ALine) {
        FTimer.setTimerType(Qt::PreciseTimer);
        FTimer.setInterval(AIntervalMs);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
    }

    void Start() {
        FGaps.clear();
        FClock.start();
        FLast = 0;
        FLastLine = FLine.text();
        FTimer.start();
    }
    void Stop() { FTimer.stop(); }

    void Report(const char* APhase, double ASeconds) const {
        std::vector<double> LSorted;
        for (const TGap& LGap : FGaps) {
            LSorted.push_back(LGap.Ms);
        }
        std::sort(LSorted.begin(), LSorted.end());
        const auto LPercentile = [&](double AShare) {
            if (LSorted.empty()) {
                return 0.0;
            }
            const auto LRank = static_cast<std::size_t>(std::ceil(AShare * LSorted.size()));
            return LSorted[std::min(LSorted.size(), std::max<std::size_t>(LRank, 1)) - 1];
        };
        std::printf("| %s | %.1f | %zu | %.1f | %.1f | %.1f | %zu |\n", APhase, ASeconds,
                    LSorted.size(), LPercentile(0.5), LPercentile(0.99),
                    LSorted.empty() ? 0.0 : LSorted.back(),
                    static_cast<std::size_t>(std::count_if(LSorted.begin(), LSorted.end(),
                                                           [](double A) { return A > 100; })));
    }

    void ReportWorst(const char* APhase, std::size_t ACount) const {
        std::vector<TGap> LWorst = FGaps;
        std::sort(LWorst.begin(), LWorst.end(),
                  [](const TGap& A, const TGap& B) { return A.Ms > B.Ms; });
        LWorst.resize(std::min(ACount, LWorst.size()));
        std::printf("\nLargest gaps, %s (log line when the gap began -> when it ended):\n", APhase);
        for (const TGap& LGap : LWorst) {
            std::printf("  %7.1f ms  %s -> %s\n", LGap.Ms,
                        LGap.Before.left(90).toUtf8().constData(),
                        LGap.After.left(90).toUtf8().constData());
        }
    }

private:
    void Tick() {
        const double LNow = static_cast<double>(FClock.nsecsElapsed()) / 1e6;
        const QString LLine = FLine.text();
        FGaps.push_back({LNow - FLast, FLastLine, LLine});
        FLast = LNow;
        FLastLine = LLine;
    }

    const QLabel& FLine;
    QTimer FTimer;
    QElapsedTimer FClock;
    double FLast = 0;
    QString FLastLine;
    std::vector<TGap> FGaps;
};

// Runs AClick from the event loop, as a user's click would, until it returns.
double RunFromEventLoop(const std::function<void()>& AClick) {
    QEventLoop LLoop;
    QElapsedTimer LClock;
    LClock.start();
    QTimer::singleShot(0, &LLoop, [&] {
        AClick();
        LLoop.quit();
    });
    LLoop.exec();
    return static_cast<double>(LClock.nsecsElapsed()) / 1e9;
}

void WaitUntil(const std::function<bool()>& ADone, const char* AWhat) {
    QElapsedTimer LClock;
    LClock.start();
    while (!ADone()) {
        if (LClock.elapsed() > 60000) {
            throw std::runtime_error(std::string("timed out waiting for ") + AWhat);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

void Require(bool ACondition, const std::string& AWhat) {
    if (!ACondition) {
        throw std::runtime_error(AWhat);
    }
}

int Run(const TOptions& AOptions) {
    TTempDir LSandbox;
    // Everything the installer writes lands in the sandbox, install.log too.
    PrepareWizardSandbox(LSandbox.Path());

    const std::vector<std::string> LVersions = IdeVersions(AOptions.Versions);
    auto LStore = orvane::OpenSqliteRegistryStore(LSandbox / "registry.sqlite");
    orvane::ApplyRegFile(*LStore, orvane::ParseRegFile(SandboxIdeKeys(LSandbox.Path(), LVersions)));
    for (const std::string& LVersion : LVersions) {
        fs::create_directories(LSandbox / "Embarcadero" / "Studio" / LVersion / "bin");
        const fs::path LCommon =
            LSandbox / "Public" / "Documents" / "Embarcadero" / "Studio" / LVersion;
        for (const char* LSub : {"Bpl", "Dcp", "CatalogRepository"}) {
            fs::create_directories(LCommon / LSub);
        }
    }

    TLocalApiServer LServer;
    LServer.WriteConfig("dev", WritePackages(LServer, LVersions, AOptions));

    auto LDialogs = std::make_shared<TScriptedDialogs>();
    TForm2Options LFormOptions;
    LFormOptions.ApiUrl = LServer.BaseUrl();
    LFormOptions.ExeDir = LSandbox / "bin";
    LFormOptions.RegistryStore = LStore;
    LFormOptions.Dialogs = LDialogs;

    std::printf("%d versions, packages of %llu MiB in %zu files each; probe every %d ms; "
                "QPA platform %s\n\n",
                AOptions.Versions, static_cast<unsigned long long>(AOptions.Mib), AOptions.Files,
                AOptions.IntervalMs, QGuiApplication::platformName().toUtf8().constData());
    std::printf("| Run | Seconds | Samples | Median gap ms | p99 gap ms | Largest gap ms | Gaps "
                "over 100 ms |\n|---|---|---|---|---|---|---|\n");

    auto LForm = std::make_unique<TForm2>(LFormOptions);
    LForm->SetTermsDialog(new TForm1(LForm.get()));
    LForm->show();
    LForm->DeveloperButton->click();
    WaitUntil(
        [&] {
            return LForm->ListBox1->count() > 0 && !LForm->DownloadVersionsIndicator->isVisible();
        },
        "the package list");
    int LTicked = 0;
    for (int LRow = 0; LRow < LForm->ListBox1->count(); ++LRow) {
        QListWidgetItem* LItem = LForm->ListBox1->item(LRow);
        if (TForm2EntryOf(LItem) != nullptr) {
            LItem->setCheckState(Qt::Checked);
            ++LTicked;
        }
    }
    Require(LTicked == AOptions.Versions, "not every package is listed");
    LDialogs->AnswerDialog(
        [](QDialog& ADialog) { return TScriptedDialogs::ClickButton(ADialog, "I Accept"); });
    LForm->SpeedButton1->click();
    Require(LForm->CheckBox1->isChecked(), "the terms are not accepted");
    // The sandbox IDE 23.0 holds a GetIt copy: removal accepted, element confirmed.
    const bool LGetIt = orvane::HasGetItInstallation(*LStore);
    if (LGetIt) {
        LDialogs->AnswerYes().AnswerYes();
    }

    TStallProbe LInstallProbe(*LForm->ProgressLabel, AOptions.IntervalMs);
    LInstallProbe.Start();
    const double LInstallSeconds = RunFromEventLoop([&] { LForm->InstallButton->click(); });
    LInstallProbe.Stop();
    Require(LForm->Label4->text() == "Thank you for installing Orvane! You can now start working!",
            "the installation failed: " + LForm->Label4->text().toStdString());
    Require(orvane::ReadInstalledVersions(*LStore).size() == LVersions.size(),
            "not every version is recorded");
    LInstallProbe.Report("install", LInstallSeconds);

    // Started again, as the user would, the Welcome page lists the installations.
    LForm = std::make_unique<TForm2>(LFormOptions);
    LForm->SetTermsDialog(new TForm1(LForm.get()));
    LForm->show();
    Require(LForm->UninstallButton->isEnabled(), "no installation listed");
    LDialogs->AnswerDialog(
        [](QDialog& ADialog) { return TScriptedDialogs::ClickButton(ADialog, "OK"); });
    TStallProbe LUninstallProbe(*LForm->ProgressLabel, AOptions.IntervalMs);
    LUninstallProbe.Start();
    const double LUninstallSeconds = RunFromEventLoop([&] { LForm->UninstallButton->click(); });
    LUninstallProbe.Stop();
    Require(orvane::ReadInstalledVersions(*LStore).empty(), "the uninstallation left records");
    Require(static_cast<std::size_t>(LDialogs->Texts(dkMessage).size()) == LVersions.size(),
            "not every version reported its uninstallation");
    LUninstallProbe.Report("uninstall", LUninstallSeconds);
    Require(LDialogs->PendingAnswers() == 0, "scripted answers left over");
    Require(LDialogs->Texts(dkWarning).size() == (LGetIt ? 1 : 0),
            "unexpected warnings: " + LDialogs->Texts(dkWarning).join(" / ").toStdString());

    LInstallProbe.ReportWorst("install", 8);
    LUninstallProbe.ReportWorst("uninstall", 8);
    return 0;
}

} // namespace

int main(int AArgc, char** AArgv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    qunsetenv("SUDO_USER");
    qunsetenv("PKEXEC_UID");
    try {
        const TOptions LOptions = ParseOptions(AArgc, AArgv);
        TOrvaneApplication LApp(AArgc, AArgv);
        // A failure escaping a handler would otherwise wait for a click on its box.
        QString LEscaped;
        LApp.SetErrorHandler([&LEscaped](const QString& AMessage) { LEscaped = AMessage; });
        const int LResult = Run(LOptions);
        if (!LEscaped.isEmpty()) {
            throw std::runtime_error("failure escaped a handler: " + LEscaped.toStdString());
        }
        return LResult;
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "bench_window_stall: %s\n", AError.what());
        return 1;
    }
}
