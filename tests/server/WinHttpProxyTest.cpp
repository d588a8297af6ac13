// The WinHTTP client with the user's proxy settings, under Wine: a manual proxy
// (per scheme, with exceptions), a PAC script from the local server and a PAC
// address that never answers. scripts/test-windows starts the proxy
// (tests/support/connect_proxy.py) and names it in ORVANE_TEST_PROXY (host:port)
// and ORVANE_TEST_PROXY_LOG (its request log, a Win32 path). The settings live
// in the prefix's registry, so these tests run alone (RUN_SERIAL).
#include "server/ContractServer.h"
#include "server/HttpClient.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace orvane;

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const wchar_t* const KConnections =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The user's proxy settings as Windows keeps them (DefaultConnectionSettings),
// for one scope; the earlier value comes back afterwards.
class TUserProxySettings {
public:
    TUserProxySettings(const std::string& AProxy, const std::string& ABypass,
                       const std::string& APacUrl) {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, KConnections, 0, nullptr, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &FKey,
                            nullptr) != ERROR_SUCCESS) {
            throw std::runtime_error("cannot open the connection settings");
        }
        DWORD LSize = 0;
        if (RegQueryValueExW(FKey, L"DefaultConnectionSettings", nullptr, nullptr, nullptr,
                             &LSize) == ERROR_SUCCESS) {
            FSaved.resize(LSize);
            RegQueryValueExW(FKey, L"DefaultConnectionSettings", nullptr, nullptr, FSaved.data(),
                             &LSize);
            FHadValue = true;
        }
        // Version, change counter, flags (1 direct, 2 proxy, 4 PAC address),
        // then proxy, exceptions and PAC address, each with its length.
        std::vector<BYTE> LBlob;
        const auto LPut = [&LBlob](DWORD AValue) {
            const auto* LBytes = reinterpret_cast<const BYTE*>(&AValue);
            LBlob.insert(LBlob.end(), LBytes, LBytes + sizeof AValue);
        };
        const auto LPutText = [&](const std::string& AText) {
            LPut(static_cast<DWORD>(AText.size()));
            LBlob.insert(LBlob.end(), AText.begin(), AText.end());
        };
        LPut(0x46);
        LPut(++GCounter);
        LPut(1 | 2 | (APacUrl.empty() ? 0 : 4));
        LPutText(AProxy);
        LPutText(ABypass);
        LPutText(APacUrl);
        LBlob.resize(LBlob.size() + 32, 0);
        if (RegSetValueExW(FKey, L"DefaultConnectionSettings", 0, REG_BINARY, LBlob.data(),
                           static_cast<DWORD>(LBlob.size())) != ERROR_SUCCESS) {
            RegCloseKey(FKey);
            throw std::runtime_error("cannot write the connection settings");
        }
    }
    ~TUserProxySettings() {
        if (FHadValue) {
            RegSetValueExW(FKey, L"DefaultConnectionSettings", 0, REG_BINARY, FSaved.data(),
                           static_cast<DWORD>(FSaved.size()));
        } else {
            RegDeleteValueW(FKey, L"DefaultConnectionSettings");
        }
        RegCloseKey(FKey);
    }
    TUserProxySettings(const TUserProxySettings&) = delete;
    TUserProxySettings& operator=(const TUserProxySettings&) = delete;

private:
    static inline DWORD GCounter = 100;
    HKEY FKey = nullptr;
    std::vector<BYTE> FSaved;
    bool FHadValue = false;
};

std::string Env(const char* AName) {
    const char* LValue = std::getenv(AName);
    if (!LValue) {
        throw std::runtime_error(std::string(AName) +
                                 " is not set: run the Windows tests through scripts/test-windows");
    }
    return LValue;
}

// The request lines the proxy has seen so far.
std::string ProxyLog() {
    std::ifstream LIn(std::filesystem::path(Env("ORVANE_TEST_PROXY_LOG")), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(LIn)), std::istreambuf_iterator<char>());
}

