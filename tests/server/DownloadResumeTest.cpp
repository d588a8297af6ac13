// Resumed downloads through the real downloader and HTTP client against the
// local API server: natively on libcurl, and under Wine on WinHTTP.
#include "server/DownloadResume.h"
#include "platform/FileNames.h"
#include "server/ContractServer.h"
#include "server/Downloader.h"
#include "server/HostThread.h"
#include "server/Sha256.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

using namespace orvane;
namespace fs = std::filesystem;

namespace {

std::string Unique(const std::string& ASuffix) {
    const auto* LInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string LName = std::string(LInfo->test_suite_name()) + "-" + LInfo->name() + "-" + ASuffix;
    for (char& LChar : LName) {
        if (LChar == '/' || LChar == ' ') {
            LChar = '_';
        }
    }
    return LName;
}

std::string Pattern(std::size_t ASize, unsigned ASeed = 0) {
    std::string Result(ASize, '\0');
    for (std::size_t I = 0; I < ASize; ++I) {
        Result[I] = static_cast<char>((I * 13 + I / 509 + ASeed) & 0xFF);
    }
    return Result;
}

std::string ReadAll(const fs::path& AFile) {
    std::ifstream LIn(AFile, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(LIn), {});
}

std::string Sha256Of(const std::string& ABytes) {
    auto LHasher = NewSha256Hasher();
    LHasher->Update(ABytes.data(), ABytes.size());
    return LHasher->HexDigest();
}

// What one download did.
struct TOutcome {
    bool Completed = false;
    std::string Error;
    std::string Sha256;
    std::vector<std::string> Notes;
    std::int64_t MaxProgress = 0;
    std::int64_t LastProgress = 0;
};

// One resumable download of AUrl into ADest, its notifications run here.
// AStopAt > 0: the owner stops wanting it once that many bytes arrived.
TOutcome Download(const std::string& AUrl, const fs::path& ADest, std::int64_t AStopAt = 0) {
    TOutcome R;
    auto LHost = std::make_shared<TQueuedHostThread>();
    auto LCancelled = std::make_shared<std::atomic<bool>>(false);
    bool LDone = false;
    auto* LDownloader = new TDownloader("http://127.0.0.1:1", "", LHost);
    LDownloader->Resumable = true;
    LDownloader->Cancelled = LCancelled;
    LDownloader->OnNote = [&R](const std::string& ALine) { R.Notes.push_back(ALine); };
    LDownloader->OnProgress = [&R, AStopAt, LCancelled](TDownloader& ASender) {
        R.MaxProgress = ASender.MaxProgress;
        R.LastProgress = ASender.Progress;
        if (AStopAt > 0 && ASender.Progress >= AStopAt) {
            *LCancelled = true;
        }
    };
    LDownloader->OnCompleted = [&](TDownloader& ASender) {
        R.Completed = true;
        R.Sha256 = ASender.Sha256();
        LDone = true;
    };
    LDownloader->OnError = [&](const std::exception& AError) {
        R.Error = AError.what();
        LDone = true;
    };
    LDownloader->Download(AUrl, Utf8FromPath(ADest), true);
    const auto LDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!LDone && std::chrono::steady_clock::now() < LDeadline) {
        LHost->WaitForWork(std::chrono::milliseconds(20));
    }
    while (TDownloader::ActiveTransfers() > 0) {
        LHost->WaitForWork(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(LDone) << AUrl;
    return R;
}

class DownloadResumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = fs::temp_directory_path() / ("orvane-resume-" + Unique("dir"));
        fs::remove_all(FDir);
        fs::create_directories(FDir);
        FPause = RetryPauseBase();
        SetRetryPauseBase(std::chrono::milliseconds(10));
    }
    void TearDown() override {
        SetRetryPauseBase(FPause);
        std::error_code LIgnored;
        fs::remove_all(FDir, LIgnored);
    }
    fs::path Dest(const std::string& AName) const { return FDir / AName; }
    static fs::path Partial(const fs::path& ADest) {
        return fs::path(ADest.string() + std::string(KPartialSuffix));
    }
    static fs::path Side(const fs::path& ADest) {
        return PathFromUtf8(ResumeStateFileName(Utf8FromPath(ADest)));
    }

    fs::path FDir;
    std::chrono::milliseconds FPause{};
};

