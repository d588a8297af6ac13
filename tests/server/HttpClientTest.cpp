#include "server/HttpClient.h"
#include "server/Protocol.h"
#include "support/LocalApiServer.h"
#include "support/LocalProxy.h"
#include "support/NetworkSettings.h"
#include "support/TestCa.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

using namespace orvane;
using namespace std::chrono_literals;

namespace {

struct TOutcome {
    std::string Body;
    std::string Error; // empty: success
    std::chrono::milliseconds Elapsed{0};
};

TOutcome Fetch(const std::string& AUrl) {
    TOutcome Result;
    const auto LStart = std::chrono::steady_clock::now();
    try {
        THttpClient LClient;
        Result.Body = LClient.GetText(AUrl, std::size_t{1} << 20);
    } catch (const THttpError& E) {
        Result.Error = E.what();
    }
    Result.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - LStart);
    return Result;
}

bool Contains(const std::vector<std::string>& ALines, const std::string& ALine) {
    return std::find(ALines.begin(), ALines.end(), ALine) != ALines.end();
}

// A socket on 127.0.0.1 that listens and never accepts. With AFillBacklog its
// queue is full, so a further connection attempt is never answered.
class TSilentListener {
public:
    explicit TSilentListener(bool AFillBacklog) {
        FFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in LAddress{};
        LAddress.sin_family = AF_INET;
        LAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t LLength = sizeof LAddress;
        if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&LAddress), LLength) != 0 ||
            listen(FFd, AFillBacklog ? 0 : 8) != 0 ||
            getsockname(FFd, reinterpret_cast<sockaddr*>(&LAddress), &LLength) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        FPort = ntohs(LAddress.sin_port);
        // Connect until one attempt stays unanswered: the queue is full then.
        while (AFillBacklog && !FBacklogFull && FFillers.size() < 8) {
            const int LFd = socket(AF_INET, SOCK_STREAM, 0);
            fcntl(LFd, F_SETFL, O_NONBLOCK);
            connect(LFd, reinterpret_cast<sockaddr*>(&LAddress), sizeof LAddress);
            pollfd LPoll{LFd, POLLOUT, 0};
            FBacklogFull = poll(&LPoll, 1, 300) == 0;
            FFillers.push_back(LFd);
        }
    }
    ~TSilentListener() {
        for (const int LFd : FFillers) {
            close(LFd);
        }
        close(FFd);
    }
    TSilentListener(const TSilentListener&) = delete;
    TSilentListener& operator=(const TSilentListener&) = delete;

    int Port() const { return FPort; }
    bool BacklogFull() const { return FBacklogFull; }

private:
    int FFd = -1;
    int FPort = 0;
    bool FBacklogFull = false;
    std::vector<int> FFillers;
};

// A port on 127.0.0.1 where nothing listens.
int ClosedPort() {
    const int LFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in LAddress{};
    LAddress.sin_family = AF_INET;
    LAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t LLength = sizeof LAddress;
    bind(LFd, reinterpret_cast<sockaddr*>(&LAddress), LLength);
    getsockname(LFd, reinterpret_cast<sockaddr*>(&LAddress), &LLength);
    close(LFd);
    return ntohs(LAddress.sin_port);
}

class THttpClientTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FCa = new TTestCa();
        FOtherCa = new TTestCa("Unknown Test CA");
        FServer = NewServer(FCa->Issue("server", "IP:127.0.0.1"));
    }
    static void TearDownTestSuite() {
        delete FServer;
        delete FOtherCa;
        delete FCa;
    }

    static TLocalApiServer* NewServer(const TTestCa::TIssued& ACertificate) {
        return TLocalApiServer::WithCertificate(ACertificate.CertFile, ACertificate.KeyFile)
            .release();
    }

    void SetUp() override { FSettings.TestCa(FCa->CertFile().string()); }

    static TTestCa* FCa;
    static TTestCa* FOtherCa;
    static TLocalApiServer* FServer; // certificate for 127.0.0.1 from FCa
    TScopedHttpSettings FSettings;
};

TTestCa* THttpClientTlsTest::FCa = nullptr;
TTestCa* THttpClientTlsTest::FOtherCa = nullptr;
TLocalApiServer* THttpClientTlsTest::FServer = nullptr;