// What the client logged while in scope.
class TLogCapture {
public:
    TLogCapture() {
        THttpClient::SetLog([this](const std::string& ALine) {
            const std::lock_guard LLock(FLock);
            FLines.push_back(ALine);
        });
    }
    ~TLogCapture() { THttpClient::SetLog(nullptr); }
    TLogCapture(const TLogCapture&) = delete;
    TLogCapture& operator=(const TLogCapture&) = delete;
    std::vector<std::string> Lines() {
        const std::lock_guard LLock(FLock);
        return FLines;
    }

private:
    std::mutex FLock;
    std::vector<std::string> FLines;
};

struct TOutcome {
    std::string Body;
    std::string Error;
    bool ThroughProxy = false;
    std::chrono::milliseconds Took{0};
};

// A GET of APath on the local server by AHost, and whether the proxy saw it.
TOutcome Fetch(const std::string& AHost, const std::string& APath) {
    const auto& S = TContractServer::Get();
    const std::string LPort = S.BaseUrl().substr(S.BaseUrl().rfind(':') + 1);
    const std::string LUrl = "http://" + AHost + ":" + LPort + APath;
    const std::size_t LSeen = ProxyLog().size();
    TOutcome R;
    const auto LStart = TClock::now();
    try {
        THttpClient LClient;
        R.Body = LClient.GetText(LUrl, std::size_t{1} << 20);
    } catch (const THttpError& E) {
        R.Error = E.what();
    }
    R.Took = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - LStart);
    R.ThroughProxy = ProxyLog().find("GET " + LUrl, LSeen) != std::string::npos;
    return R;
}

// A query of this test's own: the proxy's log shows which request it saw.
std::string Unique(const std::string& ASuffix) {
    const auto* LInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string Result = std::string(LInfo->name()) + "-" + ASuffix;
    for (char& LChar : Result) {
        if (!std::isalnum(static_cast<unsigned char>(LChar)) && LChar != '-' && LChar != '.') {
            LChar = '_';
        }
    }
    return Result;
}

TEST(WinHttpProxy, ManualProxyPerSchemeAndItsExceptions) {
    const std::string LProxy = Env("ORVANE_TEST_PROXY");
    const struct {
        const char* Name;
        std::string Proxy;
        std::string Bypass;
        std::string Host;
        bool ThroughProxy;
    } KCases[] = {
        {"one proxy for all", LProxy, "", "127.0.0.1", true},
        {"per scheme, http named", "https=127.0.0.1:1;http=" + LProxy, "", "127.0.0.1", true},
        {"per scheme, http not named", "https=" + LProxy, "", "127.0.0.1", false},
        {"<local> passes a name without a dot", LProxy, "<local>", "localhost", false},
        {"<local> keeps an address", LProxy, "<local>", "127.0.0.1", true},
        {"exception by pattern", LProxy, "example.test;127.0.0.*", "127.0.0.1", false},
    };
    for (const auto& C : KCases) {
        const TUserProxySettings LSettings(C.Proxy, C.Bypass, "");
        const TOutcome R = Fetch(C.Host, "/token/?" + Unique(C.Name));
        EXPECT_EQ(R.Error, "") << C.Name;
        EXPECT_NE(R.Body.find("token"), std::string::npos) << C.Name;
        EXPECT_EQ(R.ThroughProxy, C.ThroughProxy) << C.Name;
    }
}

TEST(WinHttpProxy, ErrorsNameTheProxyOnlyWhenOneWasUsed) {
    const TLimitsGuard LLimits({2000ms, 2000ms});
    const struct {
        const char* Name;
        std::string Bypass;
        std::string Host;
        std::string Error;
    } KCases[] = {
        {"through the proxy", "", "127.0.0.1", "Failed to connect to proxy 127.0.0.1:1: "},
        {"past the proxy", "<local>", "localhost", "Failed to connect to localhost port 1: "},
    };
    for (const auto& C : KCases) {
        // Nothing listens on port 1, neither proxy nor server.
        const TUserProxySettings LSettings("127.0.0.1:1", C.Bypass, "");
        TOutcome R;
        try {
            THttpClient LClient;
            LClient.GetText("http://" + C.Host + ":1/token/", std::size_t{1} << 20);
        } catch (const THttpError& E) {
            R.Error = E.what();
        }
        EXPECT_EQ(R.Error.substr(0, C.Error.size()), C.Error) << C.Name << ": " << R.Error;
    }
}

