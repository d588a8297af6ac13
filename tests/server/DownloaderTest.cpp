#include "server/Downloader.h"
#include "server/HttpClient.h"
#include "server/Protocol.h"
#include "server/Sha256.h"
#include "support/LocalApiServer.h"
#include "support/LocalProxy.h"
#include "support/NetworkSettings.h"
#include "support/TestCa.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

using namespace orvane;
using namespace std::chrono_literals;

namespace {

// What one download reported, in the order it reported it.
struct TRecord {
    int Started = 0;
    std::vector<std::int64_t> ProgressValues;
    std::int64_t MaxAtEnd = -2;
    int Completed = 0;
    int Errors = 0;
    std::string ErrorText;
    std::string Body;
    bool FinalBeforeReturn = false;
    bool Done() const { return Completed + Errors > 0; }
};

void Wire(TDownloader& ADownloader, TRecord& ARecord) {
    ADownloader.OnStarted = [&ARecord](TDownloader&) { ++ARecord.Started; };
    ADownloader.OnProgress = [&ARecord](TDownloader& D) {
        ARecord.ProgressValues.push_back(D.Progress);
        ARecord.MaxAtEnd = D.MaxProgress;
    };
    ADownloader.OnCompleted = [&ARecord](TDownloader& D) {
        ++ARecord.Completed;
        EXPECT_TRUE(QThread::currentThread() == qApp->thread());
        ARecord.Body.assign(std::istreambuf_iterator<char>(*D.Stream()), {});
    };
    ADownloader.OnError = [&ARecord](const std::exception& E) {
        ++ARecord.Errors;
        ARecord.ErrorText = E.what();
        EXPECT_TRUE(QThread::currentThread() == qApp->thread());
    };
}

// Processes events until ADone holds (or 20 s pass).
template <class TPred> bool PumpUntil(TPred ADone) {
    QElapsedTimer LTimer;
    LTimer.start();
    while (!ADone() && LTimer.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return ADone();
}

// Starts an auto-free download, waits for its end and for the object to go.
TRecord RunDownload(const std::string& ABase, const std::string& AEndPoint,
                    const std::string& ADest = "", TCredentials ACredentials = {},
                    const std::string& AToken = "") {
    TRecord LRecord;
    const int LLiveBefore = TDownloader::LiveCount();
    auto* LDownloader = new TDownloader(ABase, AToken);
    LDownloader->Credentials = ACredentials;
    Wire(*LDownloader, LRecord);
    LDownloader->Download(AEndPoint, ADest, true);
    LRecord.FinalBeforeReturn = LRecord.Done();
    EXPECT_TRUE(PumpUntil([&] { return LRecord.Done() && TDownloader::ActiveTransfers() == 0; }))
        << AEndPoint;
    EXPECT_EQ(TDownloader::LiveCount(), LLiveBefore) << "auto-free object still alive";
    return LRecord;
}

class TDownloaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TLocalApiServer::TOptions LOptions;
        LOptions.AccountsJson = R"({"accounts": [{"user": "a+b&c@x.test", "password": "pw"}]})";
        FServer = new TLocalApiServer(LOptions);
        FServer->WriteConfig("dev", R"({"ide": [{"name": "n"}]})");
        FServer->WriteConfig("com", R"({"ide": []})");
    }
    static void TearDownTestSuite() {
        delete FServer;
        FServer = nullptr;
    }
    void SetUp() override {
        FServer->Clear();
        FTemp = std::filesystem::temp_directory_path() /
                ("orvane-dl-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(FTemp);
        std::filesystem::create_directories(FTemp);
    }
    void TearDown() override { std::filesystem::remove_all(FTemp); }

    static std::string FreshToken() {
        THttpClient LClient;
        const std::string LToken = ReadTokenAnswer(
            LClient.GetText(FServer->BaseUrl() + "/token/", orvane::KMaxTokenAnswerBytes));
        FServer->Clear();
        return LToken;
    }

    static TLocalApiServer* FServer;
    std::filesystem::path FTemp;
};

TLocalApiServer* TDownloaderTest::FServer = nullptr;

TEST_F(TDownloaderTest, DeveloperConfigurationInMemory) {
    const TRecord R = RunDownload(FServer->BaseUrl(), "/cfg/?mode=dev&mac=");
    EXPECT_EQ(R.Errors, 0) << R.ErrorText;
    ASSERT_EQ(R.Completed, 1);
    EXPECT_EQ(R.Body, R"({"ide": [{"name": "n"}]})");
    const auto LRequests = FServer->Requests();
    ASSERT_EQ(LRequests.size(), 2u);
    EXPECT_EQ(LRequests[0], "/token/");
    EXPECT_EQ(LRequests[1].rfind("/cfg/?mode=dev&mac=&token=", 0), 0u) << LRequests[1];
    EXPECT_GT(LRequests[1].size(), std::string("/cfg/?mode=dev&mac=&token=").size());
    // Token answer and document both announced a start.
    EXPECT_EQ(R.Started, 2);
    ASSERT_FALSE(R.ProgressValues.empty());
    EXPECT_EQ(R.ProgressValues.back(), static_cast<std::int64_t>(R.Body.size()));
    EXPECT_EQ(R.MaxAtEnd, static_cast<std::int64_t>(R.Body.size()));
}

// Peak memory of this process so far, in bytes.
std::uint64_t PeakMemory() {
    rusage LUsage{};
    getrusage(RUSAGE_SELF, &LUsage);
    return static_cast<std::uint64_t>(LUsage.ru_maxrss) * 1024;
}

// A 300 MB token answer or configuration, and a package without end: each
// stops at its limit with a message that names it, and memory stays flat.
TEST_F(TDownloaderTest, AnswersStopAtTheirLimitsWithFlatMemory) {
    const struct {
        const char* Label;
        const char* Kind;
        const char* Prefix;
        std::string Destination; // empty: in memory
        std::uint64_t MaxSize;
        std::string Expected;
    } LCases[] = {
        {"token answer", "huge", "/token/", "", 0,
         AnswerTooLargeText(KMaxTokenAnswerBytes, "the most a token answer can be")},
        {"configuration", "huge", "/cfg/", "", 0,
         AnswerTooLargeText(KMaxConfigurationBytes, "the most a configuration can be")},
        {"package without end", "endless", "/file/", (FTemp / "p.zip").string(), 1u << 20,
         AnswerTooLargeText(1u << 20, "a test cap")},
    };
    const std::uint64_t LPeakBefore = PeakMemory();
    ASSERT_GT(LPeakBefore, 0u);
    for (const auto& LCase : LCases) {
        FServer->Clear();
        FServer->SetFault(LCase.Kind, LCase.Prefix, -1, 500, 50, 60000, 300u << 20);
        TRecord LRecord;
        auto* LDownloader = new TDownloader(FServer->BaseUrl(), "");
        Wire(*LDownloader, LRecord);
        LDownloader->MaxSize = LCase.MaxSize;
        LDownloader->MaxSizeReason = "a test cap";
        LDownloader->Download(std::string(LCase.Prefix) == "/file/" ? "file/p.zip"
                                                                    : "/cfg/?mode=dev&mac=",
                              LCase.Destination, true);
        ASSERT_TRUE(PumpUntil([&] {
            return LRecord.Done() && TDownloader::ActiveTransfers() == 0;
        })) << LCase.Label;
        EXPECT_EQ(LRecord.Completed, 0) << LCase.Label;
        EXPECT_EQ(LRecord.ErrorText, LCase.Expected) << LCase.Label;
        if (!LCase.Destination.empty()) {
            EXPECT_FALSE(std::filesystem::exists(LCase.Destination));
            // Nothing beyond the limit was written; the owner removes the rest.
            EXPECT_LE(std::filesystem::file_size(TDownloader::PartialFileName(LCase.Destination)),
                      LCase.MaxSize);
        }
    }
    EXPECT_LT(PeakMemory() - LPeakBefore, 64u << 20);
}

TEST_F(TDownloaderTest, CommercialLoginWithSpecialCharacters) {
    TCredentials LCredentials{imCommercial, "a+b&c@x.test", "pw", "GAMEPACKAGE"};
    const TRecord R = RunDownload(FServer->BaseUrl(), "/cfg/?mode=com&mac=", "", LCredentials);
    EXPECT_EQ(R.Completed, 1) << R.ErrorText;
    EXPECT_EQ(R.Body, R"({"ide": []})");
    const auto LRequests = FServer->Requests();
    ASSERT_FALSE(LRequests.empty());
    EXPECT_EQ(LRequests[0], "/token/?user=a%2Bb%26c%40x.test&pwd=" + MD5Text("pw"));
}

TEST_F(TDownloaderTest, AbsoluteEndpointMakesNoTokenRequest) {
    const std::string LToken = FreshToken();
    FServer->WriteFile("abs.bin", "absolute");
    // Credentials that would fail a token request prove none is made.
    TCredentials LCredentials{imCommercial, "nobody", "wrong", ""};
    const TRecord R =
        RunDownload("https://unused.invalid", FServer->BaseUrl() + "/file/abs.bin?token=" + LToken,
                    "", LCredentials);
    EXPECT_EQ(R.Completed, 1) << R.ErrorText;
    EXPECT_EQ(R.Body, "absolute");
    EXPECT_EQ(FServer->Requests(), std::vector<std::string>{"/file/abs.bin?token=" + LToken});
}

TEST_F(TDownloaderTest, GivenTokenMakesNoTokenRequest) {
    const std::string LToken = FreshToken();
    FServer->WriteFile("given.bin", "given");
    const TRecord R = RunDownload(FServer->BaseUrl(), "file/given.bin", "", {}, LToken);
    EXPECT_EQ(R.Completed, 1) << R.ErrorText;
    EXPECT_EQ(FServer->Requests(), std::vector<std::string>{"/file/given.bin?token=" + LToken});
}

TEST_F(TDownloaderTest, NoHandlersRunsSilently) {
    FServer->WriteFile("silent.bin", std::string(100000, 'x'));
    const int LLiveBefore = TDownloader::LiveCount();
    auto* LDownloader = new TDownloader(FServer->BaseUrl(), "");
    LDownloader->Download("file/silent.bin", (FTemp / "silent.bin").string(), true);
    EXPECT_TRUE(PumpUntil([&] {
        return TDownloader::ActiveTransfers() == 0 && TDownloader::LiveCount() == LLiveBefore;
    }));
    EXPECT_EQ(std::filesystem::file_size(FTemp / "silent.bin"), 100000u);
}

TEST_F(TDownloaderTest, FailingTokenRequestReportsBeforeDownloadReturns) {
    struct TCase {
        const char* Name;
        const char* Fault; // nullptr: none
        int Code;
        TCredentials Credentials;
        std::string Message;
        bool RequestSent;
    };
    const TCase KCases[] = {
        {"status", "status", 503, {}, "The requested URL returned error: 503", true},
        {"redirect not followed", "redirect", 0, {}, "The requested URL returned error: 302", true},
        {"not json", "nonjson", 0, {}, "failed to retrieve api token", true},
        {"json but not an object", "nonobject", 0, {}, "failed to retrieve api token", true},
        {"wrong login",
         nullptr,
         0,
         {imCommercial, "a+b&c@x.test", "bad", ""},
         "The requested URL returned error: 401",
         true},
        {"bad mode",
         nullptr,
         0,
         {static_cast<TUserMode>(9), "", "", ""},
         "invalid api token request",
         false},
    };
    for (const auto& C : KCases) {
        FServer->Clear();
        if (C.Fault) {
            FServer->SetFault(C.Fault, "/token/", 1, C.Code);
        }
        const TRecord R = RunDownload(FServer->BaseUrl(), "/cfg/?mode=dev&mac=", "", C.Credentials);
        EXPECT_TRUE(R.FinalBeforeReturn) << C.Name;
        EXPECT_EQ(R.Errors, 1) << C.Name;
        EXPECT_EQ(R.Completed, 0) << C.Name;
        EXPECT_EQ(R.ErrorText, C.Message) << C.Name;
        const auto LRequests = FServer->Requests();
        EXPECT_EQ(LRequests.size(), C.RequestSent ? 1u : 0u) << C.Name;
        for (const auto& LRequest : LRequests) {
            EXPECT_EQ(LRequest.rfind("/token/", 0), 0u) << C.Name << ": " << LRequest;
        }
    }
}

TEST_F(TDownloaderTest, FailedTransferLeavesPartialFile) {
    TScopedHttpSettings LSettings;
    LSettings.Limits(1000ms, 1000ms);
    const std::string KBody(400000, 'z');
    FServer->WriteFile("pkg.zip", KBody);
    struct TCase {
        const char* Name;
        const char* Fault;
        int Code;
        std::string MessagePart;
        bool PartialData;
    };
    const TCase KCases[] = {
        {"truncated body", "truncated", 0, "transfer closed", true},
        {"dropped connection", "drop", 0, "Empty reply from server", false},
        {"status", "status", 404, "The requested URL returned error: 404", false},
        {"redirect", "redirect", 0, "The requested URL returned error: 302", false},
        {"stall after the headers", "stall", 0, "No data received from the server for 1 second",
         false},
    };
    for (const auto& C : KCases) {
        FServer->Clear();
        // Every time: libcurl retries once on a reused connection that dies unanswered.
        FServer->SetFault(C.Fault, "/file/", -1, C.Code);
        const auto LDest = FTemp / (std::string(C.Fault) + ".zip");
        const TRecord R = RunDownload(FServer->BaseUrl(), "file/pkg.zip", LDest.string());
        EXPECT_EQ(R.Errors, 1) << C.Name;
        EXPECT_EQ(R.Completed, 0) << C.Name;
        EXPECT_NE(R.ErrorText.find(C.MessagePart), std::string::npos)
            << C.Name << ": " << R.ErrorText;
        // The partial file never carries the final name.
        EXPECT_FALSE(std::filesystem::exists(LDest)) << C.Name;
        const std::filesystem::path LPartial = TDownloader::PartialFileName(LDest.string());
        ASSERT_TRUE(std::filesystem::exists(LPartial)) << C.Name;
        const auto LSize = std::filesystem::file_size(LPartial);
        if (C.PartialData) {
            EXPECT_GT(LSize, 0u) << C.Name;
            EXPECT_LT(LSize, KBody.size()) << C.Name;
        } else {
            EXPECT_EQ(LSize, 0u) << C.Name;
        }
    }
    for (const auto& LRequest : FServer->Requests()) {
        EXPECT_EQ(LRequest.find("/elsewhere/"), std::string::npos) << "redirect was followed";
    }
}

TEST_F(TDownloaderTest, DestinationThatCannotBeCreated) {
    FServer->WriteFile("pkg.zip", "data");
    const auto LDest = FTemp / "no-such-folder" / "pkg.zip";
    const TRecord R = RunDownload(FServer->BaseUrl(), "file/pkg.zip", LDest.string());
    EXPECT_EQ(R.Errors, 1);
    EXPECT_NE(R.ErrorText.find(LDest.string()), std::string::npos) << R.ErrorText;
    for (const auto& LRequest : FServer->Requests()) {
        EXPECT_EQ(LRequest.rfind("/file/", 0), std::string::npos) << "transfer was sent";
    }
}

// The partial file is this download's own: a file or link already of that
// name (somebody's file, a link into another file) is neither emptied nor
// written through, and the final name never replaces what appeared there
// while the transfer ran.
TEST_F(TDownloaderTest, PartialAndFinalNamesNeverHitAnotherFile) {
    FServer->WriteFile("pkg.zip", "the package");
    const auto LVictim = FTemp / "notes.txt";
    std::ofstream(LVictim) << "the user's";
    const auto LRead = [](const std::filesystem::path& AFile) {
        std::ifstream LIn(AFile, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(LIn), {});
    };
    const auto LFileThere = FTemp / "file.zip";
    std::ofstream(TDownloader::PartialFileName(LFileThere.string())) << "mine";
    const auto LLinkThere = FTemp / "link.zip";
    std::filesystem::create_symlink(LVictim, TDownloader::PartialFileName(LLinkThere.string()));
    for (const auto& LDest : {LFileThere, LLinkThere}) {
        const TRecord R = RunDownload(FServer->BaseUrl(), "file/pkg.zip", LDest.string());
        EXPECT_EQ(R.Errors, 1) << LDest;
        EXPECT_NE(R.ErrorText.find("The partial file \"" +
                                   TDownloader::PartialFileName(LDest.string()) +
                                   "\" was not left by this installer"),
                  std::string::npos)
            << R.ErrorText;
        EXPECT_FALSE(std::filesystem::exists(LDest.string() + ".resume")) << LDest;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(LDest))) << LDest;
    }
    EXPECT_EQ(LRead(TDownloader::PartialFileName(LFileThere.string())), "mine");
    EXPECT_EQ(LRead(LVictim), "the user's");
    EXPECT_TRUE(std::filesystem::is_symlink(TDownloader::PartialFileName(LLinkThere.string())));

    // A file (or link) that takes the final name during the transfer stays.
    for (const bool LAsLink : {false, true}) {
        const auto LDest = FTemp / (LAsLink ? "late-link.zip" : "late.zip");
        TRecord LRecord;
        auto* LDownloader = new TDownloader(FServer->BaseUrl(), "");
        Wire(*LDownloader, LRecord);
        LDownloader->OnVerify = [&] {
            if (LAsLink) {
                std::filesystem::create_symlink(LVictim, LDest);
            } else {
                std::ofstream(LDest) << "arrived meanwhile";
            }
        };
        LDownloader->Download("file/pkg.zip", LDest.string(), true);
        ASSERT_TRUE(
            PumpUntil([&] { return LRecord.Done() && TDownloader::ActiveTransfers() == 0; }));
        EXPECT_EQ(LRecord.Errors, 1) << LDest;
        EXPECT_NE(LRecord.ErrorText.find("Cannot rename"), std::string::npos) << LRecord.ErrorText;
        EXPECT_EQ(std::filesystem::is_symlink(LDest), LAsLink);
        EXPECT_EQ(LRead(LDest), LAsLink ? "the user's" : "arrived meanwhile");
        // What the transfer wrote stays under the partial name, for the owner to remove.
        EXPECT_EQ(LRead(TDownloader::PartialFileName(LDest.string())), "the package");
    }
}

