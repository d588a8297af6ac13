#include "server/HttpClient.h"

#include "platform/Win32Text.h"

#include <windows.h>

#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <memory>
#include <thread>
#include <vector>

namespace orvane {

namespace {

using TClock = std::chrono::steady_clock;

// How often a waiting transfer looks at cancellation and its clocks.
constexpr DWORD KPollMs = 50;
// Largest block handed to the sink at once, as the libcurl client does.
constexpr DWORD KBlockSize = 100 * 1024;
// A read that completes within this time finds a stream that keeps up.
constexpr std::chrono::milliseconds KQuickRead{10};

// What WinHTTP's callback thread hands over to the waiting transfer. It lives
// on the heap until WinHTTP says the request handle is closing: after a
// cancellation WinHTTP may still be busy with it while Get() has returned.
struct TCallbackState {
    HANDLE Event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD Completed = 0; // the WINHTTP_CALLBACK_STATUS_* that finished the last operation
    DWORD Error = 0;
    DWORD Bytes = 0;
    DWORD SecureFailure = 0;
    // The request went out (after the TLS handshake): the connect time-out
    // ends here and the stall clock starts. Wine completes the send step only
    // with the answer's status line, so that step cannot tell.
    std::atomic<bool> Sent{false};
    std::vector<char> Buffer = std::vector<char>(KBlockSize);

    ~TCallbackState() {
        if (Event) {
            CloseHandle(Event);
        }
    }
};

void CALLBACK StatusCallback(HINTERNET, DWORD_PTR AContext, DWORD AStatus, LPVOID AInfo,
                             DWORD ALength) {
    auto* LState = reinterpret_cast<TCallbackState*>(AContext);
    if (!LState) {
        return;
    }
    switch (AStatus) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        delete LState;
        return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
        LState->Sent = true;
        return;
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
        // Comes before the request error that ends the operation.
        LState->SecureFailure = AInfo ? *static_cast<DWORD*>(AInfo) : 0;
        return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        LState->Error = static_cast<WINHTTP_ASYNC_RESULT*>(AInfo)->dwError;
        break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        LState->Bytes = *static_cast<DWORD*>(AInfo);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        LState->Bytes = ALength;
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        break;
    default:
        return;
    }
    LState->Completed = AStatus;
    SetEvent(LState->Event);
}

struct THandle {
    HINTERNET Value = nullptr;
    THandle() = default;
    explicit THandle(HINTERNET AValue) : Value(AValue) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() { Close(); }
    void Close() {
        if (Value) {
            WinHttpCloseHandle(Value);
            Value = nullptr;
        }
    }
};

// The same words for the same failures on every machine: Wine's winhttp.dll
// carries no message texts, and Windows' texts depend on the user's language.
std::string WinHttpErrorText(DWORD ACode) {
    switch (ACode) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
        return "Couldn't connect to server";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return "Could not resolve host";
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return "The connection was reset or closed by the peer";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return "The server's answer is not valid HTTP";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        return "Unsupported protocol";
    case ERROR_WINHTTP_INVALID_URL:
        return "URL rejected: Malformed input to a URL function";
    case ERROR_WINHTTP_SECURE_FAILURE:
        return "TLS handshake failed";
    case ERROR_WINHTTP_TIMEOUT:
        return "Operation timed out";
    case ERROR_WINHTTP_LOGIN_FAILURE:
        return "Authentication failed";
    default:
        return "WinHTTP error " + std::to_string(ACode);
    }
}

// Certificate problems in the words of the flags WinHTTP reports.
std::string CertificateText(DWORD AFlags) {
    std::string Result;
    const auto LAdd = [&Result](const char* AText) {
        Result += Result.empty() ? "" : "; ";
        Result += AText;
    };
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) {
        LAdd("certificate issued by an authority that is not trusted");
    }
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) {
        LAdd("certificate name does not match the host");
    }
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) {
        LAdd("certificate has expired or is not yet valid");
    }
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) {
        LAdd("certificate has been revoked");
    }
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED) {
        LAdd("certificate revocation could not be checked");
    }
    if (AFlags & (WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT |
                  WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE)) {
        LAdd("invalid certificate");
    }
    if (Result.empty()) {
        LAdd("TLS handshake failed");
    }
    return "SSL certificate problem: " + Result;
}