TEST(WinHttpProxy, PacScriptChoosesTheProxyFromSchemeHostAndPortOnly) {
    const auto& S = TContractServer::Get();
    const std::string LProxy = Env("ORVANE_TEST_PROXY");
    // A script that saw the path or query would send the request to a dead
    // proxy.
    S.WriteFile(Unique("proxy.pac"),
                "function FindProxyForURL(url, host) {\n"
                "  if (url.indexOf('token') >= 0) return 'PROXY 127.0.0.1:1';\n"
                "  return 'PROXY " +
                    LProxy + "';\n}\n");
    const std::string LPacUrl = S.FileUrl(Unique("proxy.pac"));
    TLogCapture LLog;
    const TUserProxySettings LSettings("", "", LPacUrl);
    const TOutcome R = Fetch("127.0.0.1", "/token/?" + Unique("secret"));
    EXPECT_EQ(R.Error, "");
    EXPECT_TRUE(R.ThroughProxy);
    EXPECT_TRUE(LLog.Lines().empty());
}

TEST(WinHttpProxy, PacAddressThatNeverAnswersFallsBackWithinTheConnectTimeOut) {
    const auto& S = TContractServer::Get();
    const std::string LProxy = Env("ORVANE_TEST_PROXY");
    const TLimitsGuard LLimits({1000ms, 5000ms});
    S.SetFault("accept-silent", "/file/" + Unique("silent.pac"), 0, 0, 60000);
    const std::string LPacUrl = S.FileUrl(Unique("silent.pac"));
    const struct {
        const char* Name;
        std::string Proxy;
        bool ThroughProxy;
        std::string Logged;
    } KCases[] = {
        {"no manual proxy", "", false, "connecting directly"},
        {"manual proxy", LProxy, true, "using the proxy " + LProxy},
    };
    for (const auto& C : KCases) {
        TLogCapture LLog;
        const TUserProxySettings LSettings(C.Proxy, "", LPacUrl);
        const TOutcome R = Fetch("127.0.0.1", "/token/?" + Unique(C.Name));
        EXPECT_EQ(R.Error, "") << C.Name;
        EXPECT_EQ(R.ThroughProxy, C.ThroughProxy) << C.Name;
        EXPECT_GE(R.Took, 900ms) << C.Name;
        EXPECT_LT(R.Took, 5s) << C.Name;
        const auto LLines = LLog.Lines();
        ASSERT_EQ(LLines.size(), 1u) << C.Name;
        EXPECT_NE(LLines[0].find("did not answer within 1 second: " + C.Logged), std::string::npos)
            << LLines[0];
        // Decided once: the next request neither waits nor logs again.
        const TOutcome LAgain = Fetch("127.0.0.1", "/token/?" + Unique(C.Name) + "-again");
        EXPECT_EQ(LAgain.Error, "") << C.Name;
        EXPECT_LT(LAgain.Took, 900ms) << C.Name;
        EXPECT_EQ(LLog.Lines().size(), 1u) << C.Name;
    }
}

TEST(WinHttpProxy, CancelEndsAWaitForThePacScript) {
    const auto& S = TContractServer::Get();
    const TLimitsGuard LLimits({20000ms, 20000ms});
    S.SetFault("accept-silent", "/file/" + Unique("silent.pac"), 0, 0, 60000);
    const TUserProxySettings LSettings("", "", S.FileUrl(Unique("silent.pac")));
    THttpClient LClient;
    std::string LError;
    const auto LStart = TClock::now();
    std::thread LWorker([&] {
        try {
            LClient.GetText(S.BaseUrl() + "/token/?" + Unique("cancelled"), std::size_t{1} << 20);
        } catch (const THttpError& E) {
            LError = E.what();
        }
    });
    std::this_thread::sleep_for(500ms);
    const auto LCancelled = TClock::now();
    LClient.Cancel();
    LWorker.join();
    EXPECT_EQ(LError, "The download was cancelled");
    EXPECT_LT(TClock::now() - LCancelled, 1s);
    EXPECT_LT(TClock::now() - LStart, 5s);
}

} // namespace
