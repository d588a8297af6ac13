#include "server/HttpClient.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <string_view>
#include <strings.h>
#include <utility>

namespace orvane {

namespace {

void InitCurlOnce() {
    static std::once_flag LOnce;
    std::call_once(LOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

using TClock = std::chrono::steady_clock;

struct TTransfer {
    CURL* Handle = nullptr;
    const std::string* Url = nullptr;
    const std::function<void(const char*, std::size_t)>* Write = nullptr;
    std::function<void(std::int64_t)>* OnBegin = nullptr;
    std::function<void(std::int64_t)>* OnProgress = nullptr;
    std::function<void(const TAnswerHead&)>* OnHead = nullptr;
    // The header lines of the answer being read (a new status line starts over).
    TAnswerHead Head;
    const std::atomic<bool>* Cancelled = nullptr;
    std::uint64_t Epoch = 0;
    std::chrono::milliseconds StallLimit{0};
    long Status = 0;
    bool Began = false;
    bool Cancel = false;
    // The stall clock runs from the moment the request could be sent; the
    // connect time-out covers what comes before.
    bool Connected = false;
    TClock::time_point LastByte;
    std::int64_t Received = 0;
    std::string Failure; // our own reason for stopping, when there is one
    bool FailureCut = false;
    // A Content-Length of this answer's headers that is no 64-bit length
    // (libcurl reads a longer one as unknown and takes any body).
    std::string InvalidLength;
    std::exception_ptr WriteError;

    void ByteArrived() {
        Connected = true;
        LastByte = TClock::now();
    }
};

struct THostPort {
    std::string Host;
    long Port = 0;
    std::string Text() const {
        const bool LIpv6 = Host.find(':') != std::string::npos;
        return (LIpv6 ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
    }
};

// Where a URL points, for messages.
THostPort UrlHostPort(const std::string& AUrl) {
    THostPort Result;
    if (CURLU* LUrl = curl_url()) {
        char* LHost = nullptr;
        char* LPort = nullptr;
        if (curl_url_set(LUrl, CURLUPART_URL, AUrl.c_str(), 0) == CURLUE_OK &&
            curl_url_get(LUrl, CURLUPART_HOST, &LHost, 0) == CURLUE_OK &&
            curl_url_get(LUrl, CURLUPART_PORT, &LPort, CURLU_DEFAULT_PORT) == CURLUE_OK) {
            Result.Host = LHost;
            // curl keeps the brackets of an IPv6 literal.
            if (Result.Host.size() > 2 && Result.Host.front() == '[') {
                Result.Host = Result.Host.substr(1, Result.Host.size() - 2);
            }
            Result.Port = std::strtol(LPort, nullptr, 10);
        }
        curl_free(LHost);
        curl_free(LPort);
        curl_url_cleanup(LUrl);
    }
    return Result;
}

std::string UrlHostPortText(const std::string& AUrl) {
    const THostPort LTarget = UrlHostPort(AUrl);
    return LTarget.Host.empty() ? AUrl : LTarget.Text();
}

// The peer of the connection: the proxy when one is used.
THostPort ConnectedPeer(CURL* AHandle) {
    THostPort Result;
    char* LIp = nullptr;
    curl_easy_getinfo(AHandle, CURLINFO_PRIMARY_IP, &LIp);
    curl_easy_getinfo(AHandle, CURLINFO_PRIMARY_PORT, &Result.Port);
    Result.Host = LIp ? LIp : "";
    return Result;
}

// The proxy a request went through ("host:port"): the connection's peer when
// it is not the URL's own port (libcurl does not tell which proxy it picked).
// Empty: direct.
std::string ProxyPeer(CURL* AHandle, const std::string& AUrl) {
    const THostPort LPeer = ConnectedPeer(AHandle);
    if (LPeer.Host.empty() || LPeer.Port == UrlHostPort(AUrl).Port) {
        return "";
    }
    return LPeer.Text();
}

std::string ProxyNote(CURL* AHandle, const std::string& AUrl) {
    const std::string LProxy = ProxyPeer(AHandle, AUrl);
    return LProxy.empty() ? "" : " (through the proxy " + LProxy + ")";
}

// libcurl has no Windows sign-in to offer, and the installer keeps no proxy
// passwords.
constexpr const char* KNoProxySignIn =
    "the installer signs in to a proxy only with your Windows sign-in (Negotiate or NTLM), "
    "on Windows";

// Says once per target and proxy where requests went: libcurl picks the proxy
// from the environment on its own, unless one is named for the run.
void LogProxyOnce(CURL* AHandle, const std::string& AUrl, THttpProxy::TMode AMode) {
    const std::string LProxy = ProxyPeer(AHandle, AUrl);
    const THostPort LTarget = UrlHostPort(AUrl);
    if (LProxy.empty() || LTarget.Host.empty()) {
        return;
    }
    const std::string LKey = AUrl.substr(0, AUrl.find("://")) + "://" + LTarget.Text();
    static std::mutex GLock;
    static std::set<std::string> GLogged;
    {
        const std::lock_guard LLock(GLock);
        if (!GLogged.insert(LKey + " " + LProxy).second) {
            return;
        }
    }
    THttpClient::Log("Requests to " + LKey + " go through the proxy " + LProxy +
                     (AMode == THttpProxy::pmNamed ? " (named for this run)"
                                                   : " (from the proxy environment variables)"));
}

std::string ProxyRefusal(CURL* AHandle, const std::string& AUrl, long ACode) {
    constexpr std::pair<long, const char*> KReasons[] = {
        {400, "Bad Request"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {407, "Proxy Authentication Required"},
        {500, "Internal Server Error"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
    };
    std::string LAnswer = std::to_string(ACode);
    for (const auto& [LCode, LReason] : KReasons) {
        if (LCode == ACode) {
            LAnswer += std::string(" ") + LReason;
        }
    }
    const THostPort LProxy = ConnectedPeer(AHandle);
    return "The proxy" + (LProxy.Host.empty() ? std::string() : " " + LProxy.Text()) +
           " refused the connection to " + UrlHostPortText(AUrl) + ": " + LAnswer;
}

// The final answer's status, once known: refuse anything outside 2xx
// (redirects included) before any body reaches the sink, and announce the body
// length. False when the transfer must stop.
bool BeginAnswer(TTransfer* T) {
    long LStatus = 0;
    curl_easy_getinfo(T->Handle, CURLINFO_RESPONSE_CODE, &LStatus);
    T->Status = LStatus;
    if (const std::string LProxy = ProxyPeer(T->Handle, *T->Url);
        LStatus == 407 && !LProxy.empty()) {
        T->Failure = ProxySignInText(LProxy, KNoProxySignIn);
        return false;
    }
    if (LStatus < 200 || LStatus > 299) {
        T->Failure = "The requested URL returned error: " + std::to_string(LStatus) +
                     ProxyNote(T->Handle, *T->Url);
        return false;
    }
    if (!T->InvalidLength.empty()) {
        T->Failure = T->InvalidLength;
        return false;
    }
    curl_off_t LLength = -1;
    curl_easy_getinfo(T->Handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &LLength);
    T->Began = true;
    T->Head.Status = LStatus;
    if (*T->OnHead) {
        try {
            (*T->OnHead)(T->Head);
        } catch (...) {
            T->WriteError = std::current_exception();
            return false;
        }
    }
    if (*T->OnBegin) {
        (*T->OnBegin)(LLength < 0 ? -1 : static_cast<std::int64_t>(LLength));
    }
    return true;
}

std::string Trimmed(std::string AText) {
    const auto LBlank = [](char AChar) {
        return AChar == ' ' || AChar == '\t' || AChar == '\r' || AChar == '\n';
    };
    while (!AText.empty() && LBlank(AText.back())) {
        AText.pop_back();
    }
    std::size_t LStart = 0;
    while (LStart < AText.size() && LBlank(AText[LStart])) {
        ++LStart;
    }
    return AText.substr(LStart);
}

// Keeps what resuming needs from one header line.
void ReadHeaderLine(TAnswerHead& AHead, const char* ABuffer, size_t ABytes) {
    const std::string LLine(ABuffer, ABytes);
    if (LLine.rfind("HTTP/", 0) == 0) {
        AHead = TAnswerHead{};
        return;
    }
    const auto LColon = LLine.find(':');
    if (LColon == std::string::npos) {
        return;
    }
    std::string LName = LLine.substr(0, LColon);
    for (char& LChar : LName) {
        LChar = static_cast<char>(std::tolower(static_cast<unsigned char>(LChar)));
    }
    const std::string LValue = Trimmed(LLine.substr(LColon + 1));
    if (LName == "etag") {
        AHead.ETag = LValue;
    } else if (LName == "last-modified") {
        AHead.LastModified = LValue;
    } else if (LName == "content-range") {
        ParseContentRange(LValue, AHead);
    }
}

// The empty line that ends a header block, however the server ends its lines.
bool IsHeaderEnd(const char* ABuffer, size_t ABytes) {
    return (ABytes == 2 && ABuffer[0] == '\r' && ABuffer[1] == '\n') ||
           (ABytes == 1 && ABuffer[0] == '\n');
}

// Checks a Content-Length line of the current header block; a status line
// begins a new block.
void ReadLengthHeader(TTransfer* T, const char* ABuffer, size_t ABytes) {
    const std::string_view LLine(ABuffer, ABytes);
    constexpr std::string_view KName = "content-length:";
    if (LLine.rfind("HTTP/", 0) == 0) {
        T->InvalidLength.clear();
    } else if (LLine.size() >= KName.size() &&
               strncasecmp(LLine.data(), KName.data(), KName.size()) == 0) {
        try {
            AnnouncedLength(std::string(LLine.substr(KName.size())));
        } catch (const THttpError& E) {
            T->InvalidLength = E.what();
        }
    }
}

size_t HeaderCallback(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    auto* T = static_cast<TTransfer*>(AUser);
    const size_t LBytes = ASize * ACount;
    T->ByteArrived();
    ReadLengthHeader(T, ABuffer, LBytes);
    if (!T->Began) {
        ReadHeaderLine(T->Head, ABuffer, LBytes);
    }
    if (!T->Began && IsHeaderEnd(ABuffer, LBytes)) {
        long LStatus = 0;
        curl_easy_getinfo(T->Handle, CURLINFO_RESPONSE_CODE, &LStatus);
        // 0: a proxy's answer to CONNECT, not the server's (normally
        // suppressed); a refusal shows in the tunnel's own error. 1xx: an
        // interim answer, the final one follows (a body after an unasked-for
        // 101 is refused when it arrives).
        if (LStatus == 0 || (LStatus >= 100 && LStatus < 200)) {
            return LBytes;
        }
        if (!BeginAnswer(T)) {
            return 0;
        }
    }
    return LBytes;
}

size_t WriteCallback(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    auto* T = static_cast<TTransfer*>(AUser);
    const size_t LBytes = ASize * ACount;
    T->ByteArrived();
    // Body bytes before a header block ended the way HeaderCallback knows.
    if (!T->Began && !BeginAnswer(T)) {
        return 0;
    }
    try {
        (*T->Write)(ABuffer, LBytes);
    } catch (...) {
        T->WriteError = std::current_exception();
        return 0;
    }
    T->Received += static_cast<std::int64_t>(LBytes);
    if (*T->OnProgress) {
        (*T->OnProgress)(T->Received);
    }
    return LBytes;
}

// libcurl calls this at least about once a second, also while nothing
// arrives: the place for cancellation and the stall limit.
int ProgressCallback(void* AUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* T = static_cast<TTransfer*>(AUser);
    if (T->Cancelled->load() || THttpClient::CancelEpoch() != T->Epoch) {
        T->Cancel = true;
        return 1;
    }
    const auto LNow = TClock::now();
    if (!T->Connected) {
        curl_off_t LPretransfer = 0;
        curl_easy_getinfo(T->Handle, CURLINFO_PRETRANSFER_TIME_T, &LPretransfer);
        if (LPretransfer == 0) {
            return 0;
        }
        T->Connected = true;
        T->LastByte = LNow;
    }
    if (T->StallLimit.count() > 0 && LNow - T->LastByte >= T->StallLimit) {
        T->Failure = "No data received from the server for " + DurationText(T->StallLimit);
        T->FailureCut = true;
        return 1;
    }
    return 0;
}

// Adds the tests' CA to the system's store instead of replacing it.
CURLcode AddTestCa(CURL*, void* ASslContext, void* AFile) {
    X509_STORE* LStore = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ASslContext));
    if (!LStore ||
        X509_STORE_load_file(LStore, static_cast<const std::string*>(AFile)->c_str()) != 1) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

} // namespace

THttpClient::THttpClient() {
    InitCurlOnce();
    FHandle = curl_easy_init();
    if (!FHandle) {
        throw THttpError("Failed to create the HTTP client");
    }
}

THttpClient::~THttpClient() {
    curl_easy_cleanup(static_cast<CURL*>(FHandle));
}

void THttpClient::Get(const std::string& AUrl,
                      const std::function<void(const char*, std::size_t)>& AWrite) {
    auto* LCurl = static_cast<CURL*>(FHandle);
    TTransfer T;
    T.Handle = LCurl;
    T.Url = &AUrl;
    T.Write = &AWrite;
    T.OnBegin = &OnBegin;
    T.OnProgress = &OnProgress;
    T.OnHead = &OnHead;
    T.Cancelled = &FCancelled;
    T.Epoch = FPinned ? FPinnedEpoch : THttpClient::CancelEpoch();
    const THttpLimits LLimits = Limits();
    T.StallLimit = LLimits.StallLimit;
    const std::string LTestCa = TestCaFile();
    const std::optional<TRangeRequest> LRange = std::exchange(Range, std::nullopt);
    std::string LRangeText;
    curl_slist* LHeaders = nullptr;
    if (LRange && LRange->From > 0) {
        LRangeText = std::to_string(LRange->From) + "-";
        if (!LRange->Validator.empty()) {
            LHeaders = curl_slist_append(nullptr, ("If-Range: " + LRange->Validator).c_str());
        }
    }
    curl_easy_setopt(LCurl, CURLOPT_RANGE, LRangeText.empty() ? nullptr : LRangeText.c_str());
    curl_easy_setopt(LCurl, CURLOPT_HTTPHEADER, LHeaders);
    const THttpProxy LProxy = Proxy();

    char LErrorBuffer[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(LCurl, CURLOPT_URL, AUrl.c_str());
    curl_easy_setopt(LCurl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(LCurl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(LCurl, CURLOPT_ERRORBUFFER, LErrorBuffer);
    curl_easy_setopt(LCurl, CURLOPT_HEADERFUNCTION, &HeaderCallback);
    curl_easy_setopt(LCurl, CURLOPT_HEADERDATA, &T);
    curl_easy_setopt(LCurl, CURLOPT_WRITEFUNCTION, &WriteCallback);
    curl_easy_setopt(LCurl, CURLOPT_WRITEDATA, &T);
    curl_easy_setopt(LCurl, CURLOPT_XFERINFOFUNCTION, &ProgressCallback);
    curl_easy_setopt(LCurl, CURLOPT_XFERINFODATA, &T);
    curl_easy_setopt(LCurl, CURLOPT_NOPROGRESS, 0L);
    // Fewer, larger blocks: the same receive buffer the curl tool uses.
    curl_easy_setopt(LCurl, CURLOPT_BUFFERSIZE, 100L * 1024);
    // Signals are not thread-safe; pool threads run transfers.
    curl_easy_setopt(LCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(LCurl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(LLimits.ConnectTimeout.count()));
    // A proxy's answer to CONNECT is no answer of the server's.
    curl_easy_setopt(LCurl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    const curl_ssl_ctx_callback LAddCa = LTestCa.empty() ? nullptr : &AddTestCa;
    curl_easy_setopt(LCurl, CURLOPT_SSL_CTX_FUNCTION, LAddCa);
    curl_easy_setopt(LCurl, CURLOPT_SSL_CTX_DATA, &LTestCa);
    // An empty proxy is none at all, the environment's included; a named one
    // takes every request, whatever no_proxy exempts.
    curl_easy_setopt(LCurl, CURLOPT_PROXY,
                     LProxy.Mode == THttpProxy::pmSystem  ? nullptr
                     : LProxy.Mode == THttpProxy::pmNamed ? LProxy.Address.c_str()
                                                          : "");
    curl_easy_setopt(LCurl, CURLOPT_NOPROXY, LProxy.Mode == THttpProxy::pmNamed ? "" : nullptr);

    const bool LCancelledBefore = FCancelled || T.Epoch != THttpClient::CancelEpoch();
    const CURLcode LCode = LCancelledBefore ? CURLE_ABORTED_BY_CALLBACK : curl_easy_perform(LCurl);
    T.Cancel = T.Cancel || LCode == CURLE_ABORTED_BY_CALLBACK;
    LogProxyOnce(LCurl, AUrl, LProxy.Mode);
    curl_easy_setopt(LCurl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(LCurl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(LCurl, CURLOPT_RANGE, nullptr);
    curl_slist_free_all(LHeaders);
    if (LCode != CURLE_OK) {
        FCancelled = false;
        if (T.WriteError) {
            std::rethrow_exception(T.WriteError);
        }
        if (!T.Failure.empty()) {
            throw THttpError(T.Failure, T.FailureCut);
        }
        if (T.Cancel) {
            throw THttpError("The download was cancelled");
        }
        long LProxyCode = 0;
        curl_easy_getinfo(LCurl, CURLINFO_HTTP_CONNECTCODE, &LProxyCode);
        if (LProxyCode == 407) {
            throw THttpError(ProxySignInText(ConnectedPeer(LCurl).Text(), KNoProxySignIn));
        }
        if (LProxyCode != 0 && (LProxyCode < 200 || LProxyCode > 299)) {
            throw THttpError(ProxyRefusal(LCurl, AUrl, LProxyCode));
        }
        // No total limit is set, so a time-out can only be the connect one.
        if (LCode == CURLE_OPERATION_TIMEDOUT) {
            throw THttpError("Connecting to " + UrlHostPortText(AUrl) + " timed out after " +
                                 DurationText(LLimits.ConnectTimeout),
                             false, true);
        }
        if (LCode == CURLE_COULDNT_CONNECT || LCode == CURLE_COULDNT_RESOLVE_HOST ||
            LCode == CURLE_COULDNT_RESOLVE_PROXY) {
            throw THttpError(LErrorBuffer[0] ? LErrorBuffer : curl_easy_strerror(LCode), false,
                             true);
        }
        // The connection broke after the request went out: the rest may come
        // on another try.
        const bool LCut = LCode == CURLE_PARTIAL_FILE || LCode == CURLE_RECV_ERROR ||
                          LCode == CURLE_SEND_ERROR || LCode == CURLE_GOT_NOTHING;
        throw THttpError(LErrorBuffer[0] ? LErrorBuffer : curl_easy_strerror(LCode), LCut);
    }
    // An answer without a body never reached either check above.
    if (!T.Began && !BeginAnswer(&T)) {
        if (T.WriteError) {
            std::rethrow_exception(T.WriteError);
        }
        throw THttpError(T.Failure);
    }
    if (OnEnd) {
        OnEnd(T.Received);
    }
}

} // namespace orvane
