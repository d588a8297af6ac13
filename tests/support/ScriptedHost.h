#pragma once

// A host for the installation engine without a window: questions are answered
// from a script by id, and everything the engine tells its host is recorded.
// Qt-free, so the engine's tests also build for Windows.
#include "install/InstallHost.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

class TScriptedHost : public orvane::TInstallHost {
public:
    struct TAsked {
        orvane::TQuestionId Id;
        std::string Text;
        bool Default;
    };
    struct TReported {
        orvane::TProgress Progress;
        bool OnHostThread;
    };

    // Answers for AId, consumed in order. A question without a scripted answer
    // is a test failure and gets its default.
    TScriptedHost& Answer(orvane::TQuestionId AId, bool AYes) {
        FAnswers[AId].push_back(AYes);
        return *this;
    }
    std::size_t PendingAnswers() const {
        std::size_t LCount = 0;
        for (const auto& [LId, LQueue] : FAnswers) {
            LCount += LQueue.size();
        }
        return LCount;
    }
    // Called at a question of AId, before it is answered (once).
    std::map<orvane::TQuestionId, std::function<void()>> OnQuestion;
    // Called at every log line.
    std::function<void(const std::string&)> OnLog;

    void Post(std::function<void()> AWork) override { FThread.Post(std::move(AWork)); }
    bool IsHostThread() const override { return FThread.IsHostThread(); }
    void ProcessPending() override { FThread.ProcessPending(); }
    bool IsShuttingDown() const override { return FThread.IsShuttingDown(); }

    void Log(const std::string& ALine) override {
        ExpectHostThread("Log");
        Lines.push_back(ALine);
        if (OnLog) {
            OnLog(ALine);
        }
    }
    void Warning(const std::string& AText) override {
        ExpectHostThread("Warning");
        Warnings.push_back(AText);
    }
    void Message(const std::string& AText) override {
        ExpectHostThread("Message");
        Messages.push_back(AText);
    }
    bool Ask(const orvane::TQuestion& AQuestion) override {
        ExpectHostThread("Ask");
        Asked.push_back({AQuestion.Id, AQuestion.Text, AQuestion.Default});
        if (const auto LHook = OnQuestion.find(AQuestion.Id); LHook != OnQuestion.end()) {
            std::exchange(LHook->second, nullptr)();
            OnQuestion.erase(LHook);
        }
        auto& LQueue = FAnswers[AQuestion.Id];
        if (LQueue.empty()) {
            ADD_FAILURE() << "unscripted question " << orvane::QuestionIdName(AQuestion.Id) << ": "
                          << AQuestion.Text;
            return AQuestion.Default;
        }
        const bool LAnswer = LQueue.front();
        LQueue.pop_front();
        return LAnswer;
    }
    void Progress(const orvane::TProgress& AProgress) override {
        Reports.push_back({AProgress, FThread.IsHostThread()});
    }
    void BackupWritten(const std::string& AFile, const std::string& AFolder) override {
        Backups.push_back(AFile);
        BackupFolders.push_back(AFolder);
    }

    std::vector<std::string> Lines;
    std::vector<std::string> Warnings;
    std::vector<std::string> Messages;
    std::vector<TAsked> Asked;
    std::vector<TReported> Reports;
    std::vector<std::string> Backups;
    std::vector<std::string> BackupFolders;

private:
    void ExpectHostThread(const char* ACall) const {
        EXPECT_TRUE(FThread.IsHostThread()) << ACall << " called off the host thread";
    }

    orvane::TQueuedHostThread FThread;
    std::map<orvane::TQuestionId, std::deque<bool>> FAnswers;
};