// Every answer stops at the middle of the file: the first brings the first
// half, the retry asks for the rest only. The server sent the file once.
TEST_F(DownloadResumeTest, TransferCutAtHalfFinishesWithTheRestOfTheBytes) {
    const auto& S = TContractServer::Get();
    const std::string LName = Unique("half.zip");
    const std::string LBody = Pattern(900 * 1024 + 7);
    S.WriteFile(LName, LBody);
    S.SetFault("half", "/file/" + LName);

    const TOutcome R = Download(S.FileUrl(LName), Dest(LName));

    ASSERT_TRUE(R.Completed) << R.Error;
    EXPECT_EQ(ReadAll(Dest(LName)), LBody);
    EXPECT_EQ(R.Sha256, Sha256Of(LBody));
    EXPECT_EQ(R.MaxProgress, static_cast<std::int64_t>(LBody.size()));
    EXPECT_EQ(R.LastProgress, static_cast<std::int64_t>(LBody.size()));
    EXPECT_FALSE(fs::exists(Partial(Dest(LName))));
    EXPECT_FALSE(fs::exists(Side(Dest(LName))));
    const auto LSent = S.Transfers(LName);
    ASSERT_EQ(LSent.size(), 2u);
    EXPECT_EQ(LSent[0].Status, 200);
    EXPECT_EQ(LSent[0].Sent, static_cast<std::int64_t>(LBody.size() / 2));
    EXPECT_EQ(LSent[1].Status, 206);
    EXPECT_EQ(LSent[1].Range, "bytes=" + std::to_string(LBody.size() / 2) + "-");
    EXPECT_FALSE(LSent[1].IfRange.empty());
    EXPECT_EQ(LSent[0].Sent + LSent[1].Sent, static_cast<std::int64_t>(LBody.size()));
    ASSERT_EQ(R.Notes.size(), 1u);
    EXPECT_NE(R.Notes[0].find("broke off after " + std::to_string(LBody.size() / 2) + " bytes"),
              std::string::npos)
        << R.Notes[0];
    EXPECT_NE(R.Notes[0].find("(1 of 3)"), std::string::npos) << R.Notes[0];
}

// A run that stopped left its partial file; the next run asks for the rest,
// or starts over when the server no longer has that file or ignores ranges.
TEST_F(DownloadResumeTest, LaterRunContinuesOrStartsOverAsTheServerAnswers) {
    const auto& S = TContractServer::Get();
    const struct {
        const char* Label;
        const char* SecondFault; // on the second request only; empty: none
        int SecondStatus;
        const char* Note;
        // Bytes after the recorded size that may not have reached the disk
        // whole: the next run cuts them off before it asks for the rest.
        bool Torn = false;
    } KCases[] = {
        {"same file", "", 206, "Resuming the download"},
        {"file replaced", "newvalidator", 200, "it has changed since the partial download"},
        {"server without ranges", "norange", 200, "it does not send the rest of a file"},
        {"torn bytes after the record", "", 206, "Resuming the download", true},
    };
    for (const auto& C : KCases) {
        const std::string LName = Unique(std::string(C.Label) + ".zip");
        const std::string LBody = Pattern(2 * 1024 * 1024 + 11, 3);
        S.WriteFile(LName, LBody);
        // Slow enough to be stopped part of the way.
        S.SetFault("slow", "/file/" + LName, 500, 20, 30000, 0, "", 1);
        const TOutcome LFirst = Download(S.FileUrl(LName), Dest(LName), 200 * 1024);
        ASSERT_FALSE(LFirst.Completed) << C.Label;
        EXPECT_EQ(LFirst.Error, "The download was cancelled") << C.Label;
        ASSERT_TRUE(fs::exists(Partial(Dest(LName)))) << C.Label;
        const std::optional<TResumeState> LKept = ReadResumeState(Utf8FromPath(Side(Dest(LName))));
        ASSERT_TRUE(LKept) << C.Label;
        EXPECT_EQ(LKept->FileName, LName);
        EXPECT_GE(LKept->Size, 200 * 1024) << C.Label;
        EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(Partial(Dest(LName)))), LKept->Size);
        EXPECT_FALSE(fs::exists(Dest(LName))) << "a partial file never takes the final name";
        if (*C.SecondFault) {
            S.SetFault(C.SecondFault, "/file/" + LName, 500, 50, 30000, 0, "", 1);
        }
        if (C.Torn) {
            std::ofstream(Partial(Dest(LName)), std::ios::binary | std::ios::app) << "torn bytes";
        }

        const TOutcome LSecond = Download(S.FileUrl(LName), Dest(LName));

        ASSERT_TRUE(LSecond.Completed) << C.Label << ": " << LSecond.Error;
        EXPECT_EQ(ReadAll(Dest(LName)), LBody) << C.Label;
        EXPECT_EQ(LSecond.Sha256, Sha256Of(LBody)) << C.Label;
        EXPECT_FALSE(fs::exists(Partial(Dest(LName)))) << C.Label;
        EXPECT_FALSE(fs::exists(Side(Dest(LName)))) << C.Label;
        const auto LSent = S.Transfers(LName);
        ASSERT_EQ(LSent.size(), 2u) << C.Label;
        EXPECT_EQ(LSent[1].Range, "bytes=" + std::to_string(LKept->Size) + "-") << C.Label;
        EXPECT_EQ(LSent[1].Status, C.SecondStatus) << C.Label;
        const std::int64_t LRest =
            static_cast<std::int64_t>(LBody.size()) - (C.SecondStatus == 206 ? LKept->Size : 0);
        EXPECT_EQ(LSent[1].Sent, LRest) << C.Label;
        bool LNoted = false;
        for (const std::string& LNote : LSecond.Notes) {
            LNoted = LNoted || LNote.find(C.Note) != std::string::npos;
        }
        EXPECT_TRUE(LNoted) << C.Label;
    }
}

