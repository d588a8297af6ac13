// The WinHTTP client with the user's proxy settings, under Wine: a manual proxy
// (per scheme, with exceptions), a PAC script from the local server and a PAC
// address that never answers. scripts/test-windows starts the proxy
// (tests/support/connect_proxy.py) and names it in ORVANE_TEST_PROXY (host:port)
// and ORVANE_TEST_PROXY_LOG (its request log, a Win32 path). The settings live
// in the prefix's registry, so these tests run alone (RUN_SERIAL).
#include "server/ContractServer.h"
#include "server/HttpClient.h"

#include <windows.h>

#include <winhttp.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
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

// The machine-wide WinHTTP proxy (what "netsh winhttp set proxy" sets) for one
// scope; the earlier one comes back afterwards.
class TMachineProxySettings {
public:
    TMachineProxySettings(const std::string& AProxy, const std::string& ABypass) {
        if (!WinHttpGetDefaultProxyConfiguration(&FSaved)) {
            throw std::runtime_error("cannot read the machine-wide proxy");
        }
        std::wstring LProxy(AProxy.begin(), AProxy.end());
        std::wstring LBypass(ABypass.begin(), ABypass.end());
        WINHTTP_PROXY_INFO LInfo{WINHTTP_ACCESS_TYPE_NAMED_PROXY, LProxy.data(),
                                 LBypass.empty() ? nullptr : LBypass.data()};
        if (!WinHttpSetDefaultProxyConfiguration(&LInfo)) {
            throw std::runtime_error("cannot set the machine-wide proxy");
        }
    }
    ~TMachineProxySettings() {
        if (!FSaved.lpszProxy) {
            FSaved.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
        }
        WinHttpSetDefaultProxyConfiguration(&FSaved);
        GlobalFree(FSaved.lpszProxy);
        GlobalFree(FSaved.lpszProxyBypass);
    }
    TMachineProxySettings(const TMachineProxySettings&) = delete;
    TMachineProxySettings& operator=(const TMachineProxySettings&) = delete;

private:
    WINHTTP_PROXY_INFO FSaved{};
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
    TLogCapture()
        : FScope([this](const std::string& ALine) {
              const std::lock_guard LLock(FLock);
              FLines.push_back(ALine);
          }) {}
    TLogCapture(const TLogCapture&) = delete;
    TLogCapture& operator=(const TLogCapture&) = delete;
    std::vector<std::string> Lines() {
        const std::lock_guard LLock(FLock);
        return FLines;
    }

private:
    std::mutex FLock;
    std::vector<std::string> FLines;
    // Last: it ends first, before the lines it writes to.
    orvane::TScopedHttpLog FScope;
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
        TLogCapture LLog;
        const TUserProxySettings LSettings(C.Proxy, C.Bypass, "");
        const TOutcome R = Fetch(C.Host, "/token/?" + Unique(C.Name));
        EXPECT_EQ(R.Error, "") << C.Name;
        EXPECT_NE(R.Body.find("token"), std::string::npos) << C.Name;
        EXPECT_EQ(R.ThroughProxy, C.ThroughProxy) << C.Name;
        // Which proxy, and from where, is said once; a direct connection is not.
        const std::string LPort = TContractServer::Get().BaseUrl().substr(
            TContractServer::Get().BaseUrl().rfind(':') + 1);
        const std::vector<std::string> LExpected =
            C.ThroughProxy ? std::vector<std::string>{"Requests to http://" + C.Host + ":" + LPort +
                                                      " go through the proxy " + LProxy +
                                                      " (from the user's proxy settings)"}
                           : std::vector<std::string>{};
        EXPECT_EQ(LLog.Lines(), LExpected) << C.Name;
    }
}