struct TUrl {
    std::wstring Host;
    INTERNET_PORT Port = 0;
    std::wstring PathAndQuery;
    bool Secure = false;
};

TUrl CrackUrl(const std::string& AUrl) {
    const std::wstring LWide = Widen(AUrl);
    URL_COMPONENTS LParts{};
    LParts.dwStructSize = sizeof LParts;
    LParts.dwHostNameLength = static_cast<DWORD>(-1);
    LParts.dwUrlPathLength = static_cast<DWORD>(-1);
    LParts.dwExtraInfoLength = static_cast<DWORD>(-1);
    LParts.dwSchemeLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(LWide.c_str(), static_cast<DWORD>(LWide.size()), 0, &LParts)) {
        const DWORD LError = GetLastError();
        throw THttpError(LError == ERROR_WINHTTP_UNRECOGNIZED_SCHEME
                             ? "Unsupported protocol"
                             : "URL rejected: Malformed input to a URL function");
    }
    if (LParts.nScheme != INTERNET_SCHEME_HTTP && LParts.nScheme != INTERNET_SCHEME_HTTPS) {
        throw THttpError("Unsupported protocol");
    }
    TUrl Result;
    Result.Host.assign(LParts.lpszHostName, LParts.dwHostNameLength);
    Result.Port = LParts.nPort;
    Result.Secure = LParts.nScheme == INTERNET_SCHEME_HTTPS;
    Result.PathAndQuery.assign(LParts.lpszUrlPath, LParts.dwUrlPathLength);
    Result.PathAndQuery.append(LParts.lpszExtraInfo, LParts.dwExtraInfoLength);
    if (Result.PathAndQuery.empty()) {
        Result.PathAndQuery = L"/";
    }
    return Result;
}