TEST_F(TDownloaderTest, FileDownloadStreamsWithProgressToTheEnd) {
    const std::uintmax_t KSize = 24u * 1024 * 1024 + 123;
    FServer->MakeSizedFile("big.bin", KSize);
    const auto LDest = FTemp / "big.bin";
    std::ofstream(LDest) << "old content that must be cut";
    const TRecord R = RunDownload(FServer->BaseUrl(), "file/big.bin", LDest.string());
    ASSERT_EQ(R.Completed, 1) << R.ErrorText;
    EXPECT_EQ(std::filesystem::file_size(LDest), KSize);
    EXPECT_FALSE(std::filesystem::exists(TDownloader::PartialFileName(LDest.string())));
    // The file stream is still open and readable during OnCompleted.
    EXPECT_EQ(R.Body.size(), KSize);
    EXPECT_GT(R.ProgressValues.size(), 3u);
    for (std::size_t I = 1; I < R.ProgressValues.size(); ++I) {
        EXPECT_LE(R.ProgressValues[I - 1], R.ProgressValues[I]);
    }
    EXPECT_EQ(R.ProgressValues.back(), static_cast<std::int64_t>(KSize));
    EXPECT_EQ(R.MaxAtEnd, static_cast<std::int64_t>(KSize));
}

TEST_F(TDownloaderTest, DataHandlerSeesEveryBlockAsWritten) {
    const std::uintmax_t KSize = 3u * 1024 * 1024 + 7;
    FServer->MakeSizedFile("hashed.bin", KSize);
    const auto LDest = FTemp / "hashed.bin";
    TRecord R;
    std::shared_ptr<TStreamHasher> LHasher = NewSha256Hasher();
    std::uintmax_t LSeen = 0;
    auto* LDownloader = new TDownloader(FServer->BaseUrl(), FreshToken());
    Wire(*LDownloader, R);
    LDownloader->OnData = [LHasher, &LSeen](const char* AData, std::size_t ASize) {
        LHasher->Update(AData, ASize);
        LSeen += ASize;
    };
    LDownloader->Download("file/hashed.bin", LDest.string(), true);
    ASSERT_TRUE(PumpUntil([&] { return R.Done() && TDownloader::ActiveTransfers() == 0; }));
    ASSERT_EQ(R.Completed, 1) << R.ErrorText;
    EXPECT_EQ(LSeen, KSize);
    EXPECT_EQ(LHasher->HexDigest(), Sha256OfFile(LDest));
}

