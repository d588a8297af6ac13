#include "server/HttpClient.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>

namespace orvane {

namespace {

void InitCurlOnce() {
    static std::once_flag LOnce;
    std::call_once(LOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

using TClock = std::chrono::steady_clock;

struct TTransfer {
    CURL* Handle = nullptr;
    const std::function<void(const char*, std::size_t)>* Write = nullptr;
    std::function<void(std::int64_t)>* OnBegin = nullptr;
    std::function<void(std::int64_t)>* OnProgress = nullptr;
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
    std::exception_ptr WriteError;

    void ByteArrived() {
        Connected = true;
        LastByte = TClock::now();
    }
};

// "host:port" of a URL, for messages.
std::string HostAndPort(const std::string& AUrl) {
    std::string Result;
    if (CURLU* LUrl = curl_url()) {
        char* LHost = nullptr;
        char* LPort = nullptr;
        if (curl_url_set(LUrl, CURLUPART_URL, AUrl.c_str(), 0) == CURLUE_OK &&
            curl_url_get(LUrl, CURLUPART_HOST, &LHost, 0) == CURLUE_OK) {
            Result = LHost;
            if (curl_url_get(LUrl, CURLUPART_PORT, &LPort, CURLU_DEFAULT_PORT) == CURLUE_OK) {
                Result += std::string(":") + LPort;
            }
        }
        curl_free(LHost);
        curl_free(LPort);
        curl_url_cleanup(LUrl);
    }
    return Result.empty() ? AUrl : Result;
}

const char* ReasonPhrase(long ACode) {
    switch (ACode) {
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 407:
        return "Proxy Authentication Required";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "";
    }
}

std::string ProxyRefusal(CURL* AHandle, const std::string& AUrl, long ACode) {
    char* LProxyIp = nullptr;
    long LProxyPort = 0;
    curl_easy_getinfo(AHandle, CURLINFO_PRIMARY_IP, &LProxyIp);
    curl_easy_getinfo(AHandle, CURLINFO_PRIMARY_PORT, &LProxyPort);
    std::string LProxy = "The proxy";
    if (LProxyIp && *LProxyIp) {
        const bool LIpv6 = std::strchr(LProxyIp, ':') != nullptr;
        LProxy += std::string(" ") + (LIpv6 ? "[" : "") + LProxyIp + (LIpv6 ? "]" : "") + ":" +
                  std::to_string(LProxyPort);
    }
    std::string LAnswer = std::to_string(ACode);
    if (*ReasonPhrase(ACode)) {
        LAnswer += std::string(" ") + ReasonPhrase(ACode);
    }
    return LProxy + " refused the connection to " + HostAndPort(AUrl) + ": " + LAnswer;
}

// Headers of the final answer are complete: refuse non-2xx (redirects
// included) before any body reaches the sink, and announce the body length.
size_t HeaderCallback(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    auto* T = static_cast<TTransfer*>(AUser);
    const size_t LBytes = ASize * ACount;
    T->ByteArrived();
    if (LBytes == 2 && ABuffer[0] == '\r' && ABuffer[1] == '\n') {
        long LStatus = 0;
        curl_easy_getinfo(T->Handle, CURLINFO_RESPONSE_CODE, &LStatus);
        // 0: a proxy's answer to CONNECT, not the server's (normally
        // suppressed); a refusal shows in the tunnel's own error.
        if (LStatus == 0 || (LStatus >= 100 && LStatus < 200)) {
            return LBytes;
        }
        T->Status = LStatus;
        if (LStatus < 200 || LStatus > 299) {
            T->Failure = "The requested URL returned error: " + std::to_string(LStatus);
            return 0;
        }
        curl_off_t LLength = -1;
        curl_easy_getinfo(T->Handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &LLength);
        T->Began = true;
        if (*T->OnBegin) {
            (*T->OnBegin)(LLength < 0 ? -1 : static_cast<std::int64_t>(LLength));
        }
    }
    return LBytes;
}

size_t WriteCallback(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    auto* T = static_cast<TTransfer*>(AUser);
    const size_t LBytes = ASize * ACount;
    T->ByteArrived();
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
    T.Write = &AWrite;
    T.OnBegin = &OnBegin;
    T.OnProgress = &OnProgress;
    T.Cancelled = &FCancelled;
    T.Epoch = FPinned ? FPinnedEpoch : THttpClient::CancelEpoch();
    FCancelled = false;
    const THttpLimits LLimits = Limits();
    T.StallLimit = LLimits.StallLimit;
    const std::string LTestCa = TestCaFile();

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

    const CURLcode LCode = T.Epoch == THttpClient::CancelEpoch() ? curl_easy_perform(LCurl)
                                                                 : CURLE_ABORTED_BY_CALLBACK;
    T.Cancel = T.Cancel || LCode == CURLE_ABORTED_BY_CALLBACK;
    curl_easy_setopt(LCurl, CURLOPT_ERRORBUFFER, nullptr);
    if (LCode != CURLE_OK) {
        if (T.WriteError) {
            std::rethrow_exception(T.WriteError);
        }
        if (!T.Failure.empty()) {
            throw THttpError(T.Failure);
        }
        if (T.Cancel) {
            throw THttpError("The download was cancelled");
        }
        long LProxyCode = 0;
        curl_easy_getinfo(LCurl, CURLINFO_HTTP_CONNECTCODE, &LProxyCode);
        if (LProxyCode != 0 && (LProxyCode < 200 || LProxyCode > 299)) {
            throw THttpError(ProxyRefusal(LCurl, AUrl, LProxyCode));
        }
        // No total limit is set, so a time-out can only be the connect one.
        if (LCode == CURLE_OPERATION_TIMEDOUT) {
            throw THttpError("Connecting to " + HostAndPort(AUrl) + " timed out after " +
                             DurationText(LLimits.ConnectTimeout));
        }
        throw THttpError(LErrorBuffer[0] ? LErrorBuffer : curl_easy_strerror(LCode));
    }
    if (OnEnd) {
        OnEnd(T.Received);
    }
}

} // namespace orvane