// A proxy named for the run takes every request, one the user's settings
// exempt included; none sends them straight, whatever the settings name.
TEST(WinHttpProxy, ANamedProxyOrNoneOverridesTheUserSettings) {
    const std::string LProxy = Env("ORVANE_TEST_PROXY");
    struct TRestore {
        ~TRestore() { THttpClient::SetProxy({}); }
    } LRestore;
    const struct {
        const char* Name;
        THttpProxy Chosen;
        std::string UserProxy;
        std::string Bypass;
        bool ThroughProxy;
    } KCases[] = {
        {"named, the settings name none", {THttpProxy::pmNamed, LProxy}, "", "", true},
        {"named with its scheme, the settings exempt the host",
         {THttpProxy::pmNamed, "http://" + LProxy},
         LProxy,
         "127.0.0.*",
         true},
        {"none, the settings name a proxy", {THttpProxy::pmNone, ""}, LProxy, "", false},
    };
    for (const auto& C : KCases) {
        const TUserProxySettings LSettings(C.UserProxy, C.Bypass, "");
        THttpClient::SetProxy(C.Chosen);
        const TOutcome R = Fetch("127.0.0.1", "/token/?" + Unique(C.Name));
        EXPECT_EQ(R.Error, "") << C.Name;
        EXPECT_NE(R.Body.find("token"), std::string::npos) << C.Name;
        EXPECT_EQ(R.ThroughProxy, C.ThroughProxy) << C.Name;
    }
}