// Bytes are taken only as promised: a mirror that ignores If-Range and now
// serves another file never yields the old part spliced to the new rest (the
// whole new file comes instead), and a part the client did not ask for is
// never taken for the whole file.
TEST_F(DownloadResumeTest, OnlyTheRestOfTheFileBegunIsTakenAsItsRest) {
    const auto& S = TContractServer::Get();
    const std::string LName = Unique("mirror.zip");
    const std::string LOld = Pattern(2 * 1024 * 1024 + 11, 3);
    const std::string LNew = Pattern(2 * 1024 * 1024 + 11, 5);
    S.WriteFile(LName, LOld);
    S.SetFault("slow", "/file/" + LName, 500, 20, 30000, 0, "", 1);
    ASSERT_FALSE(Download(S.FileUrl(LName), Dest(LName), 200 * 1024).Completed);
    ASSERT_TRUE(ReadResumeState(Utf8FromPath(Side(Dest(LName)))));
    S.WriteFile(LName, LNew);
    S.SetFault("ignoreifrange", "/file/" + LName, 500, 50, 30000, 0, "", 1);

    const TOutcome LResumed = Download(S.FileUrl(LName), Dest(LName));

    ASSERT_TRUE(LResumed.Completed) << LResumed.Error;
    EXPECT_EQ(ReadAll(Dest(LName)), LNew);
    EXPECT_EQ(LResumed.Sha256, Sha256Of(LNew));
    const auto LSent = S.Transfers(LName);
    ASSERT_EQ(LSent.size(), 3u);
    EXPECT_EQ(LSent[1].Status, 206);
    EXPECT_EQ(LSent[2].Status, 200);
    EXPECT_EQ(LSent[2].Range, "");

    const std::string LPartName = Unique("part.zip");
    S.WriteFile(LPartName, LOld);
    S.SetFault("part206", "/file/" + LPartName, 500, 50, 30000, 0, "", 1);
    const TOutcome LPart = Download(S.FileUrl(LPartName), Dest(LPartName));
    EXPECT_FALSE(LPart.Completed);
    EXPECT_NE(LPart.Error.find("where the whole file was asked for"), std::string::npos)
        << LPart.Error;
    EXPECT_FALSE(fs::exists(Dest(LPartName)));
}

// Three retries with growing pauses, then the failure; what arrived stays for
// a later run. A failure that is no break (a refusal) keeps no side file.
TEST_F(DownloadResumeTest, RetriesEndAfterThreeAndKeepThePartForALaterRun) {
    const auto& S = TContractServer::Get();
    const std::string LName = Unique("cut.zip");
    const std::string LBody = Pattern(512 * 1024, 5);
    S.WriteFile(LName, LBody);
    // Each answer brings half of what it announces, then the connection ends.
    S.SetFault("truncated", "/file/" + LName, 500, 50, 30000, 0, "", 4);

    const TOutcome R = Download(S.FileUrl(LName), Dest(LName));

    EXPECT_FALSE(R.Completed);
    EXPECT_FALSE(R.Error.empty());
    const auto LSent = S.Transfers(LName);
    ASSERT_EQ(LSent.size(), 4u);
    std::int64_t LTotal = 0;
    for (const auto& LOne : LSent) {
        EXPECT_EQ(LOne.Range, LTotal == 0 ? "" : "bytes=" + std::to_string(LTotal) + "-");
        LTotal += LOne.Sent;
    }
    ASSERT_EQ(R.Notes.size(), 3u);
    EXPECT_NE(R.Notes[0].find("trying again in 10 ms (1 of 3)"), std::string::npos) << R.Notes[0];
    EXPECT_NE(R.Notes[1].find("trying again in 20 ms (2 of 3)"), std::string::npos) << R.Notes[1];
    EXPECT_NE(R.Notes[2].find("trying again in 40 ms (3 of 3)"), std::string::npos) << R.Notes[2];
    EXPECT_EQ(ReadAll(Partial(Dest(LName))), LBody.substr(0, static_cast<std::size_t>(LTotal)));
    const std::optional<TResumeState> LKept = ReadResumeState(Utf8FromPath(Side(Dest(LName))));
    ASSERT_TRUE(LKept);
    EXPECT_EQ(LKept->Size, LTotal);

    // The file is gone from the server now: a refusal, not a break.
    S.SetFault("status", "/file/" + LName, 404);
    const TOutcome LRefused = Download(S.FileUrl(LName), Dest(LName));
    EXPECT_FALSE(LRefused.Completed);
    EXPECT_NE(LRefused.Error.find("404"), std::string::npos) << LRefused.Error;
    EXPECT_FALSE(fs::exists(Side(Dest(LName))));
    EXPECT_FALSE(fs::exists(Dest(LName)));
}

} // namespace