// A complete answer that fails its check ends through OnError and never takes
// the final name, so nothing can pick it up as a finished download.
TEST_F(TDownloaderTest, AnswerThatFailsVerificationNeverTakesTheFinalName) {
    const std::string KBody(300000, 'v');
    FServer->WriteFile("checked.bin", KBody);
    for (const bool LAccept : {true, false}) {
        const auto LDest = FTemp / (LAccept ? "accepted.bin" : "refused.bin");
        TRecord R;
        std::size_t LSeenAtVerify = 0;
        std::size_t LSeen = 0;
        auto* LDownloader = new TDownloader(FServer->BaseUrl(), FreshToken());
        Wire(*LDownloader, R);
        LDownloader->OnData = [&LSeen](const char*, std::size_t ASize) { LSeen += ASize; };
        LDownloader->OnVerify = [&, LAccept] {
            LSeenAtVerify = LSeen;
            if (!LAccept) {
                throw std::runtime_error("digest does not match");
            }
        };
        LDownloader->Download("file/checked.bin", LDest.string(), true);
        ASSERT_TRUE(PumpUntil([&] { return R.Done() && TDownloader::ActiveTransfers() == 0; }));
        EXPECT_EQ(LSeenAtVerify, KBody.size()) << "verified before the whole answer arrived";
        if (LAccept) {
            EXPECT_EQ(R.Completed, 1) << R.ErrorText;
            EXPECT_EQ(std::filesystem::file_size(LDest), KBody.size());
        } else {
            EXPECT_EQ(R.Errors, 1);
            EXPECT_EQ(R.ErrorText, "digest does not match");
            EXPECT_FALSE(std::filesystem::exists(LDest));
            EXPECT_TRUE(std::filesystem::exists(TDownloader::PartialFileName(LDest.string())));
        }
    }
}