// A synchronous session of its own for proxy look-ups (auto-detection and PAC
// scripts block; WinHttpGetProxyForUrl wants a synchronous session).
HINTERNET ProxySession() {
    static const HINTERNET LSession = WinHttpOpen(
        nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    return LSession;
}

// The proxy the user's settings give for AUrl: automatic detection and a PAC
// script first, as the browser does, then the fixed proxy. Empty: direct.
struct TProxy {
    std::wstring Proxy;
    std::wstring Bypass;
};

TProxy UserProxyFor(const std::wstring& AUrl) {
    TProxy Result;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG LConfig{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&LConfig)) {
        return Result;
    }
    bool LResolved = false;
    if ((LConfig.fAutoDetect || LConfig.lpszAutoConfigUrl) && ProxySession()) {
        WINHTTP_AUTOPROXY_OPTIONS LOptions{};
        if (LConfig.fAutoDetect) {
            LOptions.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            LOptions.dwAutoDetectFlags =
                WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        if (LConfig.lpszAutoConfigUrl) {
            LOptions.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            LOptions.lpszAutoConfigUrl = LConfig.lpszAutoConfigUrl;
        }
        LOptions.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO LInfo{};
        if (WinHttpGetProxyForUrl(ProxySession(), AUrl.c_str(), &LOptions, &LInfo)) {
            LResolved = true;
            if (LInfo.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && LInfo.lpszProxy) {
                Result.Proxy = LInfo.lpszProxy;
                Result.Bypass = LInfo.lpszProxyBypass ? LInfo.lpszProxyBypass : L"";
            }
        }
        GlobalFree(LInfo.lpszProxy);
        GlobalFree(LInfo.lpszProxyBypass);
    }
    // No script found or it failed: the fixed proxy, if one is set.
    if (!LResolved && LConfig.lpszProxy) {
        Result.Proxy = LConfig.lpszProxy;
        Result.Bypass = LConfig.lpszProxyBypass ? LConfig.lpszProxyBypass : L"";
    }
    GlobalFree(LConfig.lpszAutoConfigUrl);
    GlobalFree(LConfig.lpszProxy);
    GlobalFree(LConfig.lpszProxyBypass);
    return Result;
}

// One GET on the async API: every WinHTTP call returns at once and completes
// through StatusCallback, so the calling thread can watch cancellation, the
// connect time-out and the stall limit while it waits, and end the request by
// closing its handle (a blocking call would not return before the peer does).
class TTransfer {
public:
    TTransfer(HINTERNET ASession, const std::string& AUrl, const std::atomic<bool>& ACancelled,
              std::uint64_t AEpoch)
        : FUrl(AUrl), FCancelled(ACancelled), FEpoch(AEpoch), FLimits(THttpClient::Limits()) {
        const TUrl LUrl = CrackUrl(AUrl);
        FHost = Narrow(LUrl.Host);
        FPort = LUrl.Port;
        FHostPort = FHost + ":" + std::to_string(FPort);
        FConnection.Value = WinHttpConnect(ASession, LUrl.Host.c_str(), LUrl.Port, 0);
        if (!FConnection.Value) {
            Fail(GetLastError());
        }
        FRequest.Value = WinHttpOpenRequest(
            FConnection.Value, L"GET", LUrl.PathAndQuery.c_str(), nullptr, WINHTTP_NO_REFERER,
            WINHTTP_DEFAULT_ACCEPT_TYPES, LUrl.Secure ? WINHTTP_FLAG_SECURE : 0);
        if (!FRequest.Value) {
            Fail(GetLastError());
        }
        // From here on the state belongs to the request handle: the callback
        // frees it when the handle closes.
        auto* LState = new TCallbackState;
        DWORD_PTR LContext = reinterpret_cast<DWORD_PTR>(LState);
        if (!LState->Event ||
            !WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_CONTEXT_VALUE, &LContext,
                              sizeof LContext) ||
            WinHttpSetStatusCallback(
                FRequest.Value, &StatusCallback,
                WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE |
                    WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_HANDLES,
                0) == WINHTTP_INVALID_STATUS_CALLBACK) {
            const DWORD LError = GetLastError();
            delete LState;
            FRequest.Close();
            Fail(LError);
        }
        FState = LState;

        DWORD LFeature = WINHTTP_DISABLE_REDIRECTS;
        WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_DISABLE_FEATURE, &LFeature,
                         sizeof LFeature);
        DWORD LPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_REDIRECT_POLICY, &LPolicy, sizeof LPolicy);
        // WinHTTP's own clocks agree with ours, so a request it still holds
        // after a cancellation ends by itself as well.
        const int LConnectMs = static_cast<int>(FLimits.ConnectTimeout.count());
        const int LStallMs = static_cast<int>(FLimits.StallLimit.count());
        WinHttpSetTimeouts(FRequest.Value, LConnectMs, LConnectMs, LStallMs, LStallMs);

        const TProxy LProxy = UserProxyFor(Widen(AUrl));
        if (!LProxy.Proxy.empty()) {
            FProxy = Narrow(LProxy.Proxy);
            WINHTTP_PROXY_INFO LInfo{};
            LInfo.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
            LInfo.lpszProxy = const_cast<wchar_t*>(LProxy.Proxy.c_str());
            LInfo.lpszProxyBypass =
                LProxy.Bypass.empty() ? nullptr : const_cast<wchar_t*>(LProxy.Bypass.c_str());
            WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_PROXY, &LInfo, sizeof LInfo);
        }
    }

    TTransfer(const TTransfer&) = delete;
    TTransfer& operator=(const TTransfer&) = delete;

    void Run(THttpClient& AClient, const std::function<void(const char*, std::size_t)>& AWrite) {
        FStart = TClock::now();
        if (!WinHttpSendRequest(FRequest.Value, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                WINHTTP_NO_REQUEST_DATA, 0, 0,
                                reinterpret_cast<DWORD_PTR>(FState))) {
            Fail(GetLastError());
        }
        Wait();
        if (!WinHttpReceiveResponse(FRequest.Value, nullptr)) {
            Fail(GetLastError());
        }
        Wait();
        FLastByte = TClock::now();

        DWORD LStatus = 0;
        DWORD LSize = sizeof LStatus;
        if (!WinHttpQueryHeaders(
                FRequest.Value, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &LStatus, &LSize, WINHTTP_NO_HEADER_INDEX)) {
            Fail(GetLastError());
        }
        if (LStatus < 200 || LStatus > 299) {
            throw THttpError(
                ProxyRefusalOr("The requested URL returned error: " + std::to_string(LStatus)));
        }
        const std::int64_t LExpected = ContentLength();
        if (AClient.OnBegin) {
            AClient.OnBegin(LExpected);
        }

        std::int64_t LReceived = 0;
        DWORD LReadAhead = 0;
        for (;;) {
            if (!WinHttpQueryDataAvailable(FRequest.Value, nullptr)) {
                Fail(GetLastError());
            }
            Wait();
            if (FState->Bytes == 0) {
                break;
            }
            // Wine's WinHTTP fills the whole buffer of a read before it returns,
            // on the calling thread, where neither a cancellation nor our clocks
            // are seen. Reads of what is buffered run here; larger ones (the
            // read-ahead doubles while blocks come at once, so a fast stream
            // gets large blocks) run on a thread of their own that this one
            // can leave behind.
            const DWORD LWant = std::min(KBlockSize, std::max(FState->Bytes, LReadAhead));
            const auto LAsked = TClock::now();
            if (LWant <= FState->Bytes) {
                if (!WinHttpReadData(FRequest.Value, FState->Buffer.data(), LWant, nullptr)) {
                    Fail(GetLastError());
                }
            } else {
                ReadAside(LWant);
            }
            Wait();
            const DWORD LGot = FState->Bytes;
            if (LGot == 0) {
                break;
            }
            LReadAhead = TClock::now() - LAsked < KQuickRead ? std::min(KBlockSize, LGot * 2) : 0;
            FLastByte = TClock::now();
            AWrite(FState->Buffer.data(), LGot);
            LReceived += LGot;
            if (AClient.OnProgress) {
                AClient.OnProgress(LReceived);
            }
        }
        // WinHTTP ends quietly when the peer closes early; an announced length
        // not reached is a failed transfer, as it is for libcurl.
        if (LExpected >= 0 && LReceived < LExpected) {
            throw THttpError("transfer closed with " + std::to_string(LExpected - LReceived) +
                             " bytes remaining to read");
        }
        if (AClient.OnEnd) {
            AClient.OnEnd(LReceived);
        }
    }