TEST_F(THttpClientTlsTest, RequestsThroughAnHttpProxy) {
    TLocalApiServer LPlain;
    TLocalProxy LProxy;
    TLocalProxy LRefusing(TLocalProxy::pmRefuse);
    TLocalProxy LAskWindows(TLocalProxy::pmAskWindows);
    TLocalProxy LAskPassword(TLocalProxy::pmAskPassword);
    const auto SignIn = [](const TLocalProxy& AProxy) {
        return "The proxy 127.0.0.1:" + std::to_string(AProxy.Port()) +
               " wants a sign-in (407 Proxy Authentication Required): the installer signs in to "
               "a proxy only with your Windows sign-in (Negotiate or NTLM), on Windows";
    };
    const auto Port = [](const TLocalApiServer& AServer) { return std::to_string(AServer.Port()); };
    struct TCase {
        const char* Name;
        const TLocalApiServer& Server;
        const TLocalProxy& Proxy;
        std::string ProxyLine; // what the proxy must have seen
        std::string Error;     // empty: the token answer arrives
    };
    const TCase KCases[] = {
        {"http", LPlain, LProxy, "GET " + LPlain.BaseUrl() + "/token/ HTTP/1.1", ""},
        {"https through a tunnel", *FServer, LProxy,
         "CONNECT 127.0.0.1:" + Port(*FServer) + " HTTP/1.1", ""},
        {"https, tunnel refused", *FServer, LRefusing,
         "CONNECT 127.0.0.1:" + Port(*FServer) + " HTTP/1.1",
         "The proxy 127.0.0.1:" + std::to_string(LRefusing.Port()) +
             " refused the connection to 127.0.0.1:" + Port(*FServer) + ": 403 Forbidden"},
        // A plain request has no tunnel: the proxy's refusal is the answer.
        {"http, refused", LPlain, LRefusing, "GET " + LPlain.BaseUrl() + "/token/ HTTP/1.1",
         "The requested URL returned error: 403 (through the proxy 127.0.0.1:" +
             std::to_string(LRefusing.Port()) + ")"},
        // A proxy that wants a sign-in says so, for a tunnel and a plain request.
        {"https, proxy wants a Windows sign-in", *FServer, LAskWindows,
         "CONNECT 127.0.0.1:" + Port(*FServer) + " HTTP/1.1", SignIn(LAskWindows)},
        {"http, proxy wants a Windows sign-in", LPlain, LAskWindows,
         "GET " + LPlain.BaseUrl() + "/token/ HTTP/1.1", SignIn(LAskWindows)},
        {"http, proxy wants a password", LPlain, LAskPassword,
         "GET " + LPlain.BaseUrl() + "/token/ HTTP/1.1", SignIn(LAskPassword)},
    };
    for (const auto& C : KCases) {
        SCOPED_TRACE(C.Name);
        TOutcome R;
        {
            TScopedEnv LEnv;
            UseProxy(LEnv, C.Proxy.Url());
            R = Fetch(C.Server.BaseUrl() + "/token/");
        }
        EXPECT_EQ(R.Error, C.Error);
        if (C.Error.empty()) {
            EXPECT_NE(R.Body.find("\"token\""), std::string::npos) << R.Body;
        }
        EXPECT_TRUE(Contains(C.Proxy.Requests(), C.ProxyLine)) << "the proxy was bypassed";
    }
}

TEST_F(THttpClientTlsTest, CertificateChecks) {
    const std::unique_ptr<TLocalApiServer> LOtherHost(
        NewServer(FCa->Issue("other", "DNS:other.test")));
    const std::unique_ptr<TLocalApiServer> LUnknownCa(
        NewServer(FOtherCa->Issue("unknown", "IP:127.0.0.1")));
    struct TCase {
        const char* Name;
        const TLocalApiServer& Server;
        std::string ErrorPart; // empty: success
    };
    const TCase KCases[] = {
        {"certificate for 127.0.0.1 from the trusted CA", *FServer, ""},
        {"certificate for another host", *LOtherHost, "certificate subject name"},
        {"certificate from an unknown CA", *LUnknownCa, "SSL certificate problem"},
    };
    for (const auto& C : KCases) {
        SCOPED_TRACE(C.Name);
        const TOutcome R = Fetch(C.Server.BaseUrl() + "/token/");
        if (C.ErrorPart.empty()) {
            EXPECT_EQ(R.Error, "");
        } else {
            EXPECT_NE(R.Error.find(C.ErrorPart), std::string::npos) << R.Error;
        }
    }
    // Without the test CA the system's store alone does not know the server.
    FSettings.TestCa("");
    EXPECT_NE(Fetch(FServer->BaseUrl() + "/token/").Error.find("SSL certificate problem"),
              std::string::npos);
}