TEST_F(TDownloaderTest, BodyWithoutAnnouncedLengthStillEndsWithAFullBar) {
    const std::string KBody(300000, 'n');
    FServer->WriteFile("nolength.bin", KBody);
    const std::string LToken = FreshToken();
    FServer->SetFault("nolength", "/file/", 1);
    std::vector<std::int64_t> LMaxAtStart;
    TRecord R;
    auto* LDownloader = new TDownloader(FServer->BaseUrl(), LToken);
    Wire(*LDownloader, R);
    LDownloader->OnStarted = [&LMaxAtStart](TDownloader& D) {
        LMaxAtStart.push_back(D.MaxProgress);
    };
    LDownloader->Download("file/nolength.bin", "", true);
    ASSERT_TRUE(PumpUntil([&] { return R.Done() && TDownloader::ActiveTransfers() == 0; }));
    ASSERT_EQ(R.Completed, 1) << R.ErrorText;
    EXPECT_EQ(R.Body, KBody);
    EXPECT_EQ(LMaxAtStart, std::vector<std::int64_t>{-1});
    ASSERT_FALSE(R.ProgressValues.empty());
    EXPECT_EQ(R.ProgressValues.back(), static_cast<std::int64_t>(KBody.size()));
    EXPECT_EQ(R.MaxAtEnd, static_cast<std::int64_t>(KBody.size()));
}

