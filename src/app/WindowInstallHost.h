#pragma once

#include "app/QtHostThread.h"
#include "install/InstallHost.h"

#include <QPointer>

class TForm2;

// The window as the engine's host: log lines go to the Install page and
// install.log, questions and warnings to the dialog service, progress to the
// bar and the transfer line. Calls after the window is gone do nothing (a
// question then gets its default).
class TWindowInstallHost : public orvane::TInstallHost {
public:
    explicit TWindowInstallHost(TForm2& AForm) : FForm(&AForm) {}

    void Post(std::function<void()> AWork) override { FThread.Post(std::move(AWork)); }
    bool IsHostThread() const override { return FThread.IsHostThread(); }
    void ProcessPending() override { FThread.ProcessPending(); }
    void RunPosted() override { FThread.RunPosted(); }
    bool IsShuttingDown() const override { return FThread.IsShuttingDown(); }

    void Log(const std::string& ALine) override;
    void Warning(const std::string& AText) override;
    void Message(const std::string& AText) override;
    bool Ask(const orvane::TQuestion& AQuestion) override;
    void Progress(const orvane::TProgress& AProgress) override;
    void BackupWritten(const std::string& AFile, const std::string& AFolder) override;

private:
    QPointer<TForm2> FForm;
    TQtHostThread FThread;
};