TEST(WinHttpProxy, ExceptionPatternsWithManyStarsAreMatchedAtOnce) {
    const std::string LProxy = Env("ORVANE_TEST_PROXY");
    // Eighteen stars before a letter the address lacks: a matcher that tries
    // every way to share the text among the stars takes minutes.
    const std::string LStars(18, '*');
    const struct {
        const char* Name;
        std::string Bypass;
        bool ThroughProxy;
    } KCases[] = {
        {"many stars, no match", LStars + "x", true},
        {"many stars, a match", LStars + "1", false},
        {"stars between the parts", "1*7*.*.*.*1", false},
        {"parts out of order", "*0*7*.1", true},
    };
    for (const auto& C : KCases) {
        const TUserProxySettings LSettings(LProxy, C.Bypass, "");
        const TOutcome R = Fetch("127.0.0.1", "/token/?" + Unique(C.Name));
        EXPECT_EQ(R.Error, "") << C.Name;
        EXPECT_EQ(R.ThroughProxy, C.ThroughProxy) << C.Name;
        EXPECT_LT(R.Took, 3s) << C.Name;
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

std::string FileText(const std::string& APath) {
    std::ifstream LIn(std::filesystem::path(APath), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(LIn)), std::istreambuf_iterator<char>());
}

std::size_t CountOf(const std::string& AText, const std::string& APart) {
    std::size_t Result = 0;
    for (auto LAt = AText.find(APart); LAt != std::string::npos; LAt = AText.find(APart, LAt + 1)) {
        ++Result;
    }
    return Result;
}

// Under Wine the NTLM and Negotiate exchange itself cannot complete (no
// domain, no helper): what is checked is one answer with the Windows sign-in,
// no loop, and a text that names the proxy.
TEST(WinHttpProxy, AProxyThatWantsASignInGetsOneAnswerThenAClearText) {
    const TLimitsGuard LLimits({5000ms, 5000ms});
    std::istringstream LLogs(Env("ORVANE_TEST_PROXY_SIGN_IN_LOGS"));
    std::string LWindowsLog;
    std::string LBasicLog;
    LLogs >> LWindowsLog >> LBasicLog;
    const struct {
        const char* Name;
        std::string Proxy;
        std::string Log;
        std::string Reason;
        std::size_t Requests;
    } KCases[] = {
        {"Negotiate and NTLM", Env("ORVANE_TEST_PROXY_ASK_WINDOWS"), LWindowsLog,
         "it did not accept your Windows sign-in", 2},
        {"Basic only", Env("ORVANE_TEST_PROXY_ASK_PASSWORD"), LBasicLog,
         "it asks for Basic, and the installer signs in to a proxy only with your Windows "
         "sign-in (Negotiate or NTLM)",
         1},
    };
    const auto& S = TContractServer::Get();
    for (const auto& C : KCases) {
        const TUserProxySettings LSettings(C.Proxy, "", "");
        const std::string LUrl = S.BaseUrl() + "/token/?" + Unique(C.Name);
        std::string LError;
        try {
            THttpClient LClient;
            LClient.GetText(LUrl, std::size_t{1} << 20);
        } catch (const THttpError& E) {
            LError = E.what();
        }
        EXPECT_EQ(LError, "The proxy " + C.Proxy +
                              " wants a sign-in (407 Proxy Authentication Required): " + C.Reason)
            << C.Name;
        const std::string LSeen = FileText(C.Log);
        EXPECT_EQ(CountOf(LSeen, "GET " + LUrl + " "), C.Requests) << C.Name << "\n" << LSeen;
    }
}

// Under Wine the installer cannot run as another account than the session's,
// so the machine-wide proxy is seen here through the other way in: user
// settings that name no proxy.
TEST(WinHttpProxy, MachineWideProxyServesWhenTheUserSettingsNameNone) {
    const std::string LProxy = Env("ORVANE_TEST_PROXY");
    const auto& S = TContractServer::Get();
    const std::string LKey = S.BaseUrl();
    const std::string LFrom =
        " (from the machine-wide WinHTTP settings: the user's settings name no proxy)";
    const struct {
        const char* Name;
        std::string UserProxy;
        std::string UserBypass;
        std::string MachineProxy;
        std::string MachineBypass;
        std::string Host;
        bool ThroughProxy;
        std::vector<std::string> Logged;
    } KCases[] = {
        {"user names none",
         "",
         "",
         LProxy,
         "",
         "127.0.0.1",
         true,
         {"Requests to " + LKey + " go through the proxy " + LProxy + LFrom}},
        {"machine-wide exception",
         "",
         "",
         LProxy,
         "127.0.0.*",
         "127.0.0.1",
         false,
         {"Requests to " + LKey + " go directly" + LFrom}},
        // The user's own choice (here: no proxy for names without a dot)
        // stands; the machine-wide proxy, a dead one, is not asked.
        {"user names one", LProxy, "<local>", "127.0.0.1:1", "", "localhost", false, {}},
    };
    for (const auto& C : KCases) {
        TLogCapture LLog;
        const TUserProxySettings LUser(C.UserProxy, C.UserBypass, "");
        const TMachineProxySettings LMachine(C.MachineProxy, C.MachineBypass);
        const TOutcome R = Fetch(C.Host, "/token/?" + Unique(C.Name));
        EXPECT_EQ(R.Error, "") << C.Name;
        EXPECT_EQ(R.ThroughProxy, C.ThroughProxy) << C.Name;
        EXPECT_EQ(LLog.Lines(), C.Logged) << C.Name;
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
    const auto& LBase = S.BaseUrl();
    EXPECT_EQ(LLog.Lines(),
              std::vector<std::string>{"Requests to " + LBase + " go through the proxy " + LProxy +
                                       " (from the proxy script " + LPacUrl + ")"});
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

// CPU time this process has used so far.
std::chrono::milliseconds ProcessCpuTime() {
    FILETIME LCreated{};
    FILETIME LExited{};
    FILETIME LKernel{};
    FILETIME LUser{};
    if (!GetProcessTimes(GetCurrentProcess(), &LCreated, &LExited, &LKernel, &LUser)) {
        throw std::runtime_error("GetProcessTimes failed");
    }
    const auto LTicks = [](const FILETIME& ATime) {
        return (static_cast<std::uint64_t>(ATime.dwHighDateTime) << 32) | ATime.dwLowDateTime;
    };
    return std::chrono::milliseconds((LTicks(LKernel) + LTicks(LUser)) / 10000);
}

TEST(WinHttpProxy, PacScriptThatNeverReturnsIsEndedWithItsLookUp) {
    const auto& S = TContractServer::Get();
    const TLimitsGuard LLimits({1000ms, 5000ms});
    S.WriteFile(Unique("endless.pac"), "function FindProxyForURL(url, host) {\n"
                                       "  while (true) {}\n"
                                       "}\n");
    TLogCapture LLog;
    const TUserProxySettings LSettings("", "", S.FileUrl(Unique("endless.pac")));
    // Two hosts, two look-ups; each falls back to a direct connection.
    for (const char* LHost : {"127.0.0.1", "localhost"}) {
        const TOutcome R = Fetch(LHost, "/token/?" + Unique(LHost));
        EXPECT_EQ(R.Error, "") << LHost;
        EXPECT_FALSE(R.ThroughProxy) << LHost;
        EXPECT_GE(R.Took, 900ms) << LHost;
        EXPECT_LT(R.Took, 5s) << LHost;
    }
    const auto LLines = LLog.Lines();
    ASSERT_EQ(LLines.size(), 2u);
    for (const auto& LLine : LLines) {
        EXPECT_NE(LLine.find("did not answer within 1 second: connecting directly"),
                  std::string::npos)
            << LLine;
    }
    // A script still running here would keep a core busy.
    const auto LCpuBefore = ProcessCpuTime();
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(ProcessCpuTime() - LCpuBefore, 500ms);
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