TEST_F(TDownloaderTest, WithoutAutoFreeTheObjectKeepsClientAndToken) {
    FServer->WriteFile("a.bin", "A");
    FServer->WriteFile("b.bin", "B");
    TDownloader LDownloader(FServer->BaseUrl(), "");
    TRecord LFirst;
    Wire(LDownloader, LFirst);
    LDownloader.Download("file/a.bin", "", false);
    // The transfer thread releases the stream right after the final notification.
    ASSERT_TRUE(PumpUntil([&] { return LFirst.Done() && TDownloader::ActiveTransfers() == 0; }));
    EXPECT_EQ(LFirst.Body, "A");
    EXPECT_FALSE(LDownloader.Token.empty());
    EXPECT_EQ(LDownloader.Stream(), nullptr);

    TRecord LSecond;
    Wire(LDownloader, LSecond);
    LDownloader.Download("file/b.bin", "", false);
    ASSERT_TRUE(PumpUntil([&] { return LSecond.Done() && TDownloader::ActiveTransfers() == 0; }));
    EXPECT_EQ(LSecond.Body, "B");
    const auto LRequests = FServer->Requests();
    ASSERT_EQ(LRequests.size(), 3u);
    EXPECT_EQ(LRequests[0], "/token/");
}

TEST_F(TDownloaderTest, AbortAllEndsRunningTransfersThroughTheirErrorPath) {
    FServer->MakeSizedFile("slow.bin", 4u * 1024 * 1024);
    FServer->SetFault("slow", "/file/", 1, 0, 100);
    TRecord R;
    const int LLiveBefore = TDownloader::LiveCount();
    auto* LDownloader = new TDownloader(FServer->BaseUrl(), "");
    Wire(*LDownloader, R);
    LDownloader->Download("file/slow.bin", (FTemp / "slow.bin").string(), true);
    ASSERT_TRUE(PumpUntil([&] { return !R.ProgressValues.empty() && R.Started == 2; }));
    QElapsedTimer LTimer;
    LTimer.start();
    TDownloader::AbortAll();
    EXPECT_LT(LTimer.elapsed(), 5000);
    EXPECT_EQ(TDownloader::ActiveTransfers(), 0);
    EXPECT_EQ(R.Errors, 1);
    EXPECT_EQ(R.Completed, 0);
    EXPECT_EQ(R.ErrorText, "The download was cancelled");
    EXPECT_EQ(TDownloader::LiveCount(), LLiveBefore);

    // Later downloads are not affected.
    FServer->WriteFile("after.bin", "after");
    EXPECT_EQ(RunDownload(FServer->BaseUrl(), "file/after.bin").Body, "after");
}