TEST(HttpClientLimits, SilentPeersFailWithAClearMessage) {
    TScopedHttpSettings LSettings;
    LSettings.Limits(1000ms, 1000ms);
    TLocalApiServer LServer;
    LServer.SetFault("stall", "/token/?stall", -1, 0, 0, 30000);
    LServer.SetFault("accept-silent", "/token/?silent", -1, 0, 0, 30000);
    const TSilentListener LTlsSilent(false);
    const TSilentListener LFull(true);
    const int LClosed = ClosedPort();
    const std::string KStall = "No data received from the server for 1 second";
    const auto Loopback = [](int APort) { return "127.0.0.1:" + std::to_string(APort); };
    struct TCase {
        const char* Name;
        std::string Url;
        std::string Error;
        std::chrono::milliseconds AtLeast;
    };
    std::vector<TCase> LCases = {
        {"headers, then nothing", LServer.BaseUrl() + "/token/?stall", KStall, 900ms},
        {"request read, never answered", LServer.BaseUrl() + "/token/?silent", KStall, 900ms},
        {"TLS handshake never answered", "https://" + Loopback(LTlsSilent.Port()) + "/",
         "Connecting to " + Loopback(LTlsSilent.Port()) + " timed out after 1 second", 900ms},
        {"connection refused", "http://" + Loopback(LClosed) + "/",
         "Failed to connect to 127.0.0.1 port " + std::to_string(LClosed), 0ms},
    };
    if (LFull.BacklogFull()) {
        LCases.push_back({"connection never accepted", "http://" + Loopback(LFull.Port()) + "/",
                          "Connecting to " + Loopback(LFull.Port()) + " timed out after 1 second",
                          900ms});
    }
    for (const auto& C : LCases) {
        SCOPED_TRACE(C.Name);
        const TOutcome R = Fetch(C.Url);
        EXPECT_EQ(R.Error.substr(0, C.Error.size()), C.Error) << R.Error;
        EXPECT_GE(R.Elapsed, C.AtLeast);
        // Generous: the limit is 1 s and libcurl looks at least once a second.
        EXPECT_LT(R.Elapsed, 10s);
    }
    EXPECT_TRUE(LFull.BacklogFull()) << "the full-backlog row did not run";
}

TEST(HttpClientLimits, SlowButSteadyAnswerIsNotAStall) {
    TScopedHttpSettings LSettings;
    LSettings.Limits(1000ms, 1000ms);
    TLocalApiServer LServer;
    LServer.WriteFile("slow.bin", std::string(16 * 1024 * 6, 's'));
    // Six blocks 400 ms apart: over 2 s in all, never 1 s without a byte.
    LServer.SetFault("slow", "/file/", -1, 0, 400);
    const std::string LToken = ReadTokenAnswer(Fetch(LServer.BaseUrl() + "/token/").Body);
    const TOutcome R = Fetch(LServer.BaseUrl() + "/file/slow.bin?token=" + LToken);
    EXPECT_EQ(R.Error, "");
    EXPECT_EQ(R.Body.size(), 16u * 1024 * 6);
    EXPECT_GE(R.Elapsed, 2000ms);
}

// The client's lines go to the newest scope still alive, whatever order the
// scopes end in (two windows, a window and a test's capture), and never to a
// scope that has ended.
TEST(HttpClientLog, LinesGoToTheNewestLiveScope) {
    struct TCase {
        const char* Name;
        bool OuterEndsFirst;
    };
    for (const TCase& C : {TCase{"inner ends first", false}, TCase{"outer ends first", true}}) {
        SCOPED_TRACE(C.Name);
        std::vector<std::string> LOuter;
        std::vector<std::string> LInner;
        auto LOuterScope = std::make_unique<TScopedHttpLog>(
            [&](const std::string& ALine) { LOuter.push_back(ALine); });
        THttpClient::Log("a");
        auto LInnerScope = std::make_unique<TScopedHttpLog>(
            [&](const std::string& ALine) { LInner.push_back(ALine); });
        THttpClient::Log("b");
        (C.OuterEndsFirst ? LOuterScope : LInnerScope).reset();
        THttpClient::Log("c");
        LOuterScope.reset();
        LInnerScope.reset();
        THttpClient::Log("d");
        EXPECT_EQ(LOuter, (C.OuterEndsFirst ? std::vector<std::string>{"a"}
                                            : std::vector<std::string>{"a", "c"}));
        EXPECT_EQ(LInner, (C.OuterEndsFirst ? std::vector<std::string>{"b", "c"}
                                            : std::vector<std::string>{"b"}));
    }
}

} // namespace