private:
    // Starts a read that may block on another thread. It completes through
    // the callback like any other; only a call that fails at once is reported
    // here, through state the thread shares, since the request (and with it
    // the callback state) may be gone by the time a stuck read returns.
    void ReadAside(DWORD AWant) {
        FAsideError = std::make_shared<std::atomic<DWORD>>(0);
        std::thread([LRequest = FRequest.Value, LBuffer = FState->Buffer.data(), AWant,
                     LError = FAsideError] {
            if (!WinHttpReadData(LRequest, LBuffer, AWant, nullptr)) {
                *LError = GetLastError();
            }
        }).detach();
    }

    // Waits until the pending operation completes, or cancellation or one of
    // the clocks ends the request.
    void Wait() {
        for (;;) {
            const DWORD LWait = WaitForSingleObject(FState->Event, KPollMs);
            if (LWait == WAIT_TIMEOUT && FAsideError && *FAsideError != 0) {
                Fail(FAsideError->exchange(0));
            }
            if (LWait == WAIT_OBJECT_0) {
                if (FState->Completed == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
                    Fail(FState->Error);
                }
                return;
            }
            if (LWait != WAIT_TIMEOUT) {
                Abort("Waiting for the HTTP request failed");
            }
            if (FCancelled.load() || THttpClient::CancelEpoch() != FEpoch) {
                Abort("The download was cancelled");
            }
            const auto LNow = TClock::now();
            if (!FConnected && FState->Sent) {
                FConnected = true;
                FLastByte = LNow;
            }
            if (!FConnected && FLimits.ConnectTimeout.count() > 0 &&
                LNow - FStart >= FLimits.ConnectTimeout) {
                Abort(ConnectTimeoutText());
            }
            if (FConnected && FLimits.StallLimit.count() > 0 &&
                LNow - FLastByte >= FLimits.StallLimit) {
                Abort(StallText());
            }
        }
    }

    // Ends the request now; WinHTTP may finish with it later and then frees
    // the callback state.
    [[noreturn]] void Abort(const std::string& AText) {
        FState = nullptr;
        FRequest.Close();
        throw THttpError(AText);
    }

    [[noreturn]] void Fail(DWORD AError) {
        if (AError == ERROR_WINHTTP_OPERATION_CANCELLED &&
            (FCancelled.load() || THttpClient::CancelEpoch() != FEpoch)) {
            throw THttpError("The download was cancelled");
        }
        // Wine reports its own receive time-out as the socket's WSAETIMEDOUT.
        if (AError == ERROR_WINHTTP_TIMEOUT || AError == WSAETIMEDOUT) {
            throw THttpError(FConnected || (FState && FState->Sent) ? StallText()
                                                                    : ConnectTimeoutText());
        }
        if (AError == ERROR_WINHTTP_SECURE_FAILURE && FState && FState->SecureFailure) {
            throw THttpError(CertificateText(FState->SecureFailure) + " (" + FHostPort + ")");
        }
        if (AError == ERROR_WINHTTP_CANNOT_CONNECT || AError == ERROR_WINHTTP_NAME_NOT_RESOLVED) {
            const std::string LPeer =
                FProxy.empty() ? FHost + " port " + std::to_string(FPort) : "proxy " + FProxy;
            throw THttpError("Failed to connect to " + LPeer + ": " + WinHttpErrorText(AError));
        }
        throw THttpError(WinHttpErrorText(AError) + " (" + FHostPort + ")");
    }

    std::string ConnectTimeoutText() const {
        return "Connecting to " + FHostPort + " timed out after " +
               DurationText(FLimits.ConnectTimeout);
    }

    std::string StallText() const {
        return "No data received from the server for " + DurationText(FLimits.StallLimit);
    }

    // A proxy that refuses the tunnel answers in the server's place.
    std::string ProxyRefusalOr(const std::string& AText) const {
        if (FProxy.empty() || FUrl.rfind("https://", 0) != 0) {
            return AText;
        }
        return AText + " (through proxy " + FProxy + ")";
    }

    std::int64_t ContentLength() const {
        wchar_t LText[32] = {};
        DWORD LSize = sizeof LText;
        if (!WinHttpQueryHeaders(FRequest.Value, WINHTTP_QUERY_CONTENT_LENGTH,
                                 WINHTTP_HEADER_NAME_BY_INDEX, LText, &LSize,
                                 WINHTTP_NO_HEADER_INDEX)) {
            return -1;
        }
        wchar_t* LEnd = nullptr;
        const long long LValue = std::wcstoll(LText, &LEnd, 10);
        return LEnd != LText && LValue >= 0 ? LValue : -1;
    }

    std::string FUrl;
    std::string FHost;
    int FPort = 0;
    std::string FHostPort;
    std::string FProxy;
    const std::atomic<bool>& FCancelled;
    std::uint64_t FEpoch;
    THttpLimits FLimits;
    THandle FConnection;
    THandle FRequest; // closed before FConnection: members end in reverse order
    TCallbackState* FState = nullptr;
    std::shared_ptr<std::atomic<DWORD>> FAsideError;
    TClock::time_point FStart;
    TClock::time_point FLastByte;
    bool FConnected = false;
};

} // namespace

THttpClient::THttpClient() {
    // No agent of our own; WinHTTP sends none then.
    FHandle = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!FHandle) {
        throw THttpError("Failed to create the HTTP client");
    }
}

THttpClient::~THttpClient() {
    WinHttpCloseHandle(static_cast<HINTERNET>(FHandle));
}

void THttpClient::Get(const std::string& AUrl,
                      const std::function<void(const char*, std::size_t)>& AWrite) {
    const std::uint64_t LEpoch = FPinned ? FPinnedEpoch : THttpClient::CancelEpoch();
    FCancelled = false;
    if (LEpoch != THttpClient::CancelEpoch()) {
        throw THttpError("The download was cancelled");
    }
    TTransfer LTransfer(static_cast<HINTERNET>(FHandle), AUrl, FCancelled, LEpoch);
    LTransfer.Run(*this, AWrite);
}

} // namespace orvane