TEST_F(TDownloaderTest, ProgramEndingDuringATransferDoesNotHang) {
    FServer->MakeSizedFile("endless.bin", 8u * 1024 * 1024);
    FServer->SetFault("slow", "/file/", -1, 0, 200);
    QProcess LProbe;
    LProbe.start(ORVANE_EXIT_PROBE,
                 {QString::fromStdString(FServer->BaseUrl()), QStringLiteral("file/endless.bin")});
    ASSERT_TRUE(LProbe.waitForStarted(10000));
    const bool LFinished = LProbe.waitForFinished(20000);
    if (!LFinished) {
        LProbe.kill();
        LProbe.waitForFinished(5000);
    }
    ASSERT_TRUE(LFinished) << "the program hung in its teardown";
    EXPECT_EQ(LProbe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(LProbe.exitCode(), 0) << LProbe.readAllStandardError().toStdString();
    // The transfer had started on the server before the program ended.
    bool LRequested = false;
    for (const auto& LRequest : FServer->Requests()) {
        LRequested = LRequested || LRequest.rfind("/file/endless.bin?token=", 0) == 0;
    }
    EXPECT_TRUE(LRequested);
}

TEST_F(TDownloaderTest, SilentTokenRequestKeepsEventsFlowingAndEndsAtTheStallLimit) {
    TScopedHttpSettings LSettings;
    LSettings.Limits(1000ms, 2000ms);
    FServer->SetFault("accept-silent", "/token/", -1, 0, 0, 30000);
    int LTicks = 0;
    QTimer LTicker;
    LTicker.setInterval(20);
    QObject::connect(&LTicker, &QTimer::timeout, [&LTicks] { ++LTicks; });
    LTicker.start();
    TRecord R;
    auto* LDownloader = new TDownloader(FServer->BaseUrl(), "");
    Wire(*LDownloader, R);
    LDownloader->Download("/cfg/?mode=dev&mac=", "", true);
    const int LTicksDuringRequest = LTicks;
    // The error came through the normal path before Download returned.
    EXPECT_EQ(R.Errors, 1);
    EXPECT_EQ(R.Completed, 0);
    EXPECT_EQ(R.ErrorText, "No data received from the server for 2 seconds");
    // 2 s of a 20 ms timer: the GUI thread's events ran all along.
    EXPECT_GT(LTicksDuringRequest, 20);
    EXPECT_EQ(TDownloader::ActiveTransfers(), 0);
    EXPECT_EQ(FServer->Requests(), std::vector<std::string>{"/token/"});
}

TEST_F(TDownloaderTest, AbortAllDuringTheTokenRequestEndsIt) {
    // Default limits: only the abort can end the request soon.
    FServer->SetFault("accept-silent", "/token/", -1, 0, 0, 60000);
    TRecord R;
    const int LLiveBefore = TDownloader::LiveCount();
    bool LAbortReturned = false;
    QObject LContext; // the timer goes with the test, fired or not
    QTimer::singleShot(300, &LContext, [&LAbortReturned] {
        TDownloader::AbortAll();
        LAbortReturned = true;
    });
    QElapsedTimer LTimer;
    LTimer.start();
    auto* LDownloader = new TDownloader(FServer->BaseUrl(), "");
    Wire(*LDownloader, R);
    LDownloader->Download("/cfg/?mode=dev&mac=", "", true);
    EXPECT_TRUE(LAbortReturned);
    EXPECT_LT(LTimer.elapsed(), 10000);
    EXPECT_EQ(R.Errors, 1);
    EXPECT_EQ(R.ErrorText, "The download was cancelled");
    EXPECT_EQ(TDownloader::ActiveTransfers(), 0);
    EXPECT_EQ(TDownloader::LiveCount(), LLiveBefore);
}

TEST(DownloaderTls, SelfSignedCertificateFailsWithClearMessage) {
    TLocalApiServer::TOptions LOptions;
    LOptions.Tls = true;
    TLocalApiServer LServer(LOptions);
    const TRecord R = RunDownload(LServer.BaseUrl(), "/cfg/?mode=dev&mac=");
    EXPECT_TRUE(R.FinalBeforeReturn);
    EXPECT_EQ(R.Errors, 1);
    EXPECT_NE(R.ErrorText.find("certificate"), std::string::npos) << R.ErrorText;
}

TEST(DownloaderProxy, ConfigurationOverHttpsThroughAProxy) {
    const TTestCa LCa;
    const auto LCertificate = LCa.Issue("server", "IP:127.0.0.1");
    TLocalApiServer::TOptions LOptions;
    LOptions.Tls = true;
    LOptions.CertFile = LCertificate.CertFile;
    LOptions.KeyFile = LCertificate.KeyFile;
    const TLocalApiServer LServer(LOptions);
    LServer.WriteConfig("dev", R"({"ide": []})");
    const TLocalProxy LProxy;
    TScopedHttpSettings LSettings;
    LSettings.TestCa(LCa.CertFile().string());
    TRecord R;
    {
        TScopedEnv LEnv;
        UseProxy(LEnv, LProxy.Url());
        // Token request on this thread, transfer on a pool thread: both tunnel.
        R = RunDownload(LServer.BaseUrl(), "/cfg/?mode=dev&mac=");
    }
    EXPECT_EQ(R.ErrorText, "");
    EXPECT_EQ(R.Body, R"({"ide": []})");
    const auto LTunnels = LProxy.Requests();
    ASSERT_FALSE(LTunnels.empty());
    for (const auto& LLine : LTunnels) {
        EXPECT_EQ(LLine, "CONNECT 127.0.0.1:" + std::to_string(LServer.Port()) + " HTTP/1.1");
    }
    EXPECT_EQ(LServer.Requests().size(), 2u);
}

} // namespace
